#include "host/HttpSession.h"

#include <algorithm>
#include <optional>
#include <string_view>

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
            if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos)
                return refuse(400, "Content-Length is not a number.\n");
            // Anything past the largest body taken is refused alike: no
            // need to know by how much, nor to overflow finding out.
            size_t length = 0;
            for (char digit : value)
                length = std::min(length * 10 + size_t(digit - '0'), kHttpMaxBody + 1);
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
