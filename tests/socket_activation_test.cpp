// smcd started by a service manager with its listening socket passed
// (systemd's socket activation): it serves that socket, leaves it as it
// found it, still puts the fans back at SIGTERM, and refuses in words a
// descriptor that is not a socket it can serve.
#include "backends/CallRecord.h"
#include "smcd/StateFile.h"
#include "support/FanMachine.h"
#include "support/Process.h"

#include <IOKit/IOKitDiagnostics.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using testing_support::BackgroundProcess;
using testing_support::runProgram;

namespace {

const std::string kBin = BIN_DIR;
const std::string kActivator = "/usr/bin/systemd-socket-activate";

const std::string kProfile = testing_support::fanProfile(1);

// A listening or bound socket of this process, inherited by the programs it starts.
int makeSocket(int domain, int type, const std::string& path, bool listening)
{
    int fd = socket(domain, type, 0);
    if (fd < 0)
        return -1;
    int bound;
    if (domain == AF_UNIX) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (bound != 0 || (listening && listen(fd, 8) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

class SocketActivationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/smcd-activation-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        socketPath = directory + "/passed.sock";
        ownSocket = directory + "/own.sock";
        profilePath = directory + "/machine.profile";
        statePath = directory + "/state";
        std::ofstream(profilePath) << kProfile;
    }
    void TearDown() override
    {
        daemon.reset();
        for (int fd : sockets)
            close(fd);
        std::filesystem::remove_all(directory);
    }

    // The daemon's options; --socket names a path it must not use while it
    // has a passed socket.
    std::vector<std::string> daemonOptions() const
    {
        return {"--socket", ownSocket, "--service", profilePath, "--state", statePath};
    }

    // smcd behind `sh`, which gives it `variables` and `descriptor` (or
    // nothing, when -1) as descriptor 3: how a service manager starts it.
    testing_support::ProcessResult startWith(const std::string& variables, int descriptor)
    {
        std::string redirect = descriptor < 0 ? "3<&-" : "3<&" + std::to_string(descriptor);
        std::string script = "export " + variables + "; exec \"$0\" \"$@\" " + redirect;
        std::vector<std::string> arguments{"-c", script, kBin + "/smcd"};
        for (const std::string& option : daemonOptions())
            arguments.push_back(option);
        return runProgram("/bin/sh", arguments);
    }

    testing_support::ProcessResult smc(const std::string& socket, std::vector<std::string> arguments)
    {
        return runProgram(kBin + "/smc", arguments, {"SMC_SERVICE=unix:" + socket});
    }

    std::string directory, socketPath, ownSocket, profilePath, statePath;
    std::unique_ptr<BackgroundProcess> daemon;
    std::vector<int> sockets;
};

TEST_F(SocketActivationTest, ServesThePassedSocketAndPutsFansBackAtSigterm)
{
    if (access(kActivator.c_str(), X_OK) != 0)
        GTEST_SKIP() << "needs systemd-socket-activate (Debian's systemd)";
    std::vector<std::string> arguments{"--listen=" + socketPath, "--seqpacket", kBin + "/smcd"};
    for (const std::string& option : daemonOptions())
        arguments.push_back(option);
    daemon = std::make_unique<BackgroundProcess>(kActivator, arguments);
    ASSERT_TRUE(testing_support::waitForSocket(socketPath)) << daemon->output();
    struct stat before;
    ASSERT_EQ(lstat(socketPath.c_str(), &before), 0);

    auto count = smc(socketPath, {"-k", "FNum", "-r"});
    EXPECT_EQ(count.status, 0) << count.errors << daemon->output();
    EXPECT_NE(count.output.find("(bytes 01)"), std::string::npos) << count.output;
    ASSERT_EQ(smc(socketPath, {"-k", "F0Tg", "-w", "4e20"}).status, 0);
    EXPECT_NE(smc(socketPath, {"-k", "F0Tg", "-r"}).output.find("(bytes 4e 20)"), std::string::npos);

    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 0) << daemon->output();
    EXPECT_NE(daemon->output().find("on " + socketPath), std::string::npos) << daemon->output();
    // The socket is the activator's: still there, unchanged; none of its own.
    struct stat after;
    ASSERT_EQ(lstat(socketPath.c_str(), &after), 0) << "the passed socket was removed";
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_FALSE(std::filesystem::exists(ownSocket));

    // What the stopping daemon left: the fan as it was, nothing to put back.
    std::ifstream stream(statePath);
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::vector<smcd::SavedValue> values;
    std::vector<smcd::FanRecord> fans;
    ASSERT_FALSE(smcd::parseStateText(text, values, &fans)) << text;
    EXPECT_TRUE(fans.empty()) << text;
    auto target = std::find_if(values.begin(), values.end(),
                               [](const auto& value) { return value.key == platform::fourCharCode("F0Tg"); });
    ASSERT_NE(target, values.end()) << text;
    EXPECT_EQ(std::vector<uint8_t>(target->bytes.begin(), target->bytes.begin() + target->size),
              (std::vector<uint8_t>{0x1f, 0x40}))
        << "the fan was not put back at SIGTERM: " << text;
}

TEST_F(SocketActivationTest, RefusesWhatIsNotItsSocket)
{
    std::string file = directory + "/file";
    std::ofstream(file) << "not a socket\n";
    int regular = open(file.c_str(), O_RDONLY);
    int stream = makeSocket(AF_UNIX, SOCK_STREAM, directory + "/stream.sock", true);
    int idle = makeSocket(AF_UNIX, SOCK_SEQPACKET, directory + "/idle.sock", false);
    int inet = makeSocket(AF_INET, SOCK_STREAM, "", true);
    int good = makeSocket(AF_UNIX, SOCK_SEQPACKET, socketPath, true);
    sockets = {regular, stream, idle, inet, good};
    for (int fd : sockets)
        ASSERT_GE(fd, 0);

    struct Case {
        const char* what;
        int descriptor;
        std::string variables;
        const char* error;
    };
    const std::string ours = "LISTEN_PID=$$ ";
    const Case cases[] = {
        {"a file", regular, ours + "LISTEN_FDS=1", "descriptor 3 is not a socket"},
        {"a stream socket", stream, ours + "LISTEN_FDS=1",
         "descriptor 3 is a stream socket, not a sequential-packet one"},
        {"a socket not listening", idle, ours + "LISTEN_FDS=1", "descriptor 3 is a socket that does not listen"},
        {"a TCP socket", inet, ours + "LISTEN_FDS=1", "descriptor 3 is not a Unix socket"},
        {"nothing", -1, ours + "LISTEN_FDS=1", "descriptor 3 is not open"},
        {"two sockets", good, ours + "LISTEN_FDS=2", "expected one socket, but 2 were passed"},
        {"a count that is no number", good, ours + "LISTEN_FDS=1x", "LISTEN_FDS is not a number"},
    };
    for (const Case& c : cases) {
        auto result = startWith(c.variables, c.descriptor);
        EXPECT_EQ(result.status, 1) << c.what << ": " << result.output << result.errors;
        EXPECT_NE(result.errors.find(std::string("smcd: cannot serve the socket passed by the service manager: ") +
                                     c.error),
                  std::string::npos)
            << c.what << ": " << result.errors;
        EXPECT_FALSE(std::filesystem::exists(ownSocket)) << c.what << ": bound a socket of its own";
        EXPECT_FALSE(std::filesystem::exists(statePath)) << c.what << ": touched the SMC's state first";
    }
}

TEST_F(SocketActivationTest, VariablesForAnotherProcessAreIgnored)
{
    // A parent that was activated and left its variables set: they do not
    // name this daemon, which listens where it was told.
    int good = makeSocket(AF_UNIX, SOCK_SEQPACKET, socketPath, true);
    ASSERT_GE(good, 0);
    sockets = {good};
    std::string script = "export LISTEN_PID=1 LISTEN_FDS=1; exec \"$0\" \"$@\" 3<&" + std::to_string(good);
    std::vector<std::string> arguments{"-c", script, kBin + "/smcd"};
    for (const std::string& option : daemonOptions())
        arguments.push_back(option);
    daemon = std::make_unique<BackgroundProcess>("/bin/sh", arguments);
    ASSERT_TRUE(testing_support::waitForSocket(ownSocket)) << daemon->output();
    EXPECT_EQ(smc(ownSocket, {"-k", "FNum", "-r"}).status, 0);
}

}  // namespace
