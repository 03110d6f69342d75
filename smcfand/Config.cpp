#include "smcfand/Config.h"

#include "fanclient/FanClient.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace smcfand {
namespace {

// A configuration is a few hundred bytes; this is far beyond any.
constexpr size_t kMostConfigBytes = 64 << 10;

// A tuning key: where it goes, and the range that makes sense for it.
struct TuningKey {
    const char* name;
    double Tuning::*field;
    double lowest, highest;
    const char* unit;
};
constexpr TuningKey kTuningKeys[] = {
    {"poll", &Tuning::poll, 0.1, 60, "seconds"},
    {"smoothing", &Tuning::smoothing, 0, 600, "seconds"},
    {"hysteresis", &Tuning::hysteresis, 0, 30, "°C"},
    {"ramp_up", &Tuning::rampUp, 1, 100000, "rpm a second"},
    {"ramp_down", &Tuning::rampDown, 1, 100000, "rpm a second"},
    {"step", &Tuning::step, 0, 10000, "rpm"},
    {"min_interval", &Tuning::minInterval, 0, 600, "seconds"},
};
constexpr const char* kTopKeys =
    "profile, poll, smoothing, hysteresis, ramp_up, ramp_down, step, min_interval, avoid, [[fan]]";

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

class Reader {
public:
    Reader(const std::string& path, std::vector<std::string>& errors) : path_(path), errors_(errors) {}

    void error(int line, const std::string& what) { errors_.push_back(path_ + ":" + std::to_string(line) + ": " + what); }
    static int lineOf(const toml::node& node) { return int(node.source().begin.line); }

    void top(const toml::table& table, Config& config)
    {
        for (auto&& [key, node] : table) {
            int line = int(key.source().begin.line);
            std::string name(key.str());
            if (name == "fan") {
                fans(node, line, config);
                continue;
            }
            if (name == "avoid") {
                bands(node, line, config.tuning.avoid);
                continue;
            }
            if (name == "profile") {
                std::optional<Profile> profile = profileNamed(node.value_exact<std::string>().value_or(""));
                if (profile)
                    config.profile = *profile;
                else
                    error(line, "profile must be \"quiet\", \"balanced\" or \"performance\"");
                continue;
            }
            auto known = std::find_if(std::begin(kTuningKeys), std::end(kTuningKeys),
                                      [&](const TuningKey& tuning) { return name == tuning.name; });
            if (known == std::end(kTuningKeys)) {
                error(line, "unknown key \"" + name + "\" (known: " + kTopKeys + ")");
                continue;
            }
            std::optional<double> value = node.value<double>();
            if (!node.is_number() || !value || !std::isfinite(*value)) {
                error(line, name + " must be a number of " + known->unit);
                continue;
            }
            if (*value < known->lowest || *value > known->highest) {
                error(line, name + " = " + number(*value) + " is outside " + number(known->lowest) + " to " +
                                number(known->highest) + " " + known->unit);
                continue;
            }
            config.set.emplace_back(known->field, *value);
        }
        chooseProfile(config, config.profile);
    }

private:
    void fans(const toml::node& node, int line, Config& config)
    {
        const toml::array* array = node.as_array();
        if (!array || !array->is_array_of_tables()) {
            error(line, "fan must be a list of tables: write each fan as [[fan]]");
            return;
        }
        for (const toml::node& element : *array)
            fan(*element.as_table(), config);
    }

    void fan(const toml::table& table, Config& config)
    {
        FanSpec spec;
        spec.line = lineOf(table);
        bool named = false;
        // The curve's points are read in its unit, whatever the keys' order.
        if (const toml::node* node = table.get("unit")) {
            std::optional<std::string> text = node->value_exact<std::string>();
            if (text == "W")
                spec.unit = Unit::Watts;
            else if (text == "°C" || text == "C")
                spec.unit = Unit::Celsius;
            else
                error(lineOf(*node), "unit must be \"°C\" (or \"C\"), temperatures, or \"W\", power");
        }
        for (auto&& [key, node] : table) {
            int line = int(key.source().begin.line);
            std::string name(key.str());
            if (name == "fan") {
                named = true;
                if (std::optional<int64_t> index = node.value_exact<int64_t>(); node.is_integer() && index && *index >= 0)
                    spec.fan = std::to_string(*index);
                else if (std::optional<std::string> text = node.value_exact<std::string>(); text && !text->empty())
                    spec.fan = *text;
                else
                    error(line, "fan must be a fan's number (0, 1, ...) or its name in quotes");
                spec.line = line;
            } else if (name == "sensors") {
                spec.sensorsLine = line;
                sensors(node, line, spec);
            } else if (name == "combine") {
                std::optional<std::string> text = node.value_exact<std::string>();
                if (text == "max")
                    spec.combine = Combine::Max;
                else if (text == "mean")
                    spec.combine = Combine::Mean;
                else
                    error(line, "combine must be \"max\" or \"mean\"");
            } else if (name == "unit") {
                continue;  // read first
            } else if (name == "curve") {
                curve(node, line, spec);
            } else if (name == "avoid") {
                bands(node, line, spec.avoid);
            } else {
                error(line, "unknown key \"" + name + "\" in [[fan]] (known: fan, sensors, combine, unit, curve, avoid)");
            }
        }
        if (!named)
            error(spec.line, "[[fan]] without fan = NUMBER or \"NAME\": which fan is it?");
        for (const FanSpec& earlier : config.fans)
            if (named && earlier.fan == spec.fan)
                error(spec.line, "fan " + spec.fan + " is configured twice (first on line " +
                                     std::to_string(earlier.line) + ")");
        config.fans.push_back(std::move(spec));
    }

    void sensors(const toml::node& node, int line, FanSpec& spec)
    {
        const toml::array* array = node.as_array();
        if (!array || array->empty()) {
            error(line, "sensors must be a list of SMC keys (\"TC0P\") and tempN_input files, at least one");
            return;
        }
        for (const toml::node& element : *array) {
            std::optional<std::string> text = element.value_exact<std::string>();
            if (!text || (text->size() != 4 && !text->starts_with("/"))) {
                error(lineOf(element), "a sensor is an SMC key of four characters (\"TC0P\") or a file's full path "
                                       "(\"/sys/class/hwmon/hwmon1/temp1_input\")");
                continue;
            }
            spec.sensors.push_back(*text);
        }
    }

    void bands(const toml::node& node, int line, std::vector<Band>& bands)
    {
        const toml::array* array = node.as_array();
        if (!array) {
            error(line, "avoid must be a list of rpm ranges [low, high]");
            return;
        }
        for (const toml::node& element : *array) {
            const toml::array* pair = element.as_array();
            if (!pair || pair->size() != 2 || !(*pair)[0].is_number() || !(*pair)[1].is_number()) {
                error(lineOf(element), "a band to avoid is [low, high] in rpm");
                continue;
            }
            Band band{*(*pair)[0].value<double>(), *(*pair)[1].value<double>()};
            if (!(band.low >= 0 && band.low < band.high && std::isfinite(band.high))) {
                error(lineOf(element), "a band to avoid from " + number(band.low) + " to " + number(band.high) +
                                           " rpm is not a range of speeds: low below high, neither below 0");
                continue;
            }
            bands.push_back(band);
        }
    }

    void curve(const toml::node& node, int line, FanSpec& spec)
    {
        const Unit unit = spec.unit.value_or(Unit::Celsius);
        const toml::array* array = node.as_array();
        if (!array || array->empty()) {
            error(line, std::string("curve must be a list of points [") + unitText(unit) + ", rpm], at least one");
            return;
        }
        for (const toml::node& element : *array) {
            int at = lineOf(element);
            const toml::array* pair = element.as_array();
            const std::string shape = std::string("a curve point is [") + unitText(unit) +
                                      ", rpm], rpm a number or \"min\" or \"max\"";
            if (!pair || pair->size() != 2 || !(*pair)[0].is_number()) {
                error(at, shape);
                continue;
            }
            PointSpec point;
            point.line = at;
            point.celsius = *(*pair)[0].value<double>();
            const toml::node& speed = *pair->get(1);
            if (speed.is_number()) {
                point.rpm = *speed.value<double>();
            } else if (std::optional<std::string> word = speed.value_exact<std::string>(); word == "min") {
                point.speed = PointSpec::Speed::Minimum;
            } else if (word == "max") {
                point.speed = PointSpec::Speed::Maximum;
            } else {
                error(at, shape);
                continue;
            }
            if (!(point.celsius >= kLowestPlausible && point.celsius <= highestPlausible(unit))) {
                error(at, std::string("the curve's ") + (unit == Unit::Watts ? "power " : "temperature ") +
                              number(point.celsius) + " " + unitText(unit) + " is outside " +
                              number(kLowestPlausible) + " to " + number(highestPlausible(unit)) + " " +
                              unitText(unit));
                continue;
            }
            if (point.speed == PointSpec::Speed::Rpm && !(point.rpm >= 0 && std::isfinite(point.rpm))) {
                error(at, "the curve's speed " + number(point.rpm) + " rpm is not a speed");
                continue;
            }
            if (!spec.curve.empty() && point.celsius <= spec.curve.back().celsius) {
                error(at, std::string("the curve's ") + (unit == Unit::Watts ? "watts" : "temperatures") +
                              " must rise from point to point: " + number(point.celsius) + " " + unitText(unit) +
                              " comes after " + number(spec.curve.back().celsius) + " " + unitText(unit));
                continue;
            }
            // Fixed speeds must not fall as it gets hotter; "min" and "max"
            // are checked once the fan's limits are known.
            if (point.speed == PointSpec::Speed::Rpm)
                for (const PointSpec& earlier : spec.curve)
                    if (earlier.speed == PointSpec::Speed::Rpm && point.rpm < earlier.rpm)
                        error(at, "the curve's speed falls from " + number(earlier.rpm) + " to " + number(point.rpm) +
                                      " rpm as the temperature rises");
            spec.curve.push_back(point);
        }
    }

    const std::string& path_;
    std::vector<std::string>& errors_;
};

std::string fanTitle(unsigned index, const std::string& name)
{
    return "fan " + std::to_string(index) + (name.empty() ? "" : " (" + name + ")");
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : ", ") + word;
    return text;
}

// Sorted, overlapping or touching bands made one: a target pushed out of
// one never lands in the next.
std::vector<Band> merged(std::vector<Band> bands)
{
    std::sort(bands.begin(), bands.end(), [](const Band& a, const Band& b) { return a.low < b.low; });
    std::vector<Band> result;
    for (const Band& band : bands) {
        if (!result.empty() && band.low <= result.back().high)
            result.back().high = std::max(result.back().high, band.high);
        else
            result.push_back(band);
    }
    return result;
}

}  // namespace

void chooseProfile(Config& config, Profile profile)
{
    config.profile = profile;
    std::vector<Band> avoid = std::move(config.tuning.avoid);
    config.tuning = profileTuning(profile);
    config.tuning.avoid = std::move(avoid);
    for (const auto& [field, value] : config.set)
        config.tuning.*field = value;
}

std::optional<Config> parseConfig(std::string_view text, const std::string& path, std::vector<std::string>& errors)
{
    Config config;
    config.path = path;
    size_t before = errors.size();
    Reader reader(path, errors);
    try {
        toml::table table = toml::parse(text, path);
        reader.top(table, config);
    } catch (const toml::parse_error& error) {
        reader.error(int(error.source().begin.line), std::string(error.description()));
    }
    if (errors.size() != before)
        return std::nullopt;
    return config;
}

std::optional<Config> loadConfig(const std::string& path, std::vector<std::string>& errors)
{
    auto refused = [&](const std::string& what) {
        errors.push_back(path + ": " + what);
        return std::nullopt;
    };
    auto unreadable = [&] { return refused(std::string("cannot be read: ") + std::strerror(errno)); };
    // A regular file, or /dev/null for none: a device would be read
    // without end (or act when opened), a FIFO would wait for a writer.
    auto acceptable = [](const struct stat& status) {
        return S_ISREG(status.st_mode) || (S_ISCHR(status.st_mode) && status.st_rdev == makedev(1, 3));
    };
    struct stat status{};
    if (stat(path.c_str(), &status) != 0)
        return unreadable();
    int descriptor = acceptable(status) ? open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -2;
    if (descriptor == -1)
        return unreadable();
    std::string text;
    // Again on what was opened: the path may name another file by now.
    bool accepted = descriptor >= 0 && fstat(descriptor, &status) == 0 && acceptable(status);
    ssize_t length = 0;
    if (accepted) {
        text.resize(kMostConfigBytes + 1);
        for (size_t filled = 0; filled < text.size(); filled += size_t(length)) {
            length = read(descriptor, text.data() + filled, text.size() - filled);
            if (length < 0 && errno == EINTR)
                length = 0;
            else if (length <= 0) {
                text.resize(filled);
                break;
            }
        }
    }
    int error = errno;
    if (descriptor >= 0)
        close(descriptor);
    if (!accepted)
        return refused(S_ISDIR(status.st_mode) ? "is a directory, not a configuration file"
                                               : "is not a regular file, not a configuration file");
    if (length < 0) {
        errno = error;
        return unreadable();
    }
    if (text.size() > kMostConfigBytes)
        return refused("is larger than " + std::to_string(kMostConfigBytes >> 10) + " KiB, not a configuration file");
    return parseConfig(text, path, errors);
}

std::optional<std::vector<FanPlan>> resolveConfig(const Config& config, const std::vector<MachineFan>& fans,
                                                  const DefaultInputs& defaults,
                                                  const std::function<std::string(const std::string&)>& sensorProblem,
                                                  std::vector<std::string>& errors)
{
    size_t before = errors.size();
    auto error = [&](int line, const std::string& what) {
        errors.push_back(config.path + ":" + std::to_string(line) + ": " + what);
    };
    std::vector<FanPlan> plans;
    auto plan = [&](const MachineFan& fan, const FanSpec* spec) {
        // The daemon's floor narrows the range; a point below it is lifted
        // to it, as the daemon would refuse it.
        double lowest = std::min(std::max(fan.floor.value_or(fan.minimum), fan.minimum), fan.maximum);
        // A fan the file says nothing of but its number follows the machine's
        // default; a curve or sensors written before watts were known are °C.
        bool says = spec && (!spec->curve.empty() || !spec->sensors.empty());
        Unit unit = spec && spec->unit ? *spec->unit
                    : !says && !defaults.die && !defaults.power.empty() ? Unit::Watts
                                                                         : Unit::Celsius;
        FanPlan result{fan.index,
                       fan.name,
                       unit == Unit::Watts ? defaults.power : defaults.temperatures,
                       Combine::Max,
                       defaultCurve(lowest, fan.maximum, config.profile),
                       lowest,
                       fan.maximum,
                       merged(config.tuning.avoid),
                       unit,
                       {},
                       {}};
        if (unit == Unit::Watts) {
            // The temperatures that exist keep the fan from running too slow
            // for them, whatever the power says.
            result.limits = defaults.temperatures;
            result.limitCurve = result.curve;
        }
        if (spec && !spec->sensors.empty())
            result.sensors = spec->sensors;
        if (unit == Unit::Watts)
            result.curve = defaultPowerCurve(result.sensors.empty() ? "" : result.sensors.front(), lowest,
                                             fan.maximum, config.profile);
        if (result.sensors.empty()) {
            std::string what = fanTitle(fan.index, fan.name) + ": no " +
                               (unit == Unit::Watts ? "power key (PHPC, PSTR)" : "temperature key") +
                               " of this SMC reads plausibly; name its sensors in " +
                               (config.path.empty() ? std::string(kDefaultConfigPath) : config.path) +
                               " (sensors = [...])";
            if (spec)
                error(spec->line, what);
            else
                errors.push_back(what);
        }
        if (!spec)
            return result;
        std::vector<Band> avoid = config.tuning.avoid;
        avoid.insert(avoid.end(), spec->avoid.begin(), spec->avoid.end());
        result.avoid = merged(std::move(avoid));
        if (!spec->sensors.empty()) {
            for (const std::string& sensor : spec->sensors)
                if (std::string problem = sensorProblem(sensor); !problem.empty())
                    error(spec->sensorsLine, "sensor " + sensor + ": " + problem);
        }
        result.combine = spec->combine.value_or(Combine::Max);
        if (!spec->curve.empty()) {
            std::vector<CurvePoint> points;
            for (const PointSpec& point : spec->curve) {
                double rpm = point.speed == PointSpec::Speed::Minimum   ? fan.minimum
                             : point.speed == PointSpec::Speed::Maximum ? fan.maximum
                                                                        : point.rpm;
                if (rpm < fan.minimum || rpm > fan.maximum)
                    error(point.line, number(rpm) + " rpm is outside " + fanTitle(fan.index, fan.name) + "'s range, " +
                                          number(fan.minimum) + " to " + number(fan.maximum) + " rpm");
                else if (!points.empty() && rpm < points.back().rpm)
                    error(point.line, "the curve's speed falls from " + number(points.back().rpm) + " to " +
                                          number(rpm) + " rpm as the temperature rises");
                points.push_back({point.celsius, std::max(rpm, lowest)});
            }
            result.curve = Curve(std::move(points));
        }
        return result;
    };
    if (config.fans.empty()) {
        for (const MachineFan& fan : fans)
            plans.push_back(plan(fan, nullptr));
    }
    std::vector<fanclient::Fan> named;
    for (const MachineFan& fan : fans)
        named.push_back(fanclient::Fan{fan.index, fan.name});
    for (const FanSpec& spec : config.fans) {
        std::optional<fanclient::Fan> found = fanclient::findFan(named, spec.fan);
        if (!found) {
            error(spec.line, "no fan " + spec.fan + " on this machine (its fans: " + [&] {
                std::vector<std::string> words;
                for (const MachineFan& fan : fans)
                    words.push_back(std::to_string(fan.index) + (fan.name.empty() ? "" : " \"" + fan.name + "\""));
                return words.empty() ? std::string("none") : joined(words);
            }() + ")");
            continue;
        }
        auto same = [&](const FanPlan& other) { return other.index == found->index; };
        if (std::any_of(plans.begin(), plans.end(), same)) {
            error(spec.line, fanTitle(found->index, found->name) + " is configured twice");
            continue;
        }
        auto machineFan = std::find_if(fans.begin(), fans.end(),
                                       [&](const MachineFan& fan) { return fan.index == found->index; });
        plans.push_back(plan(*machineFan, &spec));
    }
    if (errors.size() != before)
        return std::nullopt;
    return plans;
}

std::string describe(const Config& config, const std::optional<std::vector<FanPlan>>& plans)
{
    std::string text;
    auto line = [&](const std::string& words) { text += words + "\n"; };
    auto combineWord = [](Combine combine) { return combine == Combine::Max ? "max" : "mean"; };
    if (plans) {
        for (const FanPlan& plan : *plans) {
            line(fanTitle(plan.index, plan.name) + ": " + number(plan.minimum) + " to " + number(plan.maximum) +
                 " rpm, " + combineWord(plan.combine) + " of " + joined(plan.sensors));
            for (const CurvePoint& point : plan.curve.points())
                line("    " + degrees(point.celsius) + " " + unitText(plan.unit) + "  " +
                     number(std::round(point.rpm)) + " rpm");
            if (!plan.limits.empty())
                line("    no slower than the default curve (°C) says for the max of " + joined(plan.limits));
            for (const Band& band : plan.avoid)
                line("    never resting between " + number(band.low) + " and " + number(band.high) + " rpm");
        }
        return text;
    }
    const std::string curveWords =
        std::string("the ") + (config.profile == Profile::Balanced ? "default" : profileName(config.profile)) +
        " curve between the fan's own limits";
    if (config.fans.empty())
        line("every fan: max of the CPU's temperature keys, " + curveWords);
    for (const FanSpec& spec : config.fans) {
        line("fan " + spec.fan + ": " + combineWord(spec.combine.value_or(Combine::Max)) + " of " +
             (spec.sensors.empty() ? std::string("the CPU's temperature keys") : joined(spec.sensors)));
        if (spec.curve.empty())
            line("    " + curveWords);
        for (const PointSpec& point : spec.curve)
            line("    " + degrees(point.celsius) + " " + unitText(spec.unit.value_or(Unit::Celsius)) + "  " +
                 (point.speed == PointSpec::Speed::Minimum   ? std::string("its minimum")
                  : point.speed == PointSpec::Speed::Maximum ? std::string("its maximum")
                                                             : number(point.rpm) + " rpm"));
    }
    return text;
}

}  // namespace smcfand
