#include "smcd/FanBrokerSupport.h"
#include "encodings/Encodings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace smcd {

// Bytes a terminal could take for commands shown as '?'.
std::string printable(std::string text)
{
    for (char& c : text)
        if (c < 0x20 || c > 0x7e)
            c = '?';
    return text;
}

std::string keyText(FourCharCode key)
{
    return printable(fourCharText(key));
}

std::string secondsText(BrokerClock::duration duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
    return text;
}

std::string fanName(uint32_t fan)
{
    return "fan " + std::to_string(fan);
}

std::string statusText(kern_return_t status)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", unsigned(status));
    return text;
}

// Whole rpm as they are, fractions to two places at most.
std::string rpmText(double rpm)
{
    char text[64];  // the largest float has 39 digits
    std::snprintf(text, sizeof text, "%.2f", rpm);
    std::string result = text;
    while (result.back() == '0' && result.find('.') != std::string::npos)
        result.pop_back();
    if (result.back() == '.')
        result.pop_back();
    return result + " rpm";
}

bool isSpeed(FanKeyRole::Part part)
{
    return part == FanKeyRole::Part::Minimum || part == FanKeyRole::Part::Target;
}

bool isSpeedKey(FourCharCode key)
{
    std::optional<FanKeyRole> role = fanKeyRole(key);
    return role && isSpeed(role->part);
}

SavedValue* findValue(std::vector<SavedValue>& values, FourCharCode key)
{
    auto found = std::find_if(values.begin(), values.end(), [key](const SavedValue& v) { return v.key == key; });
    return found == values.end() ? nullptr : &*found;
}

void setValue(std::vector<SavedValue>& values, const SavedValue& value)
{
    if (SavedValue* existing = findValue(values, value.key))
        *existing = value;
    else
        values.push_back(value);
}

void eraseValue(std::vector<SavedValue>& values, FourCharCode key)
{
    std::erase_if(values, [key](const SavedValue& v) { return v.key == key; });
}

bool sameBytes(const SavedValue& a, const SavedValue& b)
{
    return a.size == b.size && std::memcmp(a.bytes.data(), b.bytes.data(), a.size) == 0;
}

// Equal values of a key of `type`. Speeds within a whole rpm count as equal:
// the driver's files carry whole rpm, so a quarter written comes back lost.
bool sameValue(FourCharCode type, const SavedValue& a, const SavedValue& b)
{
    auto first = encodings::speedFromBytes(type, a.bytes.data(), a.size);
    auto second = encodings::speedFromBytes(type, b.bytes.data(), b.size);
    if (a.size == b.size && isSpeedKey(a.key) && first && second)
        return std::fabs(*first - *second) < 1;
    return sameBytes(a, b);
}

bool bitOf(const SavedValue& mask, uint32_t fan)
{
    return fan < 16 && (encodings::unsignedFromBytes(mask.bytes.data(), 2) >> fan & 1);
}

// A value as people read it: a speed in rpm, any other byte by byte.
std::string valueText(FourCharCode type, const SavedValue& value)
{
    std::string text = keyText(value.key) + " ";
    auto rpm = encodings::speedFromBytes(type, value.bytes.data(), value.size);
    if (isSpeedKey(value.key) && rpm)
        return text + rpmText(*rpm);
    for (size_t i = 0; i < value.size; ++i)
        text += std::to_string(value.bytes[i]) + (i + 1 < value.size ? " " : "");
    return text;
}

std::string joined(const std::vector<std::string>& parts)
{
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : ", ") + part;
    return text;
}

std::string modeText(bool forced)
{
    return forced ? "manual mode (FS! bit)" : "automatic mode (FS! bit)";
}

}  // namespace smcd
