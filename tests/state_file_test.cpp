// The daemon's state file and the directory checks around it, in-process:
// exact keys, planted links and pipes, shared directories, one holder.
#include "smc/smc.h"
#include "smcd/Directories.h"
#include "support/MessageHandler.h"
#include "smcd/StateFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;
using smcd::StateFile;

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

SMCKeyEntry writableKey(std::string_view key, std::vector<uint8_t> bytes)
{
    SMCKeyEntry entry;
    entry.key = fourCharCode(key);
    entry.type = fourCharCode("ui16");
    entry.size = uint8_t(bytes.size());
    std::copy(bytes.begin(), bytes.end(), entry.bytes.begin());
    entry.writable = true;
    return entry;
}

// The bytes a client sends to write `bytes` into `key`.
protocol::Request writeRequest(FourCharCode key, std::vector<uint8_t> bytes)
{
    SMCKeyData record{};
    record.key = key;
    record.dataSize = uint32_t(bytes.size());
    record.command = SMCCommandWriteKey;
    std::copy(bytes.begin(), bytes.end(), record.bytes);
    protocol::Request request{kSMCUserClientCall, {}};
    std::memcpy(request.record, &record, sizeof record);
    return request;
}

kern_return_t send(smcd::MessageHandler& handler, const protocol::Request& request)
{
    return handler.handle(reinterpret_cast<const uint8_t*>(&request), sizeof request).status;
}

class StateFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/smcd-state-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        chmod(name, 0755);
        statePath = directory + "/state";
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    std::unique_ptr<StateFile> open(const std::string& path)
    {
        std::string error;
        auto state = StateFile::open(path, error);
        EXPECT_NE(state, nullptr) << error;
        return state;
    }

    std::string directory, statePath;
};

// Keys a profile may hold that are not four printable characters; "AB  "
// beside "AB\0\0" shows that neither takes the other's place.
const std::string_view kOddKeys[] = {
    {"AB\0\0", 4}, "AB  ", {"\x01\xff\x7f\\", 4}, {"\n#\r ", 4}, "F0Mn", {"\0\0\0\0", 4},
};

TEST_F(StateFileTest, EveryKeyComesBackExactly)
{
    auto machine = [] {
        std::vector<SMCKeyEntry> keys;
        for (std::string_view key : kOddKeys)
            keys.push_back(writableKey(key, {0, 0}));
        keys.push_back(writableKey("EMPT", {}));
        return std::make_shared<EmulatedSMC>(keys);
    };
    {
        auto smc = machine();
        auto state = open(statePath);
        smcd::MessageHandler handler(smc, false, state.get());
        uint8_t value = 1;
        for (std::string_view key : kOddKeys) {
            ASSERT_EQ(send(handler, writeRequest(fourCharCode(key), {value, uint8_t(value + 0x80)})), 0);
            ++value;
        }
    }
    auto restarted = machine();
    auto state = open(statePath);
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(state->load(*restarted, error, warnings)) << error << "\n" << readFile(statePath);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    uint8_t value = 1;
    for (std::string_view key : kOddKeys) {
        auto entry = restarted->key(fourCharCode(key));
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->bytes[0], value) << testing::PrintToString(std::string(key));
        EXPECT_EQ(entry->bytes[1], uint8_t(value + 0x80)) << testing::PrintToString(std::string(key));
        ++value;
    }
    std::string text = readFile(statePath);
    EXPECT_EQ(text.find('\0'), std::string::npos) << "a text file, one key a line";
    EXPECT_NE(text.find("41420000  01 81  # AB\\x00\\x00\n"), std::string::npos) << text;
}

TEST_F(StateFileTest, OnlyWritableKeysAreRestored)
{
    SMCKeyEntry fixed = writableKey("F0Mx", {0x5d, 0xc0});
    fixed.writable = false;
    auto smc = std::make_shared<EmulatedSMC>(std::vector{writableKey("F0Mn", {0x12, 0xc0}), fixed});
    std::ofstream(statePath) << "# smcd state 4\n46304d6e  2e e0\n46304d78  ff ff\n";
    auto state = open(statePath);
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(state->load(*smc, error, warnings)) << error;
    EXPECT_EQ(smc->key(fourCharCode("F0Mn"))->bytes[0], 0x2e);
    EXPECT_EQ(smc->key(fourCharCode("F0Mx"))->bytes[0], 0x5d) << "the profile keeps it fixed";
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "state " + statePath + ": key \"F0Mx\" is not writable in the profile; its saved value "
                           "is not restored");
}

struct ParseCase {
    const char* name;
    std::string text;
    size_t line;  // 0: parses
    const char* problem;
};

TEST(StateText, ParsesItsOwnFormAndTheProfileFormOfEarlierDaemons)
{
    const std::string header = "# smcd state 2\n";
    auto bytes = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += " 00";
        return text;
    };
    const ParseCase cases[] = {
        {"earlier daemons' profile lines", "# smcd state\n  F0Mn  [fpe2]  3000 (bytes 2e e0)\n", 0, ""},
        {"a key without bytes", header + "45535054  # EMPT\n", 0, ""},
        {"upper-case hex, tabs, CRLF", header + "46304D6E\t2E E0\r\n", 0, ""},
        {"short code", header + "46304d6  2e e0\n", 2, "eight hex digits"},
        {"code not hex", header + "F0Mn0000  2e e0\n", 2, "eight hex digits"},
        {"odd byte", header + "\n46304d6e  2e e\n", 3, "pairs of hex digits"},
        {"33 bytes", header + "46304d6e" + bytes(33) + "\n", 2, "at most 32 bytes"},
        {"32 bytes", header + "46304d6e" + bytes(32) + "\n", 0, ""},
        {"twice the same key", header + "46304d6e  2e e0\n46304d6e  2e e1\n", 3, "already on line 2"},
        {"earlier form, broken", "  F0Mn  [fpe2  (bytes 2e e0)\n", 1, "key line"},
    };
    for (const auto& c : cases) {
        std::vector<smcd::SavedValue> values;
        auto failed = smcd::parseStateText(c.text, values);
        if (c.line == 0) {
            EXPECT_FALSE(failed) << c.name << ": " << failed->problem;
            ASSERT_EQ(values.size(), 1u) << c.name;
        } else {
            ASSERT_TRUE(failed) << c.name;
            EXPECT_EQ(failed->line, c.line) << c.name;
            EXPECT_NE(failed->problem.find(c.problem), std::string::npos) << c.name << ": " << failed->problem;
        }
    }
    std::vector<smcd::SavedValue> values;
    ASSERT_FALSE(smcd::parseStateText(header + "46304D6E\t2E E0\r\n", values));
    EXPECT_EQ(values[0].key, fourCharCode("F0Mn"));
    EXPECT_EQ(values[0].size, 2);
    EXPECT_EQ(values[0].bytes[1], 0xe0);
}

// What a user who can write the directory might leave at a name the daemon
// uses, made by `plant`.
struct Plant {
    const char* name;
    void (*plant)(const std::string& at, const std::string& target);
    const char* refusal;  // at the state's or the lock's own name
};

const Plant kPlants[] = {
    {"a link", [](const std::string& at, const std::string& target) { ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0); },
     "it is a symbolic link, which is not followed"},
    {"a pipe", [](const std::string& at, const std::string&) { ASSERT_EQ(mkfifo(at.c_str(), 0666), 0); },
     "it is not a regular file"},
};

TEST_F(StateFileTest, PlantedLinksAndPipesAreNeitherFollowedNorOpened)
{
    std::string secret = directory + "/root-only";
    for (const Plant& plant : kPlants) {
        SCOPED_TRACE(plant.name);
        std::filesystem::remove(statePath);
        std::ofstream(secret) << "keep me\n";
        // The names a daemon of earlier versions wrote through.
        std::filesystem::remove(statePath + ".tmp");
        plant.plant(statePath + ".tmp", secret);

        auto smc = std::make_shared<EmulatedSMC>(std::vector{writableKey("F0Mn", {0, 0})});
        auto state = open(statePath);
        smcd::MessageHandler handler(smc, false, state.get());
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(send(handler, writeRequest(fourCharCode("F0Mn"), {0x2e, 0xe0})), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "nothing blocks";
        EXPECT_EQ(readFile(secret), "keep me\n");
        EXPECT_NE(readFile(statePath).find("46304d6e  2e e0"), std::string::npos);
        struct stat status;
        ASSERT_EQ(lstat(statePath.c_str(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        state.reset();

        // At the state's own name or its lock's, the daemon refuses to start.
        for (const std::string& at : {statePath, smcd::stateLockPath(statePath)}) {
            std::filesystem::remove(at);
            plant.plant(at, secret);
            std::string error;
            std::vector<std::string> warnings;
            auto planted = StateFile::open(statePath, error);
            if (planted) {
                EXPECT_FALSE(planted->load(*smc, error, warnings)) << at;
            }
            EXPECT_NE(error.find(plant.refusal), std::string::npos) << at << ": " << error;
            EXPECT_EQ(readFile(secret), "keep me\n");
            std::filesystem::remove(at);
        }
    }
}

TEST_F(StateFileTest, LeftoversOfACrashAreRemovedAndNothingElse)
{
    const char* leftovers[] = {"state.tmp.a1B2c3", "state.tmp.zzzzzz"};
    const char* others[] = {"state.tmp", "state.tmp.short", "other.tmp.a1B2c3", "state.tmp.a1B2c3d"};
    for (const char* name : leftovers)
        std::ofstream(directory + "/" + name) << "half\n";
    for (const char* name : others)
        std::ofstream(directory + "/" + name) << "mine\n";
    auto state = open(statePath);
    for (const char* name : leftovers)
        EXPECT_FALSE(std::filesystem::exists(directory + "/" + name)) << name;
    for (const char* name : others)
        EXPECT_TRUE(std::filesystem::exists(directory + "/" + name)) << name;
}

TEST_F(StateFileTest, OneHolderAtATime)
{
    auto first = open(statePath);
    std::string error;
    EXPECT_EQ(StateFile::open(statePath, error), nullptr);
    EXPECT_EQ(error, "another smcd (pid " + std::to_string(getpid()) + ") is using the state " + statePath +
                         "; two daemons on one state would undo each other's writes");
    first.reset();
    EXPECT_NE(open(statePath), nullptr) << "free again once the holder is gone";
}

struct DirectoryCase {
    const char* name;
    mode_t parentMode;
    mode_t mode;
    uid_t owner;
    const char* problem;  // "" when accepted
};

TEST_F(StateFileTest, StateInADirectoryOthersCanWriteIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a directory to another user";
    const DirectoryCase cases[] = {
        {"private", 0755, 0700, 0, ""},
        {"read by all", 0755, 0755, 0, ""},
        {"under a sticky shared directory", 01777, 0755, 0, ""},
        {"written by all", 0755, 0777, 0, "can be written by other users (mode 0777)"},
        {"written by all, sticky", 0755, 01777, 0, "(mode 1777)"},
        {"written by the group", 0755, 0775, 0, "(mode 0775)"},
        {"written by others only", 0755, 0757, 0, "(mode 0757)"},
        {"another user's", 0755, 0755, 1, "belongs to uid 1"},
        {"under a shared directory", 0777, 0755, 0, "can be written by other users (mode 0777)"},
    };
    for (const auto& c : cases) {
        std::string parent = directory + "/parent", inner = parent + "/inner";
        std::filesystem::remove_all(parent);
        ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(inner.c_str(), 0700), 0);
        chmod(parent.c_str(), c.parentMode);
        chmod(inner.c_str(), c.mode);
        ASSERT_EQ(chown(inner.c_str(), c.owner, gid_t(-1)), 0);
        std::string error;
        auto state = StateFile::open(inner + "/state", error);
        if (*c.problem == '\0') {
            EXPECT_NE(state, nullptr) << c.name << ": " << error;
        } else {
            EXPECT_EQ(state, nullptr) << c.name;
            EXPECT_NE(error.find(c.problem), std::string::npos) << c.name << ": " << error;
            EXPECT_FALSE(std::filesystem::exists(inner + "/state.lock")) << c.name << ": nothing made there";
        }
    }
}

TEST_F(StateFileTest, PrivateSocketDirectoryIsTheUsersAlone)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give directories to other users";
    struct Case {
        const char* name;
        void (*make)(const std::string& path);
        uid_t owner;  // whose it must be
        const char* problem;
    };
    const Case cases[] = {
        {"missing: made for this process", [](const std::string&) {}, geteuid(), ""},
        {"the user's, 0700", [](const std::string& p) { mkdir(p.c_str(), 0700), (void)!chown(p.c_str(), 65534, 0); },
         65534, ""},
        {"the user's, 0755", [](const std::string& p) { mkdir(p.c_str(), 0755), (void)!chown(p.c_str(), 65534, 0); },
         65534, "open to other users (mode 0755"},
        {"another user's", [](const std::string& p) { mkdir(p.c_str(), 0700), (void)!chown(p.c_str(), 1, 0); },
         65534, "belongs to uid 1, not to uid 65534"},
        {"a link to the user's", [](const std::string& p) {
             mkdir((p + "-real").c_str(), 0700), (void)!chown((p + "-real").c_str(), 65534, 0);
             (void)!symlink((p + "-real").c_str(), p.c_str());
         }, 65534, "not a directory of its own"},
        {"a file", [](const std::string& p) { std::ofstream(p) << "x"; }, 65534, "not a directory of its own"},
    };
    std::string shared = directory + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    chmod(shared.c_str(), 01777);
    for (const auto& c : cases) {
        std::string path = shared + "/smcd-65534";
        std::filesystem::remove_all(path);
        std::filesystem::remove_all(path + "-real");
        c.make(path);
        std::string problem = smcd::preparePrivateDirectory(path, c.owner);
        if (*c.problem == '\0') {
            EXPECT_EQ(problem, "") << c.name;
            struct stat status;
            ASSERT_EQ(lstat(path.c_str(), &status), 0) << c.name;
            EXPECT_EQ(status.st_mode & 07777, 0700u) << c.name;
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << c.name << ": " << problem;
        }
    }
}

TEST(DriverStateName, EachDeviceDirectoryHasAStateOfItsOwn)
{
    const std::string machine = "/sys/devices/platform/applesmc.768";
    const std::string longPath = "/" + std::string(300, 'a');
    struct Case {
        std::string device;
        std::string name;  // "": a hashed name
    };
    const Case cases[] = {
        {machine, "state"},
        {"/tmp/x/applesmc", "state-tmp-x-applesmc"},
        // '-' and '/' must not meet in one name.
        {"/tmp/a-b", "state-tmp-a%2Db"},
        {"/tmp/a/b", "state-tmp-a-b"},
        {"/tmp/with space", "state-tmp-with%20space"},
        {longPath, ""},
    };
    for (const auto& c : cases) {
        std::string name = smcd::driverStateName(c.device, machine);
        if (c.name.empty()) {
            EXPECT_LE(name.size(), 255u);
            EXPECT_EQ(name.rfind("state#", 0), 0u) << name;
            EXPECT_NE(name, smcd::driverStateName(longPath + "b", machine));
        } else {
            EXPECT_EQ(name, c.name) << c.device;
        }
        EXPECT_EQ(name.find('/'), std::string::npos) << c.device;
    }
}

TEST(MessageHandler, AnyBytesAreAnsweredAndChangeNothing)
{
    auto smc = std::make_shared<EmulatedSMC>(std::vector{writableKey("F0Mn", {0x1f, 0x40})});
    smcd::MessageHandler handler(smc, false);
    protocol::Request write = writeRequest(fourCharCode("F0Mn"), {0x2e, 0xe0});
    std::vector<uint8_t> whole(reinterpret_cast<uint8_t*>(&write), reinterpret_cast<uint8_t*>(&write + 1));
    std::vector<uint8_t> longer = whole;
    longer.push_back(0);
    struct Case {
        const char* name;
        const uint8_t* bytes;
        size_t size;
    };
    const Case cases[] = {
        {"nothing", nullptr, 0},
        {"one byte", whole.data(), 1},
        {"one byte short", whole.data(), whole.size() - 1},
        {"one byte long", longer.data(), longer.size()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(handler.handle(c.bytes, c.size).status, kIOReturnBadArgument) << c.name;
    EXPECT_EQ(smc->key(fourCharCode("F0Mn"))->bytes[0], 0x1f) << "unchanged";

    smcd::MessageHandler readOnly(smc, true);
    EXPECT_EQ(readOnly.handle(whole.data(), whole.size()).status, kIOReturnNotPrivileged);
    EXPECT_EQ(smc->key(fourCharCode("F0Mn"))->bytes[0], 0x1f) << "unchanged";
    EXPECT_EQ(handler.handle(whole.data(), whole.size()).status, 0);
    EXPECT_EQ(smc->key(fourCharCode("F0Mn"))->bytes[0], 0x2e);
}

}  // namespace
