// The SMC daemon as a separate process: sharing, concurrency, bad input,
// crashes, permissions, and the clients' behaviour when it goes away.
#include "SensorsModule/SensorsModule.h"
#include "backends/DaemonProtocol.h"
#include "backends/SMCService.h"
#include "support/Process.h"
#include "support/TestSMC.h"

#include <IOKit/IOKitDiagnostics.h>
#include <IOKit/IOKitSMCLease.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <grp.h>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>

using platform::fourCharCode;
using testing_support::BackgroundProcess;
using testing_support::captureStdout;
using testing_support::runProgram;
using namespace std::chrono_literals;

namespace {

const std::string kBin = BIN_DIR;

constexpr const char* kProfile = R"(
  FNum  [ui8 ]  2 (bytes 02)
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0Mn  [fpe2]  2000 (bytes 1f 40)
! writable
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
  FS!   [ui16]  0 (bytes 00 00)
! writable
  TC0D  [sp78]  (bytes 32 80)
  K0    [ui16]  0 (bytes 00 00)
! writable
  K1    [ui16]  0 (bytes 00 00)
! writable
  K2    [ui16]  0 (bytes 00 00)
! writable
  K3    [ui16]  0 (bytes 00 00)
! writable
  K4    [ui16]  0 (bytes 00 00)
! writable
  K5    [ui16]  0 (bytes 00 00)
! writable
  K6    [ui16]  0 (bytes 00 00)
! writable
  K7    [ui16]  0 (bytes 00 00)
! writable
)";

// A directory of the test's own, with the profile in it.
class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/smcd-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        chmod(name, 0755);  // so that only the socket's own mode keeps others out
        socketPath = directory + "/smcd.sock";
        profilePath = directory + "/machine.profile";
        std::ofstream(profilePath) << kProfile;
        service = "SMC_SERVICE=unix:" + socketPath;
    }
    void TearDown() override
    {
        daemon.reset();
        platform::installSMCService(nullptr);
        std::filesystem::remove_all(directory);
    }

    // Starts smcd (behind `prefix`, a program that execs it) and waits
    // until it answers.
    void startDaemon(std::vector<std::string> extra = {}, std::vector<std::string> prefix = {})
    {
        std::vector<std::string> arguments(prefix.begin() + (prefix.empty() ? 0 : 1), prefix.end());
        if (!prefix.empty())
            arguments.push_back(kBin + "/smcd");
        arguments.insert(arguments.end(), {"--socket", socketPath, "--profile", profilePath});
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        daemon = std::make_unique<BackgroundProcess>(prefix.empty() ? kBin + "/smcd" : prefix.front(), arguments);
        waitForDaemon(socketPath);
    }

    void waitForDaemon(const std::string& path)
    {
        if (!testing_support::waitForSocket(path))
            FAIL() << "smcd did not start: " << daemon->output();
    }

    // The prefix that runs a program as nobody, after `prefix`; empty, with
    // the reason in whyNot, where that cannot be done.
    std::vector<std::string> asNobody(std::vector<std::string> prefix = {})
    {
        if (geteuid() != 0) {
            whyNot = "needs root to run a program as another user";
            return {};
        }
        prefix.insert(prefix.end(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
        auto probe = runProgram(kBin + "/smc", {"-v"}, {}, prefix);
        if (probe.status != 0) {
            whyNot = "nobody cannot run the built tool here: " + probe.errors;
            return {};
        }
        return prefix;
    }
    std::string whyNot;

    // Makes this process a client of the daemon.
    void useDaemon() { platform::installSMCService(platform::makeUnixSMCService(socketPath)); }

    testing_support::ProcessResult smc(std::vector<std::string> arguments)
    {
        return runProgram(kBin + "/smc", arguments, {service});
    }

    std::string directory, socketPath, profilePath, service;
    std::unique_ptr<BackgroundProcess> daemon;
};

TEST_F(DaemonTest, WritesOfOneProcessReachEveryOther)
{
    startDaemon();
    auto written = smc({"-k", "F0Mn", "-w", "2ee0"});
    EXPECT_EQ(written.status, 0) << written.output;

    useDaemon();
    Ref<SensorsModule> module(kAdopt, SensorsModuleAlloc()->init());
    ASSERT_TRUE(module->isSupported());
    SMCVal val;
    module->dataForKey(NSString::stringWithCString("F0Mn").get(), &val);
    EXPECT_EQ(module->convertFanValue(val), 3000) << "the tool's write, read by the module";

    ASSERT_EQ(SMCWriteSimple("F0Tg", "1770", module->connection()), 0);
    EXPECT_EQ(smc({"-k", "F0Tg", "-r"}).output, "  F0Tg  [fpe2]  1500 (bytes 17 70)\n") << "and back";
}

TEST_F(DaemonTest, ConcurrentClientsSeeWholeExchanges)
{
    startDaemon();
    useDaemon();
    constexpr int kClients = 8;
    std::atomic<bool> failed{false};
    std::array<uint16_t, kClients> lastWrite{};
    std::array<long, kClients> exchanges{};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    std::array<io_connect_t, kClients> connections{};
    for (io_connect_t& connection : connections)
        ASSERT_EQ(SMCOpen(&connection), 0);
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            io_connect_t connection = connections[size_t(client)];
            std::mt19937 random(client);
            char own[5] = {'K', char('0' + client), ' ', ' ', 0};
            for (long round = 0; round < 200'000 && std::chrono::steady_clock::now() < deadline && !failed; ++round) {
                SMCVal val{};
                std::memcpy(val.key, own, 5);
                uint16_t value = uint16_t(random());
                val.dataSize = 2;
                val.bytes[0] = char(value >> 8);
                val.bytes[1] = char(value);
                if (SMCWriteKey2(val, connection) != 0)
                    failed = true;
                lastWrite[size_t(client)] = value;
                SMCVal mine, other;
                char otherKey[5] = {'K', char('0' + random() % kClients), ' ', ' ', 0};
                if (SMCReadKey2(own, &mine, connection) != 0 || SMCReadKey2(otherKey, &other, connection) != 0)
                    failed = true;
                // Nobody else writes this key: it holds exactly what was written.
                if (_strtoul(mine.bytes, 2, 16) != value || other.dataSize != 2 || std::strcmp(other.dataType, "ui16"))
                    failed = true;
                exchanges[size_t(client)] += 7;
            }
            SMCClose(connection);
        });
    }
    for (auto& thread : clients)
        thread.join();
    ASSERT_FALSE(failed);
    long total = 0;
    for (long count : exchanges)
        total += count;
    EXPECT_GT(total, 1000) << "the clients got through";

    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    for (int client = 0; client < kClients; ++client) {
        char key[5] = {'K', char('0' + client), ' ', ' ', 0};
        SMCVal val;
        ASSERT_EQ(SMCReadKey2(key, &val, connection), 0);
        EXPECT_EQ(_strtoul(val.bytes, 2, 16), lastWrite[size_t(client)]) << key;
    }
    SMCClose(connection);
}

// A raw client of the daemon's socket.
class RawClient {
public:
    explicit RawClient(const std::string& path) : fd_(platform::protocol::connectSocket(path)) {}
    ~RawClient()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    // The reply's status, or nothing when the daemon closed the connection.
    std::optional<int32_t> exchange(const void* message, size_t size)
    {
        std::optional<platform::protocol::Reply> reply = ask(message, size);
        return reply ? std::optional(reply->status) : std::nullopt;
    }
    std::optional<platform::protocol::Reply> ask(const void* message, size_t size)
    {
        if (send(fd_, message, size, MSG_NOSIGNAL) != ssize_t(size))
            return std::nullopt;
        platform::protocol::Reply reply;
        ssize_t got = recv(fd_, &reply, sizeof reply, 0);
        if (got != ssize_t(sizeof reply))
            return std::nullopt;
        return reply;
    }

private:
    int fd_;
};

std::string listing(const std::string& service)
{
    return runProgram(BIN_DIR "/smc", {"-l"}, {service}).output;
}

TEST_F(DaemonTest, MalformedMessagesChangeNothing)
{
    startDaemon();
    std::string before = listing(service);
    ASSERT_NE(before.find("K0"), std::string::npos);

    auto record = [](uint8_t command, const char* key, uint32_t size) {
        platform::CallRecord fields{};
        fields.key = fourCharCode(key);
        fields.dataSize = size;
        fields.command = command;
        std::memset(fields.bytes, 0x77, sizeof fields.bytes);
        platform::protocol::Request request{platform::kUserClientCall, {}};
        std::memcpy(request.record, &fields, sizeof fields);
        return request;
    };
    std::mt19937 random(7);
    std::vector<uint8_t> garbage(84);
    for (auto& byte : garbage)
        byte = uint8_t(random());
    garbage[0] = 0x99;  // a method number that is not 2
    struct Case {
        const char* name;
        std::vector<uint8_t> message;
    };
    auto bytes = [](const auto& value) {
        auto* start = reinterpret_cast<const uint8_t*>(&value);
        return std::vector<uint8_t>(start, start + sizeof value);
    };
    const Case cases[] = {
        {"one byte", {2}},
        {"one byte short", std::vector<uint8_t>(83, 0)},
        {"one byte long", std::vector<uint8_t>(85, 0)},
        {"much too long", std::vector<uint8_t>(4096, 6)},
        {"method 3", [&] { auto r = record(6, "K0  ", 2); r.method = 3; return bytes(r); }()},
        {"unknown command", bytes(record(7, "K0  ", 2))},
        {"write of the wrong size", bytes(record(6, "K0  ", 4))},
        {"write of a read-only key", bytes(record(6, "TC0D", 2))},
        {"write of an unknown key", bytes(record(6, "NOPE", 2))},
        {"garbage", garbage},
    };
    for (const auto& c : cases) {
        RawClient client(socketPath);
        ASSERT_TRUE(client.connected());
        auto status = client.exchange(c.message.data(), c.message.size());
        EXPECT_TRUE(!status || *status != 0) << c.name << ": answered, or dropped";
    }
    {
        // A client that sends and leaves without reading its answer.
        int fd = platform::protocol::connectSocket(socketPath);
        auto request = record(5, "K0  ", 2);
        ::send(fd, &request, sizeof request, MSG_NOSIGNAL);
        close(fd);
    }
    EXPECT_EQ(listing(service), before) << "the store is unchanged and the daemon still serves";
}

platform::protocol::Request writeRequest(const char* key, std::vector<uint8_t> bytes)
{
    platform::CallRecord fields{};
    fields.key = fourCharCode(key);
    fields.dataSize = uint32_t(bytes.size());
    fields.command = 6;
    std::copy(bytes.begin(), bytes.end(), fields.bytes);
    platform::protocol::Request request{platform::kUserClientCall, {}};
    std::memcpy(request.record, &fields, sizeof fields);
    return request;
}

// A fan controller in a child process, as `uid` (group nogroup) unless 0:
// it claims the fans, polling every 100 ms, sets fan 0 to 4000 rpm in
// manual mode and waits for its end. The claim's status and whether the
// writes went through, once the child has tried.
struct ChildController {
    pid_t pid;
    int32_t claimed;
    bool wrote;
};
ChildController startController(const std::string& socketPath, uid_t uid = 0)
{
    using platform::protocol::Request;
    int ready[2];
    if (pipe(ready) != 0)
        return {-1, -1, false};
    pid_t pid = fork();
    if (pid == 0) {
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(uid) != 0))
            _exit(1);
        RawClient client(socketPath);
        Request claim{platform::protocol::kClaimControlMethod, {'s', 'm', 'c', 'f', 'a', 'n', 'd'}};
        uint32_t poll = 100;
        std::memcpy(claim.record + platform::protocol::kClaimNameSize, &poll, sizeof poll);
        int32_t result[2] = {client.exchange(&claim, sizeof claim).value_or(-1), 1};
        for (const Request& request : {writeRequest("F0Tg", {0x3e, 0x80}), writeRequest("FS! ", {0, 1})})
            result[1] = result[1] && client.exchange(&request, sizeof request) == std::optional<int32_t>(0);
        (void)!::write(ready[1], result, sizeof result);
        pause();
        _exit(0);
    }
    close(ready[1]);
    int32_t result[2] = {-1, 0};
    (void)!::read(ready[0], result, sizeof result);
    close(ready[0]);
    return {pid, result[0], result[1] != 0};
}

TEST_F(DaemonTest, AFanControllerKilledOrStoppedGivesTheFansBack)
{
    startDaemon();
    using platform::protocol::Request;
    Request claim{platform::protocol::kClaimControlMethod, {'s', 'm', 'c', 'f', 'a', 'n', 'd'}};
    Request question{platform::protocol::kControllerMethod, {}};
    auto read = [&](const char* key) { return smc({"-k", key, "-r"}).output; };
    struct Case {
        int signal;
        std::chrono::milliseconds within;  // a stopped one is silent for 3 of its polls, at least a second
    };
    for (Case c : {Case{SIGKILL, 1000ms}, Case{SIGSTOP, 2500ms}}) {
        ChildController controller = startController(socketPath);
        ASSERT_TRUE(controller.claimed == 0 && controller.wrote) << daemon->output();
        ASSERT_NE(read("FS! ").find("(bytes 00 01)"), std::string::npos);

        RawClient other(socketPath);
        auto refused = other.ask(&claim, sizeof claim);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, int32_t(kIOReturnExclusiveAccess));
        int32_t holder;
        std::memcpy(&holder, refused->record, sizeof holder);
        EXPECT_EQ(holder, controller.pid) << "its pid, from the socket's credentials";

        kill(controller.pid, c.signal);
        auto start = std::chrono::steady_clock::now();
        while ((read("FS! ").find("(bytes 00 00)") == std::string::npos ||
                read("F0Tg").find("(bytes 1f 40)") == std::string::npos) &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
            usleep(10'000);
        EXPECT_LT(std::chrono::steady_clock::now() - start, c.within) << strsignal(c.signal) << daemon->output();
        EXPECT_NE(read("F0Tg").find("(bytes 1f 40)"), std::string::npos);
        EXPECT_EQ(other.exchange(&question, sizeof question), std::optional<int32_t>(kIOReturnNotFound));
        EXPECT_EQ(other.exchange(&claim, sizeof claim), std::optional<int32_t>(0)) << "the next one may claim";
        kill(controller.pid, SIGKILL);
        waitpid(controller.pid, nullptr, 0);
    }
    EXPECT_NE(daemon->output().find("sent nothing for 1.0 s; its connection is closed and the fans it drove go back "
                                    "to the SMC"),
              std::string::npos)
        << daemon->output();
}

TEST_F(DaemonTest, OnlyRootAndTheNamedControllerMayClaimTheFans)
{
    if (asNobody().empty())
        GTEST_SKIP() << whyNot;
    struct Case {
        std::vector<std::string> options;
        int32_t status;
    };
    const Case cases[] = {
        {{}, int32_t(kIOReturnNotPrivileged)},  // none named: smcd's own user (root) alone
        {{"--controller", "nobody"}, 0},
        {{"--controller", ":nogroup"}, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> options = {"--group", "nogroup"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        daemon.reset();
        startDaemon(options);
        ChildController controller = startController(socketPath, 65534);
        EXPECT_EQ(controller.claimed, c.status) << daemon->output();
        if (c.status == 0) {
            useDaemon();
            io_connect_t connection = 0;
            ASSERT_EQ(SMCOpen(&connection), 0);
            IOSMCFanController record;
            ASSERT_EQ(IOSMCConnectionCopyFanController(connection, &record), 0);
            SMCClose(connection);
            EXPECT_EQ(record.uid, 65534u);
            EXPECT_STREQ(record.name, "daemon_test") << "its program, not the name it claimed";
        } else {
            EXPECT_NE(daemon->output().find("uid 65534 (pid " + std::to_string(controller.pid) +
                                            ") may not be the fan controller"),
                      std::string::npos)
                << daemon->output();
        }
        kill(controller.pid, SIGKILL);
        waitpid(controller.pid, nullptr, 0);
    }
}

long cpuTicks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long user = 0, system = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
        if (i == 14)
            user = std::stol(field);
        if (i == 15)
            system = std::stol(field);
    }
    return user + system;
}

TEST_F(DaemonTest, OutOfDescriptorsTurnsClientsAwayWithoutSpinning)
{
    if (access("/usr/bin/prlimit", X_OK) != 0)
        GTEST_SKIP() << "needs prlimit to cap the daemon's descriptors";
    startDaemon({}, {"/usr/bin/prlimit", "--nofile=24:24"});
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(std::make_unique<RawClient>(socketPath));
    usleep(200'000);
    long before = cpuTicks(daemon->pid());
    usleep(500'000);
    long ticksPerSecond = sysconf(_SC_CLK_TCK);
    EXPECT_LT(cpuTicks(daemon->pid()) - before, ticksPerSecond / 4) << "the daemon waits instead of spinning";
    clients.clear();
    usleep(200'000);
    EXPECT_EQ(smc({"-k", "FNum", "-r"}).output, "  FNum  [ui8 ]  2 (bytes 02)\n") << "and serves again";
}

TEST_F(DaemonTest, AcknowledgedWritesSurviveAKill)
{
    std::string state = directory + "/state";
    // These keys are fans, which the daemon would put back at its next start.
    startDaemon({"--state", state, "--keep-fans"});
    std::vector<std::pair<std::string, std::string>> writes;
    for (int i = 0; i < 10; ++i)
        for (const char* key : {"F0Mn", "F0Tg", "FS! "}) {
            char value[5];
            std::snprintf(value, sizeof value, "%04x", 0x1000 + i * 16 + int(std::strlen(key)));
            ASSERT_EQ(smc({"-k", key, "-w", value}).status, 0);
            writes.emplace_back(key, value);
        }
    daemon->signal(SIGKILL);
    EXPECT_EQ(daemon->wait(), 128 + SIGKILL);
    startDaemon({"--state", state, "--keep-fans"});
    for (size_t i = writes.size() - 3; i < writes.size(); ++i) {
        std::string line = smc({"-k", writes[i].first, "-r"}).output;
        std::string expected = "(bytes " + writes[i].second.substr(0, 2) + " " + writes[i].second.substr(2) + ")";
        EXPECT_NE(line.find(expected), std::string::npos) << line << " should hold " << expected;
    }
}

TEST_F(DaemonTest, AWriteThatCannotBeSavedIsRefusedAndUndone)
{
    std::string stateDirectory = directory + "/state";
    std::filesystem::create_directory(stateDirectory);
    startDaemon({"--state", stateDirectory + "/values"});
    ASSERT_EQ(smc({"-k", "F0Mn", "-w", "2ee0"}).status, 0);
    std::filesystem::remove_all(stateDirectory);
    auto refused = smc({"-k", "F0Mn", "-w", "1770"});
    EXPECT_EQ(refused.output, "Error: SMCWriteKey() = e00002ca\n");
    EXPECT_EQ(smc({"-k", "F0Mn", "-r"}).output, "  F0Mn  [fpe2]  3000 (bytes 2e e0)\n") << "the last saved value";
    EXPECT_NE(daemon->output().find("cannot save state"), std::string::npos) << daemon->output();
}

TEST_F(DaemonTest, ClientsOfAVanishedDaemonGetAnAnswerQuickly)
{
    startDaemon();
    useDaemon();
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    SMCVal val;
    ASSERT_EQ(SMCReadKey2("FNum", &val, connection), 0);

    daemon->signal(SIGSTOP);  // hangs: the client's wait is bounded
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SMCReadKey2("FNum", &val, connection), kIOReturnNotResponding);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    daemon->signal(SIGCONT);
    EXPECT_EQ(SMCReadKey2("FNum", &val, connection), 0) << "after a lost exchange, a new socket";

    io_connect_t second = 0;
    ASSERT_EQ(SMCOpen(&second), 0);
    daemon->signal(SIGKILL);
    daemon->wait();
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i)  // never SIGPIPE
        EXPECT_EQ(SMCReadKey2("FNum", &val, second), kIOReturnNotResponding);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(captureStdout([&] { EXPECT_EQ(SMCOpen(&second), 1); }), "Error: no SMC found\n");
    EXPECT_EQ(std::string(IOSMCServiceFailureCause()), "no daemon at " + socketPath);
    SMCClose(connection);
}

TEST_F(DaemonTest, ReadOnlyRefusesWrites)
{
    startDaemon({"--read-only"});
    auto write = smc({"-k", "F0Mn", "-w", "2ee0"});
    EXPECT_EQ(write.output, "Error: SMCWriteKey() = e00002c1\n");
    EXPECT_EQ(write.status, 1);
    EXPECT_EQ(smc({"-k", "F0Mn", "-r"}).output, "  F0Mn  [fpe2]  2000 (bytes 1f 40)\n");
}

TEST_F(DaemonTest, WithoutADriverServesOnlyAnEmulatedMachineItIsGiven)
{
    for (const char* device : {"/sys/devices/platform/applesmc.768", "/sys/bus/acpi/drivers/applesmc/APP0001:00"})
        if (access(device, F_OK) == 0)
            GTEST_SKIP() << "this machine has the driver: " << device;
    if (!platform::findMacSMCHwmon().empty())
        GTEST_SKIP() << "this machine has the macsmc_hwmon driver";
    auto refused = runProgram(kBin + "/smcd", {"--socket", socketPath}, {}, {"timeout", "10"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.errors.find("smcd: no SMC to serve: no applesmc or macsmc_hwmon driver on this machine"), std::string::npos)
        << refused.errors;
    EXPECT_NE(refused.errors.find("--service builtin serves an emulated machine"), std::string::npos);
    struct stat none;
    EXPECT_NE(lstat(socketPath.c_str(), &none), 0) << "nothing listens";
}

TEST_F(DaemonTest, StartsOnceAndCleansUp)
{
    startDaemon();
    auto second = runProgram(kBin + "/smcd", {"--socket", socketPath, "--profile", profilePath});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.errors, "smcd: another smcd is already serving " + socketPath + "\n");
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);
    struct stat gone;
    EXPECT_NE(lstat(socketPath.c_str(), &gone), 0) << "the socket is removed";

    // A socket left behind by a daemon that died is replaced.
    int stale = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(stale);
    startDaemon();
    EXPECT_EQ(smc({"-k", "FNum", "-r"}).status, 0);
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait(), 0);

    // Anything else at the path is left alone.
    std::ofstream(socketPath) << "not a socket\n";
    auto refused = runProgram(kBin + "/smcd", {"--socket", socketPath, "--profile", profilePath});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.errors.find("exists and is not a socket"), std::string::npos) << refused.errors;
    std::ifstream kept(socketPath);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "not a socket");
}

TEST_F(DaemonTest, EveryStopSignalPutsFansBack)
{
    std::string state = directory + "/state";
    // SIGHUP: the terminal that started `smcd &` closed.
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        startDaemon({"--state", state, "--fan-floor", "1000"});
        ASSERT_EQ(smc({"-k", "F0Mn", "-w", "2ee0"}).status, 0);
        EXPECT_EQ(smc({"-k", "F0Mn", "-w", "0000"}).status, 1);
        daemon->signal(signal);
        EXPECT_EQ(daemon->wait(), 0) << strsignal(signal);
        // The log says what was refused, and what was put back.
        EXPECT_NE(daemon->output().find("smcd: F0Mn: 0 rpm is below the floor of 1000 rpm"), std::string::npos)
            << daemon->output();
        EXPECT_NE(daemon->output().find("smcd: fan 0: put back at stop: F0Mn 2000 rpm"), std::string::npos)
            << daemon->output();
        // Put back at the stop, not left for the next start to undo.
        startDaemon({"--state", state});
        EXPECT_EQ(smc({"-k", "F0Mn", "-r"}).output, "  F0Mn  [fpe2]  2000 (bytes 1f 40)\n") << strsignal(signal);
        EXPECT_EQ(daemon->output().find("earlier run"), std::string::npos) << strsignal(signal) << daemon->output();
        daemon.reset();
    }
}

TEST_F(DaemonTest, SocketIsTheOwnersUnlessAGroupIsNamed)
{
    std::vector<std::string> nobody = asNobody();
    if (nobody.empty())
        GTEST_SKIP() << whyNot;
    startDaemon();
    struct stat mode;
    ASSERT_EQ(stat(socketPath.c_str(), &mode), 0);
    EXPECT_EQ(mode.st_mode & 0777, 0600u);
    auto refused = runProgram(kBin + "/smc", {"-k", "FNum", "-r"}, {service}, nobody);
    EXPECT_EQ(refused.output, "Error: no SMC found\nError: SMCReadKey() = e00002cd\n");
    EXPECT_EQ(smc({"-k", "FNum", "-r"}).status, 0) << "the owner is served";
    daemon.reset();

    startDaemon({"--group", "nogroup"});
    ASSERT_EQ(stat(socketPath.c_str(), &mode), 0);
    EXPECT_EQ(mode.st_mode & 0777, 0660u);
    EXPECT_EQ(mode.st_gid, 65534u);
    auto allowed = runProgram(kBin + "/smc", {"-k", "FNum", "-r"}, {service}, nobody);
    EXPECT_EQ(allowed.output, "  FNum  [ui8 ]  2 (bytes 02)\n");
}

TEST_F(DaemonTest, OneUserCannotTakeEveryConnection)
{
    std::vector<std::string> other = asNobody();
    if (other.empty())
        GTEST_SKIP() << whyNot;
    other[1] = "--reuid=1";  // another member of the group than nobody
    // Few descriptors, so that a user unchecked would take them all.
    startDaemon({"--group", "nogroup"}, {"/usr/bin/prlimit", "--nofile=256:256"});

    int report[2], finish[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(finish), 0);
    pid_t hog = fork();
    ASSERT_GE(hog, 0);
    if (hog == 0) {
        // nobody opens more connections than the daemon has descriptors and
        // holds those that are answered.
        close(finish[1]);
        close(report[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        int served = 0;
        for (int i = 0; i < 300; ++i) {
            int fd = platform::protocol::connectSocket(socketPath);
            uint8_t nonsense = 0;
            platform::protocol::Reply reply;
            if (fd >= 0 && send(fd, &nonsense, 1, MSG_NOSIGNAL) == 1 && recv(fd, &reply, sizeof reply, 0) > 0)
                ++served;
        }
        (void)!write(report[1], &served, sizeof served);
        char done;
        (void)!read(finish[0], &done, 1);
        _exit(0);
    }
    close(report[1]);
    close(finish[0]);
    int served = -1;
    ASSERT_EQ(read(report[0], &served, sizeof served), ssize_t(sizeof served));
    EXPECT_GT(served, 0);
    EXPECT_LE(served, 64) << "one user's connections are capped";
    auto another = runProgram(kBin + "/smc", {"-k", "FNum", "-r"}, {service}, other);
    EXPECT_EQ(another.output, "  FNum  [ui8 ]  2 (bytes 02)\n") << "another user is served";
    EXPECT_EQ(smc({"-k", "FNum", "-r"}).output, "  FNum  [ui8 ]  2 (bytes 02)\n") << "root is served";
    close(finish[1]);
    close(report[0]);
    int status = 0;
    waitpid(hog, &status, 0);
    EXPECT_NE(daemon->output().find("uid 65534 holds " + std::to_string(served) + " connections"), std::string::npos)
        << daemon->output();
}

TEST_F(DaemonTest, TheGroupAndModeReachTheSocketAlone)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the socket to another group";
    std::string secret = directory + "/root-only", made = socketPath + ".made";
    std::ofstream(secret) << "keep me\n";
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    // The sanitizers' runtime need not come first: the swap is preloaded.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    std::string asan = std::string("ASAN_OPTIONS=") + (sanitizer ? sanitizer : "") + ":verify_asan_link_order=0";
    daemon = std::make_unique<BackgroundProcess>(
        "/usr/bin/env", std::vector<std::string>{"LD_PRELOAD=" SWAP_AFTER_BIND, "SWAP_TO=" + secret, asan,
                                                 kBin + "/smcd", "--socket", socketPath, "--profile", profilePath,
                                                 "--group", "nogroup"});
    waitForDaemon(made);
    struct stat status;
    ASSERT_EQ(stat(secret.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u) << "the linked file keeps its mode";
    EXPECT_EQ(status.st_gid, 0u) << "and its group";
    ASSERT_EQ(lstat(made.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0660u) << "the socket was born with its mode";
    EXPECT_EQ(status.st_gid, 65534u) << "and its group";
}

TEST_F(DaemonTest, SocketInADirectoryOthersCanWriteIsRefused)
{
    std::vector<std::string> nobody = asNobody();
    if (nobody.empty())
        GTEST_SKIP() << whyNot;
    std::string shared = directory + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    struct Case {
        const char* name;
        mode_t mode;
        bool asNobody;
        bool refused;
    };
    // Root passes the sticky bit by: /tmp is no place for its socket.
    const Case cases[] = {
        {"sticky, for root", 01777, false, true},
        {"writable by its group, for root", 0770, false, true},
        {"writable by all, for nobody", 0777, true, true},
        {"sticky, for nobody", 01777, true, false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(chmod(shared.c_str(), c.mode), 0);
        // One that starts serves until the timeout stops it.
        std::vector<std::string> prefix{"timeout", c.refused ? "10" : "1"};
        if (c.asNobody)
            prefix.insert(prefix.end(), nobody.begin(), nobody.end());
        auto run = runProgram(kBin + "/smcd", {"--socket", shared + "/smcd.sock", "--profile", profilePath}, {},
                              prefix);
        if (c.refused) {
            EXPECT_EQ(run.status, 1) << c.name;
            EXPECT_NE(run.errors.find("refusing the socket " + shared + "/smcd.sock: " + shared +
                                      " can be written by other users"),
                      std::string::npos)
                << c.name << ": " << run.errors;
        } else {
            EXPECT_NE(run.output.find("serving"), std::string::npos) << c.name << ": " << run.errors;
        }
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST_F(DaemonTest, KeysWithZeroAndUnprintableBytesSurviveARestart)
{
    // "AB" is sent as "AB\0\0"; "AB  " is another key, which must keep its own value.
    std::ofstream(profilePath, std::ios::binary) << std::string("  AB\0\0  [ui16]  0 (bytes 00 00)\n! writable\n", 43)
                                                 << "  AB    [ui16]  0 (bytes 00 00)\n! writable\n";
    std::string state = directory + "/state";
    startDaemon({"--state", state});
    ASSERT_EQ(smc({"-k", "AB", "-w", "0102"}).status, 0);
    ASSERT_EQ(smc({"-k", "AB  ", "-w", "0304"}).status, 0);
    daemon->signal(SIGKILL);
    daemon->wait();

    startDaemon({"--state", state});
    EXPECT_NE(smc({"-k", "AB", "-r"}).output.find("(bytes 01 02)"), std::string::npos);
    EXPECT_NE(smc({"-k", "AB  ", "-r"}).output.find("(bytes 03 04)"), std::string::npos);
    EXPECT_EQ(daemon->output().find("does not fit"), std::string::npos) << daemon->output();
}

TEST_F(DaemonTest, LinksAndPipesPlantedBesideTheStateCatchNoWrite)
{
    std::string state = directory + "/state", secret = directory + "/root-only";
    struct Case {
        const char* name;
        int (*plant)(const std::string& at, const std::string& target);
    };
    const Case cases[] = {
        {"a link to a root-only file", [](const std::string& at, const std::string& target) {
             return symlink(target.c_str(), at.c_str());
         }},
        {"a pipe nobody reads", [](const std::string& at, const std::string&) { return mkfifo(at.c_str(), 0600); }},
    };
    for (const auto& c : cases) {
        std::ofstream(secret) << "keep me\n";
        std::filesystem::remove(state + ".tmp");
        ASSERT_EQ(c.plant(state + ".tmp", secret), 0) << c.name;
        startDaemon({"--state", state});
        auto written = smc({"-k", "F0Mn", "-w", "2ee0"});
        EXPECT_EQ(written.status, 0) << c.name << ": " << written.output;
        EXPECT_EQ(readFile(secret), "keep me\n") << c.name;
        EXPECT_NE(readFile(state).find("46304d6e  2e e0"), std::string::npos) << c.name;
        daemon.reset();
    }
}

TEST_F(DaemonTest, StateInADirectoryOthersCanWriteIsRefused)
{
    std::string shared = directory + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    auto refused = runProgram(kBin + "/smcd",
                              {"--socket", socketPath, "--profile", profilePath, "--state", shared + "/state"}, {},
                              {"timeout", "10"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.errors, "smcd: refusing the state " + shared + "/state: " + shared +
                                  " can be written by other users (mode 1777); others could plant links or pipes "
                                  "at its names. Keep it in a directory that only you can write\n");
    EXPECT_FALSE(std::filesystem::exists(socketPath)) << "not listening";
}

TEST_F(DaemonTest, OneStateFileServesOneDaemon)
{
    std::string state = directory + "/state", otherSocket = directory + "/other.sock";
    // F0Mn is a fan's: without --keep-fans, stopping would put it back.
    startDaemon({"--state", state, "--keep-fans"});
    ASSERT_EQ(smc({"-k", "F0Mn", "-w", "2ee0"}).status, 0);
    auto second = runProgram(kBin + "/smcd", {"--socket", otherSocket, "--profile", profilePath, "--state", state},
                             {}, {"timeout", "10"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.errors, "smcd: another smcd (pid " + std::to_string(daemon->pid()) + ") is using the state " +
                                 state + "; two daemons on one state would undo each other's writes\n");
    EXPECT_FALSE(std::filesystem::exists(otherSocket));

    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0);
    startDaemon({"--state", state, "--keep-fans"});
    EXPECT_EQ(smc({"-k", "F0Mn", "-r"}).output, "  F0Mn  [fpe2]  3000 (bytes 2e e0)\n") << "the first one's write";
}

TEST_F(DaemonTest, ClientsRefuseADaemonOfAnotherUser)
{
    std::vector<std::string> nobody = asNobody();
    if (nobody.empty())
        GTEST_SKIP() << whyNot;
    std::string own = directory + "/nobody";
    ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
    ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
    socketPath = own + "/smcd.sock";
    service = "SMC_SERVICE=unix:" + socketPath;
    startDaemon({}, nobody);

    EXPECT_EQ(smc({"-k", "FNum", "-r"}).output, "Error: no SMC found\nError: SMCReadKey() = e00002cd\n");
    useDaemon();
    io_connect_t connection = 0;
    EXPECT_EQ(captureStdout([&] { EXPECT_EQ(SMCOpen(&connection), 1); }), "Error: no SMC found\n");
    EXPECT_EQ(std::string(IOSMCServiceFailureCause()),
              "refused the daemon at " + socketPath + ": it runs as uid 65534, not as root or you");

    auto own_user = runProgram(kBin + "/smc", {"-k", "FNum", "-r"}, {service}, nobody);
    EXPECT_EQ(own_user.output, "  FNum  [ui8 ]  2 (bytes 02)\n") << "its own user is served";
}

TEST_F(DaemonTest, DefaultSocketWithoutARuntimeDirectoryIsInADirectoryOfTheUsersOwn)
{
    std::string shared = directory + "/shared";
    std::vector<std::string> nobody = asNobody({"/usr/bin/env", "-u", "XDG_RUNTIME_DIR", "TMPDIR=" + shared});
    if (nobody.empty())
        GTEST_SKIP() << whyNot;
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    std::string own = shared + "/smcd-65534";

    // Another user who took the name first gets a refusal, not the clients.
    struct Squatter {
        const char* name;
        void (*take)(const std::string& path, const std::string& elsewhere);
        const char* problem;
    };
    const Squatter squatters[] = {
        {"another user's directory", [](const std::string& path, const std::string&) {
             mkdir(path.c_str(), 0777), (void)!chown(path.c_str(), 1, 1), chmod(path.c_str(), 0777);
         }, "belongs to uid 1, not to uid 65534"},
        {"a link to another directory", [](const std::string& path, const std::string& elsewhere) {
             (void)!symlink(elsewhere.c_str(), path.c_str());
         }, "is not a directory of its own"},
    };
    for (const auto& squatter : squatters) {
        std::filesystem::remove_all(own);
        squatter.take(own, directory);
        std::vector<std::string> bounded{"timeout", "10"};
        bounded.insert(bounded.end(), nobody.begin(), nobody.end());
        auto refused = runProgram(kBin + "/smcd", {"--profile", profilePath}, {}, bounded);
        EXPECT_EQ(refused.status, 1) << squatter.name;
        EXPECT_NE(refused.errors.find("not listening on the default socket " + own + "/smcd.sock: " + own),
                  std::string::npos)
            << squatter.name << ": " << refused.errors;
        EXPECT_NE(refused.errors.find(squatter.problem), std::string::npos) << squatter.name << ": " << refused.errors;
    }
    std::filesystem::remove_all(own);

    std::vector<std::string> arguments(nobody.begin() + 1, nobody.end());
    arguments.insert(arguments.end(), {kBin + "/smcd", "--profile", profilePath});
    daemon = std::make_unique<BackgroundProcess>(nobody.front(), arguments);
    waitForDaemon(own + "/smcd.sock");
    struct stat status;
    ASSERT_EQ(lstat(own.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_EQ(status.st_uid, 65534u);
    auto served = runProgram(kBin + "/smc", {"-k", "FNum", "-r"}, {"SMC_SERVICE=unix:"}, nobody);
    EXPECT_EQ(served.output, "  FNum  [ui8 ]  2 (bytes 02)\n") << served.errors;
}

}  // namespace
