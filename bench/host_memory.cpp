// sensors-host --listen over 100,000 scrapes: its resident memory must stay
// flat once the first scrapes have warmed the allocator up.
#include <httplib.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

long residentKiB(pid_t pid)
{
    long kib = 0;
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    if (FILE* status = std::fopen(path.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1)
                break;
        std::fclose(status);
    }
    return kib;
}

}  // namespace

int main()
{
    setenv("SMC_SERVICE", "builtin", 1);
    char logPath[] = "/tmp/host-memory-XXXXXX";
    int log = mkstemp(logPath);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, log, STDERR_FILENO);
    const char* argv[] = {"sensors-host", "--listen", "127.0.0.1:0", nullptr};
    pid_t pid;
    if (posix_spawn(&pid, BIN_DIR "/sensors-host", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
        std::perror("sensors-host");
        return 1;
    }
    int port = 0;
    for (int tries = 0; tries < 200 && port == 0; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        char text[256] = {};
        pread(log, text, sizeof text - 1, 0);
        if (const char* at = std::strstr(text, "127.0.0.1:"))
            port = std::atoi(at + 10);
    }
    unlink(logPath);
    if (port == 0) {
        std::fprintf(stderr, "sensors-host did not listen\n");
        kill(pid, SIGTERM);
        return 1;
    }

    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    constexpr long kScrapes = 100'000, kStep = 10'000;
    long warm = 0, highest = 0, failed = 0;
    auto start = std::chrono::steady_clock::now();
    std::printf("%10s %14s\n", "scrapes", "resident KiB");
    for (long scrape = 1; scrape <= kScrapes; ++scrape) {
        auto response = client.Get("/metrics");
        failed += !response || response->status != 200;
        if (scrape % kStep == 0) {
            long now = residentKiB(pid);
            std::printf("%10ld %14ld\n", scrape, now);
            if (scrape == kStep)
                warm = now;
            highest = std::max(highest, now);
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    long growth = highest - warm;
    constexpr long kNoiseKiB = 256;
    std::printf("%ld scrapes in %.1f s, %ld failed; growth after the first %ld: %ld KiB (target: at most %ld KiB, noise)\n",
                kScrapes, seconds, failed, kStep, growth, kNoiseKiB);
    return growth <= kNoiseKiB && failed == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
