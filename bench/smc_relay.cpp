// smc_relay: sits between smcd's socket and its clients and counts every
// exchange by command, so that an operation's SMC transactions can be
// measured exactly.
//   smc_relay LISTEN_PATH SMCD_PATH COUNTS_FILE
// SIGUSR1 writes the counts so far to COUNTS_FILE (replaced whole, so a
// reader never sees half of it); SIGUSR2 sets them to zero; SIGTERM and
// SIGINT write them and stop.
#include "backends/CallRecord.h"
#include "backends/DaemonProtocol.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum Kind { kKeyInfo, kRead, kWrite, kKeyAtIndex, kOther, kKinds };
constexpr const char* kKindNames[kKinds] = {"keyinfo", "read", "write", "index", "other"};

Kind kindOf(const platform::protocol::Request& request)
{
    if (request.method != platform::kUserClientCall)
        return kOther;  // a lease, a floor asked: the daemon's own methods
    switch (platform::protocol::commandOf(request)) {
    case platform::kKeyInfo: return kKeyInfo;
    case platform::kReadKey: return kRead;
    case platform::kWriteKey: return kWrite;
    case platform::kKeyAtIndex: return kKeyAtIndex;
    default: return kOther;
    }
}

bool writeCounts(const std::string& path, const std::array<unsigned long, kKinds>& counts)
{
    std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr)
        return false;
    unsigned long total = 0;
    for (int kind = 0; kind < kKinds; ++kind) {
        std::fprintf(file, "%s %lu\n", kKindNames[kind], counts[kind]);
        total += counts[kind];
    }
    std::fprintf(file, "total %lu\n", total);
    return std::fclose(file) == 0 && std::rename(temporary.c_str(), path.c_str()) == 0;
}

int listenOn(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    unlink(path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0)
        return -1;
    return fd;
}

struct Link {
    int client;
    int upstream;
};

// Forwards one request and its reply; false when either side has gone, and
// the link is to be closed (closing the upstream ends a lease, as the
// client's own close would have).
bool relayOne(const Link& link, std::array<unsigned long, kKinds>& counts)
{
    platform::protocol::Request request;
    ssize_t size = recv(link.client, &request, sizeof request, 0);
    if (size <= 0)
        return false;
    if (size_t(size) == sizeof request)
        ++counts[kindOf(request)];
    else
        ++counts[kOther];  // malformed: the daemon answers it, it still reached the daemon
    if (send(link.upstream, &request, size_t(size), MSG_NOSIGNAL) != size)
        return false;
    platform::protocol::Reply reply;
    ssize_t replySize = recv(link.upstream, &reply, sizeof reply, 0);
    return replySize > 0 && send(link.client, &reply, size_t(replySize), MSG_NOSIGNAL) == replySize;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "Usage: smc_relay LISTEN_PATH SMCD_PATH COUNTS_FILE\n");
        return 2;
    }
    const std::string listenPath = argv[1], upstreamPath = argv[2], countsPath = argv[3];

    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT})
        sigaddset(&signals, signal);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    int listener = listenOn(listenPath);
    if (signalFd < 0 || listener < 0) {
        std::fprintf(stderr, "smc_relay: cannot listen on %s: %s\n", listenPath.c_str(), std::strerror(errno));
        return 1;
    }

    std::array<unsigned long, kKinds> counts{};
    std::vector<Link> links;
    for (;;) {
        std::vector<pollfd> fds{{signalFd, POLLIN, 0}, {listener, POLLIN, 0}};
        for (const Link& link : links)
            fds.push_back({link.client, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("smc_relay: poll");
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGUSR2) {
                    counts.fill(0);
                } else if (!writeCounts(countsPath, counts)) {
                    std::fprintf(stderr, "smc_relay: cannot write %s: %s\n", countsPath.c_str(), std::strerror(errno));
                    return 1;
                } else if (info.ssi_signo != SIGUSR1) {
                    unlink(listenPath.c_str());
                    return 0;
                }
            }
        }
        // Only the links that were polled; one that ends is dropped at once.
        std::vector<Link> kept;
        for (size_t i = 0; i + 2 < fds.size(); ++i) {
            if (fds[i + 2].revents == 0 || relayOne(links[i], counts)) {
                kept.push_back(links[i]);
            } else {
                close(links[i].client);
                close(links[i].upstream);
            }
        }
        links = std::move(kept);
        if (fds[1].revents & POLLIN) {
            int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                int upstream = platform::protocol::connectSocket(upstreamPath);
                if (upstream < 0)
                    close(client);  // the client sees the daemon gone, as it would
                else
                    links.push_back({client, upstream});
            }
        }
    }
}
