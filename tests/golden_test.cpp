// Golden tests of the programs (smc, sensors-host): transcripts of runs
// against small machine profiles, each checked for its exact standard output
// and exit status.
//
// A golden file holds cases like this one:
//   profile fans.profile          (for the cases after it; "none", "builtin" or
//                                  "unix:PATH" too)
//   $ smc -k FNum -r              (arguments split at blanks; '' is an empty one)
//     FNum  [ui8 ]  2 (bytes 02)  (the exact standard output)
//   (stderr)                      (optional: something goes to standard error;
//   (stderr) TEXT                  or exactly these lines)
//   exit 0
// "$BIN" and "$GOLDEN" in arguments and texts stand for the directory of the
// built programs and that of the golden files.
#include "smc/tool/smctool.h"
#include "backends/emulated/EmulatedSMC.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

using testing_support::ProcessResult;
using testing_support::runProgram;

namespace {

struct GoldenCase {
    std::string name;
    std::string source;  // file:line, for failure messages
    std::string service;
    std::string program;
    std::vector<std::string> arguments;
    std::string expectedOutput;
    bool expectStderr = false;
    std::string expectedErrors;  // checked when not empty
    int expectedStatus = 0;
};

std::string substitute(std::string text)
{
    for (auto [token, value] : {std::pair{"$BIN", BIN_DIR}, std::pair{"$GOLDEN", GOLDEN_DIR}})
        for (size_t at; (at = text.find(token)) != std::string::npos;)
            text.replace(at, std::strlen(token), value);
    return text;
}

void PrintTo(const GoldenCase& c, std::ostream* os)
{
    *os << c.source;
}

std::vector<std::string> splitArguments(const std::string& text)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
        } else if (text[i] == '\'') {
            size_t end = text.find('\'', i + 1);
            words.push_back(text.substr(i + 1, end - i - 1));
            i = end == std::string::npos ? text.size() : end + 1;
        } else {
            size_t end = std::min(text.find(' ', i), text.size());
            words.push_back(text.substr(i, end - i));
            i = end;
        }
    }
    return words;
}

std::vector<GoldenCase> loadCases()
{
    std::vector<GoldenCase> cases;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(GOLDEN_DIR))
        if (entry.path().extension() == ".golden")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream in(file);
        std::string line, service = "none";
        GoldenCase* current = nullptr;
        for (size_t number = 1; std::getline(in, line); ++number) {
            if (current == nullptr) {
                if (line.starts_with("profile ")) {
                    std::string name = line.substr(8);
                    bool named = name == "none" || name == "builtin" || name.starts_with("unix:");
                    service = named ? name : std::string(GOLDEN_DIR "/profiles/") + name;
                } else if (line.starts_with("$ ")) {
                    std::vector<std::string> words = splitArguments(substitute(line.substr(2)));
                    std::string stem = file.stem().string();
                    cases.push_back({stem + "_" + std::to_string(number),
                                     file.filename().string() + ":" + std::to_string(number), service,
                                     std::string(BIN_DIR "/") + words.at(0), {words.begin() + 1, words.end()}});
                    current = &cases.back();
                }
            } else if (line.starts_with("exit ")) {
                current->expectedStatus = std::stoi(line.substr(5));
                current = nullptr;
            } else if (line == "(stderr)") {
                current->expectStderr = true;
            } else if (line.starts_with("(stderr) ")) {
                current->expectStderr = true;
                current->expectedErrors += substitute(line.substr(9)) + "\n";
            } else {
                current->expectedOutput += substitute(line) + "\n";
            }
        }
    }
    return cases;
}

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, MatchesTranscript)
{
    const GoldenCase& c = GetParam();
    ProcessResult run = runProgram(c.program, c.arguments, {"SMC_SERVICE=" + c.service});
    EXPECT_EQ(run.output, c.expectedOutput) << c.source;
    EXPECT_EQ(run.status, c.expectedStatus) << c.source;
    EXPECT_EQ(!run.errors.empty(), c.expectStderr) << c.source << "\nstandard error: " << run.errors;
    if (!c.expectedErrors.empty()) {
        EXPECT_EQ(run.errors, c.expectedErrors) << c.source;
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, Golden, ::testing::ValuesIn(loadCases()),
                         [](const auto& info) { return info.param.name; });

// The emulated SMC lives in the process: a write is seen by the next run of
// main_deac in the same process.
TEST(ToolInProcess, WriteThenReadSeesNewValue)
{
    std::string error;
    platform::installSMCService(platform::loadEmulatedSMC(nullptr, error));
    auto run = [](std::vector<std::string> arguments) {
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int status = -1;
        ::testing::internal::CaptureStdout();
        status = main_deac(int(arguments.size()), argv.data());
        return std::pair{::testing::internal::GetCapturedStdout(), status};
    };
    EXPECT_EQ(run({"smc", "-k", "F0Mn", "-r"}), std::pair(std::string("  F0Mn  [fpe2]  1200 (bytes 12 c0)\n"), 0));
    EXPECT_EQ(run({"smc", "-k", "F0Mn", "-w", "2ee0"}), std::pair(std::string(), 0));
    EXPECT_EQ(run({"smc", "-r", "-k", "F0Mn"}), std::pair(std::string("  F0Mn  [fpe2]  3000 (bytes 2e e0)\n"), 0));
    platform::installSMCService(nullptr);
}

// A fan count past what an SMC holds shows the most fans an SMC can have,
// each without a speed, rather than running out of memory.
TEST(HostLimits, FanCountsStopAtTheMostAnSMCHolds)
{
    for (const char* profile : {"host_fnum_256.profile", "host_fnum_huge.profile"}) {
        ProcessResult run = runProgram(BIN_DIR "/sensors-host", {"-k", GOLDEN_DIR "/keys/host.keys"},
                                       {std::string("SMC_SERVICE=" GOLDEN_DIR "/profiles/") + profile});
        // ASSERT: without the limit the second profile would need gigabytes.
        ASSERT_EQ(run.status, 0) << profile << "\n" << run.errors;
        size_t fansAt = run.output.find("Fans\n");
        ASSERT_NE(fansAt, std::string::npos) << profile;
        std::string fans = run.output.substr(fansAt + 5);
        ASSERT_EQ(std::count(fans.begin(), fans.end(), '\n'), kSMCMaxFans) << profile;
        EXPECT_NE(fans.find("  Fan 254                             ? rpm "), std::string::npos) << profile;
    }
}

}  // namespace
