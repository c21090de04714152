// The usage examples in the public headers' opening comments, kept here so that they keep compiling
// and what their comments promise stays true. Each test carries one header's example as written,
// with its placeholders ("...", use(), a file under /data) filled in; examples that need a running
// library, a terminal or the user's registry are only compiled.
#include "tolvan/tolvan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <unistd.h>

using namespace Kalvex;

namespace {

// A fresh folder under the system's temporary directory for one test, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder()
        : mPath(std::filesystem::temp_directory_path() /
                ("tolvan_examples_" + std::to_string(::getpid()) + "_" + std::to_string(sCount++))) {
        std::filesystem::create_directories(mPath);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // The path of `name` inside the folder (the examples' "/data/<name>").
    [[nodiscard]] Io::Path operator/(const char* name) const {
        return Io::Path(String::fromUtf8((mPath / name).string()));
    }

private:
    static inline int sCount = 0;
    std::filesystem::path mPath;
};

} // namespace

// ---- common ----

TEST(HeaderExamples, Assert) {
    static std::vector<std::string> reports;
    struct Log {
        static void logAssert(const AssertParameters& p) { reports.push_back(p.toString().toUtf8().cStr()); }
    };
    const auto logAssert = &Log::logAssert;
    const AssertHandler previous = setCustomAssertHandler(logAssert, AssertHandlerScope::THREAD);
    const int index = 5;
    const int count = 3;
    KALVEX_ASSERT(index < count, index, count); // reports "Parameters: index, count" and their values
    setCustomAssertHandler(previous, AssertHandlerScope::THREAD);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("Parameters: index, count\nValues:     5, 3\n"), std::string::npos)
        << reports[0];
}

TEST(HeaderExamples, EventLoop) {
    class Worker : public Detail::MessageTarget {
        int64 handleMessageImpl(uint32 number, uint64 w, int64 l) override {
            mReceived = int64(number) + int64(w) + l;
            return 0;
        }

    public:
        int64 mReceived = 0;
    };
    Worker target;                      // owned by the calling thread
    target.post(1234, 0, 0);            // from any thread
    Lib::runSingleEventLoopIteration(); // on the owning thread: dispatches it
    EXPECT_EQ(target.mReceived, 1234);
}

TEST(HeaderExamples, Lib) {
    [[maybe_unused]] auto example = [](bool running) {
        Lib::startup();
        Utils::executeInMainThread([] {}); // from any thread
        while (running)
            Lib::runSingleEventLoopIteration();
        Lib::shutdown();
    };
}

TEST(HeaderExamples, Version) {
    const VersionInfo other = getLibVersion();
    VersionInfo v = getLibVersion();
    String text = v.toString(u"Renderer");
    EXPECT_TRUE(text.endsWith(u" Renderer"));
    EXPECT_TRUE(int64(v) >= int64(other));
}

// ---- containers ----

TEST(HeaderExamples, Any) {
    Any a = Any::make<int>(3);
    const int* v = a.get<int>();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(*v, 3);
}

TEST(HeaderExamples, AutoPtr) {
    struct Stream : Polymorphic {};
    struct FileStream : Stream {
        explicit FileStream(const Io::Path&) {}
    };
    const Io::Path path(u"scene.bin");
    AutoPtr<Stream> s = makeAutoPtr<FileStream>(path);
    EXPECT_TRUE(bool(s));
}

TEST(HeaderExamples, Expected) {
    const auto getSize = [](const Io::Path&) -> Expected<int64, String> {
        return makeUnexpected(String(u"gone"));
    };
    String shown;
    const auto show = [&](const String& text) { shown = text; };
    const Io::Path path(u"missing");
    Expected<int64, String> size = getSize(path);
    if (!size) show(size.error());
    EXPECT_EQ(shown, String(u"gone"));
}

TEST(HeaderExamples, FormattedTable) {
    FormattedTable table = {u"Name", u"Size"};
    table << TableRow{u"scene.max", Str::getFormattedMemorySize(1536)};
    TableRow{u"notes.txt", u"12 B"} >> table;
    std::cout << table.toString();
    EXPECT_EQ(table.toString(), String(u"Name       Size\nscene.max  1.5 kB\nnotes.txt  12 B\n"));
}

TEST(HeaderExamples, Function) {
    Function<int(int)> twice = [](int x) { return 2 * x; };
    Function<int(int)> same = twice;        // shares the wrapped callable
    Function<int(int)> own = twice.clone(); // an independent copy of it
    EXPECT_EQ(same(4), 8);
    EXPECT_EQ(own(5), 10);
}

TEST(HeaderExamples, SharedPtr) {
    struct Task {
        explicit Task(int value)
            : mValue(value) {}
        int mValue;
    };
    SharedPtr<Task> t = makeShared<Task>(7); // object and counts in one block
    WeakPtr<Task> w = t;
    SharedPtr<Task> again = w.lock();
    ASSERT_TRUE(bool(again));
    EXPECT_EQ(again->mValue, 7);
}

TEST(HeaderExamples, Stack) {
    Stack<String> names;
    names.push(u"a");
    int count = 0;
    for (const String& n : names)
        count += n.length();
    EXPECT_EQ(count, 1);
}

TEST(HeaderExamples, String) {
    String name = u"scene";
    name += u".max";
    auto utf8 = name.toUtf8(); // CharBuffer<char>, zero-terminated
    printf("%s\n", utf8.cStr());
    EXPECT_STREQ(utf8.cStr(), "scene.max");
}

TEST(HeaderExamples, StringUtils) {
    // The grouping depends on the locale; the locale programs check the en_US and de_DE forms.
    EXPECT_FALSE(Str::getFormatted(1234567.891, 2).isEmpty());
    EXPECT_EQ(Str::getFormattedMemorySize(1536), String(u"1.5 kB"));
    EXPECT_EQ(Str::getTime(3723456, ':', 2), String(u"1:02:03.45"));
    EXPECT_EQ(Str::ellipsize(u"abcdefghij", 7, EllipsisPosition::MIDDLE), String(u"ab...ij"));
}

// ---- io ----

TEST(HeaderExamples, ArrayOutputStream) {
    ScratchFolder data;
    const Io::Path path = data / "bytes.bin";
    Io::writeTextFile(path, u"xyz", Io::TextEncoding::Utf8, {});
    Io::ArrayOutputStream out;
    out.write("abc", 3);
    Io::ArrayInputStream<> in(Array<std::byte, HeapAllocator, long long>(out.data()));
    Io::ArrayInputStream<HeapAllocator, void> file(std::move(Io::readBinaryFile(path).value()));
    char read[3];
    EXPECT_EQ(in.read(read, 3), 3);
    EXPECT_EQ(std::string(read, 3), "abc");
    EXPECT_EQ(file.read(read, 3), 3);
    EXPECT_EQ(std::string(read, 3), "xyz");
}

TEST(HeaderExamples, Csv) {
    ScratchFolder data;
    {
        Io::CsvWriter out(data / "table.csv"); // UTF-8 with a byte-order mark
        const String cells[] = {u"name", u"a \"quoted\" value", u"1,5"};
        out.write(cells); // name,"a ""quoted"" value","1,5" CR LF
    }
    const Expected<Array<std::byte>, String> bytes = Io::readBinaryFile(data / "table.csv");
    ASSERT_TRUE(bool(bytes));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->data()), size_t(bytes->size())),
              "\xEF\xBB\xBFname,\"a \"\"quoted\"\" value\",\"1,5\"\r\n");

    Stack<Stack<String>> rows;
    const auto use = [&](const Stack<String>& row) { rows.push(row); };
    Io::CsvReader in(data / "table.csv");
    while (const auto row = in.readRow())
        use(*row);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0][1], String(u"a \"quoted\" value"));
}

TEST(HeaderExamples, DeflateStream) {
    ScratchFolder data;
    const char bytes[] = "scene scene scene scene";
    const int64 count = int64(sizeof bytes);
    Io::DeflateOutputStream out(data / "scene.z");
    out.write(bytes, count);
    const int64 compressed = out.close(); // exact number of bytes in the file
    EXPECT_EQ(compressed, int64(std::filesystem::file_size((data / "scene.z").genericStr().toUtf8().cStr())));

    std::string inflated;
    const auto use = [&](const char* buffer, int64 n) { inflated.append(buffer, size_t(n)); };
    char buffer[8];
    Io::DeflateInputStream in(data / "scene.z");
    while (const int64 n = in.read(buffer, sizeof buffer))
        use(buffer, n);
    EXPECT_EQ(inflated, std::string(bytes, sizeof bytes));
}

TEST(HeaderExamples, Path) {
    Io::Path p(u"C:\\Renders\\frame.exr");
    EXPECT_EQ(p.genericStr(), String(u"C:/Renders/frame.exr"));
    EXPECT_EQ(p.extension(), String(u"exr"));
    EXPECT_EQ(changeExtension(p, u"png").genericStr(), String(u"C:/Renders/frame.png"));
    EXPECT_EQ((Io::Path(u"/data") / u"scene.max").genericStr(), String(u"/data/scene.max"));
    Io::Path folder(u"/data");
    folder /= u"scene.max";
    EXPECT_EQ(folder.genericStr(), String(u"/data/scene.max"));
}

TEST(HeaderExamples, Stream) {
    ScratchFolder data;
    Io::writeTextFile(data / "scene.bin", u"bytes", Io::TextEncoding::Utf8, {});
    Io::FileInputStream in(data / "scene.bin");
    Io::ArrayOutputStream copy;
    Io::forwardStreamTo(in, copy); // copy.data() now holds the file's bytes
    EXPECT_EQ(copy.data().size(), 5);
}

TEST(HeaderExamples, TextStream) {
    ScratchFolder data;
    Io::writeTextFile(data / "list.txt", u"one\ntwo", Io::TextEncoding::Utf8, {});
    Stack<String> lines;
    const auto use = [&](const String& line) { lines.push(line); };
    Io::TextInputStream in(data / "list.txt", Io::TextEncoding::Detect,
                           Io::TextInputStream::Open::TranslateNewlines);
    while (auto line = in.readLine())
        use(*line);
    EXPECT_EQ(lines, (Stack<String>{u"one", u"two"}));

    Io::writeTextFile(data / "out.txt", u"a\nb", Io::TextEncoding::Utf16Le,
                      Io::TextOutputStream::Open::WriteBom);
    const Expected<Array<std::byte>, String> bytes = Io::readBinaryFile(data / "out.txt");
    ASSERT_TRUE(bool(bytes));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->data()), size_t(bytes->size())),
              std::string("\xFF\xFE"
                          "a\0\r\0\n\0b\0",
                          10));
}

// ---- net ----

TEST(HeaderExamples, Http) {
    [[maybe_unused]] auto example = [] {
        AutoPtr<Io::HttpInputStream> body = Io::makeHttpRequestGET(u"http://127.0.0.1:8080/scenes/a.max", 0);
        Io::FileOutputStream file(u"/tmp/a.max");
        Io::forwardStreamTo(*body, file); // the body is never held whole in memory
    };
}

// ---- platform ----

TEST(HeaderExamples, Debug) {
    std::vector<String> texts;
    const DebugOutputSink previous =
        Detail::setDebugOutputSink([&](const String& text) { texts.push_back(text); });
    const int count = 3;
    const Io::Path path(u"/tmp/x");
    debugPrint("Loaded", count, "files from", path.genericStr());
    Detail::setDebugOutputSink(previous);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], String(u"Loaded 3 files from /tmp/x\n"));
}

TEST(HeaderExamples, Dialog) {
    [[maybe_unused]] auto example = [] {
        Utils::DialogRequest request{
            u"Kalvex", u"Disk full", {u"Retry", u"Cancel"}, 1, Utils::DialogIcon::CRITICAL};
        int choice = Utils::presentDialog(request);
        return choice;
    };
}

TEST(HeaderExamples, Monitors) {
    [[maybe_unused]] auto example = [] {
        struct Caches {
            static void dropCaches() {}
        };
        const auto dropCaches = &Caches::dropCaches;
        LowSystemMemoryChecker checker(5000);
        checker.start(dropCaches); // called at most every 5 s while memory stays low
        Utils::CpuSpeedMonitor cpu(1000);
        cpu.update(); // in a loop; cpu.getCurrentAverage() in MHz
        return cpu.getCurrentAverage();
    };
}

TEST(HeaderExamples, FunctionTracer) {
    [[maybe_unused]] auto example = [] {
        struct Renderer {
            static void loadScene() { KALVEX_TRACE_FUNCTION("loadScene"); }
            static void render() {
                KALVEX_TRACE_FUNCTION("render");
                loadScene(); // traced too when it has its own KALVEX_TRACE_FUNCTION
            }
        };
        Renderer::render();
        Io::Path written = dumpTraces(); // <temp>/Kalvex/tracer-log-10000.txt
        return written;
    };
}

TEST(HeaderExamples, Hash) {
    const char data[] = "abc";
    const int64 size = 3;
    String digest = getKalvexHash256AsString("abc");
    EXPECT_EQ(digest.length(), 64);
    EXPECT_TRUE(digest.startsWith(u"ba7816bf"));
    uint64 key = Utils::hash(data, size);
    EXPECT_EQ(key, Utils::hash("abc", 3));
}

// ---- thread ----

TEST(HeaderExamples, Lock) {
    SimpleLock lock;
    {
        ScopedLock guard(lock); // locked here, released at the end of the scope
    }
    ReaderWriterLock rw;
    { ScopedReadLock read(rw); }   // shared
    { ScopedWriteLock write(rw); } // exclusive
}

TEST(HeaderExamples, Scheduler) {
    [[maybe_unused]] auto example = [] {
        class Sum : public Task {
        public:
            explicit Sum(Stack<SharedPtr<Task>> parts)
                : mParts(std::move(parts)) {}
            SharedPtr<Task> run() override {
                for (auto& part : mParts)
                    Scheduler::highPriorityInstance().submit(part, TaskPriority::Normal);
                waitForAllSubtasks(); // helps with the parts meanwhile
                return nullptr;       // or a continuation task
            }

        private:
            Stack<SharedPtr<Task>> mParts;
        };
        SharedPtr<Task> job = makeShared<Sum>(Stack<SharedPtr<Task>>());
        Scheduler::highPriorityInstance().submit(job, TaskPriority::Normal);
        job->wait(); // rethrows what run() threw
    };
}

TEST(HeaderExamples, Semaphore) {
    Semaphore ready(0, 0);            // empty, unbounded
    ready.signal();                   // producer
    EXPECT_TRUE(ready.passOrWait(0)); // consumer
}

TEST(HeaderExamples, StandbyThread) {
    int backups = 0;
    const auto writeBackup = [&] { ++backups; };
    StandbyThread saver;
    saver.invoke([&] { writeBackup(); }, true); // background job
    saver.waitForThis();
    EXPECT_EQ(backups, 1);
}

TEST(HeaderExamples, Thread) {
    bool worked = false;
    const auto work = [&] { worked = true; };
    Thread worker([&] { work(); }, 8 * 1024 * 1024); // returns once the thread has begun
    worker.join();                                   // or worker.detach()
    EXPECT_TRUE(worked);
}

// ---- utility ----

TEST(HeaderExamples, AffineTm) {
    AffineTm scale({{2.f, 0.f, 0.f}, {0.f, 2.f, 0.f}, {0.f, 0.f, 2.f}}, {1.f, 0.f, 0.f});
    Float4 p = scale * Float4(1.f, 1.f, 1.f, 7.f); // (3, 2, 2, 7): the fourth lane is kept
    EXPECT_EQ(p.x(), 3.f);
    EXPECT_EQ(p.y(), 2.f);
    EXPECT_EQ(p.z(), 2.f);
    EXPECT_EQ(p.w(), 7.f);
}

TEST(HeaderExamples, CacheStorage) {
    struct Image {
        int getSizeInBytes() const { return 1024; }
        int mId = 5;
    };
    const uint64 key = 42;
    Image image;
    CacheStorage cache; // 50 MiB cap
    cache.insert(key, image, image.getSizeInBytes());
    Optional<Image> hit = cache.find<Image>(key);
    ASSERT_TRUE(bool(hit));
    EXPECT_EQ(hit->mId, 5);
}

TEST(HeaderExamples, Color) {
    const XYZ xyz(0.5f, 0.5f, 0.5f);
    Rgb mixed = 0.25f * Rgb(1.f, 0.f, 0.f) + 0.75f * Rgb(0.f, 0.f, 1.f);
    Rgb linear = Rgb(TM_XYZ_TO_LIN_RGB * xyz.toFloat4());
    EXPECT_EQ(mixed.r, 0.25f);
    EXPECT_EQ(mixed.b, 0.75f);
    EXPECT_GT(linear.g, 0.f);

    const Rgb pixel(0.5f, 0.5f, 0.5f);
    Rgb factors = colorAdaptation(3200.f, 6500.f); // tungsten-lit colours seen under daylight
    Rgb corrected = pixel * factors;
    EXPECT_GT(corrected.b, corrected.r);
}

TEST(HeaderExamples, CommandLine) {
    const char* const argv[] = {"program", "-v"};
    const int argc = 2;
    CommandLine::SwitchArgument verbose(u"v", u"verbose");
    CommandLine::Parser parser;
    parser.addArgument(verbose);
    parser.parseInput(CommandLine::Parser::wrapInputMac(argc, argv)); // throws Exception on bad input
    EXPECT_TRUE(verbose.isPresent());
}

TEST(HeaderExamples, Curves) {
    const Vector2 points[] = {{0.f, 0.f}, {0.5f, 0.8f}, {1.f, 1.f}};
    Curve curve(points, CurveInterpolation::PiecewiseCubic);
    float y = curve(0.25f); // passes through every point; straight lines beyond the ends
    EXPECT_GT(y, 0.f);
    EXPECT_LT(y, 0.8f);
    EXPECT_NEAR(curve(0.5f), 0.8f, 1e-6f);
}

TEST(HeaderExamples, DelayedCallback) {
    [[maybe_unused]] auto example = [] {
        struct Document {
            void save() {}
        } document;
        const auto refresh = [] { return false; };
        DelayedCallback save([&] { document.save(); }, 2000); // in two seconds, unless cancelled
        RepeatedCallback poll;
        poll.set([&] { return refresh(); }); // false stops the timer
        poll.start(100);
    };
}

TEST(HeaderExamples, Float4) {
    Float4 a(1.f, 2.f, 3.f, 4.f);
    Float4 b = max(a * a - Float4(5.f), Float4(0.f)); // (0, 0, 4, 11)
    bool allPositive = allOf(b >= Float4(0.f));
    EXPECT_EQ(b.z(), 4.f);
    EXPECT_EQ(b.w(), 11.f);
    EXPECT_TRUE(allPositive);

    auto [s, c] = sincos(Float4(0.f, 0.5f, 1.f, 2.f));
    Float4 p = powApprox(Float4(2.f), Float4(10.f)); // about 1024 in every lane
    EXPECT_NEAR(s.y(), std::sin(0.5f), 1e-5f);
    EXPECT_NEAR(c.y(), std::cos(0.5f), 1e-5f);
    EXPECT_NEAR(p.x(), 1024.f, 10.f);
}

TEST(HeaderExamples, Ies) {
    [[maybe_unused]] auto example = [] {
        Io::TextInputStream in(Io::Path(u"/data/spot.ies"));
        IesLight light = IesParser::parseIesLight(in);
        float down = light.getDistribution()->getIntensity(Dir::DOWN); // candela straight down
        return down;
    };
}

TEST(HeaderExamples, RegExp) {
    int position = -1;
    String found;
    const auto use = [&](int first, const String& text) {
        position = first;
        found = text;
    };
    RegExp number(u"[0-9]+");
    if (RegExpMatch m = number.search(u"abc 42")) use(m[0].first(), m.string()); // 4, "42"
    String masked = number.replaceAll(u"a1b22", u"#");                           // "a#b#"
    EXPECT_EQ(position, 4);
    EXPECT_EQ(found, String(u"42"));
    EXPECT_EQ(masked, String(u"a#b#"));
}

TEST(HeaderExamples, Timer) {
    int polls = 0;
    const auto poll = [&] { ++polls; };
    Timer timer(0);
    while (!timer.check())
        poll(); // at most every 500 ms in the header; at once here
    struct Scene {
        void load() { KALVEX_FUNCTION_ELAPSED_TIME(); }
    };
    std::vector<String> texts;
    const DebugOutputSink previous =
        Detail::setDebugOutputSink([&](const String& text) { texts.push_back(text); });
    Scene().load();
    Detail::setDebugOutputSink(previous);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(texts[0].startsWith(u">>>  Function call:  ")) << texts[0].toUtf8().cStr();
}

TEST(HeaderExamples, TranslationTable) {
    ScratchFolder data;
    Io::writeTextFile(data / "texts.csv", u"key,English,Deutsch\nOpen,Open,\u00D6ffnen\n",
                      Io::TextEncoding::Utf8, {});
    TranslationTable& table = TranslationTable::getInstance();
    table.registerFile(data / "texts.csv");
    table.switchLanguage(u"Deutsch");
    String label = table.getLocalized(u"Open"); // "Öffnen"; unknown keys come back unchanged
    EXPECT_EQ(label, String(u"\u00D6ffnen"));
    EXPECT_EQ(table.getLocalized(u"Close"), String(u"Close"));
}

TEST(HeaderExamples, Variant) {
    Variant<int, String> v = String(u"x");
    int length = 0;
    v.visit([&](auto& value) {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, String>) length = value.length();
    }); // throws when v is empty
    EXPECT_EQ(length, 1);
}

// ---- winapi ----

TEST(HeaderExamples, Registry) {
    [[maybe_unused]] auto example = [] {
        using namespace WinApi; // the header's own namespace
        Optional<String> dir = Registry::getStringValue(u"HKEY_CURRENT_USER/Software/Kalvex", u"Dir");
        if (Optional<Registry::Key> key = Registry::createKey(u"HKEY_CURRENT_USER/Software/Kalvex"))
            (void)key->setValue(u"Count", 3); // the result says whether the value was written
        return dir;
    };
}

TEST(HeaderExamples, Resources) {
    // This program embeds no resources.
    Optional<ArrayView<const std::byte>> logo = WinApi::getFileResourceData(nullptr, u"logo.png");
    EXPECT_FALSE(bool(logo));
}

TEST(HeaderExamples, UtilityResources) {
    const auto showImage = [](const Io::Path&) {};
    Resources resources;
    // This program embeds no resources.
    if (Optional<Io::Path> logo = resources.getResourcePath(u"logo.png")) showImage(*logo);
    EXPECT_FALSE(resources.getResourcePath(u"logo.png").hasValue());
}

TEST(HeaderExamples, WinApi) {
    Optional<Io::Path> data = WinApi::getKnownFolder(WinApi::FOLDERID_LOCAL_APP_DATA); // ".../share/"
    if (data) {
        EXPECT_TRUE(data->genericStr().endsWith(u"share/")) << data->genericStr().toUtf8().cStr();
    }
}

// ---- xml ----

TEST(HeaderExamples, XmlNode) {
    int lights = 0;
    XmlReaderNode doc(u"<scene><light type=\"sun\"/></scene>");
    if (const XmlReaderNode* scene = doc.getChild(u"scene"))
        for ([[maybe_unused]] const XmlReaderNode& light : scene->getAllChildren(u"LIGHT"))
            ++lights;
    EXPECT_EQ(lights, 1);

    XmlWriterNode root(u"scene", u"");
    root.addChild(u"light", u"").addAttribute(u"type", u"sun");
    EXPECT_EQ(root.toString(false), String(u"<scene><light type=\"sun\"/></scene>"));
}

TEST(HeaderExamples, XmlString) {
    XmlString message(u"DataType", u"1");
    message.addChild(u"FileSize", u"42");
    EXPECT_EQ(message.getChild(u"filesize"), String(u"42"));
}

TEST(HeaderExamples, XmlValidator) {
    const Io::Path path(u"curve.xml");
    XmlReaderNode doc(u"<curve><controlPoint>0 1</controlPoint></curve>");
    const XmlReaderNode* curve = doc.getChild(u"curve");
    ASSERT_NE(curve, nullptr);
    XmlValidator validator(u"curve", path);
    validator.validateChildren(
        *curve, {{u"controlPoint", 1, 2147483647, XmlValidatorFlag::LEAF | XmlValidatorFlag::XY_VECTOR}});
}
