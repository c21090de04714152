// tolvan: the library's companion program. Each sub-command lives in a file of its own; this file picks
// the sub-command, turns every failure into one line on standard error and an exit code (2 for usage
// errors, 1 for failures) and prints the help.
#include "command.h"

#include "tolvan/common/lib.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <string>

using namespace Kalvex;
using namespace Kalvex::Tools;

namespace {

struct Command {
    const char* name;
    int (*run)(ArrayView<const String>);
    const char* synopsis;
};

const Command COMMANDS[] = {
    {"send", runSend, "send FILE HOST:PORT [--deflate] [--key name=value ...]"},
    {"receive", runReceive, "receive PORT DIR [--once] [--bind ADDRESS]"},
    {"pack", runPack,
     "pack create DIR OUT.pack [--compress] [--seed N] | pack list FILE | pack extract FILE DIR"},
    {"image", runImage, "image info FILE | image convert IN OUT [--format DEFAULT|UINT8_RGB|...]"},
    {"hash", runHash, "hash [--md5|--sha256] FILE..."},
    {"reg", runReg,
     "reg get PATH NAME | reg set PATH NAME VALUE [--dword|--qword] | reg list PATH | "
     "reg delete PATH [NAME]"},
    {"sysinfo", runSysinfo, "sysinfo"},
    {"demo", runDemo, "demo"},
};

void printUsage(std::FILE* out) {
    std::fputs("usage: tolvan COMMAND [ARGUMENTS]   (no command: the demo)\n", out);
    for (const Command& command : COMMANDS)
        std::fprintf(out, "    tolvan %s\n", command.synopsis);
    std::fputs("    tolvan help\n", out);
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : COMMANDS) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

int runCommand(const Command& command, ArrayView<const String> words) {
    try {
        return command.run(words);
    } catch (const HelpRequested& help) {
        std::printf("usage: tolvan %s\n%s", command.synopsis, help.what());
        return EXIT_OK;
    } catch (const UsageError& failure) {
        std::fprintf(stderr, "tolvan %s: %s (usage: tolvan %s)\n", command.name, failure.what(),
                     command.synopsis);
        return EXIT_USAGE;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tolvan %s: out of memory\n", command.name);
        return EXIT_FAILED;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "tolvan %s: %s\n", command.name, failure.what());
        return EXIT_FAILED;
    } catch (...) {
        std::fprintf(stderr, "tolvan %s: unexpected failure\n", command.name);
        return EXIT_FAILED;
    }
}

} // namespace

int main(int argc, char** argv) {
    const Stack<String> words = CommandLine::Parser::wrapInputMac(argc, argv);
    if (words.isEmpty()) return runCommand(*findCommand("demo"), {});
    const std::string name = words[0].toUtf8().cStr();
    if (name == "help" || name == "--help" || name == "-h") {
        printUsage(stdout);
        return EXIT_OK;
    }
    const Command* command = findCommand(name);
    if (!command) {
        std::fprintf(stderr, "tolvan: unknown command \"%s\" (tolvan help lists the commands)\n",
                     name.c_str());
        return EXIT_USAGE;
    }
    Lib::startup();
    const int code = runCommand(*command, ArrayView<const String>(words).getSubView(1, words.size()));
    Lib::shutdown();
    std::fflush(stdout);
    return code;
}
