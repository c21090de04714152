#include "tolvan/common/exception.h"

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

// Builds the memory report. Runs while memory is short (one reserve block was just freed), so it
// formats into fixed buffers and falls back to the plain text when even that allocation fails.
String::CharBuffer<char> buildBadAllocMessage(size_t wantedBytes) noexcept {
    // A failure while building the report must not build another report.
    static thread_local bool building = false;
    if (building) return String::CharBuffer<char>();
    struct Guard {
        Guard() { building = true; }
        ~Guard() { building = false; }
    } guard;
    try {
        char size[64];
        std::snprintf(size, sizeof size, "%zu bytes", wantedBytes);
        std::string text = BAD_ALLOC_TEXT;
        text += size;
        text += "\n\n";
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
