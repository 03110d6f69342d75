// Keys kept in this process: the helpers of their text files.
#include "backends/KeyStore.h"

#include <cerrno>
#include <cstdio>

namespace platform {

std::string_view takeLine(std::string_view& text)
{
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return line;
}

bool readTextFile(const char* path, std::string& text)
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    char buffer[8192];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    bool ok = !std::ferror(file);
    int saved = errno;
    std::fclose(file);
    errno = saved;
    return ok;
}

}  // namespace platform
