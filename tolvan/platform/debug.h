// Developer diagnostics: the debug output channel (debugPrint) and the current call stack as text.
//
//   debugPrint("Loaded", count, "files from", path);   // "Loaded 3 files from /tmp/x"
//
// The output goes to one process-wide sink. By default it is discarded, unless the environment
// variable KALVEX_DEBUG_OUTPUT is "stderr" or a file path (appended to). Programs and tests may install
// their own sink. With KALVEX_DEVELOPMENT set, every message starts with "#KALVEX (hh:mm:ss)  ".
#pragma once

#include "tolvan/containers/function.h"
#include "tolvan/containers/string.h"

#include <locale>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace Kalvex {

/// The calling thread's stack, one line per frame after getStackTrace's own (at most 7): the frame's
/// number counting down to 0, a space, the symbol name ("Unknown symbol" when none is known), two
/// spaces, "0x" and the symbol's address in lower-case hexadecimal, a line feed. "" when fewer than two
/// frames could be captured.
[[nodiscard]] String getStackTrace();

/// Receives each complete debug message (prefix, text and final line feed). Called from any thread,
/// possibly concurrently.
using DebugOutputSink = Function<void(const String& text)>;

namespace Detail {

/// Writes the message to the debug output: the prefix (empty outside a development environment),
/// the text with every line feed followed by as many spaces as the prefix is long, a line feed.
void debugPrintImpl(const std::wostringstream& message);

/// Installs `sink` for the whole process and returns the previous one; an empty sink restores the
/// default chosen from KALVEX_DEBUG_OUTPUT.
DebugOutputSink setDebugOutputSink(DebugOutputSink sink);

/// Reports a broken invariant of the library as a failed assertion (Detail::assertImpl, common/assert.h)
/// of the source path under tolvan/: a custom handler, or the debug output ("!!! CASSERT fired:\n File: "
/// + path + "\nLine: " + line + "\nCondition: " + condition + the build line) and the assert dialog.
/// Execution goes on; never throws.
void reportFailedAssertion(const char* file, int line, const char* condition);

/// Whether the development prefix is written (KALVEX_DEVELOPMENT is set).
[[nodiscard]] bool isDevelopmentEnvironment();

/// Writes one debugPrint argument: text as text (8-bit strings read as UTF-8), numbers in decimal.
template <typename T>
void writeDebugArgument(std::wostringstream& out, const T& value) {
    using U = std::decay_t<T>;
    if constexpr (std::is_same_v<U, String>) {
        out << value;
    } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
        out << String::fromUtf8(value);
    } else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
        out << String::fromUtf8(std::string_view(value));
    } else if constexpr (std::is_same_v<U, const char16_t*> || std::is_same_v<U, char16_t*>) {
        out << String(value);
    } else if constexpr (std::is_same_v<U, signed char> || std::is_same_v<U, unsigned char>) {
        out << int(value);
    } else {
        out << value;
    }
}

} // namespace Detail

/// Writes its arguments, separated by single spaces, as one message to the debug output. Numbers are
/// written in the classic "C" form (no digit grouping), whatever the program's global locale.
template <typename... Args>
void debugPrint(const Args&... args) {
    std::wostringstream message;
    message.imbue(std::locale::classic());
    bool first = true;
    ((message << (first ? L"" : L" "), Detail::writeDebugArgument(message, args), first = false), ...);
    Detail::debugPrintImpl(message);
}

} // namespace Kalvex

/// Reports `condition` through Detail::reportFailedAssertion when it does not hold; never throws.
#define KALVEX_REPORT_ASSERT(condition)                                                                      \
    ((condition) ? (void)0 : ::Kalvex::Detail::reportFailedAssertion(__FILE__, __LINE__, #condition))
