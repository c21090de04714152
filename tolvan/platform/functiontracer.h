// Call tracing for developers: KALVEX_TRACE_FUNCTION records the call of the enclosing function, with
// its start and end ticks, in one process-wide call tree; dumpTraces writes the most recent top-level
// call with its nested calls and their durations to a numbered text file.
//
//   void render() {
//       KALVEX_TRACE_FUNCTION("render");
//       loadScene();                      // traced too when it has its own KALVEX_TRACE_FUNCTION
//   }
//   ...
//   Io::Path written = dumpTraces();      // <temp>/Kalvex/tracer-log-10000.txt
//
// The tree has no lock: trace one thread at a time.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/io/path.h"
#include "tolvan/utility/timer.h"

namespace Kalvex {

namespace Detail {

/// Records one call: construction appends a node (name, label, start tick) under the current node and
/// makes it current; destruction stores the end tick and makes the parent current again.
class FunctionTracer : public Noncopyable {
public:
    FunctionTracer(const char* name, const char* label);
    ~FunctionTracer();
};

/// The tick source, milliseconds since the process started by default; tests install their own
/// (null restores the default). Returns the previous source.
using TraceTickSource = int32 (*)();
TraceTickSource setTraceTickSource(TraceTickSource source);

} // namespace Detail

/// The folder dumps go to: $KALVEX_TRACE_DIR when set, else the "Kalvex" folder of the temporary
/// directory ($TMPDIR, else /tmp), with a final "/".
[[nodiscard]] Io::Path getTraceDumpDirectory();

/// Writes the most recent top-level traced call and everything under it to "tracer-log-N.txt" in the
/// dump folder (made when missing), N counting from 10000, as UTF-8 with a byte-order mark; returns
/// the file's path. Throws Exception when the file cannot be written.
Io::Path dumpTraces();

} // namespace Kalvex

#define KALVEX_TRACE_CONCAT_(a, b) a##b
#define KALVEX_TRACE_NAME_(prefix, line) KALVEX_TRACE_CONCAT_(prefix, line)

/// Traces the rest of the enclosing function under `label` (an 8-bit text that outlives the trace).
#define KALVEX_TRACE_FUNCTION(label)                                                                         \
    static constexpr ::Kalvex::Detail::QualifiedFunctionName KALVEX_TRACE_NAME_(kalvexTraceName_, __LINE__)( \
        __PRETTY_FUNCTION__);                                                                                \
    const ::Kalvex::Detail::FunctionTracer KALVEX_TRACE_NAME_(kalvexTracer_, __LINE__)(                      \
        KALVEX_TRACE_NAME_(kalvexTraceName_, __LINE__).mText, label)
