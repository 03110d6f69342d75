// The tool against counts no SMC can hold, failing and vanishing SMCs, and
// an output that cannot be written: what it prints, says and exits with.
// Also the daemon's clients: reconnecting, late replies, the fan floor.
#include "backends/DaemonProtocol.h"
#include "smc/tool/smctool.h"
#include "support/Process.h"
#include "support/TestSMC.h"

#include <gtest/gtest.h>

#include <IOKit/IOKitSMCLease.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using testing_support::BackgroundProcess;
using testing_support::runProgram;
using testing_support::TestSMC;

namespace {

struct ToolRun {
    std::string output;
    std::string errors;
    int status = -1;
};

// main_deac in this process, on the service installed now.
ToolRun runTool(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "smc");
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    ToolRun run;
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    run.status = main_deac(int(arguments.size()), argv.data());
    std::fflush(stdout);
    run.errors = ::testing::internal::GetCapturedStderr();
    run.output = ::testing::internal::GetCapturedStdout();
    return run;
}

size_t lookups(const TestSMC& smc)
{
    size_t count = 0;
    for (const auto& exchange : smc.exchanges())
        count += exchange.request.command == SMCCommandKeyAtIndex;
    return count;
}

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

const std::string kCut = "more than the";

TEST(ToolBounds, KeyListingGoesNoFurtherThanAnSMCHolds)
{
    struct Case {
        const char* count;  // "#KEY"'s value bytes
        size_t lookups;
        bool cut;
    } const cases[] = {
        {"7f ff ff ff", 65535, true},
        {"00 01 00 00", 65535, true},
        {"00 00 ff ff", 65535, false},  // in range; the positions past the keys fail
        {"80 00 00 00", 0, true},       // negative as a signed count: nothing, as always
        {"ff ff ff ff", 0, true},
    };
    for (const auto& c : cases) {
        TestSMC smc(std::string("  #KEY  [ui32]  0 (bytes ") + c.count + ")\n  FNum  [ui8 ]  0 (bytes 00)\n");
        ToolRun run = runTool({"-l"});
        EXPECT_EQ(lookups(smc), c.lookups) << c.count;
        EXPECT_EQ(run.status, 1) << c.count;
        EXPECT_EQ(run.errors.find(kCut) != std::string::npos, c.cut) << c.count << "\n" << run.errors;
        EXPECT_LE(occurrences(run.errors, "\n"), 23u) << "failures are capped";

        smc.clearExchanges();
        conn = 0;
        ASSERT_EQ(smc_init(), 0);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(SMCPrintAll(), kIOReturnSuccess) << c.count;
        ::testing::internal::GetCapturedStderr();
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(lookups(smc), c.lookups) << c.count;
        smc_close();
    }
}

TEST(ToolBounds, FanReportGoesNoFurtherThanAnSMCHolds)
{
    struct Case {
        const char* fnum;  // a profile line
        size_t fans;
        bool cut;
        const char* total;
    } const cases[] = {
        {"  FNum  [ui8 ]  255 (bytes ff)", 255, false, "255"},
        {"  FNum  [ui16]  256 (bytes 01 00)", 255, true, "256"},
        {"  FNum  [ui32]  2147483647 (bytes 7f ff ff ff)", 255, true, "2147483647"},
        {"  FNum  [ui32]  4294967295 (bytes ff ff ff ff)", 0, true, "-1"},
    };
    for (const auto& c : cases) {
        TestSMC smc(std::string(c.fnum) + "\n");
        ToolRun run = runTool({"-f"});
        EXPECT_EQ(occurrences(run.output, "\nFan #"), c.fans) << c.fnum;
        EXPECT_EQ(run.output.substr(0, run.output.find('\n')), std::string("Total fans in system: ") + c.total);
        EXPECT_EQ(run.status, c.cut ? 1 : 0) << c.fnum;
        EXPECT_EQ(run.errors.find(kCut) != std::string::npos, c.cut) << c.fnum << "\n" << run.errors;

        conn = 0;
        ASSERT_EQ(smc_init(), 0);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(SMCPrintFans(), kIOReturnSuccess) << c.fnum;
        ::testing::internal::GetCapturedStderr();
        ::testing::internal::GetCapturedStdout();
        smc_close();
    }
}

// A failure is said, and the tool exits 1, but the C functions keep their
// results: SMCPrintAll 0 always, SMCPrintFans kIOReturnError only for FNum.
TEST(ToolFailures, PrintersKeepTheirResults)
{
    struct Case {
        const char* name;
        const char* key;
        platform::SMCExchangeKind kind;
        kern_return_t status;
        kern_return_t fans;
        int fansExit;  // the tool's -f; its -l exits 1 in every case
        const char* said;
    } const cases[] = {
        {"fan speed", "F0Ac", platform::SMCExchangeKind::Read, kIOReturnBadArgument, kIOReturnSuccess, 1,
         "smc: F0Ac: read failed: e00002c2 (the SMC refused the request)\n"},
        {"mode word", "FS! ", platform::SMCExchangeKind::KeyInfo, kern_return_t(0xe00002ca), kIOReturnSuccess, 1,
         "smc: FS! : read failed: e00002ca (input/output error in the SMC)\n"},
        {"fan count", "FNum", platform::SMCExchangeKind::KeyInfo, kIOReturnNotResponding, kIOReturnError, 1,
         "smc: FNum: read failed: e00002ed (the SMC is not responding)\n"},
        {"key count", "#KEY", platform::SMCExchangeKind::Read, kIOReturnNoDevice, kIOReturnSuccess, 0,
         "smc: cannot count the keys: #KEY read failed: e00002c0 (the SMC device is gone)\n"},
        {"lookup", "F0Ac", platform::SMCExchangeKind::KeyAtIndex, kIOReturnNotOpen, kIOReturnSuccess, 0,
         "smc: key at position 2: lookup failed: e00002cd (no connection to the SMC)\n"
         "smc: the SMC is gone; the listing stops at position 2 of 4\n"},
    };
    for (const auto& c : cases) {
        TestSMC smc("  #KEY  [ui32]  4 (bytes 00 00 00 04)\n  FNum  [ui8 ]  1 (bytes 01)\n"
                    "  F0Ac  [fpe2]  2000 (bytes 1f 40)\n  FS!   [ui16]  1 (bytes 00 01)\n");
        smc.fail(c.key, c.kind, c.status);
        conn = 0;
        ASSERT_EQ(smc_init(), 0);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(SMCPrintAll(), kIOReturnSuccess) << c.name;
        EXPECT_EQ(SMCPrintFans(), c.fans) << c.name;
        std::string said = ::testing::internal::GetCapturedStderr();
        ::testing::internal::GetCapturedStdout();
        smc_close();
        EXPECT_NE(said.find(c.said), std::string::npos) << c.name << ": " << said;
        EXPECT_EQ(runTool({"-l"}).status, 1) << c.name;
        EXPECT_EQ(runTool({"-f"}).status, c.fansExit) << c.name;
    }
}

TEST(ToolOutput, AnOutputThatCannotBeWrittenFails)
{
    const std::string smc = BIN_DIR "/smc";
    for (const char* option : {"-v", "-l", "-f"}) {
        auto run = runProgram(smc, {option}, {"SMC_SERVICE=builtin"},
                              {"/bin/sh", "-c", "exec \"$0\" \"$@\" > /dev/full"});
        EXPECT_EQ(run.status, 1) << option;
        EXPECT_EQ(run.errors, "smc: cannot write standard output: No space left on device\n") << option;
    }
}

// A daemon of its own, with a machine of many keys.
class ToolWithDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/smc-tool-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        socketPath = directory + "/smcd.sock";
        std::ofstream profile(directory + "/machine.profile");
        listing = "  #KEY  [ui32]  4001 (bytes 00 00 0f a1)\n";
        for (int i = 0; i < 4000; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "  K%03x  [ui16]  %d (bytes %02x %02x)\n", i, i, i >> 8, i & 0xff);
            profile << line;
            listing += line;
        }
        profile.close();
        startDaemon();
    }
    void startDaemon()
    {
        daemon = std::make_unique<BackgroundProcess>(
            BIN_DIR "/smcd", std::vector<std::string>{"--socket", socketPath, "--profile", directory + "/machine.profile"});
        if (!testing_support::waitForSocket(socketPath))
            FAIL() << "smcd did not start: " << daemon->output();
    }
    void TearDown() override
    {
        platform::setExchangeObserver(nullptr);
        platform::installSMCService(nullptr);
        daemon.reset();
        std::filesystem::remove_all(directory);
    }

    std::string directory, socketPath, listing;
    std::unique_ptr<BackgroundProcess> daemon;
};

TEST_F(ToolWithDaemon, ListingOfADaemonKilledMidwayFails)
{
    platform::installSMCService(platform::makeUnixSMCService(socketPath));
    ASSERT_EQ(runTool({"-l"}).output, listing) << "the whole listing while the daemon lives";

    int exchanges = 0;
    platform::setExchangeObserver([&](const platform::Exchange&) {
        if (++exchanges == 2000) {
            daemon->signal(SIGKILL);
            daemon->wait();
        }
    });
    ToolRun run = runTool({"-l"});
    EXPECT_EQ(run.status, 1);
    size_t lines = occurrences(run.output, "\n");
    EXPECT_GT(lines, 600u);
    EXPECT_LT(lines, 700u);
    EXPECT_EQ(run.output, listing.substr(0, run.output.size())) << "only lines that were read whole";
    EXPECT_NE(run.errors.find("failed: e00002ed (the SMC is not responding)\n"), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("smc: the SMC is gone; the listing stops at position"), std::string::npos);
    EXPECT_EQ(occurrences(run.errors, "\n"), 2u) << "no further exchange is tried: " << run.errors;
}

TEST_F(ToolWithDaemon, ListingOfAStoppedDaemonFails)
{
    daemon->signal(SIGSTOP);
    auto run = runProgram(BIN_DIR "/smc", {"-l"}, {"SMC_SERVICE=unix:" + socketPath});
    daemon->signal(SIGCONT);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "smc: cannot count the keys: #KEY read failed: e00002ed (the SMC is not responding)\n");
}

TEST_F(ToolWithDaemon, AConnectionOutlivesARestartOfItsDaemonUnlessItHoldsALease)
{
    platform::installSMCService(platform::makeUnixSMCService(socketPath));
    io_connect_t plain = 0, leased = 0;
    ASSERT_EQ(SMCOpen(&plain), 0);
    ASSERT_EQ(SMCOpen(&leased), 0);
    ASSERT_EQ(IOSMCConnectionRequestLease(leased), 0);
    SMCVal val;
    ASSERT_EQ(SMCReadKey2("K001", &val, plain), 0);
    daemon.reset();
    startDaemon();
    EXPECT_EQ(SMCReadKey2("K001", &val, plain), 0) << "the same connection, on the new daemon";
    EXPECT_EQ(val.bytes[1], 1);
    // Its lease died with the old daemon: the holder must learn it, every time.
    EXPECT_EQ(SMCReadKey2("K001", &val, leased), kIOReturnNotResponding);
    EXPECT_EQ(SMCReadKey2("K001", &val, leased), kIOReturnNotResponding);
    SMCClose(plain);
    SMCClose(leased);
}

// A daemon stand-in at `path`: every request, on any connection, is answered
// by `answer` (which may take its time) on that connection's own thread.
class FakeDaemon {
public:
    using Answer = std::function<void(int sequence, const platform::protocol::Request&, platform::protocol::Reply&)>;

    FakeDaemon(const std::string& path, Answer answer) : path_(path), answer_(std::move(answer))
    {
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 8), 0);
        acceptor_ = std::thread([this] { accept(); });
    }
    ~FakeDaemon()
    {
        shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (int fd : clients_)
            shutdown(fd, SHUT_RDWR);
        for (auto& thread : threads_)
            thread.join();
        for (int fd : clients_)
            close(fd);
        close(listener_);
        unlink(path_.c_str());
    }

private:
    void accept()
    {
        for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0;) {
            clients_.push_back(fd);
            threads_.emplace_back([this, fd] { serve(fd); });
        }
    }
    void serve(int fd)
    {
        platform::protocol::Request request;
        while (recv(fd, &request, sizeof request, 0) == sizeof request) {
            platform::protocol::Reply reply{0, {}};
            answer_(sequence_++, request, reply);
            send(fd, &reply, sizeof reply, MSG_NOSIGNAL);
        }
    }

    std::string path_;
    Answer answer_;
    int listener_;
    std::atomic<int> sequence_{0};
    std::thread acceptor_;
    std::vector<int> clients_;  // the acceptor's alone until it ends
    std::vector<std::thread> threads_;
};

TEST(DaemonClient, ALateReplyNeverAnswersALaterRequest)
{
    std::string path = ::testing::TempDir() + "late.sock";
    std::filesystem::remove(path);
    FakeDaemon fake(path, [](int sequence, const platform::protocol::Request& request, platform::protocol::Reply& reply) {
        std::memcpy(reply.record, request.record, sizeof reply.record);
        if (sequence == 0) {
            usleep((platform::protocol::kClientTimeoutMilliseconds + 300) * 1000);
            reply.record[0] = 0xff;  // what the first request would have had
        }
    });
    platform::installSMCService(platform::makeUnixSMCService(path));
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    auto call = [&](uint8_t mark, uint8_t& answered) {
        uint8_t in[80] = {mark}, out[80] = {};
        size_t size = sizeof out;
        kern_return_t status = IOConnectCallStructMethod(connection, 2, in, sizeof in, out, &size);
        answered = out[0];
        return status;
    };
    uint8_t answered;
    EXPECT_EQ(call(1, answered), kIOReturnNotResponding);
    EXPECT_EQ(call(2, answered), 0) << "a new socket for the next exchange";
    EXPECT_EQ(answered, 2);
    EXPECT_EQ(call(3, answered), 0);
    EXPECT_EQ(answered, 3);
    SMCClose(connection);
    platform::installSMCService(nullptr);
}

TEST(DaemonClient, TheFanFloorIsAskedByFanNumber)
{
    std::string path = ::testing::TempDir() + "floor.sock";
    std::filesystem::remove(path);
    FakeDaemon fake(path, [](int, const platform::protocol::Request& request, platform::protocol::Reply& reply) {
        uint32_t fan;
        std::memcpy(&fan, request.record, sizeof fan);
        double floor = 1000 + 500 * fan;
        reply.status = request.method != platform::protocol::kFloorMethod ? kIOReturnBadArgument
                       : fan < 2                                     ? 0
                                                                     : kIOReturnNotFound;
        std::memcpy(reply.record, &floor, sizeof floor);
    });
    platform::installSMCService(platform::makeUnixSMCService(path));
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    struct Case {
        uint32_t fan;
        kern_return_t status;
        double rpm;  // -1: left as it was
    };
    for (const Case& c : {Case{0, 0, 1000}, Case{1, 0, 1500}, Case{2, kIOReturnNotFound, -1}}) {
        double rpm = -1;
        EXPECT_EQ(IOSMCConnectionCopyFanFloor(connection, c.fan, &rpm), c.status) << c.fan;
        EXPECT_EQ(rpm, c.rpm) << c.fan;
    }
    SMCClose(connection);
    EXPECT_EQ(IOSMCConnectionCopyFanFloor(connection, 0, nullptr), kIOReturnBadArgument);
    platform::installSMCService(nullptr);

    TestSMC emulated{"  FNum  [ui8 ]  1 (bytes 01)\n"};
    ASSERT_EQ(SMCOpen(&connection), 0);
    double rpm;
    EXPECT_EQ(IOSMCConnectionCopyFanFloor(connection, 0, &rpm), kIOReturnUnsupported) << "only a daemon knows";
    // So for every request only the daemon's connections have.
    IOSMCFanController holder{};
    for (kern_return_t status : {IOSMCConnectionRequestLease(connection),
                                 IOSMCConnectionClaimFanControl(connection, "test", 1000, &holder),
                                 IOSMCConnectionCopyFanController(connection, &holder)})
        EXPECT_EQ(status, kIOReturnUnsupported);
    EXPECT_EQ(IOSMCConnectionIsBrokered(connection), 0);
    SMCClose(connection);
}

}  // namespace

// The listing reads the count, then each position once (the access layer's
// listing, whose exchanges are its own); the fan report reads each value
// once, the mode mask shared by every fan.
TEST(ToolReads, EachValueReadOnce)
{
    const char* machine = R"(
  #KEY  [ui32]  13 (bytes 00 00 00 0d)
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0Mn  [fpe2]  1200 (bytes 12 c0)
  F0Mx  [fpe2]  6000 (bytes 5d c0)
  F0Sf  [fpe2]  3000 (bytes 2e e0)
  F0Tg  [fpe2]  2000 (bytes 1f 40)
  F1Ac  [fpe2]  2000 (bytes 1f 40)
  F1Mn  [fpe2]  1200 (bytes 12 c0)
  F1Mx  [fpe2]  6000 (bytes 5d c0)
  F1Sf  [fpe2]  3000 (bytes 2e e0)
  F1Tg  [fpe2]  2000 (bytes 1f 40)
  FNum  [ui8 ]  2 (bytes 02)
  FS!   [ui16]  2 (bytes 00 02)
)";
    const struct {
        const char* option;
        size_t reads, goal;
    } cases[] = {
        {"-l", 14, 13 + 1},        // the count, then the positions
        {"-f", 12, 1 + 2 * 5 + 1},  // the fan count, five speeds a fan, the mask
    };
    for (const auto& row : cases) {
        TestSMC smc(machine);
        ToolRun run = runTool({row.option});
        EXPECT_EQ(run.status, 0) << row.option << run.errors;
        size_t reads = 0;
        for (const auto& exchange : smc.exchanges())
            reads += exchange.request.command == SMCCommandReadKey;
        EXPECT_EQ(reads, row.reads) << row.option;
        EXPECT_LE(reads, row.goal) << row.option;
    }
}
