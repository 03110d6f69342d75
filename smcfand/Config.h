// smcfand's configuration file (TOML): the tuning, and per fan its sensors,
// how they combine and its curve; read, checked, then resolved against the
// machine's fans. Every problem names the file and the line.
#pragma once

#include "smcfand/FanControl.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smcfand {

inline constexpr const char* kDefaultConfigPath = "/etc/smcfand.toml";

// A curve point as written: a speed in rpm, or the fan's own minimum or maximum.
struct PointSpec {
    enum class Speed { Rpm, Minimum, Maximum };
    double celsius = 0;
    Speed speed = Speed::Rpm;
    double rpm = 0;
    int line = 0;
};

// One [[fan]] table; what it leaves out takes the defaults.
struct FanSpec {
    std::string fan;  // a number or a name from F<n>ID
    int line = 0;
    std::vector<std::string> sensors;  // SMC keys and hwmon tempN_input files
    int sensorsLine = 0;
    std::optional<Combine> combine;
    std::optional<Unit> unit;  // of the curve; unset: °C where it names a curve or sensors
    std::vector<PointSpec> curve;
    std::vector<Band> avoid;  // this fan's bands, besides every fan's
};

struct Config {
    std::string path;  // empty: no file, every default
    Profile profile = Profile::Balanced;
    Tuning tuning;  // the profile's, with what the file sets; avoid: every fan's bands
    std::vector<FanSpec> fans;
    std::vector<std::pair<double Tuning::*, double>> set;  // the tuning the file sets, over any profile's
};

// Makes `profile` the configuration's: its tuning and default curve, under
// what the file itself sets.
void chooseProfile(Config& config, Profile profile);

// Reads the configuration in `text`, as the file `path`. Nothing when it
// has a problem, each one in `errors` as "PATH:LINE: what is wrong".
std::optional<Config> parseConfig(std::string_view text, const std::string& path, std::vector<std::string>& errors);

// The same, reading the file at `path`.
std::optional<Config> loadConfig(const std::string& path, std::vector<std::string>& errors);

// A fan of the machine, as the SMC describes it.
struct MachineFan {
    unsigned index = 0;
    std::string name;
    double minimum = 0, maximum = 0;      // F<n>Mn, F<n>Mx
    std::optional<double> floor;          // the daemon's lowest speed for it, when it has one
};

// One fan as smcfand drives it.
struct FanPlan {
    unsigned index = 0;
    std::string name;
    std::vector<std::string> sensors;
    Combine combine = Combine::Max;
    Curve curve;
    double minimum = 0, maximum = 0;  // the floor, when higher than F<n>Mn; F<n>Mx
    std::vector<Band> avoid;          // every fan's and its own, sorted and merged
    Unit unit = Unit::Celsius;        // of `sensors` and `curve`
    // A watt curve's temperatures: the fan runs no slower than `limitCurve`
    // (°C) says for the hottest of them.
    std::vector<std::string> limits;
    Curve limitCurve;
};

// What a fan follows where the file names nothing.
struct DefaultInputs {
    // The CPU die's temperature keys; where the machine has none, every
    // temperature key that reads (`die` false).
    std::vector<std::string> temperatures;
    bool die = true;
    // The power the SoC turns into heat: the heat pipe's (PHPC), else the
    // whole system's (PSTR); empty when neither reads. Followed by default
    // only where there is no die temperature.
    std::vector<std::string> power;
};

// The fans to drive: those the file names, or every fan of `fans` when it
// names none, with the defaults where it says nothing: the die's
// temperatures by the profile's curve, or without a die temperature the
// power by the profile's watt curve, the temperatures as its limits. A watt
// curve always has the temperatures as limits. `sensorProblem` tells what is
// wrong with a sensor named in the file (empty: nothing). Nothing when the
// file names a fan the machine lacks, a sensor with a problem, or a speed
// beyond a fan's limits, or a fan is left without a sensor, each in
// `errors` with its file and line.
std::optional<std::vector<FanPlan>> resolveConfig(const Config& config, const std::vector<MachineFan>& fans,
                                                  const DefaultInputs& defaults,
                                                  const std::function<std::string(const std::string&)>& sensorProblem,
                                                  std::vector<std::string>& errors);

// The fans and curves that `config` describes, as --check prints them:
// resolved when `plans` are given, else as written.
std::string describe(const Config& config, const std::optional<std::vector<FanPlan>>& plans);

}  // namespace smcfand
