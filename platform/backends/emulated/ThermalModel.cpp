// The thermal model's pieces: the load trace, the keys' places, the heat.
#include "backends/emulated/ThermalModel.h"

#include "backends/CallRecord.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace platform {

namespace {

// One line's problem, or nothing when it was taken into `trace`.
std::optional<std::string> parseTraceLine(std::string_view line, size_t number, LoadTrace& trace)
{
    std::istringstream words{std::string(line)};
    std::vector<std::string> word;
    for (std::string w; words >> w;)
        word.push_back(w);
    if (word[0] == "start") {
        std::optional<double> celsius = word.size() == 3 ? parseDecimal(word[2]) : std::nullopt;
        if (!celsius || (word[1] != "die" && word[1] != "heatsink"))
            return "expected \"start die|heatsink CELSIUS\"";
        (word[1] == "die" ? trace.startDie : trace.startHeatsink) = *celsius;
        return std::nullopt;
    }
    std::optional<double> seconds = parseDecimal(word[0]);
    if (!seconds || *seconds < 0)
        return "expected a time in seconds, 0 or more, or \"start\", not \"" + word[0] + "\"";
    if (word.size() >= 2 && (word[1] == "fail" || word[1] == "stuck")) {
        bool fails = word[1] == "fail";
        std::optional<double> celsius = fails ? 0.0 : word.size() == 4 ? parseDecimal(word[3]) : std::nullopt;
        if (word.size() != (fails ? 3u : 4u) || word[2].size() != 4 || !celsius)
            return fails ? "expected \"SECONDS fail KEY\" with a four-character key"
                         : "expected \"SECONDS stuck KEY CELSIUS\" with a four-character key";
        trace.faults.push_back({number, *seconds, fourCharCode(word[2]), fails, *celsius});
        return std::nullopt;
    }
    if (word.size() >= 2 && word[1] == "suspend") {
        std::optional<double> duration = word.size() == 3 ? parseDecimal(word[2]) : std::nullopt;
        if (!duration || *duration <= 0)
            return "expected \"SECONDS suspend SECONDS\" with a sleep of more than 0 seconds";
        auto after = std::upper_bound(trace.suspends.begin(), trace.suspends.end(), *seconds,
                                      [](double at, const LoadTrace::Suspend& s) { return at < s.seconds; });
        trace.suspends.insert(after, {*seconds, *duration});
        return std::nullopt;
    }
    std::optional<double> watts = word.size() == 2 ? parseDecimal(word[1]) : std::nullopt;
    if (!watts || *watts < 0)
        return "expected \"SECONDS WATTS\" (watts 0 or more), \"SECONDS fail KEY\", \"SECONDS stuck KEY CELSIUS\" "
               "or \"SECONDS suspend SECONDS\"";
    if (!trace.points.empty() && *seconds <= trace.points.back().seconds)
        return "times of the load must go forward: " + word[0] + " is not after " +
               std::to_string(trace.points.back().seconds);
    trace.points.push_back({*seconds, *watts});
    return std::nullopt;
}

}  // namespace

std::optional<double> parseDecimal(std::string_view text)
{
    std::string copy(text);
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || *end != '\0' || errno != 0 || !std::isfinite(value))
        return std::nullopt;
    return value;
}

double LoadTrace::watts(double seconds) const
{
    if (points.empty())
        return 0;
    auto after = std::upper_bound(points.begin(), points.end(), seconds,
                                  [](double at, const Point& point) { return at < point.seconds; });
    if (after == points.begin())
        return points.front().watts;
    if (after == points.end())
        return points.back().watts;
    const Point& before = *std::prev(after);
    double share = (seconds - before.seconds) / (after->seconds - before.seconds);
    return before.watts + share * (after->watts - before.watts);
}

const LoadTrace::Fault* LoadTrace::fault(FourCharCode key, double seconds) const
{
    const Fault* latest = nullptr;
    for (const Fault& fault : faults)
        if (fault.key == key && fault.seconds <= seconds && (latest == nullptr || fault.seconds >= latest->seconds))
            latest = &fault;
    return latest;
}

bool parseLoadTrace(std::string_view text, LoadTrace& trace, std::string& error)
{
    trace = {};
    size_t number = 0;
    while (!text.empty()) {
        std::string_view line = takeLine(text);
        ++number;
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r") == std::string_view::npos)
            continue;
        if (std::optional<std::string> problem = parseTraceLine(line, number, trace)) {
            error = std::to_string(number) + ": " + *problem;
            return false;
        }
    }
    if (trace.points.empty()) {
        error = std::to_string(number) + ": no load: expected at least one line \"SECONDS WATTS\"";
        return false;
    }
    return true;
}

std::optional<SensorPlace> defaultSensorPlace(FourCharCode key)
{
    std::string name = fourCharText(key);
    if (name[0] != 'T')
        return std::nullopt;
    if (name[1] == 'C') {
        // TC0D, TC0E, TC0F, TCXC: the die; TC0C, TC1C, TCGC: its cores, a
        // little cooler; TC0P, TC0H and the rest: on the way to the heatsink.
        bool digitOrX = (name[2] >= '0' && name[2] <= '9') || name[2] == 'X' || name[2] == 'G';
        if (digitOrX && (name[3] == 'D' || name[3] == 'E' || name[3] == 'F' || name == "TCXC"))
            return SensorPlace{1, false, 0};
        if (digitOrX && name[3] == 'C')
            return SensorPlace{1, false, -1};
        return SensorPlace{0.5, false, 0};
    }
    if (name[1] == 'A')
        return SensorPlace{0, true, 5};
    return SensorPlace{0, false, -5};
}

std::optional<double> cpuPowerShare(FourCharCode key)
{
    std::string name = fourCharText(key);
    if (name == "PCPC" || name == "PCPT" || name == "PHPC" || name == "PSTR")
        return 1.0;
    if (name == "PC0C")
        return 0.85;
    return std::nullopt;
}

bool encodeTemperature(FourCharCode type, size_t size, double celsius, uint8_t* bytes)
{
    // Temperatures are kept as fixed point or flt; the integer types hold none.
    std::string name = fourCharText(type);
    if (name != "flt " && name.rfind("sp", 0) != 0 && name.rfind("fp", 0) != 0)
        return false;
    return encodings::encode(type, size, celsius, bytes, encodings::Fit::Clamp);
}

double sensorNoise(FourCharCode key, uint64_t step, double amplitude)
{
    // splitmix64: well spread for neighbouring keys and steps.
    uint64_t x = (uint64_t(key) << 32 ^ step) + 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return amplitude * (double(x >> 11) / double(1ULL << 53) * 2 - 1);
}

double airConductance(const ThermalParameters& parameters, const std::vector<double>& fractions)
{
    double flow = 0;
    for (double fraction : fractions)
        flow += std::pow(std::clamp(fraction, 0.0, 1.0), parameters.airflowExponent);
    return parameters.stillAir + (fractions.empty() ? 0 : parameters.airflow * flow / double(fractions.size()));
}

NodeTemperatures stepHeat(const ThermalParameters& parameters, NodeTemperatures nodes, double watts,
                          double conductance, double seconds)
{
    // Solves C·(T' - T)/dt = flows at T' for both nodes at once.
    double a = parameters.dieCapacity / seconds, b = parameters.heatsinkCapacity / seconds;
    double g = 1 / parameters.dieToHeatsink, air = conductance;
    double dieSide = a * nodes.die + watts, sinkSide = b * nodes.heatsink + air * parameters.ambient;
    double determinant = (a + g) * (b + g + air) - g * g;
    return {(dieSide * (b + g + air) + g * sinkSide) / determinant, ((a + g) * sinkSide + g * dieSide) / determinant};
}

NodeTemperatures steadyHeat(const ThermalParameters& parameters, double watts, double conductance)
{
    // With no air at all nothing is steady; a hot start stands in for it.
    double heatsink = parameters.ambient + (conductance > 0 ? watts / conductance : 100);
    return {heatsink + watts * parameters.dieToHeatsink, heatsink};
}

}  // namespace platform
