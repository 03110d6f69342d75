// One HTTP/1.1 connection's requests, GET and HEAD only, as bytes in and
// answers out: no sockets, so that it can be tested and fuzzed alone.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// What the server answers for a path.
struct HttpAnswer {
    int status = 200;
    std::string contentType;
    std::string body;
};

// Answers a GET (or HEAD) of `path`, the query already taken off.
using HttpHandler = std::function<HttpAnswer(const std::string& path)>;

// A request head may be this long; a body this long is read and dropped,
// a longer one refused unread.
inline constexpr size_t kHttpMaxHead = 8192;
inline constexpr size_t kHttpMaxBody = 4096;
// Bytes taken from a connection at a time.
inline constexpr size_t kHttpReadSize = 4096;

// One connection's requests. What it buffers stays under
// kHttpMaxHead + kHttpReadSize when bytes are given no more than
// kHttpReadSize at a time and only after next() answered Wait.
class HttpSession {
public:
    enum class Step {
        Wait,      // no whole request yet
        Answered,  // an answer was appended; call next() again for the following request
        Close,     // an answer was appended; the connection ends after it
    };

    explicit HttpSession(const HttpHandler& handler) : handler_(handler) {}

    // Takes bytes read from the peer.
    void take(const char* data, size_t size);
    // Answers the next whole request buffered, if any, into `out`.
    Step next(std::string& out);
    // Bytes held: a partial request, or the start of a body to drop.
    size_t buffered() const { return buffer_.size(); }

private:
    const HttpHandler& handler_;
    std::string buffer_;
    size_t bodyLeft_ = 0;  // bytes of a small body still to drop
};
