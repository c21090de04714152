// Shared argument kinds and the parse of one sub-command's words.
#include "command.h"

#include <charconv>
#include <ostream>
#include <sstream>
#include <string>

namespace Kalvex::Tools {

ValueArgument::ValueArgument(const String& shortName, const String& longName, const String& valueName,
                             const String& description)
    : Argument(shortName, longName)
    , mValueName(valueName)
    , mDescription(description) {}

Optional<String> ValueArgument::getLast() const {
    if (mValues.isEmpty()) return NONE;
    return mValues[mValues.size() - 1];
}

int64 ValueArgument::parseInputImpl(ArrayView<const String> input, int64 index) {
    if (index + 1 >= input.size())
        throw UsageError(u"--" + getLongName() + u" needs a value (" + mValueName + u")");
    mValues.push(input[index + 1]);
    return index + 1;
}

void ValueArgument::printHelpImpl(std::ostream& out) const {
    out << CommandLine::Parser::GAP << CommandLine::Parser::GAP << mValueName << ": " << mDescription;
}

void FlagArgument::printHelpImpl(std::ostream& out) const {
    out << CommandLine::Parser::GAP << CommandLine::Parser::GAP << mDescription;
    SwitchArgument::printHelpImpl(out);
}

Stack<String> parseWords(CommandLine::Parser& parser, ArrayView<const String> words, int minCount,
                         int maxCount) {
    for (const String& word : words) {
        if (word == String(u"--help") || word == String(u"-h")) {
            std::ostringstream help;
            if (!parser.getArguments().isEmpty()) help << "options:\n";
            parser.printHelp(help);
            throw HelpRequested(help.str().c_str());
        }
    }
    try {
        parser.parseInput(words);
    } catch (const UsageError&) {
        throw;
    } catch (const Exception& failure) {
        throw UsageError(failure.getMessage());
    }
    Stack<String> values = parser.getPositionalValues();
    if (values.size() < minCount) throw UsageError("missing arguments");
    if (values.size() > maxCount) throw UsageError(u"unexpected argument " + values[maxCount].quoted());
    return values;
}

int runAction(ArrayView<const String> words, ArrayView<const Action> actions) {
    String names;
    for (const Action& action : actions) {
        if (!words.isEmpty() && words[0] == String(action.name))
            return action.run(words.getSubView(1, words.size()));
        names += (names.isEmpty() ? u"" : u", ") + String(action.name);
    }
    if (words.isEmpty()) throw UsageError(u"missing the action (" + names + u")");
    throw UsageError(u"unknown action " + words[0].quoted() + u" (" + names + u")");
}

std::string utf8(const String& text) {
    return text.toUtf8().cStr();
}

int64 parseNumber(const String& text, int64 minimum, int64 maximum, const char* what) {
    const std::string utf8 = text.toUtf8().cStr();
    int64 value = 0;
    const auto [end, error] = std::from_chars(utf8.data(), utf8.data() + utf8.size(), value);
    if (error != std::errc() || end != utf8.data() + utf8.size() || utf8.empty() || value < minimum ||
        value > maximum) {
        throw UsageError(String::fromUtf8(what) + u" must be a number from " +
                         String::fromUtf8(std::to_string(minimum).c_str()) + u" to " +
                         String::fromUtf8(std::to_string(maximum).c_str()) + u", not " + text.quoted());
    }
    return value;
}

} // namespace Kalvex::Tools
