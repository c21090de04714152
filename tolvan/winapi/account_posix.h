// Private to the library's .cpp files (never included by a public header): lookups in the user and
// group databases with the reentrant calls, safe from any thread (getpwuid and getgrnam answer in
// static storage that a call on another thread overwrites).
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/string.h"

namespace Kalvex::WinApi::Detail::Posix {

/// The home folder the password database gives for the real user; empty when there is none.
[[nodiscard]] String passwordDatabaseHomeFolder();

/// The id of the group called `name`; empty when there is no such group or the lookup fails.
[[nodiscard]] Optional<uint32> groupId(const char* name);

} // namespace Kalvex::WinApi::Detail::Posix
