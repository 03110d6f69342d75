// A small HTTP/1.1 server for GET and HEAD: one thread, one epoll loop, so
// that an idle or slow connection costs a few kilobytes and never a thread.
#pragma once

#include "host/HttpSession.h"

#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

class HttpServer {
public:
    // How long a connection may take to send a whole request head, from
    // its accept or its last answer; a slow or silent one is closed.
    static constexpr std::chrono::milliseconds kRequestTimeout{10'000};

    // New connections taken at a time before the open ones are served again.
    static constexpr int kAcceptBatch = 16;

    // At most `maxConnections` open at once and `maxPerPeer` from one peer
    // (an IPv4 address, an IPv6 /64). A peer at its share loses its own
    // connection that has waited longest for a request; when all are taken,
    // the peer holding the most loses its longest-waiting one. Each turn of
    // the loop answers at most one request per connection.
    HttpServer(HttpHandler handler, size_t maxConnections, size_t maxPerPeer,
               std::chrono::milliseconds requestTimeout = kRequestTimeout);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on a numeric IPv4 or IPv6 address; port 0 takes a free one.
    // False, with `error` in words, when it cannot.
    bool listen(const std::string& host, int port, std::string& error);
    int port() const { return port_; }
    // Serves until stop() or until `stopFd` (when not -1) turns readable;
    // `onStopFd` says whether that readiness means stop. False when the
    // loop itself failed.
    bool run(int stopFd = -1, const std::function<bool()>& onStopFd = {});
    // Ends run(), from any thread.
    void stop();

private:
    struct Connection;
    using Clock = std::chrono::steady_clock;

    void accept();
    // Adds an accepted connection from `peer`, making room first.
    void admit(int fd, const std::string& peer);
    // Closes the longest-waiting connection of the peer that holds the most.
    void evictBusiest();
    void serve(int fd);
    void close(int fd);
    // Writes what is pending; false when the connection has ended.
    bool flush(Connection& connection);
    void watch(Connection& connection);
    // Starts the connection's time for its next request afresh.
    void touch(Connection& connection);

    HttpHandler handler_;
    size_t maxConnections_;
    size_t maxPerPeer_;
    std::chrono::milliseconds requestTimeout_;
    int listener_ = -1;
    int spare_ = -1;  // given up to accept and drop a connection when out of descriptors
    int epoll_ = -1;
    int wake_ = -1;
    int port_ = 0;
    std::map<int, Connection> connections_;
    std::list<int> byDeadline_;  // connections, the earliest deadline first
    std::map<std::string, std::list<int>> peers_;  // each peer's connections, the earliest deadline first
    std::vector<int> again_;  // answered with more bytes buffered: served again next turn
    unsigned turn_ = 0;
};
