// The pieces every sub-command of the `tolvan` program shares: the failure kinds and their exit codes,
// an argument that takes the next word as its value, and the parse of one sub-command's words.
#pragma once

#include "tolvan/common/exception.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"
#include "tolvan/utility/commandline.h"

#include <string>

namespace Kalvex::Tools {

/// Exit codes of the program.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

/// A command line the sub-command cannot use; the program prints the message and exits with EXIT_USAGE.
class UsageError : public Exception {
public:
    using Exception::Exception;
};

/// "--help" among a sub-command's words: the program prints the sub-command's synopsis and this text
/// (the options' help listing) on standard output and exits with EXIT_OK.
class HelpRequested : public Exception {
public:
    using Exception::Exception;
};

/// "--name VALUE": takes the word after the switch as its value; repeatable, every value is kept.
class ValueArgument : public CommandLine::Argument {
public:
    ValueArgument(const String& shortName, const String& longName, const String& valueName,
                  const String& description);

    [[nodiscard]] bool isPresent() const noexcept { return !mValues.isEmpty(); }
    /// Every value given, in order.
    [[nodiscard]] const Stack<String>& getValues() const noexcept { return mValues; }
    /// The last value given; empty when the switch was not given.
    [[nodiscard]] Optional<String> getLast() const;

protected:
    /// Consumes the switch and the following word; throws UsageError when no word follows.
    int64 parseInputImpl(ArrayView<const String> input, int64 index) override;
    void printHelpImpl(std::ostream& out) const override;

private:
    String mValueName;
    String mDescription;
    Stack<String> mValues;
};

/// A switch without a value, with a one-line description in the help listing.
class FlagArgument : public CommandLine::SwitchArgument {
public:
    FlagArgument(const String& shortName, const String& longName, const String& description)
        : SwitchArgument(shortName, longName)
        , mDescription(description) {}

protected:
    void printHelpImpl(std::ostream& out) const override;

private:
    String mDescription;
};

/// Parses `words` with `parser` and returns the positional values; throws HelpRequested when a word is
/// "--help" or "-h", UsageError when parsing
/// fails or the count of positional values is outside [minCount, maxCount].
Stack<String> parseWords(CommandLine::Parser& parser, ArrayView<const String> words, int minCount,
                         int maxCount);

/// One action of a sub-command that has several ("pack create", "pack list", ...).
struct Action {
    const char16_t* name;
    int (*run)(ArrayView<const String> words);
};

/// Runs the action that words[0] names with the words after it; throws UsageError when there is no
/// word or it names none of `actions`.
int runAction(ArrayView<const String> words, ArrayView<const Action> actions);

/// The text as a UTF-8 std::string.
[[nodiscard]] std::string utf8(const String& text);

/// A decimal number within [minimum, maximum]; throws UsageError naming `what` otherwise.
int64 parseNumber(const String& text, int64 minimum, int64 maximum, const char* what);

// The sub-commands: each takes the words after its name and returns the exit code. Usage errors are
// thrown as UsageError, failures as Exception.
int runSend(ArrayView<const String> words);
int runReceive(ArrayView<const String> words);
int runPack(ArrayView<const String> words);
int runImage(ArrayView<const String> words);
int runHash(ArrayView<const String> words);
int runReg(ArrayView<const String> words);
int runSysinfo(ArrayView<const String> words);
int runDemo(ArrayView<const String> words);

/// The SHA-256 of the file as lower-case hexadecimal; throws Exception when it cannot be read.
[[nodiscard]] String sha256OfFile(const Io::Path& path);

/// Whether standard error is a terminal (progress bars are drawn only there).
[[nodiscard]] bool isStandardErrorTerminal();
/// This process's identifier.
[[nodiscard]] uint32 getProcessNumber();

} // namespace Kalvex::Tools
