// Exception (every reported failure), BadAlloc (exhausted memory) and the STOP failure for code paths
// that must never be reached.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/containers/string.h"

#include <exception>
#include <new>

namespace Kalvex {

namespace Io {
class Path;
}

/// A failure with a human-readable message; what() returns it as UTF-8 (never null).
class Exception : public std::exception, public Polymorphic {
public:
    /// Stores message.toUtf8().
    explicit Exception(const String& message);
    /// Stores the UTF-8 text as it is.
    explicit Exception(const char* utf8Message);
    /// Copies `other`.
    Exception(const Exception& other) = default;
    /// Replaces the content with a copy of `other`.
    Exception& operator=(const Exception& other) = default;
    ~Exception() override = default;

    /// The message as UTF-8, valid while the exception lives.
    [[nodiscard]] const char* what() const noexcept override { return mMessage.cStr(); }
    /// The failure of every file operation: "Cannot open/read/write file '" + path.genericStr() + "'".
    [[nodiscard]] static Exception fileAccess(const Io::Path& path);

    /// The message as a String.
    [[nodiscard]] String getMessage() const { return String::fromUtf8(mMessage.cStr()); }

private:
    String::CharBuffer<char> mMessage;
};

/// Exhausted memory; not an Exception, so `catch (Exception&)` does not catch it. what() returns the
/// memory report: the wanted size, the library's memory statistics and, where known, the stack trace.
class BadAlloc : public std::bad_alloc, public Polymorphic {
public:
    /// Records the size of the failed request, `wantedBytes`.
    explicit BadAlloc(size_t wantedBytes) noexcept;
    /// Copies `other`.
    BadAlloc(const BadAlloc& other) = default;
    ~BadAlloc() override = default;

    /// The report, or the base text "bad allocation" when not even the report could be allocated.
    [[nodiscard]] const char* what() const noexcept override {
        return mMessage.isEmpty() ? "bad allocation" : mMessage.cStr();
    }

private:
    String::CharBuffer<char> mMessage;
};

namespace Detail {
/// Throws the STOP failure: Exception("STOP@" + path of `file` under tolvan/ + "(" + line + ")").
[[noreturn]] void throwStop(const char* file, int line);
/// The part of `file` after its last "tolvan/" (the whole text when there is none).
[[nodiscard]] const char* getLibrarySourcePath(const char* file) noexcept;
} // namespace Detail

} // namespace Kalvex

/// Marks a code path that must never be reached: throws Exception("STOP@<area>/<file>(<line>)").
#define KALVEX_STOP() ::Kalvex::Detail::throwStop(__FILE__, __LINE__)
