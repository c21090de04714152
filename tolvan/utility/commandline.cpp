// Command-line parsing: name extraction, dispatch to the registered arguments and the help listing.
#include "tolvan/utility/commandline.h"

#include "tolvan/common/exception.h"

#include <algorithm>
#include <ostream>
#include <string>

namespace Kalvex::CommandLine {

namespace {

Optional<String> nameAfterPrefix(const String& word, int prefixLength) {
    const int colon = word.find(u':', prefixLength);
    const int end = colon == String::nPos ? word.length() : colon;
    if (end <= prefixLength) return NONE;
    return word.getSubstr(prefixLength, end - prefixLength);
}

} // namespace

// Argument

Optional<String> Argument::extractName(const String& word) {
    if (word.startsWith(u"--")) return nameAfterPrefix(word, 2);
    if (word.startsWith(u"-")) return nameAfterPrefix(word, 1);
    return NONE;
}

int64 Argument::parseInput(ArrayView<const String> input, int64 index) {
    if (index < 0 || index >= input.size()) {
        const std::string message = "Argument index " + std::to_string(index) + " is outside the " +
                                    std::to_string(input.size()) + " command-line elements.";
        throw Exception(message.c_str());
    }
    return parseInputImpl(input, index);
}

// SubArgument

Optional<String> SubArgument::extractName(const String& piece) {
    if (piece.isEmpty()) return NONE;
    const int equals = piece.find(u'=');
    return equals == String::nPos ? piece : piece.getSubstr(0, equals);
}

// SwitchArgument

int64 SwitchArgument::parseInputImpl(ArrayView<const String> input, int64 index) {
    const Stack<String> pieces = input[index].explode(u":", String::KEEP_EMPTY);
    const String switchName = extractName(pieces[0]).valueOr(String());
    mPresent = true;
    for (int i = 1; i < pieces.size(); ++i) {
        const Optional<String> name = SubArgument::extractName(pieces[i]);
        if (!name) throw Exception(u"Missing sub-argument name in \"" + switchName + u"\".");
        const auto found = std::find_if(mSubArguments.begin(), mSubArguments.end(),
                                        [&](const SubArgument* sub) { return sub->getName() == *name; });
        if (found == mSubArguments.end()) {
            throw Exception(u"Sub-argument \"" + *name + u"\" is not being recognized.");
        }
        (*found)->parse(pieces[i]);
    }
    return index;
}

void SwitchArgument::printHelpImpl(std::ostream& out) const {
    for (const SubArgument* sub : mSubArguments) {
        out << Parser::GAP << Parser::GAP << ':' << sub->getName();
        sub->printHelp(out);
        out << '\n';
    }
}

// Parser

const String Parser::GAP = u"    ";

Argument* Parser::findArgument(const String& name) const noexcept {
    for (Argument* argument : mArguments) {
        if (argument->getShortName() == name || argument->getLongName() == name) return argument;
    }
    return nullptr;
}

void Parser::parseInput(ArrayView<const String> input) {
    mPositionalValues.clear();
    for (int64 i = 0; i < input.size(); ++i) {
        const Optional<String> name = Argument::extractName(input[i]);
        if (!name) {
            mPositionalValues.push(input[i]);
            continue;
        }
        Argument* argument = findArgument(*name);
        if (!argument) throw Exception(u"Argument \"" + *name + u"\" is not being recognized.");
        // An argument that claims to have consumed nothing still moves the parse forward.
        i = std::max(argument->parseInput(input, i), i);
    }
}

void Parser::printHelp(std::ostream& out) const {
    for (const Argument* argument : mArguments) {
        out << GAP;
        const bool hasShort = !argument->getShortName().isEmpty();
        const bool hasLong = !argument->getLongName().isEmpty();
        if (hasShort) out << '-' << argument->getShortName() << (hasLong ? ", " : "");
        if (hasLong) out << "--" << argument->getLongName();
        out << '\n';
        argument->printHelp(out);
        out << '\n';
    }
}

Stack<String> Parser::wrapInputWindows(int argc, const wchar_t* const* argv) {
    Stack<String> words;
    for (int i = 1; argv && i < argc; ++i)
        words.push(argv[i] ? String(argv[i]) : String());
    return words;
}

Stack<String> Parser::wrapInputMac(int argc, const char* const* argv) {
    Stack<String> words;
    for (int i = 1; argv && i < argc; ++i) {
        if (i == 1 && argv[i] && std::string_view(argv[i]).starts_with("-psn")) continue;
        words.push(argv[i] ? String::fromUtf8(argv[i]) : String());
    }
    return words;
}

} // namespace Kalvex::CommandLine
