// The tool's words for what went wrong, on standard error.
#include "smc/tool/smctool.h"

#include <cstdarg>
#include <cstdio>

namespace smctool {
namespace {

// Every status the platform's services answer, in words.
constexpr struct {
    kern_return_t status;
    const char* words;
} kStatusWords[] = {
    {kIOReturnError, "general error"},
    {kIOReturnNoDevice, "the SMC device is gone"},
    {kIOReturnNotPrivileged, "not permitted"},
    {kIOReturnBadArgument, "the SMC refused the request"},
    {kIOReturnUnsupported, "not supported by the SMC"},
    {kIOReturnIOError, "input/output error in the SMC"},
    {kIOReturnBusy, "the SMC is busy"},
    {kIOReturnNotOpen, "no connection to the SMC"},
    {kIOReturnNotWritable, "the key is not writable"},
    {kIOReturnNotResponding, "the SMC is not responding"},
    {kIOReturnNotFound, "no such key"},
    {kIOReturnNotReadable, "the key cannot be read"},
};

}  // namespace

const char* statusWords(kern_return_t status)
{
    for (const auto& entry : kStatusWords)
        if (entry.status == status)
            return entry.words;
    return "unknown status";
}

bool smcIsGone(kern_return_t status)
{
    return status == kIOReturnNotOpen || status == kIOReturnNotResponding || status == kIOReturnNoDevice;
}

void say(const char* format, ...)
{
    // One write for the whole line, so that lines of two processes sharing
    // the terminal do not interleave.
    char line[512] = "smc: ";
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line + 5, sizeof line - 6, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "%s\n", line);
}

void sayFailure(const char* subject, const char* action, kern_return_t status)
{
    say("%s: %s failed: %08x (%s)", subject, action, unsigned(status), statusWords(status));
}

std::string shownKey(const char* key)
{
    std::string shown;
    for (size_t i = 0; i < 4 && key[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(key[i]);
        if (c >= 0x20 && c < 0x7f) {
            shown += char(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        }
    }
    return shown;
}

}  // namespace smctool
