#include "host/KeysTable.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <unordered_map>

namespace {

std::string_view trim(std::string_view text)
{
    size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string_view::npos)
        return {};
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(start, end - start + 1);
}

std::string_view nextField(std::string_view& text)
{
    text = trim(text);
    size_t end = text.find_first_of(" \t");
    std::string_view field = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
    return field;
}

}  // namespace

std::optional<std::vector<KeyEntry>> parseKeysTable(std::string_view text, std::string& error)
{
    std::vector<KeyEntry> entries;
    std::unordered_map<std::string, size_t> lineOfKey;
    for (size_t number = 1; !text.empty(); ++number) {
        size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line[0] == '#')
            continue;
        auto fail = [&](const std::string& problem) {
            error = std::to_string(number) + ": " + problem;
            return std::nullopt;
        };
        KeyEntry entry;
        entry.key = nextField(line);
        if (entry.key.size() != 4)
            return fail("the key \"" + entry.key + "\" is not four characters");
        std::string priority(nextField(line));
        char* parsed = nullptr;
        errno = 0;
        long value = std::strtol(priority.c_str(), &parsed, 10);
        if (priority.empty() || *parsed != '\0' || errno != 0 || value < INT_MIN || value > INT_MAX)
            return fail("expected a priority after the key, a whole number (1 to 4 are shown)");
        entry.priority = int(value);
        entry.name = trim(line);
        auto [first, added] = lineOfKey.emplace(entry.key, number);
        if (!added)
            return fail("the key " + entry.key + " is already on line " + std::to_string(first->second));
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string_view defaultKeysTable()
{
    return R"(# key  priority  display name
TC0D  1  CPU Die
TC0P  1  CPU Proximity
TC1D  1  CPU Core 2 Die
TG0D  1  GPU Die
TC0H  2  CPU A Heatsink
TCAH  2  CPU Heatsink 1
TCBH  2  CPU Heatsink 2
TG0P  2  GPU Proximity
TG0H  2  GPU Heatsink
TN0D  2  Northbridge Die
TN0P  2  Northbridge Proximity
TM0P  2  Memory Proximity
TM0S  2  Memory Slot
TB0T  3  Battery
TB1T  3  Battery Cell 1
TB2T  3  Battery Cell 2
TH0P  3  Drive Bay
TPCD  3  Platform Controller Die
TW0P  3  Wireless Module
TA0P  4  Ambient
TL0P  4  Display
Ts0P  4  Palm Rest
Ts0S  4  Palm Rest Surface
TI0P  4  Thunderbolt Port
)";
}

std::span<const FloatSensorKey> floatSensorKeys()
{
    static constexpr FloatSensorKey kKeys[] = {
        {"TH0x", Quantity::Temperature}, {"TCHP", Quantity::Temperature}, {"PSTR", Quantity::Power},
        {"PDTR", Quantity::Power},       {"PMVR", Quantity::Power},       {"PHPC", Quantity::Power},
        {"VD0R", Quantity::Voltage},     {"SBAV", Quantity::Voltage},     {"ID0R", Quantity::Current},
    };
    return kKeys;
}

bool isCpuDieKey(const std::string& key)
{
    return key == "TC0D" || key == "TC0E" || key == "TC0F" || key == "TC1D" || key == "TCXC";
}
