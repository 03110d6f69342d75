#include "host/HttpServer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <tuple>
#include <utility>
#include <unistd.h>

struct HttpServer::Connection {
    Connection(int fd, const HttpHandler& handler) : fd(fd), session(handler) {}
    int fd;
    HttpSession session;
    std::string out;  // answers not yet sent
    size_t sent = 0;
    bool closing = false;   // ends once `out` is sent
    bool draining = false;  // answered and shut for writing: what comes is dropped until the peer closes
    uint32_t events = 0;           // ready, as the last wait gave them
    uint32_t watched = EPOLLIN;    // asked of epoll
    unsigned turn = 0;             // the loop's turn it was last served in
    Clock::time_point deadline;
    std::list<int>::iterator place;
    std::string peer;
    std::list<int>::iterator peerPlace;
};

namespace {

// Who a connection comes from, as far as limits go: an IPv4 address, or the
// /64 of an IPv6 one, which a single host usually holds whole.
std::string peerOf(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return std::string("4") + std::string(reinterpret_cast<const char*>(&v4.sin_addr), 4);
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        const char* bytes = reinterpret_cast<const char*>(&v6.sin6_addr);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            return std::string("4") + std::string(bytes + 12, 4);
        return std::string("6") + std::string(bytes, 8);
    }
    return {};
}

}  // namespace

HttpServer::HttpServer(HttpHandler handler, size_t maxConnections, size_t maxPerPeer,
                       std::chrono::milliseconds requestTimeout)
    : handler_(std::move(handler)),
      maxConnections_(std::max<size_t>(maxConnections, 1)),
      maxPerPeer_(std::clamp<size_t>(maxPerPeer, 1, maxConnections_)),
      requestTimeout_(requestTimeout)
{
    spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wake_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
}

HttpServer::~HttpServer()
{
    while (!connections_.empty())
        close(connections_.begin()->first);
    for (int fd : {listener_, epoll_, wake_, spare_})
        if (fd >= 0)
            ::close(fd);
}

bool HttpServer::listen(const std::string& host, int port, std::string& error)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); status != 0) {
        error = gai_strerror(status);
        return false;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Not SO_REUSEPORT: a second exporter on the same port must fail to
    // start rather than take half the scrapes.
    int yes = 1;
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
              bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0;
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t boundSize = sizeof bound;
    ok = ok && getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize) == 0;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ok = ok && epoll_ >= 0 && wake_ >= 0 && epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
    if (!ok) {
        error = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    listener_ = fd;
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                              : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    return true;
}

void HttpServer::stop()
{
    uint64_t one = 1;
    [[maybe_unused]] ssize_t wrote = write(wake_, &one, sizeof one);
}

bool HttpServer::run(int stopFd, const std::function<bool()>& onStopFd)
{
    if (stopFd >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = stopFd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, stopFd, &event);
    }
    epoll_event events[64];
    for (;;) {
        Clock::time_point now = Clock::now();
        while (!byDeadline_.empty() && connections_.at(byDeadline_.front()).deadline <= now)
            close(byDeadline_.front());
        int timeout = -1;
        if (!again_.empty()) {
            timeout = 0;
        } else if (!byDeadline_.empty()) {
            auto left = connections_.at(byDeadline_.front()).deadline - now;
            timeout = int(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
        }
        int count = epoll_wait(epoll_, events, 64, timeout);
        if (count < 0 && errno != EINTR)
            return false;
        ++turn_;
        std::vector<int> again;
        again.swap(again_);
        for (int i = 0; i < count; ++i) {
            int fd = events[i].data.fd;
            if (fd == wake_)
                return true;
            if (fd == stopFd) {
                if (!onStopFd || onStopFd())
                    return true;
            } else if (fd == listener_) {
                accept();
            } else if (connections_.count(fd)) {
                connections_.at(fd).events = events[i].events;
                serve(fd);
            }
        }
        // Pipelined requests wait their turn behind every other connection's.
        for (int fd : again)
            if (auto found = connections_.find(fd); found != connections_.end() && found->second.turn != turn_) {
                found->second.events = 0;
                serve(fd);
            }
    }
}

void HttpServer::accept()
{
    // A bounded batch: a flood of connections must not evict the ones
    // already open before their requests have been read.
    for (int taken = 0; taken < kAcceptBatch;) {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&address), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR)
            continue;
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !connections_.empty()) {
            evictBusiest();
            continue;
        }
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && spare_ >= 0) {
            // Left waiting, the connection would wake this loop for ever.
            ::close(spare_);
            fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
            spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
            continue;
        }
        if (fd < 0)
            return;
        ++taken;
        admit(fd, peerOf(address));
    }
}

void HttpServer::admit(int fd, const std::string& peer)
{
    if (auto mine = peers_.find(peer); mine != peers_.end() && mine->second.size() >= maxPerPeer_)
        close(mine->second.front());
    else if (connections_.size() >= maxConnections_)
        evictBusiest();
    // Small answers: without this each waits for the peer's delayed
    // acknowledgement.
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    Connection& connection =
        connections_.emplace(std::piecewise_construct, std::forward_as_tuple(fd), std::forward_as_tuple(fd, handler_))
            .first->second;
    connection.place = byDeadline_.insert(byDeadline_.end(), fd);
    connection.peer = peer;
    std::list<int>& mine = peers_[peer];
    connection.peerPlace = mine.insert(mine.end(), fd);
    connection.deadline = Clock::now() + requestTimeout_;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0)
        return close(fd);
    // A request that came with the connection is answered before the next
    // batch can evict it.
    connection.events = EPOLLIN;
    serve(fd);
}

void HttpServer::evictBusiest()
{
    auto busiest = std::max_element(peers_.begin(), peers_.end(),
                                    [](const auto& left, const auto& right) { return left.second.size() < right.second.size(); });
    if (busiest != peers_.end())
        close(busiest->second.front());
}

void HttpServer::serve(int fd)
{
    Connection& connection = connections_.at(fd);
    connection.turn = turn_;
    uint32_t ready = std::exchange(connection.events, 0);
    if (ready & EPOLLERR)
        return close(fd);
    if (connection.draining) {
        // A few reads at a time, so that a peer still sending a large body
        // does not hold up the others.
        char scratch[kHttpReadSize];
        ssize_t got = 1;
        for (int reads = 0; reads < 16 && got > 0; ++reads)
            got = recv(fd, scratch, sizeof scratch, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            close(fd);
        return;
    }
    if (!connection.out.empty() && !flush(connection))
        return;
    if (connection.out.empty() && !connection.closing) {
        // What is buffered first: bytes are taken only once the session waits.
        HttpSession::Step step = connection.session.next(connection.out);
        if (step == HttpSession::Step::Wait && (ready & (EPOLLIN | EPOLLHUP))) {
            char data[kHttpReadSize];
            ssize_t got = recv(fd, data, sizeof data, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return close(fd);
            if (got > 0) {
                connection.session.take(data, size_t(got));
                step = connection.session.next(connection.out);
            }
        }
        if (step != HttpSession::Step::Wait) {
            connection.closing = step == HttpSession::Step::Close;
            touch(connection);
            if (!flush(connection))
                return;
            // One request a turn: the next one buffered waits for the others.
            if (connection.out.empty() && !connection.closing && !connection.draining &&
                connection.session.buffered() > 0)
                again_.push_back(fd);
        }
    }
    watch(connection);
}

bool HttpServer::flush(Connection& connection)
{
    while (connection.sent < connection.out.size()) {
        ssize_t wrote = send(connection.fd, connection.out.data() + connection.sent,
                             connection.out.size() - connection.sent, MSG_NOSIGNAL);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (wrote <= 0) {
            close(connection.fd);
            return false;
        }
        connection.sent += size_t(wrote);
    }
    connection.out.clear();
    connection.sent = 0;
    if (connection.closing) {
        // Closed at once with a body still coming, the connection would be
        // reset and the peer might never read the answer.
        shutdown(connection.fd, SHUT_WR);
        connection.closing = false;
        connection.draining = true;
    }
    return true;
}

void HttpServer::watch(Connection& connection)
{
    uint32_t wanted = !connection.out.empty() ? EPOLLOUT : EPOLLIN;
    if (wanted == connection.watched)
        return;
    connection.watched = wanted;
    epoll_event event{};
    event.events = wanted;
    event.data.fd = connection.fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event) != 0)
        close(connection.fd);
}

void HttpServer::touch(Connection& connection)
{
    connection.deadline = Clock::now() + requestTimeout_;
    byDeadline_.splice(byDeadline_.end(), byDeadline_, connection.place);
    std::list<int>& mine = peers_.at(connection.peer);
    mine.splice(mine.end(), mine, connection.peerPlace);
}

void HttpServer::close(int fd)
{
    auto found = connections_.find(fd);
    if (found == connections_.end())
        return;
    byDeadline_.erase(found->second.place);
    auto peer = peers_.find(found->second.peer);
    peer->second.erase(found->second.peerPlace);
    if (peer->second.empty())
        peers_.erase(peer);
    connections_.erase(found);
    ::close(fd);
}
