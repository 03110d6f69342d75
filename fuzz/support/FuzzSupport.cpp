#include "support/FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz_support {
namespace {

// Standard error as it was at the start: libFuzzer's -close_fd_mask=2 closes
// the target's, and a broken invariant must still be told.
const int reportFd = dup(STDERR_FILENO);

}  // namespace

void discardStdout()
{
    std::fflush(stdout);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) {
        std::perror("fuzz: /dev/null");
        std::abort();
    }
    close(null);
}

std::string captureStdout(const std::function<void()>& body)
{
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int buffer = memfd_create("fuzz-stdout", MFD_CLOEXEC);
    if (saved < 0 || buffer < 0 || dup2(buffer, STDOUT_FILENO) < 0) {
        std::perror("fuzz: capturing standard output");
        std::abort();
    }
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string text;
    char chunk[4096];
    ssize_t got;
    lseek(buffer, 0, SEEK_SET);
    while ((got = read(buffer, chunk, sizeof chunk)) > 0)
        text.append(chunk, size_t(got));
    close(buffer);
    return text;
}

void check(bool holds, const char* what, const std::string& details)
{
    if (holds)
        return;
    dprintf(reportFd < 0 ? STDERR_FILENO : reportFd, "invariant broken: %s\n%s\n", what, details.c_str());
    std::abort();
}

uint8_t InputReader::byte()
{
    uint8_t value = 0;
    bytes(&value, 1);
    return value;
}

uint32_t InputReader::word()
{
    uint8_t b[4] = {};
    bytes(b, sizeof b);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

size_t InputReader::bytes(void* out, size_t count)
{
    size_t available = count < remaining() ? count : remaining();
    std::memcpy(out, data_ + used_, available);
    std::memset(static_cast<uint8_t*>(out) + available, 0, count - available);
    used_ += available;
    if (available < count)
        exhausted_ = true;
    return available;
}

std::string escaped(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n' || (c >= 0x20 && c < 0x7f)) {
            out += char(c);
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        }
    }
    return out;
}

}  // namespace fuzz_support
