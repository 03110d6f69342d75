// Exchanges per second through SMCReadKey over the daemon, against a bare
// ping-pong of the same message sizes over the same socket type, both on
// one CPU and unpinned; then the aggregate of 1, 2 and 4 client processes.
// Targets: at least 0.8 of the bare ping-pong for one client, and an
// aggregate that grows with clients up to the number of cores.
#include "smc/smc.h"
#include "backends/DaemonProtocol.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRun = std::chrono::milliseconds(1500);

void pin(pid_t pid, int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu >= 0) {
        CPU_SET(cpu, &set);
    } else {
        for (long i = 0; i < sysconf(_SC_NPROCESSORS_ONLN); ++i)
            CPU_SET(i, &set);
    }
    sched_setaffinity(pid, sizeof set, &set);
}

bool waitForSocket(const std::string& path)
{
    for (int tries = 0; tries < 200; ++tries) {
        int fd = platform::protocol::connectSocket(path);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        usleep(10'000);
    }
    return false;
}

// The bare peer: answers every 84-byte message with 84 bytes, nothing else.
pid_t startEchoServer(const std::string& path)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    unlink(path.c_str());
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0)
        _exit(1);
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        if (fork() == 0) {
            platform::protocol::Request request;
            platform::protocol::Reply reply{};
            while (recv(client, &request, sizeof request, 0) == ssize_t(sizeof request))
                if (send(client, &reply, sizeof reply, MSG_NOSIGNAL) != ssize_t(sizeof reply))
                    break;
            _exit(0);
        }
        close(client);
    }
}

double barePingPong(const std::string& path)
{
    int fd = platform::protocol::connectSocket(path);
    platform::protocol::Request request{2, {}};
    platform::protocol::Reply reply;
    long exchanges = 0;
    auto start = Clock::now();
    while (Clock::now() - start < kRun) {
        for (int i = 0; i < 256; ++i) {
            send(fd, &request, sizeof request, MSG_NOSIGNAL);
            recv(fd, &reply, sizeof reply, 0);
        }
        exchanges += 256;
    }
    close(fd);
    return double(exchanges) / std::chrono::duration<double>(Clock::now() - start).count();
}

// Exchanges per second of SMCReadKey on a connection of its own.
double readKeys()
{
    io_connect_t connection = 0;
    if (SMCOpen(&connection) != 0)
        return 0;
    SMCVal val;
    long reads = 0;
    auto start = Clock::now();
    while (Clock::now() - start < kRun) {
        for (int i = 0; i < 128; ++i)
            SMCReadKey2("TC0D", &val, connection);
        reads += 128;
    }
    SMCClose(connection);
    return 2.0 * double(reads) / std::chrono::duration<double>(Clock::now() - start).count();
}

// The summed rate of `clients` processes reading at once.
double aggregate(int clients)
{
    int results[2];
    if (pipe(results) != 0)
        return 0;
    std::vector<pid_t> children;
    for (int i = 0; i < clients; ++i) {
        pid_t child = fork();
        if (child == 0) {
            double rate = readKeys();
            ssize_t wrote = write(results[1], &rate, sizeof rate);
            _exit(wrote == sizeof rate ? 0 : 1);
        }
        children.push_back(child);
    }
    close(results[1]);
    double total = 0, rate;
    while (read(results[0], &rate, sizeof rate) == sizeof rate)
        total += rate;
    close(results[0]);
    for (pid_t child : children)
        waitpid(child, nullptr, 0);
    return total;
}

}  // namespace

int main()
{
    char directory[] = "/tmp/smcd-bench-XXXXXX";
    if (mkdtemp(directory) == nullptr)
        return 1;
    std::string daemonSocket = std::string(directory) + "/smcd.sock";
    std::string echoSocket = std::string(directory) + "/echo.sock";
    std::signal(SIGPIPE, SIG_IGN);

    pid_t daemon;
    std::string smcd = BIN_DIR "/smcd";
    // The built-in machine: without --service smcd serves only a real SMC.
    char* arguments[] = {smcd.data(), const_cast<char*>("--socket"), daemonSocket.data(),
                         const_cast<char*>("--service"), const_cast<char*>("builtin"), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&daemon, smcd.c_str(), &quiet, nullptr, arguments, environ) != 0)
        return 1;
    pid_t echo = startEchoServer(echoSocket);
    if (!waitForSocket(daemonSocket) || !waitForSocket(echoSocket)) {
        std::fprintf(stderr, "the daemon or the echo server did not start\n");
        return 1;
    }
    setenv("SMC_SERVICE", ("unix:" + daemonSocket).c_str(), 1);

    int failed = 0;
    std::printf("%-34s %14s %14s %8s\n", "one client", "daemon ex/s", "bare ex/s", "ratio");
    for (int cpu : {0, -1}) {
        for (pid_t pid : {daemon, echo, getpid()})
            pin(pid, cpu);
        // The echo server's per-connection child inherits the pinning.
        double bare = barePingPong(echoSocket);
        double smc = readKeys();
        double ratio = smc / bare;
        failed += ratio < 0.8;
        std::printf("%-34s %14.0f %14.0f %8.2f %s\n", cpu >= 0 ? "pinned to CPU 0" : "unpinned", smc, bare, ratio,
                    ratio >= 0.8 ? "ok (target 0.8)" : "MISSED (target 0.8)");
    }

    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    std::printf("\n%-34s %14s %8s\n", "client processes", "daemon ex/s", "vs 1");
    double one = 0;
    for (int clients : {1, 2, 4}) {
        double total = aggregate(clients);
        one = clients == 1 ? total : one;
        bool grows = clients == 1 || clients > cores || total > one * 1.05;
        failed += !grows;
        std::printf("%-34d %14.0f %8.2f %s\n", clients, total, total / one,
                    clients == 1 ? "" : grows ? "ok" : "MISSED (should grow up to the core count)");
    }
    std::printf("(%ld cores; the daemon is one thread, so it is itself one of them)\n", cores);

    kill(echo, SIGKILL);
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    waitpid(echo, nullptr, 0);
    unlink(echoSocket.c_str());
    rmdir(directory);
    return failed ? 1 : 0;
}
