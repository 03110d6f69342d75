#include "host/Formats.h"

#include "smc-sensors/version.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

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

}  // namespace

const char* modeWord(const FanReading& fan)
{
    // Without a mode key the SMC alone drives the fan.
    if (!fan.hasModeKey)
        return "auto";
    return !fan.manual ? "?" : *fan.manual ? "manual" : "auto";
}

std::string controllerWords(const Report& report, const FanReading& fan)
{
    if (!fan.driven || report.controller.empty())
        return {};
    std::string words = "driven by " + printable(report.controller);
    if (fan.controllerTarget) {
        char target[32];
        std::snprintf(target, sizeof target, ", target %.0f", *fan.controllerTarget);
        words += target;
    }
    return words;
}

namespace {

// The shortest text that reads back as the same double: sp78 readings are
// exact in binary, so 50.5 stays 50.5.
std::string number(double value, bool single = false)
{
    char text[32];
    // A float's own shortest digits: 38.7, not the 38.70000076293945 that
    // the double it widens to would print.
    auto [end, error] = single ? std::to_chars(text, text + sizeof text, float(value))
                               : std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : "NaN";
}

// What each quantity is called and measured in, by the formats.
struct QuantityWords {
    Quantity quantity;
    const char* unit;    // the text report's
    const char* field;   // JSON's array and value field
    const char* valueField;
    const char* metric;  // Prometheus's family
    const char* help;
};
constexpr QuantityWords kQuantities[] = {
    {Quantity::Power, "W", "power", "watts", "smc_power_watts", "Power an SMC sensor measures, in watts."},
    {Quantity::Voltage, "V", "voltage", "volts", "smc_voltage_volts", "Voltage an SMC sensor measures, in volts."},
    {Quantity::Current, "A", "current", "amperes", "smc_current_amperes",
     "Current an SMC sensor measures, in amperes."},
};

constexpr const char* kNoDieTemperature = "no CPU die temperature: this machine's SMC exposes none";

// Appends a label value of the exposition format: backslash, quote and
// newline escaped, and UTF-8 throughout, which the format requires.
void appendLabelValue(std::string& out, const std::string& text)
{
    bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        return (unsigned char)c < 0x80 && c != '\\' && c != '"' && c != '\n';
    });
    if (plain) {
        out += text;
        return;
    }
    for (char c : validUtf8(text)) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
}

// The printable-name rule: a control character shows as '?'.
char printableChar(char c)
{
    return (unsigned char)c < 0x20 || c == 0x7f ? '?' : c;
}

// Appends `text` with control characters replaced by '?'.
void appendPrintable(std::string& out, const std::string& text)
{
    size_t start = out.size();
    out += text;
    for (size_t i = start; i < out.size(); ++i)
        out[i] = printableChar(out[i]);
}

// `decimals` decimals, right-aligned in `width` columns.
void appendFixed(std::string& out, double value, size_t width, int decimals = 1)
{
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    size_t length = error == std::errc() ? size_t(end - text) : 0;
    if (length < width)
        out.append(width - length, ' ');
    out.append(text, length);
}

// "    NAME   12.3 UNIT": a sensor's line of the text report.
void appendReadingLine(std::string& out, const std::string& name, double value, int decimals, const char* unit)
{
    out += "    ";
    appendPrintable(out, name);
    if (name.size() < 28)
        out.append(28 - name.size(), ' ');
    out += ' ';
    appendFixed(out, value, 6, decimals);
    out += ' ';
    out += unit;
    out += '\n';
}

// Appends a JSON string: UTF-8 throughout (anything else becomes U+FFFD),
// quotes, backslashes and control characters escaped.
void appendJsonString(std::string& out, const std::string& text)
{
    out += '"';
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c != '"' && c != '\\'; })) {
        out += text;  // printable ASCII: nothing to escape
        out += '"';
        return;
    }
    for (char c : validUtf8(text)) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if ((unsigned char)c < 0x20)
                appendf(out, "\\u%04x", unsigned(c));
            else
                out += c;
        }
    }
    out += '"';
}

// Always with a decimal point, so that readers take it as the fraction it is.
std::string jsonNumber(double value, bool single = false)
{
    std::string text = number(value, single);
    if (text.find_first_of(".eE") == std::string::npos)
        text += ".0";
    return text;
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
        c = printableChar(c);
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
    out.reserve(512 + 48 * report.temperatures.size());
    int group = 0;
    for (const TemperatureReading& reading : report.temperatures) {
        int priority = displayGroup(reading.priority);
        if (priority != group) {
            group = priority;
            if (priority <= 4)
                appendf(out, "  priority %d\n", priority);
            else
                out += "  other sensors\n";
        }
        appendReadingLine(out, reading.name.empty() ? reading.key : reading.name,
                          displayDegrees(reading.celsius, fahrenheit), 1, degreeSign(fahrenheit));
    }
    if (report.temperatures.empty())
        out += report.all ? "  no sensor reads a temperature on this machine\n"
                          : "  none of the keys reads a temperature on this machine\n";
    if (report.absent > 0)
        appendf(out, "  (%d %s as absent, at or below 0 °C or at 127 °C and above: not shown)\n", report.absent,
                report.absent == 1 ? "sensor reads" : "sensors read");
    if (report.electrical && !report.dieTemperature)
        appendf(out, "  %s\n", kNoDieTemperature);
    if (report.electrical) {
        out += "\nPower, voltage and current\n";
        if (report.readings.empty())
            out += "  none could be read\n";
        for (const QuantityWords& words : kQuantities)
            for (const ElectricalReading& reading : report.readings)
                if (reading.quantity == words.quantity)
                    appendReadingLine(out, reading.name.empty() ? reading.key : reading.name,
                                      std::round(reading.value * 100) / 100, 2, words.unit);  // halves away from zero
    }

    out += "\nFans\n";
    if (!report.fanCountReadable)
        out += "  the fan count cannot be read\n";
    else if (report.fans.empty())
        out += "  no fans\n";
    for (const FanReading& fan : report.fans) {
        std::string name = printable(fan.name.empty() ? "?" : fan.name);
        std::string driver = controllerWords(report, fan);
        appendf(out, "  %-30s %6s rpm  min %5s  max %5s  target %5s  %s%s%s\n", name.c_str(),
                optionalNumber(fan.rpm).c_str(), optionalNumber(fan.minimum).c_str(),
                optionalNumber(fan.maximum).c_str(), optionalNumber(fan.target).c_str(), modeWord(fan),
                driver.empty() ? "" : ", ", driver.c_str());
    }
    return out;
}

std::string formatJson(const Report& report)
{
    // Written by hand rather than through a JSON library: the report is a
    // fixed shape, and building a document first cost more than the SMC
    // reads it reports.
    std::string out;
    out.reserve(512 + 128 * report.temperatures.size() + 160 * report.fans.size());
    auto field = [&out](const char* name) {
        out += "      \"";
        out += name;
        out += "\": ";
    };
    auto optional = [&out](const auto& value) {
        if (value)
            out += std::to_string(*value);
        else
            out += "null";
    };
    out += "{\n  \"schema\": " + std::to_string(kReportSchemaVersion) + ",\n  \"smc_up\": ";
    out += report.smcUp ? "true" : "false";
    out += ",\n  \"temperatures\": [";
    for (size_t i = 0; i < report.temperatures.size(); ++i) {
        const TemperatureReading& reading = report.temperatures[i];
        out += i ? ",\n    {\n" : "\n    {\n";
        field("key");
        appendJsonString(out, reading.key);
        out += ",\n";
        field("name");
        if (reading.name.empty())
            out += "null";
        else
            appendJsonString(out, reading.name);
        out += ",\n";
        field("priority");
        optional(reading.priority);
        out += ",\n";
        field("celsius");
        out += jsonNumber(reading.celsius, reading.single);
        out += "\n    }";
    }
    out += report.temperatures.empty() ? "],\n" : "\n  ],\n";
    out += "  \"absent\": " + std::to_string(report.absent) + ",\n";
    if (report.electrical) {
        out += "  \"cpu_die_temperature\": ";
        out += report.dieTemperature ? "true,\n" : "false,\n";
        for (const QuantityWords& words : kQuantities) {
            out += "  \"" + std::string(words.field) + "\": [";
            const char* separator = "\n    ";
            for (const ElectricalReading& reading : report.readings) {
                if (reading.quantity != words.quantity)
                    continue;
                out += std::exchange(separator, ",\n    ");
                out += "{\"key\": ";
                appendJsonString(out, reading.key);
                out += ", \"name\": ";
                if (reading.name.empty())
                    out += "null";
                else
                    appendJsonString(out, reading.name);
                out += ", \"" + std::string(words.valueField) + "\": " + jsonNumber(reading.value, true) + "}";
            }
            out += *separator == ',' ? "\n  ],\n" : "],\n";
        }
    }
    out += "  \"fans\": [";
    for (size_t i = 0; i < report.fans.size(); ++i) {
        const FanReading& fan = report.fans[i];
        out += i ? ",\n    {\n" : "\n    {\n";
        field("index");
        out += std::to_string(fan.index);
        out += ",\n";
        field("name");
        appendJsonString(out, fan.name);
        const std::pair<const char*, const std::optional<int32_t>*> speeds[] = {
            {"rpm", &fan.rpm}, {"min", &fan.minimum}, {"max", &fan.maximum}, {"target", &fan.target}};
        for (const auto& [name, value] : speeds) {
            out += ",\n";
            field(name);
            optional(*value);
        }
        out += ",\n";
        field("manual");
        out += !fan.hasModeKey ? "false" : !fan.manual ? "null" : *fan.manual ? "true" : "false";
        if (fan.driven && !report.controller.empty()) {
            out += ",\n";
            field("controller");
            out += "{\"name\": ";
            appendJsonString(out, report.controller);
            out += ", \"pid\": " + std::to_string(report.controllerPid) + ", \"target\": ";
            out += fan.controllerTarget ? jsonNumber(*fan.controllerTarget) : "null";
            out += "}";
        }
        out += "\n    }";
    }
    out += report.fans.empty() ? "],\n" : "\n  ],\n";
    out += "  \"errors\": [";
    for (size_t i = 0; i < report.errors.size(); ++i) {
        out += i ? ",\n    " : "\n    ";
        appendJsonString(out, report.errors[i]);
    }
    out += report.errors.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

std::string formatPrometheus(const Report& report)
{
    std::string out;
    out.reserve(2048 + 96 * report.temperatures.size());
    auto family = [&out](const char* name, const char* type, const char* help) {
        appendf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    };
    family("smc_temperature_celsius", "gauge", "Temperature of an SMC sensor in degrees Celsius.");
    for (const TemperatureReading& reading : report.temperatures) {
        out += "smc_temperature_celsius{key=\"";
        appendLabelValue(out, reading.key);
        out += "\",name=\"";
        appendLabelValue(out, reading.name.empty() ? reading.key : reading.name);
        out += "\"} ";
        out += number(reading.celsius, reading.single);
        out += '\n';
    }
    // Only where the SMC has such sensors: no family at all on other machines.
    for (const QuantityWords& words : report.electrical ? std::span(kQuantities) : std::span<const QuantityWords>()) {
        family(words.metric, "gauge", words.help);
        for (const ElectricalReading& reading : report.readings) {
            if (reading.quantity != words.quantity)
                continue;
            out += words.metric;
            out += "{key=\"";
            appendLabelValue(out, reading.key);
            out += "\",name=\"";
            appendLabelValue(out, reading.name.empty() ? reading.key : reading.name);
            out += "\"} ";
            out += number(reading.value, true);
            out += '\n';
        }
    }

    auto fanFamily = [&](const char* name, const char* help, auto value) {
        family(name, "gauge", help);
        for (const FanReading& fan : report.fans)
            if (std::optional<int32_t> sample = value(fan)) {
                out += name;
                out += "{fan=\"";
                out += std::to_string(fan.index);
                out += "\",name=\"";
                appendLabelValue(out, fan.name);
                out += "\"} ";
                out += std::to_string(*sample);
                out += '\n';
            }
    };
    fanFamily("smc_fan_speed_rpm", "Actual speed of a fan in revolutions per minute.",
              [](const FanReading& fan) { return fan.rpm; });
    fanFamily("smc_fan_min_rpm", "Lowest speed the SMC drives a fan at.",
              [](const FanReading& fan) { return fan.minimum; });
    fanFamily("smc_fan_max_rpm", "Highest speed a fan can run at.", [](const FanReading& fan) { return fan.maximum; });
    fanFamily("smc_fan_target_rpm", "Speed the SMC drives a fan toward.",
              [](const FanReading& fan) { return fan.target; });
    fanFamily("smc_fan_manual", "1 when a fan's speed is forced by software, 0 when the SMC controls it.",
              [](const FanReading& fan) {
                  return fan.hasModeKey && fan.manual ? std::optional<int32_t>(*fan.manual) : std::nullopt;
              });

    // Only while a controller drives a fan: no family at all otherwise.
    auto controllerTarget = [&report](const FanReading& fan) -> std::optional<int32_t> {
        if (report.controller.empty() || !fan.driven || !fan.controllerTarget)
            return std::nullopt;
        // Rounded as the text report's "target 2400" is.
        return int32_t(std::nearbyint(std::clamp(*fan.controllerTarget, -1e9, 1e9)));
    };
    if (std::any_of(report.fans.begin(), report.fans.end(),
                    [&](const FanReading& fan) { return controllerTarget(fan).has_value(); }))
        fanFamily("smc_fan_controller_target_rpm",
                  "Speed the fan controller last set for a fan it drives, in revolutions per minute.", controllerTarget);

    if (report.electrical) {
        family("smc_cpu_die_temperature_present", "gauge",
               "1 when the SMC exposes a CPU die temperature, 0 when it exposes none.");
        appendf(out, "smc_cpu_die_temperature_present %d\n", report.dieTemperature ? 1 : 0);
    }
    family("smc_up", "gauge", "1 when the SMC answered this scrape, else 0.");
    appendf(out, "smc_up %d\n", report.smcUp ? 1 : 0);
    family("smc_read_errors_total", "counter", "Reads of the SMC that failed since the exporter started.");
    out += "smc_read_errors_total " + std::to_string(report.readErrorsTotal) + "\n";
    family("smc_build_info", "gauge", "Always 1; the version of sensors-host that serves these metrics.");
    out += "smc_build_info{version=\"" SMC_SENSORS_VERSION "\"} 1\n";
    return out;
}

namespace {

constexpr OutputFormatRow kOutputFormats[] = {
    {OutputFormat::Text, nullptr, 0, "", true,
     [](const Report& report, bool fahrenheit) { return formatText(report, fahrenheit); }},
    {OutputFormat::Json, "json", 'j', "    -j, --json             one JSON document\n", false,
     [](const Report& report, bool) { return formatJson(report); }},
    {OutputFormat::Prometheus, "prometheus", 0,
     "        --prometheus       one report in Prometheus's text exposition format\n", false,
     [](const Report& report, bool) { return formatPrometheus(report); }},
};

constexpr bool rowsInEnumOrder()
{
    for (size_t i = 0; i < std::size(kOutputFormats); ++i)
        if (size_t(kOutputFormats[i].format) != i)
            return false;
    return true;
}
static_assert(rowsInEnumOrder(), "outputFormat() indexes the table by the enum");

}  // namespace

std::span<const OutputFormatRow> outputFormats()
{
    return kOutputFormats;
}

const OutputFormatRow& outputFormat(OutputFormat format)
{
    return kOutputFormats[size_t(format)];
}

std::string formatReport(const Report& report, OutputFormat format, bool fahrenheit)
{
    return outputFormat(format).write(report, fahrenheit);
}
