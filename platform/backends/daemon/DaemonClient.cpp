// The back-end for SMC_SERVICE=unix:PATH: every connection is a socket to
// the SMC daemon, and every exchange one message each way.
#include "backends/DaemonProtocol.h"
#include "backends/ErrnoStatus.h"
#include "backends/SMCService.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

int protocol::connectSocket(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A daemon that stops answering costs a bounded wait, never a hang.
    timeval timeout{protocol::kClientTimeoutMilliseconds / 1000, (protocol::kClientTimeoutMilliseconds % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    while (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR)
            continue;
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

namespace {

using protocol::Reply;
using protocol::Request;

// The service's way to a new checked socket, for a connection that lost its
// own: -1 when the daemon cannot be reached or is not believed.
using Reconnect = std::function<int()>;

class UnixConnection final : public SMCConnection, public SMCDaemonRequests {
public:
    UnixConnection(int fd, Reconnect reconnect) : fd_(fd), reconnect_(std::move(reconnect)) {}
    ~UnixConnection() override
    {
        if (fd_ >= 0)
            close(fd_);
    }

    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize) override
    {
        if (inputSize != protocol::kRecordSize || *outputSize != protocol::kRecordSize)
            return kIOReturnBadArgument;
        Request request{selector, {}};
        std::memcpy(request.record, input, sizeof request.record);
        Reply reply;
        if (kern_return_t status = exchange(request, reply); status != KERN_SUCCESS)
            return status;
        if (reply.status == KERN_SUCCESS)
            std::memcpy(output, reply.record, sizeof reply.record);
        return reply.status;
    }

    void* findCapability(SMCCapability which) override { return offer<SMCDaemonRequests>(which, this); }

    kern_return_t requestLease() override
    {
        Request request{protocol::kLeaseMethod, {}};
        Reply reply;
        if (kern_return_t status = exchange(request, reply); status != KERN_SUCCESS)
            return status;
        return reply.status;
    }

    kern_return_t fanFloor(uint32_t fan, double& rpm) override
    {
        Request request{protocol::kFloorMethod, {}};
        std::memcpy(request.record, &fan, sizeof fan);
        Reply reply;
        if (kern_return_t status = exchange(request, reply); status != KERN_SUCCESS)
            return status;
        if (reply.status == KERN_SUCCESS)
            std::memcpy(&rpm, reply.record, sizeof rpm);
        return reply.status;
    }

    kern_return_t daemonRequest(uint32_t method, const uint8_t* record, uint8_t* replyRecord) override
    {
        Request request{method, {}};
        std::memcpy(request.record, record, sizeof request.record);
        Reply reply;
        if (kern_return_t status = exchange(request, reply); status != KERN_SUCCESS)
            return status;
        std::memcpy(replyRecord, reply.record, sizeof reply.record);
        return reply.status;
    }

private:
    enum class Outcome { Done, HungUp, Lost };

    // One request and its reply. A socket whose exchange failed is closed,
    // so a late reply can never answer a later request; the next exchange
    // opens another, which finds a daemon that restarted. A lease is tied to
    // its socket: once that is gone the connection stays lost, so that its
    // holder learns that the lease ended.
    kern_return_t exchange(const Request& request, Reply& reply)
    {
        std::lock_guard lock(mutex_);
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (fd_ < 0 && (leased_ || (fd_ = reconnect_()) < 0))
                return kIOReturnNotResponding;
            Outcome outcome = transfer(request, reply);
            if (outcome == Outcome::Done) {
                // Under the same lock, so that no other call can reconnect
                // between the grant and its mark.
                leased_ = leased_ || ((request.method == protocol::kLeaseMethod ||
                                        request.method == protocol::kClaimControlMethod) &&
                                       reply.status == KERN_SUCCESS);
                return KERN_SUCCESS;
            }
            close(fd_);
            fd_ = -1;
            // A timeout has already cost the caller its wait: only the next
            // call tries again. A hang-up is a daemon gone: one fresh try now.
            if (outcome == Outcome::Lost)
                break;
        }
        return kIOReturnNotResponding;
    }

    Outcome transfer(const Request& request, Reply& reply)
    {
        auto hungUp = [] { return errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN; };
        ssize_t sent;
        do
            sent = send(fd_, &request, sizeof request, MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        if (sent < 0 && hungUp())
            return Outcome::HungUp;
        if (sent != ssize_t(sizeof request))
            return Outcome::Lost;
        ssize_t received;
        do
            received = recv(fd_, &reply, sizeof reply, MSG_TRUNC);
        while (received < 0 && errno == EINTR);
        if (received == 0 || (received < 0 && hungUp()))
            return Outcome::HungUp;
        return received == ssize_t(sizeof reply) ? Outcome::Done : Outcome::Lost;
    }

    int fd_;
    Reconnect reconnect_;
    std::mutex mutex_;
    bool leased_ = false;
};

class UnixSMCService final : public SMCService, public std::enable_shared_from_this<UnixSMCService> {
public:
    explicit UnixSMCService(std::string path) : path_(std::move(path)) {}

    bool present() override
    {
        kern_return_t status;
        int fd = connect(status);
        if (fd < 0)
            return false;
        close(fd);
        return true;
    }

    std::string failureCause() override
    {
        std::lock_guard lock(mutex_);
        return cause_;
    }

    kern_return_t open(std::unique_ptr<SMCConnection>& connection) override
    {
        kern_return_t status;
        int fd = connect(status);
        if (fd < 0)
            return status;
        // The connection may outlive the registry's hold on this service.
        connection = std::make_unique<UnixConnection>(fd, [service = shared_from_this()] {
            kern_return_t ignored;
            return service->connect(ignored);
        });
        return KERN_SUCCESS;
    }

private:
    // A socket to the daemon, or -1 with the status that open() answers.
    int connect(kern_return_t& status)
    {
        int fd = protocol::connectSocket(path_);
        int error = fd < 0 ? errno : 0;
        std::string cause;
        if (fd < 0 && (error == ENOENT || error == ECONNREFUSED))
            cause = "no daemon at " + path_;
        else if (fd < 0 && (error == EACCES || error == EPERM))
            cause = "permission denied on " + path_;
        else if (fd < 0)
            cause = "cannot reach the daemon at " + path_ + ": " + std::strerror(error);
        else if (cause = peerProblem(fd); !cause.empty()) {
            close(fd);
            fd = -1;
        }
        status = fd >= 0     ? KERN_SUCCESS
                 : error == 0 ? kIOReturnNotPrivileged
                              : statusFromErrno(error, ErrnoOrigin::DaemonSocket);
        std::lock_guard lock(mutex_);
        cause_ = std::move(cause);
        return fd;
    }

    // Whoever binds the path first answers there: only a daemon of root or
    // of this user is believed, or another user could serve fake values.
    std::string peerProblem(int fd)
    {
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
            return "refused the daemon at " + path_ + ": cannot tell who runs it: " + std::strerror(errno);
        if (peer.uid != 0 && peer.uid != geteuid())
            return "refused the daemon at " + path_ + ": it runs as uid " + std::to_string(peer.uid) +
                   ", not as root or you";
        return {};
    }

    std::string path_;
    std::mutex mutex_;
    std::string cause_;
};

}  // namespace

std::shared_ptr<SMCService> makeUnixSMCService(std::string path)
{
    return std::make_shared<UnixSMCService>(path.empty() ? protocol::defaultSocketPath() : std::move(path));
}

}  // namespace platform
