// The tolvan program run as a real process: transfers between two of its processes on 127.0.0.1,
// pack round trips and hostile packs, hash lines checked by sha256sum/md5sum, the registry sub-commands
// on a scratch store, images, the demo, and the exit codes of usage errors and failures.
#include "tools/run_tool.h"

#include "pack/packwriter.h"

#include "io/stream_support.h"
#include "tolvan/image/bitmap.h"
#include "tolvan/image/image.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace Kalvex;
using ::testing::HasSubstr;
using TolvanTest::runTool;
using TolvanTest::ToolProcess;
using TolvanTest::ToolResult;

namespace {

class ToolTest : public TolvanTest::TempDirTest {
protected:
    void makeDir(const std::string& name) const { ASSERT_EQ(::mkdir(native(name).c_str(), 0755), 0) << name; }
    [[nodiscard]] bool exists(const std::string& name) const {
        struct stat info;
        return ::lstat(native(name).c_str(), &info) == 0;
    }
    [[nodiscard]] size_t entryCount(const std::string& name) const {
        size_t count = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::recursive_directory_iterator(native(name)))
            ++count;
        return count;
    }
    // Runs a shell command in the test directory; its exit code.
    [[nodiscard]] int shell(const std::string& command) const {
        const int status = std::system(("cd '" + mDir + "' && " + command + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// Bytes that compress well in parts and not at all in others, larger than one transfer piece.
std::string sampleBytes(size_t size) {
    std::string bytes(size, '\0');
    uint32 state = 7;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = (i / 4096) % 2 ? char(state >> 24) : char('a' + i % 7);
    }
    return bytes;
}

// A receiver on a free port of 127.0.0.1 (ports taken meanwhile by another program are skipped).
struct Receiver {
    std::unique_ptr<ToolProcess> process;
    int port = 0;
};

Receiver startReceiver(const std::string& directory) {
    const int start = 30000 + int(::getpid() % 1000) * 10;
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int port = start + attempt;
        auto process = std::make_unique<ToolProcess>(
            std::vector<std::string>{"receive", std::to_string(port), directory, "--once"});
        if (process->readLine().rfind("Listening on 127.0.0.1:", 0) == 0) return {std::move(process), port};
    }
    return {};
}

TEST_F(ToolTest, SendReachesReceiveByteForByteWithAndWithoutCompression) {
    for (const bool deflate : {false, true}) {
        SCOPED_TRACE(deflate ? "deflate" : "plain");
        const std::string inbox = deflate ? "inbox_z" : "inbox";
        makeDir(inbox);
        const std::string bytes = sampleBytes(300000);
        writeFile("scene.bin", bytes);
        Receiver receiver = startReceiver(native(inbox));
        ASSERT_TRUE(receiver.process) << "no free port for the receiver";
        std::vector<std::string> send{"send", native("scene.bin"),
                                      "127.0.0.1:" + std::to_string(receiver.port)};
        if (deflate) send.push_back("--deflate");
        const ToolResult sent = runTool(send);
        EXPECT_EQ(sent.code, 0) << sent.err;
        EXPECT_THAT(sent.out, HasSubstr("Sent "));
        const ToolResult received = receiver.process->wait();
        EXPECT_EQ(received.code, 0) << received.err;
        EXPECT_THAT(received.out, HasSubstr(deflate ? "300000 bytes, sent compressed" : "300000 bytes)"));
        EXPECT_EQ(readFile(inbox + "/scene.bin"), bytes);
    }
}

TEST_F(ToolTest, ReceiveRefusesNamesThatLeaveItsDirectory) {
    makeDir("inbox");
    makeDir("outside");
    ASSERT_EQ(::symlink(native("outside").c_str(), native("inbox/link").c_str()), 0);
    writeFile("payload", "not for you");
    const std::string names[] = {"../x", "sub/../../x", native("outside/abs"), "link/x"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        Receiver receiver = startReceiver(native("inbox"));
        ASSERT_TRUE(receiver.process);
        const ToolResult sent =
            runTool({"send", native("payload"), "127.0.0.1:" + std::to_string(receiver.port), "--key",
                     "FileName=" + name});
        (void)sent; // the protocol has no answer: the sender cannot learn of the refusal
        const ToolResult received = receiver.process->wait();
        EXPECT_EQ(received.code, 1);
        EXPECT_THAT(received.err, HasSubstr("Refusing to store the received file"));
        EXPECT_EQ(std::count(received.err.begin(), received.err.end(), '\n'), 1) << received.err;
        EXPECT_FALSE(exists("x"));
        EXPECT_EQ(entryCount("outside"), 0u);
        EXPECT_EQ(entryCount("inbox"), 1u); // the link alone
    }
}

TEST_F(ToolTest, PackCreateListExtractRoundTrip) {
    makeDir("tree");
    makeDir("tree/sub");
    writeFile("tree/a.txt", "alpha");
    writeFile("tree/sub/b.bin", sampleBytes(200000));
    for (const bool compress : {false, true}) {
        SCOPED_TRACE(compress ? "compressed" : "plain");
        std::vector<std::string> create{"pack", "create", native("tree"), native("assets.pack")};
        if (compress) create.push_back("--compress");
        const ToolResult created = runTool(create);
        ASSERT_EQ(created.code, 0) << created.err;
        EXPECT_THAT(created.out, HasSubstr("2 files written"));

        const ToolResult listed = runTool({"pack", "list", native("assets.pack")});
        ASSERT_EQ(listed.code, 0) << listed.err;
        EXPECT_THAT(listed.out, HasSubstr("a.txt"));
        EXPECT_THAT(listed.out, HasSubstr("sub/b.bin"));
        EXPECT_THAT(listed.out, HasSubstr("200000"));
        EXPECT_THAT(listed.out, HasSubstr(compress ? " z sub/b.bin" : "   sub/b.bin"));

        const std::string out = compress ? "out_z" : "out";
        const ToolResult extracted = runTool({"pack", "extract", native("assets.pack"), native(out)});
        ASSERT_EQ(extracted.code, 0) << extracted.err;
        EXPECT_EQ(readFile(out + "/a.txt"), "alpha");
        EXPECT_EQ(readFile(out + "/sub/b.bin"), sampleBytes(200000));
    }
}

TEST_F(ToolTest, PackExtractRefusesEntriesLeavingTheDirectoryAndWritesNothing) {
    makeDir("out");
    makeDir("outside");
    ASSERT_EQ(::symlink(native("outside").c_str(), native("out/link").c_str()), 0);
    const std::string bytes = "escaped";
    const ArrayView<const std::byte> view(reinterpret_cast<const std::byte*>(bytes.data()),
                                          int64(bytes.size()));
    // The pack reader refuses names that leave the pack; the extraction refuses a way through a link.
    const struct {
        const char16_t* name;
        const char* message;
    } rows[] = {
        {u"../escape.txt", "leaves the pack"},
        {u"a/../../escape.txt", "leaves the pack"},
        {u"/tmp/escape.txt", "leaves the pack"},
        {u"link/escape.txt", "would leave the directory"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(String(row.name).toUtf8().cStr());
        const Tools::PackWriter::File files[] = {{u"fine.txt", view}, {row.name, view}};
        const Array<std::byte> pack = Tools::PackWriter::makePack(files, Tools::PackWriter::Store::Plain);
        writeFile("hostile.pack",
                  std::string(reinterpret_cast<const char*>(pack.data()), size_t(pack.size())));
        const ToolResult result = runTool({"pack", "extract", native("hostile.pack"), native("out")});
        EXPECT_EQ(result.code, 1);
        EXPECT_THAT(result.err, HasSubstr(row.message));
        EXPECT_EQ(entryCount("out"), 1u); // nothing written, not even the harmless entry
        EXPECT_EQ(entryCount("outside"), 0u);
        EXPECT_FALSE(exists("escape.txt"));
    }
}

TEST_F(ToolTest, HashLinesAreAcceptedBySha256sumAndMd5sum) {
    writeFile("plain.txt", "hello\n");
    writeFile("with space.bin", sampleBytes(100000));
    writeFile("new\nline.txt", "escaped name");
    writeFile("empty", "");
    const std::vector<std::string> files{"plain.txt", "with space.bin", "new\nline.txt", "empty"};
    const struct {
        const char* option;
        const char* checker;
    } kinds[] = {{"--sha256", "sha256sum"}, {"--md5", "md5sum"}, {nullptr, "sha256sum"}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.checker);
        std::vector<std::string> args{"hash"};
        if (kind.option) args.push_back(kind.option);
        for (const std::string& file : files)
            args.push_back(native(file));
        const ToolResult result = runTool(args);
        ASSERT_EQ(result.code, 0) << result.err;
        writeFile("sums", result.out);
        EXPECT_EQ(shell(std::string(kind.checker) + " --strict -c sums"), 0) << result.out;
        // The same lines as the coreutils tool prints.
        EXPECT_EQ(shell(std::string(kind.checker) + " plain.txt 'new\nline.txt' > expected && " +
                        TOLVAN_TOOL_PATH + " hash " + (kind.option ? kind.option : "") +
                        " plain.txt 'new\nline.txt' | cmp - expected"),
                  0);
    }
    const ToolResult missing = runTool({"hash", native("nothing"), native("plain.txt")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_THAT(missing.out, HasSubstr("plain.txt")); // the readable file is still hashed
    EXPECT_THAT(missing.err, HasSubstr("nothing"));
}

TEST_F(ToolTest, RegistrySetGetListDeleteInAScratchStore) {
    const std::string store = native("registry.sqlite");
    ASSERT_EQ(::setenv("KALVEX_REGISTRY_FILE", store.c_str(), 1), 0);
    const std::string key = "HKEY_CURRENT_USER/Software/Kalvex/Tool";
    const struct {
        std::vector<std::string> set;
        const char* name;
        const char* expected;
    } rows[] = {
        {{"reg", "set", key, "Dir", "/opt/kalvex renderer"}, "dir", "/opt/kalvex renderer"},
        {{"reg", "set", key, "Count", "4294967293", "--dword"}, "Count", "4294967293"},
        {{"reg", "set", key, "Big", "12345678901", "--qword"}, "BIG", "12345678901"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const ToolResult set = runTool(row.set);
        ASSERT_EQ(set.code, 0) << set.err;
        const ToolResult got = runTool({"reg", "get", key, row.name});
        EXPECT_EQ(got.code, 0) << got.err;
        EXPECT_EQ(got.out, std::string(row.expected) + "\n");
    }
    const ToolResult listed = runTool({"reg", "list", key});
    EXPECT_EQ(listed.out,
              key + "\n    Dir    REG_SZ    /opt/kalvex renderer\n    Count    REG_DWORD    4294967293\n"
                    "    Big    REG_QWORD    12345678901\n");
    EXPECT_EQ(runTool({"reg", "delete", key, "Count"}).code, 0);
    EXPECT_EQ(runTool({"reg", "get", key, "Count"}).code, 1);
    EXPECT_EQ(runTool({"reg", "delete", key}).code, 0);
    EXPECT_EQ(runTool({"reg", "list", key}).code, 1);
    EXPECT_TRUE(exists("registry.sqlite"));
    ::unsetenv("KALVEX_REGISTRY_FILE");
}

TEST_F(ToolTest, ImageInfoAndConvert) {
    BitmapImpl<Rgb, 1> colour(Pixel(8, 4));
    RgbBitmapIterator source(colour);
    saveImage(path("in.png"), source, true, NONE, {});
    const ToolResult info = runTool({"image", "info", native("in.png")});
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_THAT(info.out, HasSubstr("Size: 8 x 4"));
    EXPECT_THAT(info.out, HasSubstr("Pixel format: Rgb8 (3 channels)"));
    EXPECT_THAT(info.out, HasSubstr("Attributes:"));

    const ToolResult converted =
        runTool({"image", "convert", native("in.png"), native("out.exr"), "--format", "flt32_linear_rgb"});
    ASSERT_EQ(converted.code, 0) << converted.err;
    const ToolResult exr = runTool({"image", "info", native("out.exr")});
    EXPECT_THAT(exr.out, HasSubstr("Size: 8 x 4"));
    EXPECT_THAT(exr.out, HasSubstr("Stored samples: float"));
}

TEST(ToolRun, DemoAndNoArgumentsRunTheTypicalRoad) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"demo"}, std::vector<std::string>{}}) {
        const ToolResult result = runTool(args);
        EXPECT_EQ(result.code, 0) << result.err;
        EXPECT_THAT(result.out, HasSubstr("compression ratio"));
        EXPECT_THAT(result.out, HasSubstr("Transfer time"));
        EXPECT_THAT(result.out, HasSubstr(": identical"));
        EXPECT_THAT(result.out, HasSubstr("RAM used by tolvan demo"));
    }
}

TEST(ToolRun, SysinfoAndHelp) {
    const ToolResult info = runTool({"sysinfo"});
    EXPECT_EQ(info.code, 0) << info.err;
    EXPECT_THAT(info.out, HasSubstr("Features: "));
    EXPECT_THAT(info.out, HasSubstr("Operating system: "));
    EXPECT_THAT(info.out, HasSubstr("of physical RAM installed on system"));
    const ToolResult help = runTool({"send", "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_THAT(help.out, HasSubstr("--deflate\n"));
    EXPECT_EQ(runTool({"help"}).code, 0);
}

TEST(ToolRun, UsageErrorsExitWithTwoAndFailuresWithOne) {
    const struct {
        std::vector<std::string> args;
        int code;
        const char* message;
    } rows[] = {
        {{"frobnicate"}, 2, "unknown command"},
        {{"send"}, 2, "missing arguments"},
        {{"send", "a", "127.0.0.1"}, 2, "HOST:PORT"},
        {{"send", "a", "127.0.0.1:99999"}, 2, "the port must be"},
        {{"send", "a", "127.0.0.1:1", "--key", "novalue"}, 2, "name=value"},
        {{"send", "a", "127.0.0.1:1", "--key"}, 2, "needs a value"},
        {{"receive", "0", "/tmp"}, 2, "the port must be"},
        {{"receive", "5000", "/tmp", "--twice"}, 2, "is not being recognized"},
        {{"pack"}, 2, "missing the action"},
        {{"pack", "shred", "x"}, 2, "unknown action"},
        {{"pack", "list", "a", "b"}, 2, "unexpected argument"},
        {{"hash"}, 2, "missing arguments"},
        {{"hash", "--md5", "--sha256", "x"}, 2, "exclude each other"},
        {{"image", "convert", "a.png", "b.png", "--format", "UINT7"}, 2, "unknown pixel format"},
        {{"reg", "get", "HKEY_NOWHERE/x", "v"}, 2, "not a valid registry root key"},
        {{"reg", "set", "HKEY_CURRENT_USER/x", "v", "12x", "--dword"}, 2, "must be a number"},
        {{"sysinfo", "extra"}, 2, "unexpected argument"},
        {{"send", "/nonexistent/file", "127.0.0.1:1"}, 1, "no such file"},
        {{"receive", "5000", "/nonexistent/dir", "--once"}, 1, "is not a directory"},
        {{"pack", "list", "/nonexistent.pack"}, 1, "/nonexistent.pack"},
        {{"pack", "create", "/nonexistent/dir", "/tmp/never.pack"}, 1, "is not a directory"},
        {{"image", "info", "/nonexistent.png"}, 1, "/nonexistent.png"},
        {{"image", "info", "/nonexistent.unknownformat"}, 1, "Unrecognized image file format"},
    };
    for (const auto& row : rows) {
        std::string joined;
        for (const std::string& a : row.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        const ToolResult result = runTool(row.args);
        EXPECT_EQ(result.code, row.code);
        EXPECT_THAT(result.err, HasSubstr(row.message));
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.err.rfind("tolvan", 0), 0u) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

} // namespace
