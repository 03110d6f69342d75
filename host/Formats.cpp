#include "host/Formats.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

void appendf(std::string& out, const char* format, auto... arguments)
{
    char line[256];
    int length = std::snprintf(line, sizeof line, format, arguments...);
    if (length <= 0)
        return;
    if (size_t(length) < sizeof line) {
        out.append(line, size_t(length));
        return;
    }
    // A long name: measure, then print in place.
    size_t start = out.size();
    out.resize(start + size_t(length) + 1);
    std::snprintf(out.data() + start, size_t(length) + 1, format, arguments...);
    out.resize(start + size_t(length));
}

std::string optionalNumber(const std::optional<int32_t>& value)
{
    return value ? std::to_string(*value) : "?";
}

const char* degreeSign(bool fahrenheit)
{
    return fahrenheit ? "°F" : "°C";
}

// The shortest text that reads back as the same double: sp78 readings are
// exact in binary, so 50.5 stays 50.5.
std::string number(double value)
{
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : "NaN";
}

// A label value of the exposition format: backslash, quote and newline
// escaped, and UTF-8 throughout, which the format requires.
std::string labelValue(const std::string& text)
{
    std::string escaped;
    for (char c : validUtf8(text)) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return escaped;
}

}  // namespace

std::string validUtf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t size = text.size();
    for (size_t i = 0; i < size;) {
        unsigned char lead = bytes[i];
        size_t length = lead < 0x80 ? 1 : lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3
                                     : lead >= 0xf0 && lead <= 0xf4 ? 4 : 0;
        bool valid = length != 0 && i + length <= size;
        for (size_t j = 1; valid && j < length; ++j)
            valid = (bytes[i + j] & 0xc0) == 0x80;
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
        if (valid && length >= 3) {
            unsigned char second = bytes[i + 1];
            valid = !(lead == 0xe0 && second < 0xa0) && !(lead == 0xed && second >= 0xa0) &&
                    !(lead == 0xf0 && second < 0x90) && !(lead == 0xf4 && second >= 0x90);
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xef\xbf\xbd";
            ++i;
        }
    }
    return out;
}

std::string printable(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if ((unsigned char)c < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

double displayDegrees(double celsius, bool fahrenheit)
{
    double degrees = fahrenheit ? celsius * 9 / 5 + 32 : celsius;
    return std::round(degrees * 10) / 10;
}

std::string formatText(const Report& report, bool fahrenheit)
{
    std::string out = "Temperatures\n";
    int group = 0;
    for (const TemperatureReading& reading : report.temperatures) {
        int priority = reading.priority && *reading.priority >= 1 && *reading.priority <= 4 ? *reading.priority : 5;
        if (priority != group) {
            group = priority;
            if (priority <= 4)
                appendf(out, "  priority %d\n", priority);
            else
                out += "  other sensors\n";
        }
        std::string name = printable(reading.name.empty() ? reading.key : reading.name);
        appendf(out, "    %-28s %6.1f %s\n", name.c_str(), displayDegrees(reading.celsius, fahrenheit),
                degreeSign(fahrenheit));
    }
    if (report.temperatures.empty())
        out += report.all ? "  no sensor reads a temperature on this machine\n"
                          : "  none of the keys reads a temperature on this machine\n";
    if (report.absent > 0)
        appendf(out, "  (%d %s as absent, at or below 0 °C or at 127 °C and above: not shown)\n", report.absent,
                report.absent == 1 ? "sensor reads" : "sensors read");

    out += "\nFans\n";
    if (!report.fanCountReadable)
        out += "  the fan count cannot be read\n";
    else if (report.fans.empty())
        out += "  no fans\n";
    for (const FanReading& fan : report.fans) {
        std::string name = printable(fan.name.empty() ? "?" : fan.name);
        appendf(out, "  %-30s %6s rpm  min %5s  max %5s  target %5s  %s\n", name.c_str(),
                optionalNumber(fan.rpm).c_str(), optionalNumber(fan.minimum).c_str(),
                optionalNumber(fan.maximum).c_str(), optionalNumber(fan.target).c_str(),
                fan.manual ? "manual" : "auto");
    }
    return out;
}

std::string formatJson(const Report& report)
{
    using Json = nlohmann::ordered_json;
    auto optional = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
    Json temperatures = Json::array();
    for (const TemperatureReading& reading : report.temperatures)
        temperatures.push_back({{"key", reading.key},
                                {"name", reading.name.empty() ? Json(nullptr) : Json(reading.name)},
                                {"priority", optional(reading.priority)},
                                {"celsius", reading.celsius}});
    Json fans = Json::array();
    for (const FanReading& fan : report.fans)
        fans.push_back({{"index", fan.index},
                        {"name", fan.name},
                        {"rpm", optional(fan.rpm)},
                        {"min", optional(fan.minimum)},
                        {"max", optional(fan.maximum)},
                        {"target", optional(fan.target)},
                        {"manual", fan.manual}});
    Json document = {{"schema", kReportSchemaVersion},
                     {"smc_up", report.smcUp},
                     {"temperatures", temperatures},
                     {"absent", report.absent},
                     {"fans", fans},
                     {"errors", report.errors}};
    // Names are the user's and the SMC's bytes: anything that is not UTF-8
    // becomes U+FFFD instead of an exception.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string formatPrometheus(const Report& report)
{
    std::string out;
    auto family = [&out](const char* name, const char* type, const char* help) {
        appendf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    };
    family("smc_temperature_celsius", "gauge", "Temperature of an SMC sensor in degrees Celsius.");
    for (const TemperatureReading& reading : report.temperatures)
        out += "smc_temperature_celsius{key=\"" + labelValue(reading.key) + "\",name=\"" +
               labelValue(reading.name.empty() ? reading.key : reading.name) + "\"} " + number(reading.celsius) +
               "\n";

    auto fanFamily = [&](const char* name, const char* help, auto value) {
        family(name, "gauge", help);
        for (const FanReading& fan : report.fans)
            if (std::optional<int32_t> sample = value(fan))
                out += std::string(name) + "{fan=\"" + std::to_string(fan.index) + "\",name=\"" +
                       labelValue(fan.name) + "\"} " + std::to_string(*sample) + "\n";
    };
    fanFamily("smc_fan_speed_rpm", "Actual speed of a fan in revolutions per minute.",
              [](const FanReading& fan) { return fan.rpm; });
    fanFamily("smc_fan_min_rpm", "Lowest speed the SMC drives a fan at.",
              [](const FanReading& fan) { return fan.minimum; });
    fanFamily("smc_fan_max_rpm", "Highest speed a fan can run at.", [](const FanReading& fan) { return fan.maximum; });
    fanFamily("smc_fan_target_rpm", "Speed the SMC drives a fan toward.",
              [](const FanReading& fan) { return fan.target; });
    fanFamily("smc_fan_manual", "1 when a fan's speed is forced by software, 0 when the SMC controls it.",
              [](const FanReading& fan) { return std::optional<int32_t>(fan.manual ? 1 : 0); });

    family("smc_up", "gauge", "1 when the SMC answered this scrape, else 0.");
    appendf(out, "smc_up %d\n", report.smcUp ? 1 : 0);
    family("smc_read_errors_total", "counter", "Reads of the SMC that failed since the exporter started.");
    out += "smc_read_errors_total " + std::to_string(report.readErrorsTotal) + "\n";
    return out;
}
