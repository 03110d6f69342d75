// smcfan and smcd as a machine's fan broker, as separate processes: fans
// put back when the daemon stops or restarts after a kill, holds undone
// when their holder dies, holders told when a hold ends underneath them, the
// write policy and its limits, who may connect, and errors in words. Also
// smcfan's options, words and speed encodings in-process.
#include "backends/DaemonProtocol.h"
#include "backends/SMCService.h"
#include "encodings/Encodings.h"
#include "fanclient/FanClient.h"
#include "smcfan/smcfan.h"
#include "support/FanMachine.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <IOKit/IOKitSMCLease.h>

#include <chrono>
#include <cstring>
#include <csignal>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using testing_support::BackgroundProcess;
using testing_support::runProgram;

namespace {

const std::string kBin = BIN_DIR;

TEST(SmcfanOptions, Parse)
{
    using smcfan::Command;
    struct Case {
        std::vector<std::string> arguments;
        bool valid;
        Command command = Command::List;
        std::string fan = {};
        double rpm = 0;
        std::vector<std::string> program = {};
    };
    const Case cases[] = {
        {{}, true, Command::List},
        {{"list"}, true, Command::List},
        {{"list", "0"}, false},
        {{"set", "0", "target", "3000"}, true, Command::Set, "0", 3000},
        {{"set", "Left", "min", "1500.5"}, true, Command::Set, "Left", 1500.5},
        {{"set", "0", "max", "3000"}, false},
        {{"set", "0", "target", "-1"}, false},
        {{"set", "0", "target", "3000rpm"}, false},
        {{"set", "0", "target", "nan"}, false},
        {{"set", "0", "target"}, false},
        {{"manual", "1"}, true, Command::Manual, "1"},
        {{"manual"}, false},
        {{"auto"}, true, Command::Auto, ""},
        {{"auto", "1"}, true, Command::Auto, "1"},
        {{"auto", "1", "2"}, false},
        {{"hold", "0", "4000"}, true, Command::Hold, "0", 4000},
        {{"hold", "0", "4000", "--", "make", "-j2"}, true, Command::Hold, "0", 4000, {"make", "-j2"}},
        {{"hold", "0", "4000", "--"}, false},
        {{"hold", "0", "4000", "make"}, false},
        {{"hold", "0"}, false},
        {{"spin"}, false},
        {{"--help"}, true, Command::Help},
        {{"--version"}, true, Command::Version},
    };
    for (const auto& c : cases) {
        std::string problem, shown;
        for (const auto& argument : c.arguments)
            shown += argument + " ";
        auto options = smcfan::parseOptions(c.arguments, problem);
        ASSERT_EQ(options.has_value(), c.valid) << shown << problem;
        if (!options) {
            EXPECT_NE(problem, "") << shown;
            continue;
        }
        EXPECT_EQ(options->command, c.command) << shown;
        EXPECT_EQ(options->fan, c.fan) << shown;
        EXPECT_EQ(options->rpm, c.rpm) << shown;
        EXPECT_EQ(options->program, c.program) << shown;
    }
}

TEST(SmcfanWords, ARefusalNamesItsKeyAndTheLimitCrossed)
{
    struct Case {
        const char* key;
        double rpm;
        std::optional<double> floor, maximum;
        kern_return_t status;
        const char* words;
    };
    const Case cases[] = {
        {"F0Tg", 1000, 2000, 6200, kIOReturnBadArgument, "F0Tg refused 1000 rpm: below the floor of 2000 rpm (e00002c2)"},
        {"F1Mn", 6300, 2000, 6200, kIOReturnBadArgument,
         "F1Mn refused 6300 rpm: above the maximum of 6200 rpm (e00002c2)"},
        {"F0Tg", 1000, std::nullopt, 6200, kIOReturnBadArgument,
         "F0Tg: refused: below the lowest speed the daemon allows or above the fan's maximum (e00002c2)"},
        {"F0Tg", 3000, 2000, 6200, kIOReturnBadArgument,
         "F0Tg: refused: below the lowest speed the daemon allows or above the fan's maximum (e00002c2)"},
        {"F0Mn", 1000, 2000, 6200, kIOReturnNotPrivileged,
         "F0Mn: not writable through this daemon (its --writable policy, or a read-only driver file: see its log) "
         "(e00002c1)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(smcfan::refusalWords(c.key, c.rpm, c.floor, c.maximum, c.status), c.words) << c.words;
}

TEST(SmcfanList, SaysWhichFansTheControllerDrives)
{
    auto fan = [](unsigned index, bool driven, bool held, std::optional<double> target) {
        fanclient::Fan made{index, "", 2000, 1200, 6000, 2400, true};
        made.driven = driven, made.held = held, made.controllerTarget = target;
        return made;
    };
    fanclient::Controller controller{"smcfand", 321, 997};
    struct Case {
        const char* name;
        std::vector<fanclient::Fan> fans;
        std::optional<fanclient::Controller> controller;
        const char* after;  // what follows the table's lines
    };
    const Case cases[] = {
        {"no controller", {fan(0, false, false, std::nullopt)}, std::nullopt, ""},
        {"driven and held", {fan(0, true, false, 2400.4), fan(1, false, true, 3000), fan(2, false, false, 5000)},
         controller,
         "Fan 0 is driven by smcfand (pid 321, uid 997), target 2400 rpm\n"
         "Fan 1 is held by another program; smcfand (pid 321, uid 997) leaves it alone until the hold ends\n"},
        {"driven without a target yet", {fan(0, true, false, std::nullopt)}, controller,
         "Fan 0 is driven by smcfand (pid 321, uid 997)\n"},
        {"a controller that drives nothing", {fan(0, false, false, std::nullopt)},
         fanclient::Controller{"bad\x1b[2Jname", 9, 0}, "The fan controller bad?[2Jname (pid 9, uid 0) drives no fan now\n"},
    };
    for (const Case& c : cases) {
        std::string table = smcfan::listText(c.fans);
        EXPECT_EQ(smcfan::listText(c.fans, c.controller), table + c.after) << c.name;
    }
}

TEST(FanSpeed, EncodingsRoundTripAndRefuseWhatDoesNotFit)
{
    struct Case {
        const char* type;
        size_t size;
        double rpm;
        std::vector<uint8_t> bytes;  // empty: refused
        double back;
    };
    const Case cases[] = {
        {"fpe2", 2, 6000, {0x5d, 0xc0}, 6000},
        {"fpe2", 2, 1500.25, {0x17, 0x71}, 1500.25},
        {"fpe2", 2, 1500.1, {0x17, 0x70}, 1500},  // quarter rpm
        {"fpe2", 2, 16383.75, {0xff, 0xff}, 16383.75},
        {"fpe2", 2, 16384, {}, 0},
        {"fpe2", 2, -1, {}, 0},
        {"fpe2", 3, 1000, {}, 0},
        {"ui16", 2, 1234, {0x04, 0xd2}, 1234},
        {"ui8 ", 1, 256, {}, 0},
        {"flt ", 4, 2500, {0x00, 0x40, 0x1c, 0x45}, 2500},
        {"sp78", 2, 1000, {}, 0},
    };
    for (const auto& c : cases) {
        FourCharCode type = FourCharCode(uint8_t(c.type[0])) << 24 | FourCharCode(uint8_t(c.type[1])) << 16 |
                            FourCharCode(uint8_t(c.type[2])) << 8 | FourCharCode(uint8_t(c.type[3]));
        uint8_t bytes[4] = {};
        bool fits = encodings::speedToBytes(type, c.size, c.rpm, bytes);
        ASSERT_EQ(fits, !c.bytes.empty()) << c.type << " " << c.rpm;
        if (!fits)
            continue;
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + c.size), c.bytes) << c.type << " " << c.rpm;
        EXPECT_EQ(encodings::speedFromBytes(type, bytes, c.size), c.back) << c.type << " " << c.rpm;
    }
    const uint8_t notANumber[4] = {0x00, 0x00, 0xc0, 0x7f};
    EXPECT_EQ(encodings::speedFromBytes(encodings::fourCharCode("flt "), notANumber, 4), std::nullopt);
}

TEST(SmcfanFans, FoundByNumberOrName)
{
    std::vector<fanclient::Fan> fans(3);
    const char* names[] = {"Left", "Right", "right"};
    for (unsigned i = 0; i < fans.size(); ++i) {
        fans[i].index = i;
        fans[i].name = names[i];
    }
    fans[0].name = "Left";
    struct Case {
        const char* text;
        int index;  // -1: none
    };
    const Case cases[] = {{"0", 0}, {"2", 2}, {"3", -1}, {"left", 0}, {"LEFT", 0}, {"Right", -1}, {"Lef", -1},
                          {"", -1}, {"99999999999999999999", -1}};
    for (const auto& c : cases) {
        auto found = fanclient::findFan(fans, c.text);
        EXPECT_EQ(found ? int(found->index) : -1, c.index) << '"' << c.text << '"';
    }
}

// A profile of two fans with names, limits and both kinds of mode key.
const std::string kProfile = testing_support::fanProfile(2) + R"(  F0ID  [{fds]  (bytes 00 12 00 00 4c 65 66 74 20 00 00 00 00 00 00 00)
  F1Ac  [fpe2]  1800 (bytes 1c 20)
  F1Mn  [fpe2]  1000 (bytes 0f a0)
! writable
  F1Mx  [fpe2]  5000 (bytes 4e 20)
  F1Tg  [fpe2]  1800 (bytes 1c 20)
! writable
  F1ID  [{fds]  (bytes 00 12 00 00 52 69 67 68 74 20 00 00 00 00 00 00)
  LKSB  [ui16]  0 (bytes 00 00)
! writable
)";

constexpr const char* kListing = "Fan  Name    Actual  Minimum  Maximum   Target  Mode\n"
                                 "0    Left      2000     1200     6000     2000  auto\n"
                                 "1    Right     1800     1000     5000     1800  auto\n";

// Stands between clients and smcd, passing every message on and counting the
// requests that reach the SMC through the daemon.
class CountingRelay {
public:
    CountingRelay(const std::string& path, std::string daemon) : daemon_(std::move(daemon))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 8), 0);
        thread_ = std::thread([this] { run(); });
    }
    ~CountingRelay()
    {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    int takeCount() { return requests_.exchange(0); }

private:
    void run()
    {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};  // then pairs: client, daemon
        while (!stop_) {
            if (poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                int daemon = platform::protocol::connectSocket(daemon_);
                fds.push_back({client, POLLIN, 0});
                fds.push_back({daemon, POLLIN, 0});
            }
            for (size_t i = 1; i < fds.size(); i += 2) {
                bool gone = false;
                for (size_t from : {i, i + 1}) {
                    if (!(fds[from].revents & (POLLIN | POLLHUP)))
                        continue;
                    uint8_t message[256];
                    ssize_t size = recv(fds[from].fd, message, sizeof message, 0);
                    size_t to = from == i ? i + 1 : i;
                    gone = gone || size <= 0 || send(fds[to].fd, message, size, MSG_NOSIGNAL) != size;
                    // The SMC's exchanges: a question to the daemon itself (which
                    // controller drives the fans) is none.
                    uint32_t method = platform::kUserClientCall;
                    if (!gone && size >= 4)
                        std::memcpy(&method, message, sizeof method);
                    if (!gone && from == i && method == platform::kUserClientCall)
                        ++requests_;
                }
                if (gone) {
                    close(fds[i].fd);
                    close(fds[i + 1].fd);
                    fds.erase(fds.begin() + i, fds.begin() + i + 2);
                    i -= 2;
                }
            }
        }
        for (size_t i = 1; i < fds.size(); ++i)
            close(fds[i].fd);
    }

    std::string daemon_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

class BrokerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/smcfan-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        chmod(name, 0755);
        socketPath = directory + "/smcd.sock";
        profilePath = directory + "/machine.profile";
        statePath = directory + "/state";
        std::ofstream(profilePath) << kProfile;
        service = "SMC_SERVICE=unix:" + socketPath;
    }
    void TearDown() override
    {
        holders.clear();
        daemon.reset();
        std::filesystem::remove_all(directory);
    }

    void startDaemon(std::vector<std::string> extra = {}, std::vector<std::string> prefix = {})
    {
        std::vector<std::string> arguments(prefix.begin() + (prefix.empty() ? 0 : 1), prefix.end());
        if (!prefix.empty())
            arguments.push_back(kBin + "/smcd");
        arguments.insert(arguments.end(), {"--socket", socketPath, "--service", serviceSpec.empty() ? profilePath
                                                                                                 : serviceSpec});
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        daemon = std::make_unique<BackgroundProcess>(prefix.empty() ? kBin + "/smcd" : prefix.front(), arguments);
        if (!testing_support::waitForSocket(socketPath))
            FAIL() << "smcd did not start: " << daemon->output();
    }

    testing_support::ProcessResult smcfan(std::vector<std::string> arguments,
                                          const std::vector<std::string>& prefix = {})
    {
        return runProgram(kBin + "/smcfan", arguments, {service}, prefix);
    }
    testing_support::ProcessResult smc(std::vector<std::string> arguments)
    {
        return runProgram(kBin + "/smc", arguments, {service});
    }
    std::string read(const char* key) { return smc({"-k", key, "-r"}).output; }

    // `smcfan hold ...` in the background, once it holds the fan.
    BackgroundProcess& hold(const std::string& fan, const std::string& rpm, const char* key, const char* held)
    {
        std::string environment = "/usr/bin/env";
        holders.push_back(std::make_unique<BackgroundProcess>(
            environment, std::vector<std::string>{service, kBin + "/smcfan", "hold", fan, rpm}));
        // It writes the target, then the mode, then says it holds.
        EXPECT_TRUE(saidBy(*holders.back(), "smcfan: holding")) << holders.back()->output();
        EXPECT_NE(read(key).find(held), std::string::npos) << holders.back()->output();
        return *holders.back();
    }

    // Whether `process` prints `text` within three seconds.
    static bool saidBy(const BackgroundProcess& process, const std::string& text)
    {
        for (int tries = 0; tries < 300 && process.output().find(text) == std::string::npos; ++tries)
            usleep(10'000);
        return process.output().find(text) != std::string::npos;
    }

    // Waits up to `limit` for the key to read `expected`; how long it took.
    std::chrono::milliseconds until(const char* key, const std::string& expected,
                                    std::chrono::milliseconds limit = std::chrono::milliseconds(3000))
    {
        auto start = std::chrono::steady_clock::now();
        while (read(key).find(expected) == std::string::npos && std::chrono::steady_clock::now() - start < limit)
            usleep(10'000);
        EXPECT_NE(read(key).find(expected), std::string::npos) << key;
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    }

    // The prefix that runs a program as nobody in group `group` alone; empty
    // where that cannot be done.
    std::vector<std::string> asNobody(int group)
    {
        if (geteuid() != 0)
            return {};
        std::vector<std::string> prefix{"/usr/bin/setpriv", "--reuid=65534", "--regid=" + std::to_string(group),
                                        "--clear-groups", "--"};
        if (runProgram(kBin + "/smcfan", {"--version"}, {}, prefix).status != 0)
            return {};
        return prefix;
    }

    std::string directory, socketPath, profilePath, statePath, service;
    std::string serviceSpec;  // what the daemon serves; empty: the profile
    std::unique_ptr<BackgroundProcess> daemon;
    std::vector<std::unique_ptr<BackgroundProcess>> holders;
};

TEST_F(BrokerTest, ListsSetsAndSwitchesFansInRpm)
{
    startDaemon({"--fan-model", "off"});
    auto listed = smcfan({});
    EXPECT_EQ(listed.output, kListing);
    EXPECT_EQ(listed.status, 0) << listed.errors;

    struct Case {
        std::vector<std::string> arguments;
        const char* key;
        const char* value;  // the key's bytes afterwards
    };
    const Case cases[] = {
        {{"set", "0", "target", "4500"}, "F0Tg", "(bytes 46 50)"},
        {{"set", "right", "min", "1500.25"}, "F1Mn", "(bytes 17 71)"},
        {{"manual", "1"}, "FS! ", "(bytes 00 02)"},
        {{"manual", "Left"}, "FS! ", "(bytes 00 03)"},
        {{"auto"}, "FS! ", "(bytes 00 00)"},
        {{"manual", "1"}, "FS! ", "(bytes 00 02)"},
        {{"auto", "1"}, "FS! ", "(bytes 00 00)"},
    };
    for (const auto& c : cases) {
        auto result = smcfan(c.arguments);
        EXPECT_EQ(result.status, 0) << c.arguments[0] << ": " << result.errors;
        EXPECT_NE(read(c.key).find(c.value), std::string::npos) << c.arguments[0] << ": " << read(c.key);
    }
    // A per-fan mode key set elsewhere is cleared by auto too.
    ASSERT_EQ(smc({"-k", "F0Md", "-w", "01"}).status, 0);
    EXPECT_NE(smcfan({}).output.find("0    Left      2000     1200     6000     4500  manual"), std::string::npos);
    EXPECT_EQ(smcfan({"auto", "0"}).status, 0);
    EXPECT_NE(read("F0Md").find("(bytes 00)"), std::string::npos);
}

TEST_F(BrokerTest, FanChangesAskTheDaemonOnlyWhatTheyNeed)
{
    startDaemon({"--fan-model", "off"});
    CountingRelay relay(directory + "/relay.sock", socketPath);
    struct Case {
        std::vector<std::string> arguments;
        int exchanges;  // requests that reach smcd
        int goal;
    };
    const Case cases[] = {
        {{"set", "0", "target", "4500"}, 2, 2},
        {{"set", "1", "min", "1500"}, 2, 2},
        {{"manual", "0"}, 2, 2},
        {{"manual", "0"}, 1, 2},  // already manual: nothing to write
        {{"set", "0", "target", "7000"}, 4, 4},  // refused: then the maximum and floor, for the words
    };
    for (const auto& c : cases) {
        auto result = runProgram(kBin + "/smcfan", c.arguments, {"SMC_SERVICE=unix:" + directory + "/relay.sock"});
        int count = relay.takeCount();
        std::string shown = c.arguments[0] + " " + c.arguments[1];
        EXPECT_EQ(count, c.exchanges) << shown << ": " << result.errors;
        EXPECT_LE(count, c.goal) << shown;
    }
}

TEST_F(BrokerTest, ErrorsAreSaidInWords)
{
    startDaemon({"--writable", "F0Tg,F1Tg"});
    // The floor is named when the daemon tells it (fan 0's minimum at start).
    platform::installSMCService(platform::makeUnixSMCService(socketPath));
    io_connect_t connection = 0;
    double floor = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    bool floorKnown = IOSMCConnectionCopyFanFloor(connection, 0, &floor) == KERN_SUCCESS;
    SMCClose(connection);
    platform::installSMCService(nullptr);
    std::string belowFloor = floorKnown ? "smcfan: fan 0: F0Tg refused 1000 rpm: below the floor of 1200 rpm (e00002c2)\n"
                                        : "smcfan: fan 0: F0Tg: refused: below the lowest speed the daemon allows or "
                                          "above the fan's maximum (e00002c2)\n";
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string words;
    };
    const Case cases[] = {
        {{"set", "0", "target", "6001"}, 1, "smcfan: fan 0: 6001 rpm is above its maximum of 6000 rpm\n"},
        {{"set", "0", "target", "1000"}, 1, belowFloor},
        {{"set", "0", "min", "1500"}, 1,
         "smcfan: fan 0: F0Mn: not writable through this daemon (its --writable policy, or a read-only driver file: "
         "see its log) (e00002c1)\n"},
        {{"manual", "0"}, 1,
         "smcfan: fan 0: FS! : not writable through this daemon (its --writable policy, or a read-only driver file: "
         "see its log) (e00002c1)\n"},
        {{"set", "7", "min", "1500"}, 1, "smcfan: no fan \"7\" (or more than one of that name; give its number)\n"},
        {{"manual", "7"}, 1, "smcfan: no fan \"7\" (or more than one of that name; give its number)\n"},
        {{"spin"}, 2, "smcfan: unknown command \"spin\"\n"},
    };
    for (const auto& c : cases) {
        auto result = smcfan(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.arguments[0];
        EXPECT_EQ(result.errors.substr(0, result.errors.find('\n') + 1), c.words) << c.arguments[0];
    }
    EXPECT_NE(read("F0Tg").find("(bytes 1f 40)"), std::string::npos) << "nothing changed";

    daemon.reset();
    auto noDaemon = smcfan({"set", "0", "target", "3000"});
    EXPECT_EQ(noDaemon.status, 1);
    EXPECT_EQ(noDaemon.errors, "smcfan: the SMC cannot be opened: no daemon at " + socketPath + "\n");
    auto noLease = runProgram(kBin + "/smcfan", {"hold", "0", "3000"}, {"SMC_SERVICE=" + profilePath});
    EXPECT_EQ(noLease.status, 1);
    EXPECT_NE(noLease.errors.find("a hold needs the SMC daemon"), std::string::npos) << noLease.errors;
}

// Without the daemon, smcfan keeps the speed within the fan's maximum itself.
TEST(SmcfanDirect, ASpeedAboveTheMaximumIsRefusedWithoutADaemon)
{
    auto run = runProgram(kBin + "/smcfan", {"set", "0", "target", "9000"}, {"SMC_SERVICE=builtin"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "smcfan: fan 0: 9000 rpm is above its maximum of 6156 rpm\n");
}

TEST(SmcfanDirect, AMachineWithoutFansIsSaidSoAndIsNoFailure)
{
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* words;
    };
    const Case cases[] = {
        {{}, 0, "smcfan: this machine has no fans (FNum is 0)\n"},
        {{"auto"}, 0, "smcfan: this machine has no fans (FNum is 0); nothing to do\n"},
        {{"set", "0", "target", "3000"}, 1, "smcfan: no fan \"0\""},
    };
    for (const auto& c : cases) {
        auto run = runProgram(kBin + "/smcfan", c.arguments,
                              {"SMC_SERVICE=" + std::string(GOLDEN_DIR) + "/profiles/fnum_zero.profile"});
        EXPECT_EQ(run.status, c.status) << run.errors;
        EXPECT_EQ(run.errors.substr(0, std::strlen(c.words)), c.words);
    }
}

// Without F<n>ID keys, fans take the names the machine gives them (an Apple
// Silicon Mac's devicetree labels), and are found by them.
TEST(SmcfanDirect, FansWithoutIDKeysAreNamedByTheMachinesLabels)
{
    std::vector<std::string> service{"SMC_SERVICE=" + std::string(PROFILES_DIR) + "/macbookpro14-m1pro.profile"};
    auto list = runProgram(kBin + "/smcfan", {}, service);
    EXPECT_EQ(list.status, 0) << list.errors;
    EXPECT_NE(list.output.find("\n0    Fan 1 "), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("\n1    Fan 2 "), std::string::npos) << list.output;
    auto set = runProgram(kBin + "/smcfan", {"set", "fan 2", "target", "3000"}, service);
    EXPECT_EQ(set.status, 0) << set.errors;
}

// A fan whose mode the SMC refuses to tell (a driver keeps it): listed with
// its mode unknown, set, put back to automatic, and held without the hold
// taking the unknown mode for automatic.
TEST_F(BrokerTest, AFanWhoseModeCannotBeReadIsSetHeldAndGivenBack)
{
    std::filesystem::copy_file(std::string(GOLDEN_DIR) + "/profiles/soc_laptop.profile", profilePath,
                               std::filesystem::copy_options::overwrite_existing);
    startDaemon({"--fan-model", "off"});
    auto listed = smcfan({});
    EXPECT_EQ(listed.output, "Fan  Name   Actual  Minimum  Maximum   Target  Mode\n"
                             "0             2000     1200     5800     2000  ?\n");
    EXPECT_EQ(listed.status, 0) << listed.errors;
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"set", "0", "target", "3000"}, {"manual", "0"}, {"auto"}, {"auto", "0"}}) {
        auto result = smcfan(arguments);
        EXPECT_EQ(result.status, 0) << arguments[0] << ": " << result.errors;
    }
    EXPECT_NE(read("F0Tg").find("(bytes 00 80 3b 45)"), std::string::npos) << "3000 rpm";

    BackgroundProcess& holder = hold("0", "4000", "F0Tg", "(bytes 00 00 7a 45)");
    usleep(1'500'000);
    EXPECT_EQ(holder.output().find("ended"), std::string::npos) << holder.output();
    holder.signal(SIGKILL);
    holder.wait();
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(saidBy(*daemon, "fan 0: put back at the end of a lease: F0Md 0")) << daemon->output();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    // Trying the mask first on a machine without one is no refusal to log.
    EXPECT_EQ(daemon->output().find("FS! "), std::string::npos) << daemon->output();
}

TEST_F(BrokerTest, StoppingPutsFansBackUnlessToldToKeepThem)
{
    struct Case {
        int signal;
        bool keep;
    };
    for (const Case c : {Case{SIGTERM, false}, Case{SIGINT, false}, Case{SIGTERM, true}}) {
        // Through a state file, which keeps what the stopping daemon left.
        std::filesystem::remove(statePath);
        std::vector<std::string> options{"--state", statePath};
        if (c.keep)
            options.push_back("--keep-fans");
        startDaemon(options);
        ASSERT_EQ(smcfan({"set", "0", "target", "5000"}).status, 0);
        ASSERT_EQ(smcfan({"set", "0", "min", "1500"}).status, 0);
        ASSERT_EQ(smcfan({"manual", "0"}).status, 0);
        daemon->signal(c.signal);
        EXPECT_EQ(daemon->wait(), 0);
        startDaemon({"--state", statePath, "--keep-fans"});
        EXPECT_NE(read("F0Tg").find(c.keep ? "(bytes 4e 20)" : "(bytes 1f 40)"), std::string::npos) << c.keep;
        EXPECT_NE(read("F0Mn").find(c.keep ? "(bytes 17 70)" : "(bytes 12 c0)"), std::string::npos) << c.keep;
        EXPECT_NE(read("FS! ").find(c.keep ? "(bytes 00 01)" : "(bytes 00 00)"), std::string::npos) << c.keep;
        daemon.reset();
    }
}

TEST_F(BrokerTest, AfterAKillTheNextStartPutsFansBackBeforeServingAnyone)
{
    startDaemon({"--state", statePath});
    ASSERT_EQ(smcfan({"set", "1", "target", "4800"}).status, 0);
    ASSERT_EQ(smcfan({"manual", "1"}).status, 0);
    ASSERT_EQ(smc({"-k", "LKSB", "-w", "0102"}).status, 0);
    daemon->signal(SIGKILL);
    daemon->wait();

    // The first client that gets through already sees the fan put back.
    std::thread restart([&] { startDaemon({"--state", statePath}); });
    std::string first;
    for (int tries = 0; tries < 300; ++tries) {
        auto result = smc({"-k", "FS! ", "-r"});
        if (result.status == 0 && result.output.find("FS! ") != std::string::npos) {
            first = result.output;
            break;
        }
        usleep(5'000);
    }
    restart.join();
    EXPECT_EQ(first, "  FS!   [ui16]  0 (bytes 00 00)\n");
    EXPECT_NE(read("F1Tg").find("(bytes 1c 20)"), std::string::npos);
    EXPECT_NE(read("LKSB").find("(bytes 01 02)"), std::string::npos) << "not a fan: kept";
    EXPECT_NE(daemon->output().find("fan 1: put back"), std::string::npos) << daemon->output();
}

TEST_F(BrokerTest, AHolderKilledLetsGoWithinASecond)
{
    startDaemon();
    BackgroundProcess& holder = hold("0", "4000", "F0Tg", "(bytes 3e 80)");
    EXPECT_NE(read("FS! ").find("(bytes 00 01)"), std::string::npos);
    EXPECT_NE(smcfan({}).output.find("4000  manual"), std::string::npos);
    holder.signal(SIGKILL);
    holder.wait();
    EXPECT_LT(until("F0Tg", "(bytes 1f 40)"), std::chrono::milliseconds(1000));
    EXPECT_NE(read("FS! ").find("(bytes 00 00)"), std::string::npos);
}

TEST_F(BrokerTest, HoldsOnTwoFansDoNotUndoEachOtherAndALaterHoldWins)
{
    startDaemon();
    BackgroundProcess& left = hold("0", "4000", "F0Tg", "(bytes 3e 80)");
    BackgroundProcess& right = hold("1", "3000", "F1Tg", "(bytes 2e e0)");
    EXPECT_NE(read("FS! ").find("(bytes 00 03)"), std::string::npos);
    left.signal(SIGTERM);
    EXPECT_EQ(left.wait(), 0);
    until("F0Tg", "(bytes 1f 40)");
    EXPECT_NE(read("F1Tg").find("(bytes 2e e0)"), std::string::npos) << "the other hold stays";
    EXPECT_NE(read("FS! ").find("(bytes 00 02)"), std::string::npos);

    BackgroundProcess& later = hold("1", "4500", "F1Tg", "(bytes 46 50)");
    right.signal(SIGKILL);
    right.wait();
    usleep(300'000);
    EXPECT_NE(read("F1Tg").find("(bytes 46 50)"), std::string::npos) << "the later hold wins";
    later.signal(SIGINT);
    EXPECT_EQ(later.wait(), 0);
    until("F1Tg", "(bytes 1c 20)");
    EXPECT_NE(read("FS! ").find("(bytes 00 00)"), std::string::npos);
}

TEST_F(BrokerTest, AHoldThatEndsUnderneathSaysSoOnceAndItsCommandRunsOn)
{
    startDaemon();
    // A profile whose fan 0 is manual at another speed: the fan as another
    // program left it while the daemon was away.
    std::string changed = directory + "/changed.profile";
    std::string profile = kProfile;
    profile.replace(profile.find("(bytes 00 00)"), 13, "(bytes 00 01)");
    profile.replace(profile.find("F0Tg  [fpe2]  2000 (bytes 1f 40)"), 32, "F0Tg  [fpe2]  2500 (bytes 27 10)");
    std::ofstream(changed) << profile;
    struct Case {
        const char* name;
        std::function<void()> end;
        const char* said;  // once, on stderr
        const char* after;  // then, or nothing
        const char* fan;     // F0Tg while the command still runs, when that matters
    };
    const Case cases[] = {
        {"daemon restarted", [&] { daemon.reset(), startDaemon(); },
         "ended: the daemon went away (stopped or restarted), and the lease with it; it is taken again once the "
         "daemon is back, if nobody changes the fan meanwhile\n",
         "smcfan: holding fan 0 (Left) at 4000 rpm again\n", "(bytes 3e 80)"},
        {"daemon restarted, fan changed", [&] { daemon.reset(), serviceSpec = changed, startDaemon(); },
         "ended: the daemon went away", "smcfan: the hold of fan 0 (Left) is not taken again: the fan was changed "
         "while the daemon was away\n", "(bytes 27 10)"},
        {"a later hold", [&] { hold("0", "4500", "F0Tg", "(bytes 46 50)"); },
         "ended: F0Tg reads 4500 rpm now: another hold or a write changed the fan; the command runs on\n", nullptr,
         nullptr},
        {"a write", [&] { smcfan({"auto", "0"}); },
         "ended: the fan is in automatic mode again: another hold or a write changed it; the command runs on\n",
         nullptr, nullptr},
    };
    std::string flag = directory + "/done";
    for (const auto& c : cases) {
        std::filesystem::remove(flag);
        BackgroundProcess holder("/usr/bin/env", {service, kBin + "/smcfan", "hold", "Left", "4000", "--", "/bin/sh",
                                                  "-c", "while [ ! -e " + flag + " ]; do sleep 0.1; done; exit 7"});
        ASSERT_TRUE(saidBy(holder, "smcfan: holding")) << c.name << ": " << holder.output();
        c.end();
        std::string ended = "smcfan: the hold of fan 0 (Left) ";
        EXPECT_TRUE(saidBy(holder, ended + c.said) && (!c.after || saidBy(holder, c.after)))
            << c.name << ": " << holder.output();
        usleep(1'200'000);  // another check of the hold, which says nothing more
        if (c.fan) {
            EXPECT_NE(read("F0Tg").find(c.fan), std::string::npos) << c.name;
        }
        std::ofstream{flag};
        EXPECT_EQ(holder.wait(), 7) << c.name;
        std::string said = holder.output();
        EXPECT_EQ(said.find("(Left) ended", said.find("(Left) ended") + 1), std::string::npos) << c.name << ": " << said;
        holders.clear();
        daemon.reset(), serviceSpec.clear(), startDaemon();
    }
}

TEST_F(BrokerTest, AHoldLastsAsLongAsItsCommand)
{
    startDaemon();
    std::string flag = directory + "/held";
    auto result = smcfan({"hold", "Left", "3500", "--", "/bin/sh", "-c",
                          "SMC_SERVICE=unix:" + socketPath + " " + kBin + "/smc -k F0Tg -r > " + flag + "; exit 3"});
    EXPECT_EQ(result.status, 3) << result.errors;
    std::ifstream seen(flag);
    std::string line;
    std::getline(seen, line);
    EXPECT_EQ(line, "  F0Tg  [fpe2]  3500 (bytes 36 b0)");
    until("F0Tg", "(bytes 1f 40)");
}

TEST_F(BrokerTest, TheFanControllerShowsAndPeopleAreToldWhatItTakesBack)
{
    startDaemon({"--fan-model", "off"});
    int controller = platform::protocol::connectSocket(socketPath);
    ASSERT_GE(controller, 0);
    auto ask = [&](platform::protocol::Request request) {
        platform::protocol::Reply reply{-1, {}};
        if (send(controller, &request, sizeof request, 0) == ssize_t(sizeof request))
            recv(controller, &reply, sizeof reply, 0);
        return reply.status;
    };
    auto write = [&](const char* key, std::vector<uint8_t> bytes) {
        SMCKeyData record{};
        record.key = platform::fourCharCode(key);
        record.dataSize = uint32_t(bytes.size());
        record.command = SMCCommandWriteKey;
        std::copy(bytes.begin(), bytes.end(), record.bytes);
        platform::protocol::Request request{kSMCUserClientCall, {}};
        std::memcpy(request.record, &record, sizeof record);
        return ask(request);
    };
    ASSERT_EQ(ask({platform::protocol::kClaimControlMethod, {'s', 'm', 'c', 'f', 'a', 'n', 'd'}}), 0);
    ASSERT_EQ(write("F0Tg", {0x2e, 0xe0}), 0);  // 3000 rpm
    ASSERT_EQ(write("FS! ", {0, 1}), 0);
    // Named by its program and user, whatever name it claimed.
    std::string who = "smcfan_test (pid " + std::to_string(getpid()) + ", uid " + std::to_string(getuid()) + ")";

    auto listed = smcfan({});
    EXPECT_EQ(listed.output.substr(listed.output.find("\nFan 0 is") + 1),
              "Fan 0 is driven by " + who + ", target 3000 rpm\n");
    struct Case {
        std::vector<std::string> arguments;
        const char* said;  // on stderr; "" for nothing
    };
    const Case cases[] = {
        {{"set", "0", "target", "4500"}, "smcfan: fan 0: the fan controller smcfan_test (pid "},
        {{"set", "1", "target", "4500"}, ""},
        {{"auto", "0"}, "drives this fan and will change it again; smcfan hold 0 RPM keeps a speed"},
    };
    for (const Case& c : cases) {
        auto result = smcfan(c.arguments);
        EXPECT_EQ(result.status, 0) << result.errors;
        if (*c.said)
            EXPECT_NE(result.errors.find(c.said), std::string::npos) << result.errors;
        else
            EXPECT_EQ(result.errors, "");
    }
    // smcfan auto took back the fan's bit of FS!; the controller's target stays its own.
    ASSERT_EQ(write("FS! ", {0, 1}), 0);
    ASSERT_EQ(write("F0Tg", {0x2e, 0xe0}), 0);
    BackgroundProcess& holder = hold("0", "4000", "F0Tg", "(bytes 3e 80)");
    EXPECT_NE(holder.output().find("smcfan: fan 0 (Left): taking it from the fan controller " + who +
                                   " until the hold ends"),
              std::string::npos)
        << holder.output();
    EXPECT_NE(smcfan({}).output.find("Fan 0 is held by another program; " + who), std::string::npos);
    EXPECT_EQ(write("F0Tg", {0x2e, 0xe0}), int32_t(kIOReturnExclusiveAccess)) << "the hold wins";
    close(controller);
}

TEST_F(BrokerTest, OneShotWritesOfTheToolStay)
{
    startDaemon();
    ASSERT_EQ(smc({"-k", "F0Tg", "-w", "3e80"}).status, 0);
    usleep(200'000);
    EXPECT_NE(read("F0Tg").find("(bytes 3e 80)"), std::string::npos);
}

TEST_F(BrokerTest, TheGroupMayWriteFansAndOthersCannotConnect)
{
    std::vector<std::string> inGroup = asNobody(65534), outside = asNobody(1);
    if (inGroup.empty() || outside.empty())
        GTEST_SKIP() << "needs root and setpriv to run smcfan as another user";
    startDaemon({"--group", "nogroup", "--writable", "fans"});
    auto outsider = smcfan({"set", "0", "target", "3000"}, outside);
    EXPECT_EQ(outsider.status, 1);
    EXPECT_EQ(outsider.errors, "smcfan: the SMC cannot be opened: permission denied on " + socketPath + "\n");

    auto set = smcfan({"set", "0", "target", "3000"}, inGroup);
    EXPECT_EQ(set.status, 0) << set.errors;
    EXPECT_NE(read("F0Tg").find("(bytes 2e e0)"), std::string::npos);
    auto refused = runProgram(kBin + "/smc", {"-k", "LKSB", "-w", "0001"}, {service}, inGroup);
    EXPECT_EQ(refused.output, "Error: SMCWriteKey() = e00002c1\n");
}

TEST_F(BrokerTest, AGroupMemberFindsTheSystemDaemonWithoutSettingAnything)
{
    std::vector<std::string> inGroup = asNobody(65534);
    if (inGroup.empty() || access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "needs root, setpriv and unshare";
    // root's daemon at /run/smcd.sock, in a mount namespace of its own; nobody
    // (in its group) with no daemon of its own and SMC_SERVICE unset.
    std::string script = "set -e\nmount --make-rprivate /\nmount -t tmpfs -o mode=0755 smcfan-test /run\n" + kBin +
                         "/smcd --socket /run/smcd.sock --profile " + profilePath + " --state " + statePath +
                         " --group nogroup --fan-model off >/dev/null 2>&1 &\n"
                         "trap 'kill $!; wait' EXIT\n"
                         "for i in $(seq 100); do test -S /run/smcd.sock && break; sleep 0.05; done\n"
                         "run() { env -u SMC_SERVICE XDG_RUNTIME_DIR=" + directory + "/nobody";
    for (const std::string& word : inGroup)
        script += " " + word;
    script += " " + kBin + "/smcfan \"$@\"; }\nrun set 0 target 3000\nrun\n";
    auto run = runProgram("/usr/bin/unshare", {"-m", "sh", "-c", script});
    if (run.status != 0 && run.errors.find("unshare failed") != std::string::npos)
        GTEST_SKIP() << "no private mount namespace here: " << run.errors;
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.errors, "") << "no note about writes that do not last";
    EXPECT_EQ(run.output, "Fan  Name    Actual  Minimum  Maximum   Target  Mode\n"
                          "0    Left      2000     1200     6000     3000  auto\n"
                          "1    Right     1800     1000     5000     1800  auto\n");
}

TEST_F(BrokerTest, AHoldShowsInTheDriverFilesOfTheWholeChain)
{
    std::string smcfs = kBin + "/smcfs";
    if (access(smcfs.c_str(), X_OK) != 0)
        GTEST_SKIP() << "needs smcfs, the driver's files over FUSE";
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "needs FUSE (/dev/fuse)";
    std::string mount = directory + "/applesmc";
    ASSERT_EQ(mkdir(mount.c_str(), 0755), 0);
    auto files = std::make_unique<BackgroundProcess>(
        "/usr/bin/env", std::vector<std::string>{"SMC_SERVICE=" + profilePath, smcfs, "-f", mount});
    for (int tries = 0; tries < 200 && access((mount + "/fan1_manual").c_str(), F_OK) != 0; ++tries)
        usleep(10'000);
    ASSERT_EQ(access((mount + "/fan1_manual").c_str(), F_OK), 0) << files->output();
    auto file = [&](const char* name) {
        std::ifstream in(mount + "/" + name);
        std::string text;
        std::getline(in, text);
        return text;
    };
    struct Unmount {
        BackgroundProcess& files;
        ~Unmount()
        {
            files.signal(SIGTERM);
            files.wait();
        }
    } unmount{*files};

    // As over a machine's driver: no --writable, so the policy of a driver.
    serviceSpec = "applesmc:" + mount;
    startDaemon({"--state", statePath});
    EXPECT_NE(daemon->output().find("serving " + serviceSpec + " (writable: fans)"), std::string::npos)
        << daemon->output();
    EXPECT_EQ(smc({"-k", "LKSB", "-w", "0001"}).output, "Error: SMCWriteKey() = e00002c1\n");
    EXPECT_EQ(smc({"-l"}).output, runProgram(kBin + "/smc", {"-l"}, {"SMC_SERVICE=" + profilePath}).output)
        << "every key, by name through the cursor";

    BackgroundProcess& holder = hold("0", "4000", "F0Tg", "(bytes 3e 80)");
    EXPECT_EQ(file("fan1_manual"), "1");
    EXPECT_EQ(file("fan1_output"), "4000");
    holder.signal(SIGKILL);
    holder.wait();
    until("F0Tg", "(bytes 1f 40)");
    EXPECT_EQ(file("fan1_manual"), "0");
    EXPECT_EQ(file("fan1_output"), "2000");

    // One-shot changes outlive their client, not a daemon killed with -9:
    // its next start puts them back through the driver's files.
    ASSERT_EQ(smcfan({"set", "1", "min", "1500"}).status, 0);
    ASSERT_EQ(smcfan({"set", "1", "target", "3000"}).status, 0);
    ASSERT_EQ(smcfan({"manual", "1"}).status, 0);
    EXPECT_EQ(file("fan2_min"), "1500");
    EXPECT_EQ(file("fan2_output"), "3000");
    EXPECT_EQ(file("fan2_manual"), "1");
    daemon->signal(SIGKILL);
    daemon->wait();
    EXPECT_EQ(file("fan2_manual"), "1") << "nobody put it back yet";
    startDaemon({"--state", statePath});
    EXPECT_EQ(file("fan2_min"), "1000");
    EXPECT_EQ(file("fan2_output"), "1800");
    EXPECT_EQ(file("fan2_manual"), "0");
    EXPECT_NE(daemon->output().find("fan 1: put back"), std::string::npos) << daemon->output();
    EXPECT_EQ(daemon->output().find("cannot put back"), std::string::npos) << daemon->output();
    daemon.reset();
}

}  // namespace
