// The exporter's request handling: any bytes from a peer, given in pieces
// as the server reads them, get whole answers with a known status, reach
// the handler only as a path, and never make the connection hold more than
// a request head and one read.
#include "host/HttpSession.h"
#include "support/FuzzSupport.h"

#include <algorithm>

using fuzz_support::check;
using fuzz_support::escaped;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte is the size of the pieces the rest arrives in.
    size_t piece = size_t(std::max(data[0] & 0x7f, 1)) * (data[0] & 0x80 ? 32 : 1);
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    size_t calls = 0;
    HttpHandler handler = [&calls](const std::string& path) {
        check(!path.empty() && path[0] == '/' && path.find_first_of("?#") == std::string::npos,
              "the handler gets a path without its query", escaped(path));
        ++calls;
        return HttpAnswer{path == "/metrics" ? 200 : 404, "text/plain", "body\n"};
    };
    HttpSession session(handler);
    size_t answers = 0;
    bool closed = false;
    for (size_t at = 0; !closed;) {
        std::string out;
        HttpSession::Step step;
        while ((step = session.next(out)) == HttpSession::Step::Answered)
            ++answers;
        closed = step == HttpSession::Step::Close;
        answers += closed;
        check(session.buffered() <= kHttpMaxHead, "a waiting connection holds at most a request head",
              std::to_string(session.buffered()));
        for (size_t start = 0; start < out.size();) {
            check(out.compare(start, 9, "HTTP/1.1 ") == 0 && out.size() >= start + 12,
                  "every answer starts with a status line", escaped(out.substr(start, 64)));
            int status = std::stoi(out.substr(start + 9, 3));
            check(status == 200 || status == 400 || status == 404 || status == 405 || status == 413 ||
                      status == 431 || status == 505,
                  "the status is one the server gives", escaped(out.substr(start, 64)));
            size_t headEnd = out.find("\r\n\r\n", start);
            check(headEnd != std::string::npos, "every answer has a whole head", escaped(out.substr(start)));
            size_t length = out.find("Content-Length: ", start);
            check(length != std::string::npos && length < headEnd, "every answer gives its length",
                  escaped(out.substr(start, headEnd - start)));
            size_t bodySize = std::stoul(out.substr(length + 16));
            bool headOnly = out.size() == headEnd + 4 || out.compare(headEnd + 4, 9, "HTTP/1.1 ") == 0;
            start = headEnd + 4 + (headOnly && bodySize > 0 ? 0 : bodySize);
        }
        if (closed || at >= input.size())
            break;
        size_t take = std::min(piece, input.size() - at);
        session.take(input.data() + at, take);
        at += take;
    }
    check(calls <= answers, "the handler runs only for a request answered",
          std::to_string(calls) + " calls, " + std::to_string(answers) + " answers");
    return 0;
}
