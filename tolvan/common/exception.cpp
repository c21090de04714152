#include "tolvan/common/exception.h"

#include "tolvan/containers/stringutils.h"
#include "tolvan/platform/debug.h"
#include "tolvan/platform/systeminfo.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace Kalvex {

Exception::Exception(const String& message)
    : mMessage(message.toUtf8()) {}

Exception::Exception(const char* utf8Message)
    : mMessage(utf8Message ? utf8Message : "", utf8Message ? int(std::strlen(utf8Message)) : 0) {}

namespace {

constexpr const char BAD_ALLOC_TEXT[] =
    "Bad allocation Exception!\nKalvex ran out of RAM an was unable to allocate memory it needs for "
    "rendering. This can be caused by rendering too big scene with not enough RAM, or an internal bug in "
    "Kalvex. Contact our support for more info.\n\nDebugging details:\nWanted to allocate: ";

// The wanted size for the report: Str::getFormattedMemorySize, or the plain byte count ("123 B") when
// even that cannot be built.
std::string formatWantedSize(size_t wantedBytes) {
    try {
        const String::CharBuffer<char> size = Str::getFormattedMemorySize(uint64(wantedBytes)).toUtf8();
        return std::string(size.cStr(), size_t(size.length()));
    } catch (...) {
        char size[32];
        std::snprintf(size, sizeof size, "%zu B", wantedBytes);
        return size;
    }
}

// Builds the memory report. Runs while memory is short (one reserve block was just freed): every
// step may fail, and the report falls back to less (what() then says "bad allocation").
String::CharBuffer<char> buildBadAllocMessage(size_t wantedBytes) noexcept {
    // A failure while building the report must not build another report.
    static thread_local bool building = false;
    if (building) return String::CharBuffer<char>();
    struct Guard {
        Guard() { building = true; }
        ~Guard() { building = false; }
    } guard;
    try {
        // The stack trace is taken first, before anything else is built.
        String stackTrace;
        try {
            stackTrace = getStackTrace();
        } catch (...) {
        }

        std::string text = BAD_ALLOC_TEXT;
        text += formatWantedSize(wantedBytes);
        text += "\n\n";
        try {
            text += getFormattedMemoryStatistics(String(u"application")).toUtf8().cStr();
            text += "\n";
        } catch (...) {
        }
        if (!stackTrace.isEmpty()) {
            text += "Stack trace:\n";
            text += stackTrace.toUtf8().cStr();
        }

        return String::CharBuffer<char>(text.data(), int(text.size()));
    } catch (...) {
        return String::CharBuffer<char>();
    }
}

} // namespace

BadAlloc::BadAlloc(size_t wantedBytes) noexcept
    : mMessage(buildBadAllocMessage(wantedBytes)) {}

const char* Detail::getLibrarySourcePath(const char* file) noexcept {
    const char* result = file;
    for (const char* p = std::strstr(file, "tolvan/"); p; p = std::strstr(p + 1, "tolvan/")) {
        result = p + 7;
    }
    return result;
}

void Detail::throwStop(const char* file, int line) {
    throw Exception(String::fromUtf8("STOP@") + String::fromUtf8(getLibrarySourcePath(file)) +
                    String::fromAscii("(" + std::to_string(line) + ")"));
}

} // namespace Kalvex
