// The back-end for SMC_SERVICE=unix:PATH: every connection is a socket to
// the SMC daemon, and every exchange one message each way.
#include "iokit/SMCService.h"
#include "iokit/DaemonProtocol.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

int smcd::connectSocket(const std::string& path)
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
    timeval timeout{smcd::kClientTimeoutMilliseconds / 1000, (smcd::kClientTimeoutMilliseconds % 1000) * 1000};
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

using smcd::Reply;
using smcd::Request;

class UnixConnection final : public SMCConnection {
public:
    explicit UnixConnection(int fd) : fd_(fd) {}
    ~UnixConnection() override { close(fd_); }

    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize) override
    {
        if (inputSize != smcd::kRecordSize || *outputSize != smcd::kRecordSize)
            return kIOReturnBadArgument;
        Request request{selector, {}};
        std::memcpy(request.record, input, sizeof request.record);
        Reply reply;
        std::lock_guard lock(mutex_);
        // After a lost exchange a late reply could answer the next request:
        // the connection is not used again.
        if (broken_ || !transfer(request, reply)) {
            broken_ = true;
            return kIOReturnNotResponding;
        }
        if (reply.status == KERN_SUCCESS)
            std::memcpy(output, reply.record, sizeof reply.record);
        return reply.status;
    }

private:
    bool transfer(const Request& request, Reply& reply)
    {
        ssize_t sent;
        do
            sent = send(fd_, &request, sizeof request, MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        if (sent != ssize_t(sizeof request))
            return false;
        ssize_t received;
        do
            received = recv(fd_, &reply, sizeof reply, MSG_TRUNC);
        while (received < 0 && errno == EINTR);
        return received == ssize_t(sizeof reply);
    }

    int fd_;
    std::mutex mutex_;
    bool broken_ = false;
};

class UnixSMCService final : public SMCService {
public:
    explicit UnixSMCService(std::string path) : path_(std::move(path)) {}

    bool present() override
    {
        int fd = connect();
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
        int fd = connect();
        if (fd < 0)
            return kIOReturnNotResponding;
        connection = std::make_unique<UnixConnection>(fd);
        return KERN_SUCCESS;
    }

private:
    int connect()
    {
        int fd = smcd::connectSocket(path_);
        int error = errno;
        std::lock_guard lock(mutex_);
        if (fd >= 0)
            cause_.clear();
        else if (error == ENOENT || error == ECONNREFUSED)
            cause_ = "no daemon at " + path_;
        else if (error == EACCES || error == EPERM)
            cause_ = "permission denied on " + path_;
        else
            cause_ = "cannot reach the daemon at " + path_ + ": " + std::strerror(error);
        return fd;
    }

    std::string path_;
    std::mutex mutex_;
    std::string cause_;
};

}  // namespace

std::shared_ptr<SMCService> makeUnixSMCService(std::string path)
{
    return std::make_shared<UnixSMCService>(path.empty() ? smcd::defaultSocketPath() : std::move(path));
}

}  // namespace platform
