// Small system services in Windows terms: error codes as text, environment variables, known folders,
// the elevation state of the process, and opening addresses, files and folders in the desktop shell.
//
//   Optional<Io::Path> data = WinApi::getKnownFolder(WinApi::FOLDERID_LOCAL_APP_DATA);   // ".../share/"
//
// On Linux: error codes are errno values, known folders follow the XDG rules, "elevated" means running
// as root, and the shell is xdg-open (see docs/PLATFORM.md).
#pragma once

#include "tolvan/containers/optional.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"
#include "tolvan/winapi/guid.h"

namespace Kalvex::WinApi {

///@{
/// The known folders the library asks for, with their Windows identifiers.
inline constexpr Guid FOLDERID_LOCAL_APP_DATA{0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};
inline constexpr Guid FOLDERID_PROGRAM_DATA{0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};
inline constexpr Guid FOLDERID_DESKTOP{0xB4BFCC3A, 0xDB2C, 0x424C, {0xB0, 0x29, 0x7F, 0xE9, 0x9A, 0x87, 0xC6, 0x41}};
inline constexpr Guid FOLDERID_PROGRAM_FILES_X64{0x6D809377, 0x6AF0, 0x444B, {0x89, 0x57, 0xA3, 0x77, 0x3F, 0x02, 0x20, 0x0E}};
///@}

/// The system's text for the error `code` (an errno value; 12000 to 12175 are Internet errors), without
/// surrounding white space; "Error code " and the number when there is none.
[[nodiscard]] String getErrorMessage(uint32 code);
/// getErrorMessage of the calling thread's last error (errno).
[[nodiscard]] String getLastErrorMessage();

/// The value of the environment variable `name` (present and empty when it is set to ""); empty when
/// it is not set or `name` is not a valid variable name.
[[nodiscard]] Optional<String> getEnvironmentVariable(const String& name);

/// The folder for one of the FOLDERID_ identifiers above, ending in "/"; empty for another identifier
/// or when the folder cannot be determined. The folder need not exist.
[[nodiscard]] Optional<Io::Path> getKnownFolder(const Guid& folderId);

/// Whether the process can run elevated: it is elevated already, or its user belongs to an
/// administrators' group (sudo, wheel or admin) and an elevation tool (pkexec or sudo) is present.
[[nodiscard]] bool canUacElevate();
/// Whether the process runs elevated (its effective user is root).
[[nodiscard]] bool isUacElevated();
/// Whether the process has administrator rights: its effective user is root or belongs to the sudo,
/// wheel or admin group.
[[nodiscard]] bool hasAdminPrivileges();

} // namespace Kalvex::WinApi

namespace Kalvex::Utils {

/// Opens `address` in the user's browser (xdg-open); false when that is missing or fails.
bool openInBrowser(const String& address);
/// Opens the file in its associated application (xdg-open); false when that is missing or fails.
bool openFileUi(const Io::Path& path);
/// Opens the folder containing the existing file or folder `path` (xdg-open); false when `path` does not
/// exist or the folder cannot be opened.
bool openFileInFolder(const Io::Path& path);

} // namespace Kalvex::Utils
