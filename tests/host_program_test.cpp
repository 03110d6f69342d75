// sensors-host as a monitoring tool, run as a program on the test profiles:
// JSON that parses, expositions that promtool accepts, the textfile and
// /metrics, and the key enumeration of --all against SMCs that misbehave.
#include "host/Exporter.h"
#include "host/Formats.h"
#include "smc-sensors/version.h"
#include "host/ModuleReader.h"
#include "backends/DaemonProtocol.h"
#include "support/FanMachine.h"
#include "support/Process.h"
#include "support/Promtool.h"
#include "support/TestSMC.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <thread>

using testing_support::BackgroundProcess;
using testing_support::ProcessResult;
using testing_support::runProgram;

namespace {

const std::string kBin = BIN_DIR;
const std::string kGolden = GOLDEN_DIR;

struct Machine_ {
    const char* what;
    std::string service;  // SMC_SERVICE
    std::vector<std::string> arguments;
    size_t fans;
    bool up;
};

// The test machines, each with the keys table it is meant for.
std::vector<Machine_> machines()
{
    std::string profiles = kGolden + "/profiles/", keys = kGolden + "/keys/";
    return {
        {"built-in machine", "builtin", {}, 2, true},
        {"built-in machine, every sensor", "builtin", {"--all"}, 2, true},
        {"names that need escaping", profiles + "monitor.profile", {"-k", keys + "monitor.keys"}, 2, true},
        {"escaping, every sensor", profiles + "monitor.profile", {"-k", keys + "monitor.keys", "--all"}, 2, true},
        {"fans sharing a name", profiles + "host_shared_names.profile", {"-k", keys + "host.keys"}, 3, true},
        {"a machine without fans", profiles + "fnum_zero.profile", {"-k", keys + "host.keys"}, 0, true},
        {"an unreadable fan count", profiles + "fnum_unreadable.profile", {"-k", keys + "host.keys"}, 0, true},
        {"floats, power and no die temperature", profiles + "floats.profile", {}, 2, true},
        {"no SMC", "none", {}, 0, false},
    };
}

TEST(HostProgram, JsonParsesOnEveryMachine)
{
    for (const Machine_& machine : machines()) {
        std::vector<std::string> arguments = machine.arguments;
        arguments.push_back("--json");
        ProcessResult run = runProgram(kBin + "/sensors-host", arguments, {"SMC_SERVICE=" + machine.service});
        nlohmann::json document;
        ASSERT_NO_THROW(document = nlohmann::json::parse(run.output)) << machine.what << "\n" << run.output;
        EXPECT_EQ(document["schema"], 1) << machine.what;
        EXPECT_EQ(document["smc_up"], machine.up) << machine.what;
        EXPECT_EQ(document["fans"].size(), machine.fans) << machine.what;
        EXPECT_EQ(run.status, document["errors"].empty() && machine.up ? 0 : 1) << machine.what << run.errors;
        for (const auto& temperature : document["temperatures"]) {
            EXPECT_TRUE(temperature["key"].is_string()) << machine.what;
            EXPECT_TRUE(temperature["name"].is_string() || temperature["name"].is_null()) << machine.what;
            EXPECT_TRUE(temperature["celsius"].is_number()) << machine.what;
        }
        for (const auto& fan : document["fans"])
            for (const char* field : {"index", "name", "rpm", "min", "max", "target", "manual"})
                EXPECT_TRUE(fan.contains(field)) << machine.what << " " << field;
    }
}

TEST(HostProgram, EveryExpositionPassesPromtool)
{
    if (!testing_support::havePromtool())
        GTEST_SKIP() << "promtool is not installed (scripts/setup.sh installs it)";
    for (const Machine_& machine : machines()) {
        std::vector<std::string> arguments = machine.arguments;
        arguments.push_back("--prometheus");
        ProcessResult run = runProgram(kBin + "/sensors-host", arguments, {"SMC_SERVICE=" + machine.service});
        EXPECT_NE(run.output.find(machine.up ? "\nsmc_up 1\n" : "\nsmc_up 0\n"), std::string::npos) << machine.what;
        ProcessResult checked = testing_support::checkMetrics(run.output);
        EXPECT_EQ(checked.status, 0) << machine.what << ": " << checked.output << checked.errors << "\n" << run.output;
    }
}

TEST(HostProgram, AlertingRulesPassPromtool)
{
    if (!testing_support::havePromtool())
        GTEST_SKIP() << "promtool is not installed (scripts/setup.sh installs it)";
    std::string rules = std::string(CONTRIB_DIR) + "/prometheus/";
    ProcessResult checked = runProgram("promtool", {"check", "rules", rules + "smc-alerts.yml"}, {}, {});
    EXPECT_EQ(checked.status, 0) << checked.output << checked.errors;
    // The rules' own unit tests: each alert fires when it should and not before.
    ProcessResult tested = runProgram("promtool", {"test", "rules", rules + "smc-alerts.test.yml"});
    EXPECT_EQ(tested.status, 0) << tested.output << tested.errors;
}

class HostFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/host-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    std::string read(const std::string& path)
    {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::vector<std::string> files()
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory))
            names.push_back(entry.path().filename());
        return names;
    }

    std::string directory;
};

TEST_F(HostFiles, TextfileIsWrittenWholeAndReadable)
{
    ProcessResult run = runProgram(kBin + "/sensors-host", {"--textfile", directory}, {"SMC_SERVICE=builtin"});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(files(), std::vector<std::string>{"smc.prom"}) << "no temporary file left behind";
    struct stat info;
    ASSERT_EQ(stat((directory + "/smc.prom").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u) << "the collector may run as another user";
    std::string text = read(directory + "/smc.prom");
    EXPECT_NE(text.find("smc_fan_speed_rpm{fan=\"0\",name=\"Left\"} 2160\n"), std::string::npos) << text;
    if (testing_support::havePromtool()) {
        ProcessResult checked = testing_support::checkMetrics(text);
        EXPECT_EQ(checked.status, 0) << checked.output << checked.errors;
    }

    ProcessResult refused = runProgram(kBin + "/sensors-host", {"--textfile", directory + "/missing"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.errors.find("cannot create a file in " + directory + "/missing"), std::string::npos)
        << refused.errors;
}

// Rewritten every 50 ms while read: every read finds a whole file, and a
// stop signal ends the loop cleanly.
TEST_F(HostFiles, TextfileReplacedAtomicallyEveryInterval)
{
    setenv("SMC_SERVICE", "builtin", 1);
    BackgroundProcess host(kBin + "/sensors-host", {"--textfile", directory, "--interval", "0.05"});
    std::string target = directory + "/smc.prom";
    for (int tries = 0; tries < 100 && !std::filesystem::exists(target); ++tries)
        usleep(20'000);
    int reads = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
         std::chrono::steady_clock::now() < end; ++reads) {
        std::string text = read(target);
        ASSERT_TRUE(text.starts_with("# HELP smc_temperature_celsius")) << text.substr(0, 80);
        ASSERT_TRUE(text.ends_with("smc_build_info{version=\"" SMC_SENSORS_VERSION "\"} 1\n")) << text;
    }
    EXPECT_GT(reads, 10);
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0) << host.output();
    EXPECT_EQ(files(), std::vector<std::string>{"smc.prom"});
}

// DIR is opened once: swapped for a link after the start (by whoever owns
// its parent), the next writes stay in the directory opened, not the link's
// target; a link given at the start is refused.
TEST_F(HostFiles, TextfileStaysInTheDirectoryOpened)
{
    std::string watched = directory + "/textfiles", moved = directory + "/moved", elsewhere = directory + "/elsewhere";
    ASSERT_EQ(mkdir(watched.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    setenv("SMC_SERVICE", "builtin", 1);
    BackgroundProcess host(kBin + "/sensors-host", {"--textfile", watched, "--interval", "0.05"});
    for (int tries = 0; tries < 100 && !std::filesystem::exists(watched + "/smc.prom"); ++tries)
        usleep(20'000);
    ASSERT_EQ(rename(watched.c_str(), moved.c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), watched.c_str()), 0);
    std::filesystem::remove(moved + "/smc.prom");
    for (int tries = 0; tries < 100 && !std::filesystem::exists(moved + "/smc.prom"); ++tries)
        usleep(20'000);
    EXPECT_TRUE(std::filesystem::exists(moved + "/smc.prom"));
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0) << host.output();

    ProcessResult refused = runProgram(kBin + "/sensors-host", {"--textfile", watched});
    unsetenv("SMC_SERVICE");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.errors.find("it is a symbolic link"), std::string::npos) << refused.errors;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
}

TEST(HostProgram, MachineReadableOutputStaysParseableWithoutSMC)
{
    ProcessResult run = runProgram(kBin + "/sensors-host", {"--json"}, {"SMC_SERVICE=none"});
    EXPECT_EQ(run.status, 1);
    nlohmann::json document;
    ASSERT_NO_THROW(document = nlohmann::json::parse(run.output)) << run.output;
    EXPECT_EQ(document["smc_up"], false);
    EXPECT_EQ(document["errors"], nlohmann::json::array({"no SMC on this machine"}));
    EXPECT_NE(run.errors.find("Error: no SMC found"), std::string::npos) << "the access layer's line, moved aside";
}

// smcd serves one SMC to every process: a write made with smc between two
// scrapes shows in the second.
class HostListen : public HostFiles {
protected:
    void startDaemon(const std::string& profile)
    {
        socketPath = directory + "/smcd.sock";
        daemon = std::make_unique<BackgroundProcess>(kBin + "/smcd",
                                                     std::vector<std::string>{"--socket", socketPath, "--profile", profile});
        if (!testing_support::waitForSocket(socketPath))
            FAIL() << "smcd did not start: " << daemon->output();
    }
    int startHost(std::vector<std::string> arguments)
    {
        host = std::make_unique<BackgroundProcess>(kBin + "/sensors-host", arguments);
        for (int tries = 0; tries < 100; ++tries) {
            std::string output = host->output();
            size_t at = output.find("/metrics");
            if (at != std::string::npos)
                return std::stoi(output.substr(output.rfind(':', at) + 1));
            usleep(20'000);
        }
        ADD_FAILURE() << "sensors-host did not listen: " << host->output();
        return 0;
    }
    void TearDown() override
    {
        host.reset();
        daemon.reset();
        unsetenv("SMC_SERVICE");
        HostFiles::TearDown();
    }

    std::string socketPath;
    std::unique_ptr<BackgroundProcess> daemon, host;
};

TEST_F(HostListen, AScrapeReadsTheSMCOnceItsReportIsOld)
{
    std::string profile = directory + "/machine.profile";
    std::ofstream(profile) << "  FNum  [ui8 ]  1 (bytes 01)\n"
                              "  F0Ac  [fpe2]  2000 (bytes 1f 40)\n"
                              "  TC0D  [sp78]  (bytes 32 80)\n"
                              "! writable\n";
    startDaemon(profile);
    setenv("SMC_SERVICE", ("unix:" + socketPath).c_str(), 1);
    int port = startHost({"--listen", "127.0.0.1:0"});
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);

    auto first = client.Get("/metrics");
    ASSERT_TRUE(first) << httplib::to_string(first.error());
    EXPECT_EQ(first->status, 200);
    EXPECT_EQ(first->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(first->body.find("smc_temperature_celsius{key=\"TC0D\",name=\"CPU Die\"} 50.5\n"), std::string::npos)
        << first->body;

    ProcessResult written = runProgram(kBin + "/smc", {"-k", "TC0D", "-w", "5a40"});
    ASSERT_EQ(written.status, 0) << written.output << written.errors;
    std::this_thread::sleep_for(kMetricsMaxAge);
    auto second = client.Get("/metrics");
    ASSERT_TRUE(second);
    EXPECT_NE(second->body.find("smc_temperature_celsius{key=\"TC0D\",name=\"CPU Die\"} 90.25\n"), std::string::npos)
        << second->body;
    if (testing_support::havePromtool()) {
        ProcessResult checked = testing_support::checkMetrics(second->body);
        EXPECT_EQ(checked.status, 0) << checked.output << checked.errors;
    }

    // The daemon gone: the exporter stays, and says so.
    daemon.reset();
    std::this_thread::sleep_for(kMetricsMaxAge);
    auto third = client.Get("/metrics");
    ASSERT_TRUE(third);
    EXPECT_NE(third->body.find("\nsmc_up 0\n"), std::string::npos) << third->body;
    EXPECT_EQ(third->body.find("smc_temperature_celsius{"), std::string::npos) << third->body;
    EXPECT_EQ(client.Get("/nothing")->status, 404);

    host->signal(SIGTERM);
    EXPECT_EQ(host->wait(), 0) << host->output();
}

TEST_F(HostListen, TheFanControllersTargetIsExportedWhileItDrivesAFan)
{
    std::string profile = directory + "/machine.profile";
    std::ofstream(profile) << testing_support::fanProfile(2)
                           << "  F1Ac  [fpe2]  2000 (bytes 1f 40)\n"
                              "  TC0D  [sp78]  (bytes 32 80)\n";
    startDaemon(profile);
    setenv("SMC_SERVICE", ("unix:" + socketPath).c_str(), 1);
    int port = startHost({"--listen", "127.0.0.1:0"});
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    const std::string gauge = "smc_fan_controller_target_rpm{fan=\"0\",name=\"Fan 0\"} 3000\n";
    auto scrape = [&] {
        std::this_thread::sleep_for(kMetricsMaxAge);
        auto response = client.Get("/metrics");
        return response ? response->body : std::string();
    };
    EXPECT_EQ(scrape().find("smc_fan_controller_target_rpm"), std::string::npos) << "no controller: no family";

    int controller = platform::protocol::connectSocket(socketPath);
    ASSERT_GE(controller, 0);
    platform::CallRecord write{};
    write.key = platform::fourCharCode("F0Tg");
    write.dataSize = 2;
    write.command = 6;
    write.bytes[0] = 0x2e, write.bytes[1] = 0xe0;  // 3000 rpm
    platform::protocol::Request requests[2] = {{platform::protocol::kClaimControlMethod, {'s', 'm', 'c', 'f', 'a', 'n', 'd'}},
                                               {platform::kUserClientCall, {}}};
    std::memcpy(requests[1].record, &write, sizeof write);
    for (const auto& request : requests) {
        platform::protocol::Reply reply{-1, {}};
        ASSERT_EQ(send(controller, &request, sizeof request, 0), ssize_t(sizeof request));
        ASSERT_EQ(recv(controller, &reply, sizeof reply, 0), ssize_t(sizeof reply));
        ASSERT_EQ(reply.status, 0);
    }
    std::string driven = scrape();
    EXPECT_NE(driven.find("# TYPE smc_fan_controller_target_rpm gauge\n" + gauge), std::string::npos) << driven;
    EXPECT_EQ(driven.find("smc_fan_controller_target_rpm{fan=\"1\""), std::string::npos) << "fan 1 is not driven";
    if (testing_support::havePromtool()) {
        ProcessResult checked = testing_support::checkMetrics(driven);
        EXPECT_EQ(checked.status, 0) << checked.output << checked.errors;
    }
    ProcessResult json = runProgram(kBin + "/sensors-host", {"--json"});
    nlohmann::json document = nlohmann::json::parse(json.output);
    EXPECT_EQ(document["fans"][0]["controller"]["name"], "host_program_test");
    EXPECT_EQ(document["fans"][0]["controller"]["target"], 3000.0);
    EXPECT_FALSE(document["fans"][1].contains("controller"));

    close(controller);
    usleep(100'000);
    EXPECT_EQ(scrape().find("smc_fan_controller_target_rpm"), std::string::npos) << "gone with it";
}

TEST_F(HostListen, RefusesAnAddressInUse)
{
    setenv("SMC_SERVICE", "builtin", 1);
    int port = startHost({"--listen", "127.0.0.1:0"});
    ASSERT_GT(port, 0);
    ProcessResult second = runProgram(kBin + "/sensors-host", {"--listen", "127.0.0.1:" + std::to_string(port)});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.errors.find("cannot listen on 127.0.0.1 port " + std::to_string(port)), std::string::npos)
        << second.errors;
}

// The key enumeration of --all, in this process against SMCs that list a key
// twice or vanish halfway.
constexpr const char* kEnumerated = R"(
  TC0D  [sp78]  (bytes 32 80)
  TC0P  [sp78]  (bytes 30 00)
  FNum  [ui8 ]  0 (bytes 00)
  TA0P  [sp78]  (bytes 1e 00)
  TB0T  [sp78]  (bytes 1d 00)
)";

// Answers the key-at-index exchange for position `from` with the key at
// position `to`.
class RepeatingSMC : public platform::SMCService {
public:
    RepeatingSMC(std::shared_ptr<platform::SMCService> inner, uint32_t from, uint32_t to)
        : inner_(std::move(inner)), from_(from), to_(to)
    {
    }
    kern_return_t open(std::unique_ptr<platform::SMCConnection>& connection) override
    {
        struct Connection : platform::SMCConnection {
            std::unique_ptr<platform::SMCConnection> inner;
            uint32_t from, to;
            kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                               size_t* outputSize) override
            {
                SMCKeyData request{};
                std::memcpy(&request, input, std::min(inputSize, sizeof request));
                if (request.command == SMCCommandKeyAtIndex && request.index == from)
                    request.index = to;
                return inner->call(selector, &request, inputSize, output, outputSize);
            }
        };
        auto wrapped = std::make_unique<Connection>();
        wrapped->from = from_;
        wrapped->to = to_;
        kern_return_t status = inner_->open(wrapped->inner);
        if (status == kIOReturnSuccess)
            connection = std::move(wrapped);
        return status;
    }

private:
    std::shared_ptr<platform::SMCService> inner_;
    uint32_t from_, to_;
};

std::unique_ptr<ModuleReader> loadMachine()
{
    std::string error;
    std::unique_ptr<ModuleReader> machine = ModuleReader::load(kBin + "/SensorsModule.so", true, error);
    EXPECT_TRUE(machine) << error;
    return machine;
}

std::vector<std::string> keysOf(const Report& report)
{
    std::vector<std::string> keys;
    for (const TemperatureReading& reading : report.temperatures)
        keys.push_back(reading.key);
    return keys;
}

TEST(HostEnumeration, AKeyListedTwiceIsOneSensorAndTheOtherPositionIsNamed)
{
    testing_support::TestSMC smc(kEnumerated);
    // Position 4 (after #KEY, TC0D, TC0P, FNum) answers TC0D again.
    platform::installSMCService(std::make_shared<RepeatingSMC>(smc.smc().shared_from_this(), 4, 1));
    std::unique_ptr<ModuleReader> machine = loadMachine();
    ASSERT_TRUE(machine && machine->isSupported());
    machine->configure({{"TC0D", 1, "CPU Die"}}, true);
    Report report = machine->read();
    EXPECT_EQ(keysOf(report), (std::vector<std::string>{"TC0D", "TB0T", "TC0P"}));
    // What position 4 holds (TA0P) is left out, and said to be.
    EXPECT_EQ(report.errors, std::vector<std::string>{
                                 "the key at position 4 shows TC0D, as position 1 does: the key it holds is left out"});
    EXPECT_EQ(report.temperatures[0].name, "CPU Die");
    EXPECT_EQ(report.temperatures[0].priority, 1);
    EXPECT_FALSE(report.temperatures[1].priority);
}

TEST(HostEnumeration, StopsWhenTheSMCIsGone)
{
    const std::vector<std::string> first{"TC0D"}, allButOne{"TA0P", "TB0T", "TC0D"};
    const std::tuple<kern_return_t, size_t, std::vector<std::string>> cases[] = {
        {kIOReturnNotResponding, 3, first},  // gone: no more asking
        {kIOReturnNotOpen, 3, first},
        {kIOReturnNoDevice, 3, first},
        {kIOReturnBadArgument, 6, allButOne},  // one position fails: the others are still asked
    };
    for (const auto& [status, exchanges, keys] : cases) {
        testing_support::TestSMC smc(kEnumerated);
        smc.fail("TC0P", platform::SMCExchangeKind::KeyAtIndex, status);
        std::unique_ptr<ModuleReader> machine = loadMachine();
        ASSERT_TRUE(machine);
        smc.clearExchanges();
        machine->configure({}, true);
        size_t keyAtIndex = 0;
        for (const auto& exchange : smc.exchanges())
            keyAtIndex += exchange.request.command == SMCCommandKeyAtIndex;
        EXPECT_EQ(keyAtIndex, exchanges) << std::hex << status;
        Report report = machine->read();
        EXPECT_EQ(keysOf(report), keys) << std::hex << status;
    }
}

// With --all, a key count or a listing that failed goes on where it
// stopped once the SMC answers again.
TEST(HostEnumeration, ResumesOnceTheSMCAnswers)
{
    const std::tuple<const char*, platform::SMCExchangeKind, kern_return_t, std::vector<std::string>> cases[] = {
        {"#KEY", platform::SMCExchangeKind::Read, kIOReturnBusy, {}},
        {"TC0P", platform::SMCExchangeKind::KeyAtIndex, kIOReturnNotResponding, {"TC0D"}},
    };
    for (const auto& [key, kind, status, first] : cases) {
        SCOPED_TRACE(key);
        testing_support::TestSMC smc(kEnumerated);
        smc.fail(key, kind, status);
        std::unique_ptr<ModuleReader> machine = loadMachine();
        ASSERT_TRUE(machine);
        machine->configure({}, true);
        Report report = machine->read();
        EXPECT_EQ(keysOf(report), first);
        EXPECT_FALSE(report.errors.empty());
        smc.fail(key, kind, 0);
        report = machine->read();
        EXPECT_EQ(keysOf(report), (std::vector<std::string>{"TA0P", "TB0T", "TC0D", "TC0P"}));
        EXPECT_TRUE(report.errors.empty()) << report.errors.front();
    }
}

// A sensor readable at the start whose reads fail later: an error in the
// report and in the running count, not a silently shorter list.
TEST(HostEnumeration, FailedReadsAreCountedAndNamed)
{
    testing_support::TestSMC smc(kEnumerated);
    std::unique_ptr<ModuleReader> machine = loadMachine();
    ASSERT_TRUE(machine);
    machine->configure({{"TC0D", 1, "CPU Die"}, {"TC0P", 1, "CPU Proximity"}}, false);
    EXPECT_TRUE(machine->read().errors.empty());
    smc.fail("TC0P", platform::SMCExchangeKind::Read, kIOReturnNotResponding);
    for (uint64_t total : {1u, 2u}) {
        Report report = machine->read();
        EXPECT_EQ(keysOf(report), std::vector<std::string>{"TC0D"});
        EXPECT_EQ(report.errors, std::vector<std::string>{"TC0P: the read failed"});
        EXPECT_EQ(report.readErrorsTotal, total);
        EXPECT_TRUE(report.smcUp);
    }
}

// A value that cannot be read (a busy SMC) is absent and named, never 0;
// a key that failed while the sensors were chosen is tried again.
constexpr const char* kFanMachine = R"(
  FNum  [ui8 ]  1 (bytes 01)
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0Mn  [fpe2]  1200 (bytes 12 c0)
  TC0D  [sp78]  (bytes 32 80)
  TC0P  [sp78]  (bytes 30 00)
)";

TEST(HostReads, AFailedReadIsAbsentAndNamed)
{
    using Kind = platform::SMCExchangeKind;
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, Kind>> failing;
        std::vector<std::string> temperatures, errors;
        std::optional<int32_t> rpm, minimum;
        bool up;
        kern_return_t status = kIOReturnBusy;  // what the failing exchanges answer
    };
    const Case cases[] = {
        {"nothing fails", {}, {"TC0D", "TC0P"}, {}, 2000, 1200, true},
        {"the speed", {{"F0Ac", Kind::Read}}, {"TC0D", "TC0P"}, {"F0Ac: the read failed"}, std::nullopt, 1200, true},
        {"the minimum", {{"F0Mn", Kind::KeyInfo}}, {"TC0D", "TC0P"}, {"F0Mn: the read failed"}, 2000, std::nullopt, true},
        {"a sensor while choosing", {{"TC0P", Kind::Read}}, {"TC0D"}, {"TC0P: the read failed"}, 2000, 1200, true},
        {"a key served to root alone", {{"F0Mn", Kind::KeyInfo}}, {"TC0D", "TC0P"}, {}, 2000, std::nullopt, true,
         kIOReturnNotPrivileged},
        {"every value",
         {{"TC0D", Kind::Read}, {"TC0P", Kind::Read}, {"F0Ac", Kind::Read}, {"F0Mn", Kind::Read}},
         {},
         {"TC0D: the read failed", "TC0P: the read failed", "F0Ac: the read failed", "F0Mn: the read failed",
          "the SMC does not answer"},
         std::nullopt,
         std::nullopt,
         false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        testing_support::TestSMC smc(kFanMachine);
        for (const auto& [key, kind] : row.failing)
            smc.fail(key, kind, row.status);
        std::unique_ptr<ModuleReader> machine = loadMachine();
        ASSERT_TRUE(machine);
        machine->configure({{"TC0D", 1, "CPU Die"}, {"TC0P", 1, "CPU Proximity"}}, false);
        Report report = machine->read();
        EXPECT_EQ(keysOf(report), row.temperatures);
        EXPECT_EQ(report.errors, row.errors);
        EXPECT_EQ(report.readErrorsTotal, row.errors.size());
        EXPECT_EQ(report.smcUp, row.up);
        ASSERT_EQ(report.fans.size(), 1u);
        EXPECT_EQ(report.fans[0].rpm, row.rpm);
        EXPECT_EQ(report.fans[0].minimum, row.minimum);

        // The SMC free again: everything is back, the sensor chosen late included.
        for (const auto& [key, kind] : row.failing)
            smc.fail(key, kind, 0);
        report = machine->read();
        EXPECT_EQ(keysOf(report), (std::vector<std::string>{"TC0D", "TC0P"}));
        EXPECT_TRUE(report.errors.empty()) << report.errors.front();
    }
}

// Only a machine with a mode key gets smc_fan_manual.
TEST(HostReads, FanModeOnlyWhereTheMachineKeepsOne)
{
    const std::tuple<const char*, std::string, const char*> cases[] = {
        {"no mode key", "", nullptr},
        {"the forced-mode mask", "  FS!   [ui16]  1 (bytes 00 01)\n", "smc_fan_manual{fan=\"0\",name=\"Fan 0\"} 1\n"},
        {"a mode key per fan", "  F0Md  [ui8 ]  0 (bytes 00)\n", "smc_fan_manual{fan=\"0\",name=\"Fan 0\"} 0\n"},
    };
    for (const auto& [what, modeKeys, line] : cases) {
        testing_support::TestSMC smc(kFanMachine + modeKeys);
        std::unique_ptr<ModuleReader> machine = loadMachine();
        ASSERT_TRUE(machine);
        machine->configure({}, false);
        std::string text = formatPrometheus(machine->read());
        if (line)
            EXPECT_NE(text.find(line), std::string::npos) << what << "\n" << text;
        else
            EXPECT_EQ(text.find("smc_fan_manual{"), std::string::npos) << what << "\n" << text;
    }
}

// As a program: the failures on standard error by key, and a report in
// which nothing reads exits 1 with smc_up 0.
TEST_F(HostFiles, ReportWithNothingReadableFails)
{
    std::string profile = directory + "/busy.profile";
    std::ofstream(profile) << "  FNum  [ui8 ]  1 (bytes 01)\n"
                              "  F0Ac  [fpe2]  2000 (bytes 1f 40)\n! fail read e00002d5\n"
                              "  TC0D  [sp78]  (bytes 32 80)\n! fail read e00002d5\n";
    ProcessResult text = runProgram(kBin + "/sensors-host", {}, {"SMC_SERVICE=" + profile});
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.errors.find("sensors-host: TC0D: the read failed\n"), std::string::npos) << text.errors;
    EXPECT_NE(text.errors.find("sensors-host: F0Ac: the read failed\n"), std::string::npos) << text.errors;
    EXPECT_NE(text.output.find("       ? rpm"), std::string::npos) << text.output;
    ProcessResult metrics = runProgram(kBin + "/sensors-host", {"--prometheus"}, {"SMC_SERVICE=" + profile});
    EXPECT_EQ(metrics.status, 1);
    EXPECT_NE(metrics.output.find("\nsmc_up 0\n"), std::string::npos) << metrics.output;
    EXPECT_NE(metrics.output.find("\nsmc_read_errors_total 3\n"), std::string::npos) << metrics.output;
    EXPECT_EQ(metrics.output.find("smc_fan_speed_rpm{"), std::string::npos) << metrics.output;
}

// A T2 machine keeps temperatures as little-endian floats: every format
// shows them, chosen by the table or listed by --all.
TEST_F(HostFiles, FloatTemperaturesAreShown)
{
    std::string profile = directory + "/t2.profile";
    std::ofstream(profile) << "  FNum  [ui8 ]  0 (bytes 00)\n"
                              "  TC0D  [flt ]  (bytes 00 00 48 42)\n";
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "CPU Die                        50.0 °C\n"},
        {{"--all"}, "CPU Die                        50.0 °C\n"},
        {{"--json"}, "\"key\": \"TC0D\",\n      \"name\": \"CPU Die\",\n      \"priority\": 1,\n      \"celsius\": 50.0"},
        {{"--prometheus"}, "smc_temperature_celsius{key=\"TC0D\",name=\"CPU Die\"} 50\n"},
        {{"--prometheus", "--all"}, "smc_temperature_celsius{key=\"TC0D\",name=\"CPU Die\"} 50\n"},
    };
    for (const auto& [arguments, shown] : cases) {
        ProcessResult run = runProgram(kBin + "/sensors-host", arguments, {"SMC_SERVICE=" + profile});
        EXPECT_NE(run.output.find(shown), std::string::npos) << run.output;
    }
}

// Gives its connections the labels a machine's description gives its keys.
class LabelledSMC : public platform::SMCService {
public:
    LabelledSMC(platform::SMCService& inner, std::map<std::string, std::string> labels)
        : inner_(inner), labels_(std::move(labels))
    {
    }
    kern_return_t open(std::unique_ptr<platform::SMCConnection>& connection) override
    {
        struct Connection : platform::SMCConnection, platform::SMCKeyLabels {
            std::unique_ptr<platform::SMCConnection> inner;
            const std::map<std::string, std::string>* labels;
            kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                               size_t* outputSize) override
            {
                return inner->call(selector, input, inputSize, output, outputSize);
            }
            kern_return_t keyLabel(FourCharCode key, std::string& label) override
            {
                auto found = labels->find(platform::fourCharText(key));
                if (found == labels->end())
                    return kIOReturnNotFound;
                label = found->second;
                return KERN_SUCCESS;
            }
            void* findCapability(platform::SMCCapability which) override
            {
                return offer<platform::SMCKeyLabels>(which, this);
            }
        };
        auto wrapped = std::make_unique<Connection>();
        wrapped->labels = &labels_;
        kern_return_t status = inner_.open(wrapped->inner);
        if (status == kIOReturnSuccess)
            connection = std::move(wrapped);
        return status;
    }

private:
    platform::SMCService& inner_;
    std::map<std::string, std::string> labels_;
};

// A machine whose SMC keeps floats and names its sensors: power, voltage
// and current besides temperatures, under the machine's labels escaped for
// each format, whether it has a CPU die temperature, and one read per value
// shown (the fans' modes are refused, as that driver refuses them).
TEST(HostReads, AMachineOfFloatsShowsPowerUnderItsLabels)
{
    std::ifstream file(kGolden + "/profiles/floats.profile");
    const std::string floats((std::istreambuf_iterator<char>(file)), {});
    const std::map<std::string, std::string> labels = {
        {"PSTR", "Total System Power"}, {"PHPC", "Heatpipe \"SoC\" \\ Power"}, {"TB0T", "Battery Hotspot"},
        {"F0Ac", "Fan 1"},              {"F1Ac", "Fan 2"}};
    std::string error;
    const std::vector<KeyEntry> table = *parseKeysTable(defaultKeysTable(), error);
    const struct {
        const char* what;
        std::string profile;
        bool die;
        size_t reads;  // 4 + 1 temperatures, 7 others, the fan count, 4 a fan and its refused mode
    } cases[] = {
        {"no die temperature", floats, false, 4 + 7 + 1 + 2 * 5},
        {"a die temperature", floats + "  TC0D  [flt ]  (bytes 00 00 48 42)\n", true, 5 + 7 + 1 + 2 * 5},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        testing_support::TestSMC smc(row.profile);
        platform::installSMCService(std::make_shared<LabelledSMC>(smc.smc(), labels));
        std::unique_ptr<ModuleReader> machine = loadMachine();
        ASSERT_TRUE(machine);
        machine->configure(table, false);
        machine->read();
        smc.takeCount(SMCCommandReadKey);
        Report report = machine->read();
        EXPECT_EQ(smc.takeCount(SMCCommandReadKey), row.reads);
        EXPECT_TRUE(report.errors.empty()) << report.errors.front();

        std::string text = formatText(report, false);
        for (const char* line : {"    Total System Power             7.75 W\n", "    ID0R                           0.38 A\n",
                                 "    Battery Hotspot                31.3 °C\n", "  Fan 2 "})
            EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
        EXPECT_EQ(text.find("  no CPU die temperature: this machine's SMC exposes none\n") == std::string::npos, row.die);

        nlohmann::json json = nlohmann::json::parse(formatJson(report));
        EXPECT_EQ(json["cpu_die_temperature"], row.die);
        EXPECT_EQ(json["power"][3], nlohmann::json::parse(R"({"key": "PHPC", "name": "Heatpipe \"SoC\" \\ Power", "watts": 3.25})"));
        EXPECT_EQ(json["voltage"][1]["volts"], 12.875);
        EXPECT_EQ(json["current"][0]["name"], nullptr);

        std::string metrics = formatPrometheus(report);
        for (const std::string& line : std::initializer_list<std::string>{"smc_power_watts{key=\"PHPC\",name=\"Heatpipe \\\"SoC\\\" \\\\ Power\"} 3.25\n",
                                 "smc_voltage_volts{key=\"SBAV\",name=\"SBAV\"} 12.875\n",
                                 "smc_current_amperes{key=\"ID0R\",name=\"ID0R\"} 0.375\n",
                                 std::string("smc_cpu_die_temperature_present ") + (row.die ? "1\n" : "0\n")})
            EXPECT_NE(metrics.find(line), std::string::npos) << line << "\n" << metrics;
    }
}

}  // namespace

// What a report costs the SMC, against the floor of one read per value it
// shows. The built-in machine: 24 temperatures (50 with --all), the fan
// count, six keys for each of its two fans (the name, read by the first
// report alone) and the forced-mode mask; a fanless one: a temperature and
// the fan count. Key information is free on the driver's files, which cache
// it, so reads are counted; only a listing may add one, the key count.
TEST(HostReads, ReadsStayAtTheFloor)
{
    std::ifstream file(kGolden + "/../../profiles/builtin.profile");
    const std::string builtin((std::istreambuf_iterator<char>(file)), {});
    const std::string fanless = "  FNum  [ui8 ]  0 (bytes 00)\n  TC0D  [sp78]  (bytes 32 80)\n";
    std::string error;
    const std::vector<KeyEntry> table = *parseKeysTable(defaultKeysTable(), error);
    const size_t floor = 24 + 1 + 2 * 6 + 1, floorAll = 50 + 1 + 2 * 6 + 1;
    const struct {
        const char* operation;
        const std::string& profile;
        bool all;
        size_t first, again;  // reads of the first report and of each one after it
        size_t firstGoal, againGoal;
    } cases[] = {
        {"a report, a scrape", builtin, false, 38, 36, floor + 1, floor},
        {"--all", builtin, true, 65, 62, floorAll + 1, floorAll},
        {"no fans", fanless, false, 2, 2, 2 + 1, 2},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.operation);
        testing_support::TestSMC smc(row.profile);
        std::unique_ptr<ModuleReader> machine = loadMachine();
        ASSERT_TRUE(machine);
        auto reads = [&] { return smc.takeCount(SMCCommandReadKey); };
        reads();
        machine->configure(table, row.all);
        EXPECT_TRUE(machine->read().errors.empty());
        size_t first = reads();
        EXPECT_EQ(first, row.first);
        EXPECT_LE(first, row.firstGoal);
        for (int scrape = 0; scrape < 2; ++scrape) {
            EXPECT_TRUE(machine->read().smcUp);
            size_t again = reads();
            EXPECT_EQ(again, row.again);
            EXPECT_LE(again, row.againGoal);
        }
    }
}

// The read that chose a sensor stands for the report right after it, not for
// a first scrape that comes long after the start.
TEST(HostReads, AFirstScrapeLongAfterTheStartReadsAgain)
{
    testing_support::TestSMC smc(kFanMachine);
    std::unique_ptr<ModuleReader> machine = loadMachine();
    ASSERT_TRUE(machine);
    machine->configure({{"TC0D", 1, "CPU Die"}}, false);
    const uint8_t later[] = {0x40, 0x00};
    ASSERT_TRUE(smc.smc().setValue(encodings::fourCharCode("TC0D"), later, sizeof later));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Report report = machine->read();
    ASSERT_EQ(report.temperatures.size(), 1u);
    EXPECT_EQ(report.temperatures[0].celsius, 64.0);
}
