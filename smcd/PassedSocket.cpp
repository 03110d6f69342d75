#include "smcd/PassedSocket.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace smcd {
namespace {

constexpr int kFirstPassed = 3;  // SD_LISTEN_FDS_START

// A decimal number made of digits alone, or -1.
long number(const char* text)
{
    std::string_view digits = text ? text : "";
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return -1;
    return std::strtol(text, nullptr, 10);
}

std::string typeName(int type)
{
    switch (type) {
    case SOCK_STREAM:
        return "a stream socket";
    case SOCK_DGRAM:
        return "a datagram socket";
    case SOCK_SEQPACKET:
        return "a sequential-packet socket";
    default:
        return "a socket of type " + std::to_string(type);
    }
}

int option(int fd, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    return getsockopt(fd, SOL_SOCKET, name, &value, &size) == 0 ? value : -1;
}

std::string check(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return "descriptor 3 is not open";
    if (!S_ISSOCK(status.st_mode))
        return "descriptor 3 is not a socket";
    if (int domain = option(fd, SO_DOMAIN); domain != AF_UNIX)
        return "descriptor 3 is not a Unix socket (address family " + std::to_string(domain) + ")";
    if (int type = option(fd, SO_TYPE); type != SOCK_SEQPACKET)
        return "descriptor 3 is " + typeName(type) +
               ", not a sequential-packet one (ListenSequentialPacket= in a socket unit)";
    if (option(fd, SO_ACCEPTCONN) != 1)
        return "descriptor 3 is a socket that does not listen";
    return {};
}

}  // namespace

PassedSocket takePassedSocket()
{
    long pid = number(std::getenv("LISTEN_PID"));
    long count = number(std::getenv("LISTEN_FDS"));
    bool set = std::getenv("LISTEN_PID") && std::getenv("LISTEN_FDS");
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    PassedSocket passed;
    // Variables meant for another process (a parent that was activated and
    // did not clear them) pass nothing to this one.
    if (!set || pid != long(getpid()) || count == 0)
        return passed;
    if (count != 1) {
        passed.error = count < 0 ? "LISTEN_FDS is not a number of descriptors"
                                 : "expected one socket, but " + std::to_string(count) + " were passed";
        return passed;
    }
    if (passed.error = check(kFirstPassed); !passed.error.empty())
        return passed;
    // The accept loop takes connections until none is left waiting.
    int flags = fcntl(kFirstPassed, F_GETFL);
    if (flags < 0 || fcntl(kFirstPassed, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(kFirstPassed, F_SETFD, FD_CLOEXEC) != 0) {
        passed.error = std::string("cannot prepare descriptor 3: ") + std::strerror(errno);
        return passed;
    }
    passed.fd = kFirstPassed;
    sockaddr_un address{};
    socklen_t size = sizeof address;
    bool named = getsockname(kFirstPassed, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
                 size > offsetof(sockaddr_un, sun_path) && address.sun_path[0] != '\0';
    passed.path = named ? std::string(address.sun_path, strnlen(address.sun_path, sizeof address.sun_path))
                        : "descriptor 3";
    return passed;
}

}  // namespace smcd
