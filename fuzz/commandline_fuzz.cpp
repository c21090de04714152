// Arbitrary argument lists through the command-line parser: the input is split at zero bytes into
// UTF-8 words (the first one is dropped as the program name, as wrapInputMac does). Parsing either
// succeeds or throws Exception; positional values are exactly the words that name no argument, and the
// help listing can always be printed.
#include "tolvan/common/exception.h"
#include "tolvan/utility/commandline.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::CommandLine;

namespace {

class CountingSubArgument : public SubArgument {
public:
    using SubArgument::SubArgument;
    int mCount = 0;

protected:
    void parseImpl(const String& piece) override {
        // Every piece handed over carries this sub-argument's name.
        if (SubArgument::extractName(piece).valueOr(String(u"\x1F")) != getName()) std::abort();
        ++mCount;
    }
    void printHelpImpl(std::ostream& out) const override { out << " count"; }
};

// Consumes the following word when there is one.
class ValueArgument : public Argument {
public:
    using Argument::Argument;

protected:
    int64 parseInputImpl(ArrayView<const String> input, int64 index) override {
        return index + 1 < input.size() ? index + 1 : index;
    }
    void printHelpImpl(std::ostream& out) const override { out << "value"; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words(1);
    for (size_t i = 0; i < size && words.size() < 256; ++i) {
        if (data[i] == 0) {
            words.emplace_back();
        } else {
            words.back() += char(data[i]);
        }
    }
    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    const Stack<String> input = Parser::wrapInputMac(int(argv.size()), argv.data());
    if (input.size() > int(argv.size())) std::abort();

    CountingSubArgument format(u"format"), quality(u"q"), empty(u"");
    SwitchArgument output(u"o", u"output"), verbose(u"v", u"");
    output.addSubArgument(format);
    output.addSubArgument(quality);
    output.addSubArgument(empty);
    ValueArgument value(u"", u"value");
    Parser parser;
    parser.addArgument(output);
    parser.addArgument(verbose);
    parser.addArgument(value);

    bool failed = false;
    try {
        parser.parseInput(input);
    } catch (const Exception& e) {
        failed = true;
        if (e.what()[0] == '\0') std::abort();
    }
    const Stack<String>& positional = parser.getPositionalValues();
    if (positional.size() > input.size()) std::abort();
    for (const String& word : positional) {
        if (Argument::extractName(word).hasValue()) std::abort();
    }
    if (!failed) {
        // Without a value argument in play, every word is either positional or a known switch.
        int named = 0;
        for (const String& word : input)
            named += Argument::extractName(word).hasValue() ? 1 : 0;
        if (named == 0 && positional.size() != input.size()) std::abort();
    }
    std::ostringstream help;
    parser.printHelp(help);
    if (help.str().empty()) std::abort();
    return 0;
}
