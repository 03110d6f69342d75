#include "host/HttpServer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <optional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string_view>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

namespace {

const char* reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

HttpAnswer plain(int status, const char* text)
{
    return {status, "text/plain; charset=utf-8", text};
}

void appendAnswer(std::string& out, const HttpAnswer& answer, bool head, const char* connection,
                  const char* extra = "")
{
    out += "HTTP/1.1 " + std::to_string(answer.status) + " " + reason(answer.status) + "\r\n";
    if (!answer.contentType.empty())
        out += "Content-Type: " + answer.contentType + "\r\n";
    out += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    out += extra;
    if (connection)
        out += std::string("Connection: ") + connection + "\r\n";
    out += "\r\n";
    if (!head)
        out += answer.body;
}

bool sameLetters(std::string_view left, std::string_view right)
{
    return left.size() == right.size() && std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
               return (a | 0x20) == (b | 0x20);
           });
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool hasToken(std::string_view list, std::string_view token)
{
    while (!list.empty()) {
        size_t comma = list.find(',');
        if (sameLetters(trim(list.substr(0, comma)), token))
            return true;
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    return false;
}

// Where the head ends: just past its blank line (lines may end in LF alone).
size_t headEnd(const std::string& buffer)
{
    for (size_t at = buffer.find('\n'); at != std::string::npos; at = buffer.find('\n', at + 1)) {
        if (at + 1 < buffer.size() && buffer[at + 1] == '\n')
            return at + 2;
        if (at + 2 < buffer.size() && buffer[at + 1] == '\r' && buffer[at + 2] == '\n')
            return at + 3;
    }
    return std::string::npos;
}

}  // namespace

void HttpSession::take(const char* data, size_t size)
{
    buffer_.append(data, size);
}

HttpSession::Step HttpSession::next(std::string& out)
{
    if (bodyLeft_ > 0) {
        size_t dropped = std::min(bodyLeft_, buffer_.size());
        buffer_.erase(0, dropped);
        bodyLeft_ -= dropped;
        if (bodyLeft_ > 0)
            return Step::Wait;
    }
    // Blank lines before a request are allowed.
    buffer_.erase(0, std::min(buffer_.find_first_not_of("\r\n"), buffer_.size()));
    size_t end = headEnd(buffer_);
    if (end == std::string::npos && buffer_.size() <= kHttpMaxHead)
        return Step::Wait;
    auto refuse = [&](int status, const char* text, const char* extra = "") {
        buffer_.clear();
        appendAnswer(out, plain(status, text), false, "close", extra);
        return Step::Close;
    };
    if (end == std::string::npos || end > kHttpMaxHead)
        return refuse(431, "The request head is too long.\n");

    std::string_view head(buffer_.data(), end);
    size_t lineEnd = head.find('\n');
    std::string_view requestLine = trim(head.substr(0, lineEnd));
    head.remove_prefix(lineEnd + 1);
    size_t firstSpace = requestLine.find(' '), secondSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || firstSpace == secondSpace)
        return refuse(400, "The request line is not METHOD TARGET VERSION.\n");
    std::string_view method = requestLine.substr(0, firstSpace);
    std::string_view target = trim(requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1));
    std::string_view version = requestLine.substr(secondSpace + 1);
    bool http10 = version == "HTTP/1.0";
    if (!http10 && version != "HTTP/1.1")
        return version.starts_with("HTTP/") ? refuse(505, "Only HTTP/1.0 and HTTP/1.1 are served.\n")
                                            : refuse(400, "The request line is not METHOD TARGET VERSION.\n");

    std::optional<size_t> contentLength;
    bool chunked = false, closeAsked = false, keepAliveAsked = false;
    while (!head.empty()) {
        lineEnd = head.find('\n');
        std::string_view line = trim(head.substr(0, lineEnd));
        head.remove_prefix(lineEnd + 1);
        if (line.empty())
            break;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return refuse(400, "A header line has no name.\n");
        std::string_view name = line.substr(0, colon), value = trim(line.substr(colon + 1));
        if (sameLetters(name, "Content-Length")) {
            // Past ten digits it is too long whatever its value.
            size_t length = value.size() > 10 ? kHttpMaxBody + 1 : 0;
            if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos)
                return refuse(400, "Content-Length is not a number.\n");
            for (char digit : value.substr(0, 10))
                length = length * 10 + size_t(digit - '0');
            if (contentLength && *contentLength != length)
                return refuse(400, "Content-Length is given twice.\n");
            contentLength = length;
        } else if (sameLetters(name, "Transfer-Encoding")) {
            chunked = true;
        } else if (sameLetters(name, "Connection")) {
            closeAsked |= hasToken(value, "close");
            keepAliveAsked |= hasToken(value, "keep-alive");
        }
    }

    // Refused before a byte of the body is read: nothing here takes one.
    bool headOnly = method == "HEAD";
    if (method != "GET" && !headOnly)
        return refuse(405, "Only GET and HEAD are served.\n", "Allow: GET, HEAD\r\n");
    if (chunked || contentLength.value_or(0) > kHttpMaxBody)
        return refuse(413, "A request to this server has no body.\n");

    std::string path(target.substr(0, target.find_first_of("?#")));  // before the views into the buffer go
    buffer_.erase(0, end);
    bodyLeft_ = contentLength.value_or(0);
    bool close = http10 ? !keepAliveAsked : closeAsked;
    HttpAnswer answer = !path.empty() && path[0] == '/' ? handler_(path) : plain(400, "The target is not a path.\n");
    appendAnswer(out, answer, headOnly, close ? "close" : http10 ? "keep-alive" : nullptr);
    return close ? Step::Close : Step::Answered;
}

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
    Clock::time_point deadline;
    std::list<int>::iterator place;
};

HttpServer::HttpServer(HttpHandler handler, size_t maxConnections, std::chrono::milliseconds requestTimeout)
    : handler_(std::move(handler)), maxConnections_(std::max<size_t>(maxConnections, 1)), requestTimeout_(requestTimeout)
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
        if (!byDeadline_.empty()) {
            auto left = connections_.at(byDeadline_.front()).deadline - now;
            timeout = int(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
        }
        int count = epoll_wait(epoll_, events, 64, timeout);
        if (count < 0 && errno != EINTR)
            return false;
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
    }
}

void HttpServer::accept()
{
    for (;;) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR)
            continue;
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !byDeadline_.empty()) {
            close(byDeadline_.front());
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
        // Full: the connection that has waited longest for its request goes.
        if (connections_.size() >= maxConnections_)
            close(byDeadline_.front());
        // Small answers: without this each waits for the peer's delayed
        // acknowledgement.
        int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        Connection& connection =
            connections_.emplace(std::piecewise_construct, std::forward_as_tuple(fd), std::forward_as_tuple(fd, handler_))
                .first->second;
        connection.place = byDeadline_.insert(byDeadline_.end(), fd);
        connection.deadline = Clock::now() + requestTimeout_;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0)
            close(fd);
    }
}

void HttpServer::serve(int fd)
{
    Connection& connection = connections_.at(fd);
    uint32_t ready = connection.events;
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
        if (ready & (EPOLLIN | EPOLLHUP)) {
            char data[kHttpReadSize];
            ssize_t got = recv(fd, data, sizeof data, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return close(fd);
            if (got > 0)
                connection.session.take(data, size_t(got));
        }
        bool answered = false;
        for (;;) {
            HttpSession::Step step = connection.session.next(connection.out);
            if (step == HttpSession::Step::Wait)
                break;
            answered = true;
            connection.closing = step == HttpSession::Step::Close;
            if (!flush(connection))
                return;
            if (connection.closing || !connection.out.empty())
                break;
        }
        if (answered)
            touch(connection);
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
}

void HttpServer::close(int fd)
{
    auto found = connections_.find(fd);
    if (found == connections_.end())
        return;
    byDeadline_.erase(found->second.place);
    connections_.erase(found);
    ::close(fd);
}
