// Command-line parsing: the program registers named switches (which may carry named sub-arguments), the
// parser dispatches every "-name" / "--name" word to its argument and keeps the other words as
// positional values; it also prints a help listing.
//
//   CommandLine::SwitchArgument verbose(u"v", u"verbose");
//   CommandLine::Parser parser;
//   parser.addArgument(verbose);
//   parser.parseInput(CommandLine::Parser::wrapInputMac(argc, argv));   // throws Exception on bad input
//   if (verbose.isPresent()) ...
//
// Syntax: "--output:format=exr:quality=9" names the switch "output" with the sub-arguments
// "format=exr" and "quality=9". Argument objects belong to the program; the parser and the switches
// keep only pointers, so the objects must outlive them.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"

#include <iosfwd>

namespace Kalvex::CommandLine {

/// A named command-line argument with a short and a long name (either may be empty).
class Argument : public Polymorphic {
public:
    /// An argument known by `shortName` and `longName` (either may be empty).
    Argument(const String& shortName, const String& longName)
        : mShortName(shortName)
        , mLongName(longName) {}

    /// The name of an argument word: after a "--" or "-" prefix, up to the first ":" (or the end).
    /// Empty when the word has no dash prefix or the name would be empty ("--", "-:").
    [[nodiscard]] static Optional<String> extractName(const String& word);

    /// The short name (after "-").
    [[nodiscard]] const String& getShortName() const noexcept { return mShortName; }
    /// The long name (after "--").
    [[nodiscard]] const String& getLongName() const noexcept { return mLongName; }

    /// Consumes the argument at input[index] (and possibly elements after it); returns the index of the
    /// last element consumed. Throws Exception when `index` is outside the input or the word is invalid.
    int64 parseInput(ArrayView<const String> input, int64 index);
    /// Writes the argument's description.
    void printHelp(std::ostream& out) const { printHelpImpl(out); }

protected:
    /// May assume 0 <= index < input.size(); must return a value >= index.
    virtual int64 parseInputImpl(ArrayView<const String> input, int64 index) = 0;
    /// Writes the description, for printHelp().
    virtual void printHelpImpl(std::ostream& out) const = 0;

private:
    String mShortName;
    String mLongName;
};

/// One named option of a switch, given as "name" or "name=value" after the switch's ":".
class SubArgument : public Polymorphic {
public:
    /// A sub-argument known by `name`.
    explicit SubArgument(const String& name)
        : mName(name) {}

    /// The text before the first "=" (the whole piece when there is none, possibly ""); empty for "".
    [[nodiscard]] static Optional<String> extractName(const String& piece);

    /// The name.
    [[nodiscard]] const String& getName() const noexcept { return mName; }

    /// Receives the whole sub-argument text ("name" or "name=value"); may throw Exception.
    void parse(const String& piece) { parseImpl(piece); }
    /// Writes the sub-argument's description (after its name on the same line).
    void printHelp(std::ostream& out) const { printHelpImpl(out); }

protected:
    /// Parses the piece, for parse().
    virtual void parseImpl(const String& piece) = 0;
    /// Writes the description, for printHelp().
    virtual void printHelpImpl(std::ostream& out) const = 0;

private:
    String mName;
};

/// A switch: "present" once it was parsed; its ":"-separated sub-arguments go to registered SubArguments.
class SwitchArgument : public Argument {
public:
    /// A switch known by its short and long name.
    using Argument::Argument;

    /// Registers a sub-argument (not owned; it must outlive the switch).
    void addSubArgument(SubArgument& subArgument) { mSubArguments.push(&subArgument); }
    /// The registered sub-arguments in order.
    [[nodiscard]] ArrayView<SubArgument* const> getSubArguments() const noexcept { return mSubArguments; }

    /// True once the switch was parsed; parsing again does not clear it (see reset()).
    [[nodiscard]] bool isPresent() const noexcept { return mPresent; }
    /// Clears "present", for example before parsing another command line.
    void reset() noexcept { mPresent = false; }

protected:
    /// Sets "present" and hands each sub-argument piece to its SubArgument; consumes one element.
    /// Throws Exception for an empty piece or an unknown sub-argument name.
    int64 parseInputImpl(ArrayView<const String> input, int64 index) override;
    /// One line per sub-argument: two GAPs, ":" and its name, then its own description.
    void printHelpImpl(std::ostream& out) const override;

private:
    Stack<SubArgument*> mSubArguments;
    bool mPresent = false;
};

/// Dispatches a command line to the registered arguments and collects the positional values.
class Parser {
public:
    /// Four spaces, the indentation unit of the help listing.
    static const String GAP;

    Parser() = default;

    /// Registers an argument (not owned; it must outlive the parser). The first registered argument
    /// whose short or long name matches a word wins.
    void addArgument(Argument& argument) { mArguments.push(&argument); }
    /// The registered arguments in order.
    [[nodiscard]] ArrayView<Argument* const> getArguments() const noexcept { return mArguments; }

    /// Empties the positional values, then parses `input` word by word. Throws Exception with
    /// "Argument \"name\" is not being recognized." for an unknown name, or the message of the
    /// argument that failed; the values and switches parsed before the failure are kept.
    void parseInput(ArrayView<const String> input);
    /// The words that named no argument, in order.
    [[nodiscard]] const Stack<String>& getPositionalValues() const noexcept { return mPositionalValues; }

    /// For each argument: GAP, "-short", ", ", "--long" (as present), a line end, its description and a
    /// line end. Names are written in UTF-8.
    void printHelp(std::ostream& out) const;

    /// argv[1] .. argv[argc - 1] from wide (UTF-32) text; the program name is dropped.
    [[nodiscard]] static Stack<String> wrapInputWindows(int argc, const wchar_t* const* argv);
    /// argv[1] .. argv[argc - 1] from UTF-8; a leading "-psn..." (process serial number) word is dropped too.
    [[nodiscard]] static Stack<String> wrapInputMac(int argc, const char* const* argv);

private:
    [[nodiscard]] Argument* findArgument(const String& name) const noexcept;

    Stack<Argument*> mArguments;
    Stack<String> mPositionalValues;
};

} // namespace Kalvex::CommandLine
