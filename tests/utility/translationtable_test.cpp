#include "tolvan/utility/translationtable.h"

#include "tolvan/common/lib.h"
#include "tolvan/io/textstream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

using namespace Kalvex;

namespace {

std::string toStd(const String& s) {
    return s.toUtf8().cStr();
}

ArrayView<const std::byte> bytesOf(const std::string& text) {
    return ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(text.data()), int64(text.size()));
}

// A folder of its own for the files of one test.
class TranslationFiles : public ::testing::Test {
protected:
    void SetUp() override {
        mDir = std::filesystem::temp_directory_path() / ("tolvan_translation_" + std::to_string(getpid()));
        std::filesystem::create_directories(mDir);
    }
    void TearDown() override { std::filesystem::remove_all(mDir); }

    Io::Path write(const char* name, const String& text, Io::TextEncoding encoding) const {
        const Io::Path path(String::fromUtf8((mDir / name).string()));
        Io::TextOutputStream out(path, encoding, Io::TextOutputStream::Open::WriteBom);
        out.write(text);
        out.close();
        return path;
    }

    std::filesystem::path mDir;
};

const std::string OPEN_TABLE = "key,English,Deutsch\nOpen,Open,\xC3\x96\x66\x66nen\nClose,Close\n\n";

} // namespace

TEST(TranslationTable, TranslatesIntoTheCurrentLanguage) {
    TranslationTable table;
    EXPECT_EQ(toStd(table.getCurrentLanguage()), "English");
    table.registerResource(bytesOf(OPEN_TABLE));
    EXPECT_EQ(toStd(table.getLocalized(u"Open")), "Open");
    EXPECT_EQ(toStd(table.getLocalized(u"Save")), "Save");
    ASSERT_EQ(table.getLanguageList().size(), 2);
    EXPECT_EQ(toStd(table.getLanguageList()[0]), "Deutsch");
    EXPECT_EQ(toStd(table.getLanguageList()[1]), "English");

    table.switchLanguage(u"Deutsch");
    EXPECT_EQ(toStd(table.getCurrentLanguage()), "Deutsch");
    EXPECT_EQ(toStd(table.getLocalized(u"Open")), "\xC3\x96\x66\x66nen");
    EXPECT_EQ(toStd(table.getLocalized(u"Close")), "Close"); // the row has no German cell
    EXPECT_EQ(toStd(table.getLocalized(u"Save")), "Save");

    // A language no table has: every key comes back unchanged.
    table.switchLanguage(u"Klingon");
    EXPECT_EQ(toStd(table.getLocalized(u"Open")), "Open");
}

TEST(TranslationTable, LaterTablesAndLaterColumnsWin) {
    TranslationTable table;
    table.registerResource(bytesOf("key,English,English\nOpen,first column,second column\nA,a\n"));
    EXPECT_EQ(toStd(table.getLocalized(u"Open")), "second column");
    table.registerResource(bytesOf("key,English\nOpen,later table\nB,b\nB,b again\n"));
    EXPECT_EQ(toStd(table.getLocalized(u"Open")), "later table");
    // The chosen column is the second "English" one, which the row "A,a" does not reach.
    EXPECT_EQ(toStd(table.getLocalized(u"A")), "A");
    EXPECT_EQ(toStd(table.getLocalized(u"B")), "b again");
    EXPECT_EQ(table.getLanguageList().size(), 1); // "English" once
}

TEST_F(TranslationFiles, FilesInEitherEncodingAreReadBeforeResourcesOnASwitch) {
    TranslationTable table;
    const std::string resource = "key,English,Deutsch\nOpen,Open,aus dem Speicher\n";
    table.registerResource(bytesOf(resource));
    table.registerFile(
        write("a.csv", u"key,English,Deutsch\r\nOpen,Open,aus UTF-16\r\n", Io::TextEncoding::Utf16Le));
    table.registerFile(write("b.csv", u"key,Deutsch\nSave,Speichern\n", Io::TextEncoding::Utf8));
    table.switchLanguage(u"Deutsch");
    // Files first, then resources: the resource's row is read last.
    EXPECT_EQ(toStd(table.getLocalized(u"Open")), "aus dem Speicher");
    EXPECT_EQ(toStd(table.getLocalized(u"Save")), "Speichern");

    // A missing file throws, and stays registered.
    EXPECT_THROW(table.registerFile(Io::Path(String::fromUtf8((mDir / "missing.csv").string()))), Exception);
    EXPECT_THROW(table.switchLanguage(u"English"), Exception);
}

TEST(TranslationTable, CallbacksAreWeakAndCalledOnChanges) {
    TranslationTable table;
    int calls = 0;
    TranslationTable::Callback kept = [&calls](const TranslationTable&) { ++calls; };
    int droppedCalls = 0;
    TranslationTable::Callback dropped = [&droppedCalls](const TranslationTable&) { ++droppedCalls; };
    table.registerCallback(kept);
    table.registerCallback(dropped);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(droppedCalls, 1);
    dropped.reset();

    table.registerResource(bytesOf(OPEN_TABLE));
    EXPECT_EQ(calls, 2);
    table.switchLanguage(u"English"); // already current: nothing re-read, nobody told
    EXPECT_EQ(calls, 2);
    table.switchLanguage(u"Deutsch");
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(droppedCalls, 1);

    // A callback that registers another one while being told.
    TranslationTable::Callback inner = [&calls](const TranslationTable&) { calls += 100; };
    TranslationTable::Callback outer = [&](const TranslationTable& t) {
        if (t.getCurrentLanguage() == u"English") table.registerCallback(inner);
    };
    table.registerCallback(outer);
    table.switchLanguage(u"English");
    EXPECT_EQ(calls, 4 + 100);
}

TEST(TranslationTable, TheProcessWideTableEndsWithTheLastShutdown) {
    Lib::startup();
    TranslationTable& table = TranslationTable::getInstance();
    EXPECT_EQ(&table, &TranslationTable::getInstance());
    table.registerResource(bytesOf(OPEN_TABLE));
    table.switchLanguage(u"Deutsch");
    Lib::shutdown();
    EXPECT_EQ(toStd(TranslationTable::getInstance().getCurrentLanguage()), "English");
    EXPECT_EQ(toStd(TranslationTable::getInstance().getLocalized(u"Open")), "Open");
}
