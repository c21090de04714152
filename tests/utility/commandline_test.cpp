#include "tolvan/utility/commandline.h"

#include "tolvan/common/exception.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::CommandLine;

namespace {

std::string utf8(const String& s) {
    return s.toUtf8().cStr();
}

Stack<String> words(std::initializer_list<const char*> list) {
    Stack<String> result;
    for (const char* w : list)
        result.push(String::fromUtf8(w));
    return result;
}

std::vector<std::string> texts(const Stack<String>& list) {
    std::vector<std::string> result;
    for (const String& s : list)
        result.push_back(utf8(s));
    return result;
}

// Remembers every piece it receives.
class RecordingSubArgument : public SubArgument {
public:
    using SubArgument::SubArgument;
    std::vector<std::string> mPieces;

protected:
    void parseImpl(const String& piece) override { mPieces.push_back(utf8(piece)); }
    void printHelpImpl(std::ostream& out) const override { out << " (" << getName() << " help)"; }
};

// Takes the following word as its value, when there is one.
class ValueArgument : public Argument {
public:
    using Argument::Argument;
    std::string mValue;

protected:
    int64 parseInputImpl(ArrayView<const String> input, int64 index) override {
        if (index + 1 >= input.size()) return index;
        mValue = utf8(input[index + 1]);
        return index + 1;
    }
    void printHelpImpl(std::ostream& out) const override { out << "value help"; }
};

// Claims to have consumed an earlier element than the one it was given.
class BackwardsArgument : public Argument {
public:
    using Argument::Argument;

protected:
    int64 parseInputImpl(ArrayView<const String>, int64 index) override { return index - 5; }
    void printHelpImpl(std::ostream&) const override {}
};

class CommandLineTest : public ::testing::Test {
protected:
    CommandLineTest() {
        mSwitch.addSubArgument(mFormat);
        mSwitch.addSubArgument(mQuality);
        mParser.addArgument(mSwitch);
        mParser.addArgument(mOutput);
    }

    // Parses and returns the exception message, or "" when parsing succeeded.
    std::string parse(std::initializer_list<const char*> list) {
        try {
            mParser.parseInput(words(list));
            return "";
        } catch (const Exception& e) {
            return e.what();
        }
    }

    RecordingSubArgument mFormat{u"format"};
    RecordingSubArgument mQuality{u"q"};
    SwitchArgument mSwitch{u"", u"x"};
    ValueArgument mOutput{u"o", u"output"};
    Parser mParser;
};

} // namespace

TEST(CommandLineNameTest, ExtractArgumentName) {
    const struct {
        const char16_t* word;
        const char* name; // null: no name
    } cases[] = {
        {u"--x", "x"},
        {u"-x", "x"},
        {u"--x:a=1", "x"},
        {u"-long:", "long"},
        {u"---x", "-x"},
        {u"--", nullptr},
        {u"-", nullptr},
        {u"-:", nullptr},
        {u"--:x", nullptr},
        {u"x", nullptr},
        {u"", nullptr},
        {u"a-b", nullptr},
        {u"--\u00e9t\u00e9", "\xC3\xA9t\xC3\xA9"},
    };
    for (const auto& c : cases) {
        const Optional<String> name = Argument::extractName(c.word);
        SCOPED_TRACE(utf8(c.word));
        ASSERT_EQ(name.hasValue(), c.name != nullptr);
        if (c.name) {
            EXPECT_EQ(utf8(*name), c.name);
        }
    }
}

TEST(CommandLineNameTest, ExtractSubArgumentName) {
    const struct {
        const char16_t* piece;
        const char* name;
    } cases[] = {
        {u"format", "format"}, {u"format=exr", "format"}, {u"a=b=c", "a"}, {u"=v", ""}, {u"=", ""},
        {u"", nullptr},
    };
    for (const auto& c : cases) {
        const Optional<String> name = SubArgument::extractName(c.piece);
        SCOPED_TRACE(utf8(c.piece));
        ASSERT_EQ(name.hasValue(), c.name != nullptr);
        if (c.name) {
            EXPECT_EQ(utf8(*name), c.name);
        }
    }
}

TEST_F(CommandLineTest, ParseCases) {
    const struct {
        std::initializer_list<const char*> input;
        std::vector<std::string> positional;
        bool present;
        const char* error;
    } cases[] = {
        {{"a", "--x", "b"}, {"a", "b"}, true, ""},
        {{"-x"}, {}, true, ""},
        {{"--", "-:", "-", ""}, {"--", "-:", "-", ""}, false, ""},
        {{"--x:"}, {}, true, "Missing sub-argument name in \"x\"."},
        {{"-x::format"}, {}, true, "Missing sub-argument name in \"x\"."},
        {{"--x:foo"}, {}, true, "Sub-argument \"foo\" is not being recognized."},
        {{"--x:=1"}, {}, true, "Sub-argument \"\" is not being recognized."},
        {{"--unknown"}, {}, false, "Argument \"unknown\" is not being recognized."},
        {{"--X"}, {}, false, "Argument \"X\" is not being recognized."},
        {{"---x"}, {}, false, "Argument \"-x\" is not being recognized."},
        {{"a", "--x", "b", "--nope", "c"}, {"a", "b"}, true, "Argument \"nope\" is not being recognized."},
        {{"-o", "out.exr", "rest"}, {"rest"}, false, ""},
        {{"--output"}, {}, false, ""},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const char* w : c.input)
            joined += std::string(w) + " ";
        SCOPED_TRACE(joined);
        mSwitch.reset();
        EXPECT_EQ(parse(c.input), c.error);
        EXPECT_EQ(texts(mParser.getPositionalValues()), c.positional);
        EXPECT_EQ(mSwitch.isPresent(), c.present);
    }
}

TEST_F(CommandLineTest, SubArgumentsReceiveWholePieces) {
    EXPECT_EQ(parse({"--x:format=exr:q=9:format"}), "");
    EXPECT_EQ(mFormat.mPieces, (std::vector<std::string>{"format=exr", "format"}));
    EXPECT_EQ(mQuality.mPieces, (std::vector<std::string>{"q=9"}));
    EXPECT_EQ(parse({"-o", "file.txt"}), "");
    EXPECT_EQ(mOutput.mValue, "file.txt");
}

TEST_F(CommandLineTest, PresentStaysUntilResetAndPositionalValuesDoNot) {
    EXPECT_EQ(parse({"--x", "first"}), "");
    EXPECT_EQ(parse({"second"}), "");
    EXPECT_TRUE(mSwitch.isPresent());
    EXPECT_EQ(texts(mParser.getPositionalValues()), std::vector<std::string>{"second"});
    mSwitch.reset();
    EXPECT_FALSE(mSwitch.isPresent());
}

TEST_F(CommandLineTest, FirstRegisteredMatchWins) {
    SwitchArgument shadow(u"x", u"");
    mParser.addArgument(shadow);
    EXPECT_EQ(parse({"-x"}), "");
    EXPECT_TRUE(mSwitch.isPresent());
    EXPECT_FALSE(shadow.isPresent());
}

TEST_F(CommandLineTest, ArgumentGoingBackwardsCannotLoopForever) {
    BackwardsArgument backwards(u"b", u"");
    mParser.addArgument(backwards);
    EXPECT_EQ(parse({"-b", "after", "-b"}), "");
    EXPECT_EQ(texts(mParser.getPositionalValues()), std::vector<std::string>{"after"});
}

TEST_F(CommandLineTest, DirectCallOutsideTheInputThrows) {
    const Stack<String> input = words({"--x"});
    EXPECT_THROW((void)mSwitch.parseInput(input, 1), Exception);
    EXPECT_THROW((void)mSwitch.parseInput(input, -1), Exception);
    EXPECT_FALSE(mSwitch.isPresent());
    EXPECT_EQ(mSwitch.parseInput(input, 0), 0);
    EXPECT_TRUE(mSwitch.isPresent());
}

TEST_F(CommandLineTest, HelpListing) {
    SwitchArgument shortOnly(u"s", u"");
    SwitchArgument accented(u"\u00e9", u"\u00fcber");
    mParser.addArgument(shortOnly);
    mParser.addArgument(accented);
    std::ostringstream out;
    mParser.printHelp(out);
    EXPECT_EQ(Parser::GAP, u"    ");
    EXPECT_EQ(out.str(), "    --x\n"
                         "        :format (format help)\n"
                         "        :q (q help)\n"
                         "\n"
                         "    -o, --output\n"
                         "value help\n"
                         "    -s\n"
                         "\n"
                         "    -\xC3\xA9, --\xC3\xBC"
                         "ber\n"
                         "\n");
}

TEST(CommandLineWrapTest, WideArguments) {
    const wchar_t* argv[] = {L"app", L"--x", L"caf\u00e9", L"\U0001F600", nullptr};
    const Stack<String> result = Parser::wrapInputWindows(4, argv);
    EXPECT_EQ(texts(result), (std::vector<std::string>{"--x", "caf\xC3\xA9", "\xF0\x9F\x98\x80"}));
    EXPECT_TRUE(Parser::wrapInputWindows(1, argv).isEmpty());
    EXPECT_TRUE(Parser::wrapInputWindows(0, nullptr).isEmpty());
}

TEST(CommandLineWrapTest, Utf8Arguments) {
    const struct {
        std::vector<const char*> argv;
        std::vector<std::string> expected;
    } cases[] = {
        {{"app", "-psn_0_123", "--x"}, {"--x"}},
        {{"app", "--x", "-psn_0_123"}, {"--x", "-psn_0_123"}},
        {{"app", "-ps", "\xC3\xA9"}, {"-ps", "\xC3\xA9"}},
        {{"app", "\xFF"}, {"\xEF\xBF\xBD"}},
        {{"app"}, {}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(texts(Parser::wrapInputMac(int(c.argv.size()), c.argv.data())), c.expected);
    }
}
