// Call tracing: the process-wide call tree and its dump.
#include "tolvan/platform/functiontracer.h"

#include "tolvan/containers/stack.h"
#include "tolvan/io/textstream.h"
#include "tolvan/winapi/winapi.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

namespace Kalvex {

namespace {

struct TraceNode {
    const char* mName = "";
    const char* mLabel = "";
    int32 mStart = 0;
    int32 mEnd = 0;
    TraceNode* mParent = nullptr;
    // Only the current node gains children, and every node above it stays where it is, so the chain of
    // parent pointers from the current node up is always valid.
    Stack<TraceNode> mChildren;
};

const auto PROCESS_START = std::chrono::steady_clock::now();

int32 millisecondsSinceStart() {
    return int32(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                       PROCESS_START)
                     .count());
}

std::atomic<Detail::TraceTickSource> gTickSource{&millisecondsSinceStart};
TraceNode gRoot;
TraceNode* gCurrent = &gRoot;
std::atomic<uint32> gDumpCounter{10000};

int32 now() {
    return gTickSource.load()();
}

String decimal(int64 value) {
    return String::fromAscii(std::to_string(value));
}

void writeNode(Io::TextOutputStream& out, const TraceNode& node, int depth) {
    const int32 duration = node.mEnd - node.mStart;
    int64 inChildren = 0;
    for (const TraceNode& child : node.mChildren)
        inChildren += child.mEnd - child.mStart;
    String line(u' ', 3 * depth);
    const String time = decimal(duration);
    if (time.length() < 6) line << String(u' ', 6 - time.length());
    line << time << u"ms " << String(u' ', 6) << String::fromUtf8(node.mLabel) << u" ("
         << String::fromUtf8(node.mName) << u")";
    if (inChildren > 0)
        line << u". " << decimal(duration - inChildren)
             << u"ms spent in the function without traced sub-calls";
    out.write(line << u'\n');
    if (node.mChildren.isEmpty()) return;
    out.write(u"\n");
    for (const TraceNode& child : node.mChildren)
        writeNode(out, child, depth + 1);
    out.write(u"\n");
}

} // namespace

Detail::FunctionTracer::FunctionTracer(const char* name, const char* label) {
    TraceNode& node = gCurrent->mChildren.emplace();
    node.mName = name;
    node.mLabel = label;
    node.mStart = now();
    node.mParent = gCurrent;
    gCurrent = &node;
}

Detail::FunctionTracer::~FunctionTracer() {
    gCurrent->mEnd = now();
    gCurrent = gCurrent->mParent;
}

Detail::TraceTickSource Detail::setTraceTickSource(TraceTickSource source) {
    return gTickSource.exchange(source ? source : &millisecondsSinceStart);
}

Io::Path getTraceDumpDirectory() {
    if (const Optional<String> dir = WinApi::getEnvironmentVariable(u"KALVEX_TRACE_DIR");
        dir && !dir->isEmpty())
        return Io::Path(*dir + u"/");
    const Optional<String> temp = WinApi::getEnvironmentVariable(u"TMPDIR");
    return Io::Path((temp && !temp->isEmpty() ? *temp : String(u"/tmp")) + u"/Kalvex/");
}

Io::Path dumpTraces() {
    const Io::Path directory = getTraceDumpDirectory();
    std::error_code ignored; // a folder that cannot be made shows as the file's failure below
    std::filesystem::create_directories(std::filesystem::u8path(directory.genericStr().toUtf8().cStr()),
                                        ignored);
    const Io::Path file(directory.genericStr() + u"tracer-log-" + decimal(gDumpCounter.fetch_add(1)) +
                        u".txt");

    Io::TextOutputStream out(file, Io::TextEncoding::Utf8, Io::TextOutputStream::Open::WriteBom);
    out.write(u"Call stack trace\n================\n\n");
    if (!gRoot.mChildren.isEmpty()) writeNode(out, gRoot.mChildren[gRoot.mChildren.size() - 1], 0);
    out.close();
    return file;
}

} // namespace Kalvex
