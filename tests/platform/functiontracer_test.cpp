#include "tolvan/platform/functiontracer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

using namespace Kalvex;

namespace TolvanTest {

// Each call gives the next tick of a script.
int32 scriptedTick() {
    static const int32 ticks[] = {100, 110, 130, 140, 150, 155, 170, 200, 300, 307};
    static int next = 0;
    return ticks[next++ % 10];
}

void tracedHelper() {
    KALVEX_TRACE_FUNCTION("helper");
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace TolvanTest

TEST(FunctionTracer, DumpsTheLastTopLevelCallWithItsNestedCalls) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tolvan_trace_" + std::to_string(getpid())) / "dumps";
    ASSERT_EQ(setenv("KALVEX_TRACE_DIR", dir.c_str(), 1), 0);
    const Detail::TraceTickSource previous = Detail::setTraceTickSource(&TolvanTest::scriptedTick);
    {
        Detail::FunctionTracer outer("Scene::render", "outer");
        { Detail::FunctionTracer inner1("Scene::load", "inner1"); }
        {
            Detail::FunctionTracer inner2("Scene::shade", "inner2");
            Detail::FunctionTracer innermost("Light::sample", "innermost");
        }
    }
    const Io::Path first = dumpTraces();
    EXPECT_EQ(first.genericStr(), String::fromUtf8((dir / "tracer-log-10000.txt").string()));
    EXPECT_EQ(
        TolvanTest::readFile((dir / "tracer-log-10000.txt").string()),
        "\xEF\xBB\xBF"
        "Call stack trace\r\n"
        "================\r\n"
        "\r\n"
        "   100ms       outer (Scene::render). 50ms spent in the function without traced sub-calls\r\n"
        "\r\n"
        "       20ms       inner1 (Scene::load)\r\n"
        "       30ms       inner2 (Scene::shade). 25ms spent in the function without traced sub-calls\r\n"
        "\r\n"
        "           5ms       innermost (Light::sample)\r\n"
        "\r\n"
        "\r\n");

    // The next dump shows the most recent top-level call, under the next number; the macro names the
    // enclosing function.
    TolvanTest::tracedHelper();
    const Io::Path second = dumpTraces();
    EXPECT_EQ(second.genericStr(), String::fromUtf8((dir / "tracer-log-10001.txt").string()));
    EXPECT_EQ(TolvanTest::readFile((dir / "tracer-log-10001.txt").string()),
              "\xEF\xBB\xBF"
              "Call stack trace\r\n================\r\n\r\n"
              "     7ms       helper (TolvanTest::tracedHelper)\r\n");

    Detail::setTraceTickSource(previous);
    unsetenv("KALVEX_TRACE_DIR");
    std::filesystem::remove_all(dir.parent_path());
}
