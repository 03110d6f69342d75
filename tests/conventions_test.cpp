// Every program's command-line conventions, run as separate processes:
// --help and --version on standard output with status 0, status 1 when that
// output cannot be written, usage errors with status 2, one line and a hint
// on standard error; and where smc keeps its own statuses.
#include "support/Process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing_support::ProcessResult;
using testing_support::runProgram;

namespace {

const std::string kVersion = PROJECT_VERSION_TEXT;

enum class Match { Exact, Prefix, Contains };

struct Expected {
    Match match;
    std::string text;
};

struct Case {
    std::string program;
    std::vector<std::string> arguments;
    int status;
    Expected output;
    Expected errors;
    bool outputToFullDevice = false;  // standard output is /dev/full
};

bool matches(const Expected& expected, const std::string& actual)
{
    switch (expected.match) {
    case Match::Exact:
        return actual == expected.text;
    case Match::Prefix:
        return actual.starts_with(expected.text);
    case Match::Contains:
        return actual.find(expected.text) != std::string::npos;
    }
    return false;
}

std::string shown(const Case& c)
{
    std::string text = c.program;
    for (const std::string& argument : c.arguments)
        text += " '" + argument + "'";
    return text + (c.outputToFullDevice ? " > /dev/full" : "");
}

Expected nothing()
{
    return {Match::Exact, ""};
}

Expected usageError(const std::string& program, const std::string& problem)
{
    return {Match::Exact, program + ": " + problem + "\nTry '" + program + " --help'.\n"};
}

// What each program that follows the conventions whole answers alike.
std::vector<Case> commonCases()
{
    std::vector<Case> cases;
    for (std::string program : {"smcd", "sensors-host", "smcfs", "smcfan", "smcfand"}) {
        cases.push_back({program, {"--help"}, 0, {Match::Prefix, "Usage: " + program + " "}, nothing()});
        cases.push_back({program, {"--version"}, 0, {Match::Exact, program + " " + kVersion + "\n"}, nothing()});
        cases.push_back({program, {"--no-such-option"}, 2, nothing(),
                         usageError(program, "unknown option --no-such-option")});
        cases.push_back({program, {"-Q"}, 2, nothing(), usageError(program, "unknown option -Q")});
        for (const char* request : {"--help", "--version"})
            cases.push_back({program, {request}, 1, nothing(), {Match::Contains, "cannot write standard output"}, true});
    }
    return cases;
}

TEST(Conventions, EveryProgram)
{
    std::vector<Case> cases = commonCases();
    const Case specific[] = {
        // Missing, unwanted and bad option arguments, and stray operands.
        {"smcd", {"--socket"}, 2, nothing(), usageError("smcd", "option --socket needs an argument")},
        {"smcd", {"-rs"}, 2, nothing(), usageError("smcd", "option -s needs an argument")},
        {"smcd", {"--keep-fans=yes"}, 2, nothing(), usageError("smcd", "option --keep-fans takes no argument")},
        {"smcd", {"--fan-model", "maybe"}, 2, nothing(),
         usageError("smcd", "--fan-model: expected on or off, not \"maybe\"")},
        {"smcd", {"extra"}, 2, nothing(), usageError("smcd", "unexpected argument \"extra\"")},
        {"smcd", {"--load", "trace"}, 2, nothing(),
         usageError("smcd", "--load needs an emulated SMC: --service builtin or a profile")},
        // Every user's default socket, not only the caller's.
        {"smcd", {"--help"}, 0, {Match::Contains, "$XDG_RUNTIME_DIR/smcd.sock, else\n"}, nothing()},
        {"sensors-host", {"-m"}, 2, nothing(), usageError("sensors-host", "option -m needs an argument")},
        {"sensors-host", {"--json=yes"}, 2, nothing(),
         usageError("sensors-host", "option --json takes no argument")},
        {"sensors-host", {"--all", "-xj"}, 2, nothing(), usageError("sensors-host", "unknown option -x")},
        {"sensors-host", {"extra"}, 2, nothing(), usageError("sensors-host", "unexpected argument \"extra\"")},
        {"sensors-host", {"-p"}, 1, nothing(), {Match::Contains, "cannot write standard output"}, true},
        {"smcfs", {}, 2, nothing(), usageError("smcfs", "expected a mount point")},
        {"smcfs", {"/mnt", "extra"}, 2, nothing(), usageError("smcfs", "unexpected argument \"extra\"")},
        {"smcfs", {"--layout"}, 2, nothing(), usageError("smcfs", "option --layout needs an argument")},
        {"smcfs", {"--layout", "flat", "/mnt"}, 2, nothing(),
         usageError("smcfs", "unknown layout \"flat\": classic or hwmon")},
        {"smcfan", {"spin"}, 2, nothing(), usageError("smcfan", "unknown command \"spin\"")},
        {"smcfan", {"set", "0"}, 2, nothing(), usageError("smcfan", "expected: set FAN min|target RPM")},
        // smc keeps its own statuses; only a whole --help or --version is new.
        {"smc", {"--help"}, 0, {Match::Prefix, "Apple System Management Control (SMC) tool " + kVersion + "\nUsage:\n"},
         nothing()},
        {"smc", {"--version"}, 0, {Match::Exact, "smc " + kVersion + "\n"}, nothing()},
        {"smc", {"-v"}, 0, {Match::Exact, kVersion + "\n"}, nothing()},
        {"smc", {"--no-such-option"}, 1, {Match::Prefix, "Apple System Management Control (SMC) tool "},
         {Match::Contains, "invalid option"}},
        {"smc", {"--help"}, 1, nothing(), {Match::Contains, "cannot write standard output"}, true},
        {"smc", {"--version"}, 1, nothing(), {Match::Contains, "cannot write standard output"}, true},
    };
    cases.insert(cases.end(), std::begin(specific), std::end(specific));

    const std::vector<std::string> toFullDevice = {"/bin/sh", "-c", "exec \"$@\" > /dev/full", "sh"};
    for (const Case& c : cases) {
        ProcessResult run = runProgram(BIN_DIR "/" + c.program, c.arguments, {"SMC_SERVICE=none"},
                                       c.outputToFullDevice ? toFullDevice : std::vector<std::string>());
        EXPECT_EQ(run.status, c.status) << shown(c) << "\n" << run.errors;
        EXPECT_TRUE(matches(c.output, run.output)) << shown(c) << "\nstandard output: " << run.output;
        EXPECT_TRUE(matches(c.errors, run.errors)) << shown(c) << "\nstandard error: " << run.errors;
    }
}

}  // namespace
