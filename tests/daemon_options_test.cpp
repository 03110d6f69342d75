// smcd's defaults and option values, checked without starting a daemon.
#include "smcd/DefaultPaths.h"
#include "smcd/Directories.h"
#include "smcd/Options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

TEST(FanFloor, TakesASpeedAndNothingElse)
{
    struct Row {
        const char* text;
        std::optional<double> rpm;
    };
    const Row rows[] = {
        {"0", 0},       {"1200", 1200},         {"1200.5", 1200.5}, {"1e3", 1000},
        {"", {}},       {"-1", {}},             {"1200rpm", {}},    {"rpm", {}},
        {"nan", {}},    {"inf", {}},            {"1e999", {}},      {"12 ", {}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(smcd::parseFanFloor(row.text), row.rpm) << '"' << row.text << '"';
}

TEST(Controller, NamesAUserAGroupOrBoth)
{
    // root and its group exist everywhere; ids stand for themselves.
    struct Row {
        const char* text;
        std::optional<uint32_t> user, group;
        const char* problem;  // "" when it parses
    };
    const Row rows[] = {
        {"root", 0, {}, ""},
        {"4242", 4242, {}, ""},
        {":root", {}, 0, ""},
        {"root:4243", 0, 4243, ""},
        {"", {}, {}, "expected USER, USER:GROUP or :GROUP, not \"\""},
        {":", {}, {}, "expected USER, USER:GROUP or :GROUP, not \":\""},
        {"root:", {}, {}, "expected USER, USER:GROUP or :GROUP, not \"root:\""},
        {"no-such-user-here", {}, {}, "no user named no-such-user-here"},
        {":no-such-group-here", {}, {}, "no group named no-such-group-here"},
        {"-1", {}, {}, "no user named -1"},
        {"4294967295", {}, {}, "no user named 4294967295"},  // -1: no one
    };
    for (const Row& row : rows) {
        std::string problem;
        std::optional<smcd::ControllerIdentity> identity = smcd::parseControllerIdentity(row.text, problem);
        EXPECT_EQ(problem, row.problem) << row.text;
        EXPECT_EQ(identity.has_value(), !*row.problem) << row.text;
        if (identity) {
            EXPECT_EQ(identity->user, row.user) << row.text;
            EXPECT_EQ(identity->group, row.group) << row.text;
        }
    }
}

// The command line as smcd gets it: what each mistake says, and that a
// value reaches its field.
TEST(CommandLine, ParsesOrSaysWhatIsWrong)
{
    using Kind = smcd::WritePolicy::Kind;
    struct Row {
        std::vector<const char*> args;
        const char* problem;  // "" when it parses
        std::function<bool(const smcd::Options&)> holds;
    };
    const Row rows[] = {
        {{"-w", "F0Mn,FS! "}, "",
         [](auto& o) { return o.writable->kind == Kind::Keys && o.writable->keys.size() == 2; }},
        {{"--fan-floor=900", "--keep-fans", "-r"}, "",
         [](auto& o) { return *o.fanFloor == 900 && o.keepFans && o.readOnly; }},
        {{"--thermal-model", "off", "--fan-model=on"}, "", [](auto& o) { return !*o.thermalModel && *o.fanModel; }},
        {{"--load", "t", "-p", "m.profile"}, "", [](auto& o) { return std::string(o.service) == "m.profile"; }},
        {{"-h", "--bogus"}, "", [](auto& o) { return o.help; }},
        {{"--version", "stray"}, "", [](auto& o) { return o.version; }},
        {{"-w", "F0"}, "--writable: expected fans, all, none or keys of four characters separated by commas "
                       "(\"FS! \" with its blank), not \"F0\"", {}},
        {{"--fan-floor", "fast"}, "--fan-floor: expected a speed in rpm, not \"fast\"", {}},
        {{"--fan-model", "yes"}, "--fan-model: expected on or off, not \"yes\"", {}},
        {{"--controller", ":"}, "--controller: expected USER, USER:GROUP or :GROUP, not \":\"", {}},
        {{"--load", "t"}, "--load needs an emulated SMC: --service builtin or a profile", {}},
        {{"--load", "t", "--service", "applesmc:/x"},
         "--load needs an emulated SMC: --service builtin or a profile", {}},
        {{"stray"}, "unexpected argument \"stray\"", {}},
        {{"--bogus"}, "unknown option --bogus", {}},
        {{"-s"}, "option -s needs an argument", {}},
        {{"--keep-fans=1"}, "option --keep-fans takes no argument", {}},
    };
    for (const Row& row : rows) {
        std::vector<char*> argv{const_cast<char*>("smcd")};
        for (const char* arg : row.args)
            argv.push_back(const_cast<char*>(arg));
        argv.push_back(nullptr);
        std::string problem;
        std::optional<smcd::Options> options = smcd::parseOptions(int(argv.size() - 1), argv.data(), problem);
        EXPECT_EQ(problem, row.problem) << row.args[0];
        EXPECT_EQ(options.has_value(), !*row.problem) << row.args[0];
        if (options && row.holds) {
            EXPECT_TRUE(row.holds(*options)) << row.args[0];
        }
    }
}

// A user's daemon over the driver keeps its state under the user's own state
// directory, made private, or names what is missing.
TEST(DefaultState, FollowsTheUsersStateDirectory)
{
    std::string base = std::filesystem::temp_directory_path() / "smcd-default-state-XXXXXX";
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    ASSERT_EQ(mkdir((base + "/home").c_str(), 0700), 0);
    std::string name = smcd::driverStateName("/dev/null", smcd::driverDevice("applesmc"));
    struct Row {
        const char* stateHome;  // nullptr: unset
        const char* home;
        std::string directory;  // "" when there is no place
    };
    const Row rows[] = {
        {"xdg", "home", base + "/xdg/smcd"},
        {"", "home", base + "/home/.local/state/smcd"},
        {nullptr, "home", base + "/home/.local/state/smcd"},
        {nullptr, nullptr, ""},
    };
    std::string savedStateHome = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
    std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    for (const Row& row : rows) {
        auto set = [&](const char* variable, const char* value) {
            if (value == nullptr)
                unsetenv(variable);
            else
                setenv(variable, *value ? (base + "/" + value).c_str() : "", 1);
        };
        set("XDG_STATE_HOME", row.stateHome);
        set("HOME", row.home);
        std::string problem;
        std::string path = smcd::defaultDriverState("/dev/null", problem, false);
        if (row.directory.empty()) {
            EXPECT_EQ(path, "");
            EXPECT_EQ(problem, "neither XDG_STATE_HOME nor HOME is set; choose a state file with --state");
            continue;
        }
        EXPECT_EQ(path, row.directory + "/" + name) << problem;
        struct stat info{};
        ASSERT_EQ(stat(row.directory.c_str(), &info), 0) << row.directory;
        EXPECT_EQ(info.st_mode & 0777, 0700u) << row.directory;
    }
    setenv("XDG_STATE_HOME", savedStateHome.c_str(), 1);
    setenv("HOME", savedHome.c_str(), 1);
    if (savedStateHome.empty())
        unsetenv("XDG_STATE_HOME");
    std::filesystem::remove_all(base);
}

}  // namespace
