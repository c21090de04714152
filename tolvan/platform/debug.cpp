#include "tolvan/platform/debug.h"

#include "tolvan/common/exception.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace Kalvex {

namespace {

constexpr int MAX_FRAMES = 8;
constexpr size_t MAX_SYMBOL_NAME = 255;

// ---------------------------------------------------------------------------------------------------
// Sinks

// Writes all bytes to `fd` in as few calls as the kernel allows (one, normally, so lines from
// different threads do not interleave).
void writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        size -= size_t(written);
    }
}

// The sink chosen from KALVEX_DEBUG_OUTPUT: nothing, standard error, or a file opened for appending.
DebugOutputSink makeDefaultSink() {
    const char* target = std::getenv("KALVEX_DEBUG_OUTPUT");
    if (!target || !*target) return DebugOutputSink();
    int fd = STDERR_FILENO;
    if (std::strcmp(target, "stderr") != 0) {
        fd = ::open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return DebugOutputSink();
    }
    // The descriptor stays open for the life of the process.
    return DebugOutputSink([fd](const String& text) {
        const String::CharBuffer<char> utf8 = text.toUtf8();
        writeAll(fd, utf8.cStr(), size_t(utf8.length()));
    });
}

struct SinkState {
    std::mutex lock;
    DebugOutputSink defaultSink; // chosen once, so restoring it opens nothing again
    DebugOutputSink sink;
    bool custom = false;
};

// Never destroyed: diagnostics may be written while the process exits.
SinkState& getSinkState() {
    static SinkState* const state = [] {
        SinkState* s = tolvanNew<SinkState>();
        s->defaultSink = makeDefaultSink();
        s->sink = s->defaultSink;
        return s;
    }();
    return *state;
}

DebugOutputSink getSink() {
    SinkState& s = getSinkState();
    std::lock_guard lock(s.lock);
    return s.sink;
}

// ---------------------------------------------------------------------------------------------------
// Messages

// Wide characters to UTF-16 units: code points above U+FFFF become surrogate pairs, anything else
// (lone surrogates included) is kept as one unit.
String fromWide(std::wstring_view text) {
    String result;
    for (const wchar_t c : text) {
        const auto value = uint32(c);
        if (value > 0xFFFF && value <= 0x10FFFF) {
            result << char16_t(0xD800 + ((value - 0x10000) >> 10)) << char16_t(0xDC00 + (value & 0x3FF));
        } else {
            result << char16_t(value);
        }
    }
    return result;
}

String getDevelopmentPrefix() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "#KALVEX (%02d:%02d:%02d)  ", local.tm_hour, local.tm_min,
                  local.tm_sec);
    return String::fromAscii(prefix);
}

// ---------------------------------------------------------------------------------------------------
// Stack traces

String toHex(uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return String::fromAscii(text);
}

// The demangled name of the symbol (cut to 255 characters), or "" when the address has none.
String getSymbolName(const Dl_info& info) {
    if (!info.dli_sname) return String();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), &std::free);
    const char* name = status == 0 && demangled ? demangled.get() : info.dli_sname;
    return String::fromUtf8(std::string_view(name, std::min(std::strlen(name), MAX_SYMBOL_NAME)));
}

String describeFrame(void* address, int number) {
    Dl_info info{};
    String name;
    uintptr_t symbolAddress = reinterpret_cast<uintptr_t>(address);
    if (dladdr(address, &info)) {
        name = getSymbolName(info);
        if (info.dli_saddr) symbolAddress = reinterpret_cast<uintptr_t>(info.dli_saddr);
    }
    if (name.isEmpty()) name = u"Unknown symbol";
    String line = String::fromAscii(std::to_string(number));
    line << u' ' << name << u"  " << toHex(symbolAddress) << u'\n';
    return line;
}

} // namespace

// Not inlined, so that its own frame is the first one that counts. Frames captured before it (a
// sanitizer's wrapper of backtrace) are skipped: the frame that counts first is the one before the
// return address into our caller.
[[gnu::noinline]] String getStackTrace() {
    void* frames[MAX_FRAMES + 8];
    const int captured = backtrace(frames, MAX_FRAMES + 8);
    void* const caller = __builtin_return_address(0);
    int own = 0;
    for (int i = 1; i < captured; ++i) {
        if (frames[i] == caller) {
            own = i - 1;
            break;
        }
    }
    const int count = std::min(captured - own, MAX_FRAMES);
    if (count < 2) return String();
    String trace;
    for (int i = 1; i < count; ++i)
        trace << describeFrame(frames[own + i], count - i - 1);
    return trace;
}

void Detail::debugPrintImpl(const std::wostringstream& message) {
    const DebugOutputSink sink = getSink();
    if (!sink) return;
    const String prefix = isDevelopmentEnvironment() ? getDevelopmentPrefix() : String();
    String text = fromWide(message.view());
    if (!prefix.isEmpty()) text.replaceAll(u"\n", String(u"\n") + String(u' ', prefix.length()));
    sink(prefix + text + u"\n");
}

DebugOutputSink Detail::setDebugOutputSink(DebugOutputSink sink) {
    SinkState& s = getSinkState();
    std::lock_guard lock(s.lock);
    DebugOutputSink previous = s.custom ? s.sink : DebugOutputSink();
    s.custom = sink.isValid();
    s.sink = s.custom ? std::move(sink) : s.defaultSink;
    return previous;
}

bool Detail::isDevelopmentEnvironment() {
    return std::getenv("KALVEX_DEVELOPMENT") != nullptr;
}

} // namespace Kalvex
