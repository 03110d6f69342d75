// The machine profile's text: the key listing's own lines, read back into keys.
#include "backends/KeyStore.h"

#include "backends/CallRecord.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <unordered_map>

namespace platform {

std::string fourCharText(FourCharCode code)
{
    return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

namespace {

// "  KKKK  [TTTT]  <number> (bytes xx xx)" or "  KKKK  [TTTT]  no data";
// the number is the listing's decoding and is not read back.
std::optional<std::string> parseKeyLine(std::string_view line, SMCKeyEntry& entry)
{
    if (line.size() < 16 || line.substr(0, 2) != "  " || line.substr(6, 3) != "  [" ||
        line.substr(13, 3) != "]  ")
        return "expected a key line \"  KEY   [TYPE]  ...\" with a four-character key and type";
    entry.key = fourCharCode(line.substr(2, 4));
    entry.type = fourCharCode(line.substr(9, 4));
    std::string_view value = line.substr(16);
    if (value == "no data")
        return std::nullopt;
    size_t open = value.find("(bytes");
    if (open == std::string_view::npos || value.back() != ')')
        return "expected \"no data\" or \"(bytes ...)\" after the type";
    // The listing shows a type "ui8" that lacks its blank as "[ui8 ]" without
    // the number that "ui8 " would get; read it back as it was.
    if (entry.type == fourCharCode("ui8 ") && open == 0)
        entry.type = fourCharCode({"ui8\0", 4});
    std::string_view bytes = value.substr(open + 6, value.size() - open - 7);
    while (!bytes.empty()) {
        int high = bytes.size() >= 3 ? hexValue(bytes[1]) : -1;
        int low = bytes.size() >= 3 ? hexValue(bytes[2]) : -1;
        if (bytes[0] != ' ' || high < 0 || low < 0)
            return "value bytes must be \" xx\" pairs of hex digits";
        if (entry.size == entry.bytes.size())
            return "a value holds at most 32 bytes";
        entry.bytes[entry.size++] = uint8_t(high << 4 | low);
        bytes.remove_prefix(3);
    }
    return std::nullopt;
}

std::optional<std::string> parseMarker(std::string_view line, SMCKeyEntry& entry)
{
    std::istringstream words{std::string(line.substr(1))};
    std::string word, exchange, status, extra;
    words >> word >> exchange >> status >> extra;
    if (word == "writable" && exchange.empty()) {
        entry.writable = true;
        return std::nullopt;
    }
    static constexpr std::string_view kinds[] = {"info", "read", "write", "index"};
    if (word == "fail" && !status.empty() && extra.empty()) {
        for (size_t kind = 0; kind < std::size(kinds); ++kind) {
            if (exchange != kinds[kind])
                continue;
            errno = 0;
            char* end = nullptr;
            unsigned long value = std::strtoul(status.c_str(), &end, 16);
            if (*end != '\0' || errno != 0 || value == 0 || value > 0xffffffffUL)
                return "a failure status is a nonzero 32-bit hex number";
            entry.failures[kind] = kern_return_t(uint32_t(value));
            return std::nullopt;
        }
    }
    return "unknown marker; expected \"! writable\" or \"! fail info|read|write|index STATUS\"";
}

}  // namespace

std::optional<ProfileError> parseSMCProfile(std::string_view text, std::vector<SMCKeyEntry>& keys)
{
    std::unordered_map<FourCharCode, size_t> lineOfKey;
    size_t number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.find_first_not_of(' ') == std::string_view::npos || line[0] == '#')
            continue;
        std::optional<std::string> problem;
        if (line[0] == '!') {
            if (keys.empty())
                problem = "a marker must follow a key line";
            else
                problem = parseMarker(line, keys.back());
        } else {
            SMCKeyEntry entry;
            problem = parseKeyLine(line, entry);
            if (!problem) {
                auto [first, added] = lineOfKey.emplace(entry.key, number);
                if (added)
                    keys.push_back(entry);
                else
                    problem = "key \"" + fourCharText(entry.key) + "\" is already on line " +
                              std::to_string(first->second);
            }
        }
        if (problem)
            return ProfileError{number, std::move(*problem)};
    }
    return std::nullopt;
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
