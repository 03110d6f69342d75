// The emulated machine's heat: the two nodes that a load heats and the fans
// cool, where each temperature key reads, and the load trace that drives it.
#pragma once

#include "backends/KeyStore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A load over time, as smcd(8)'s --load file gives it: watts at points in
// time (linear between them, the first before and the last after), sensor
// faults from a time on, suspends, and the temperatures the model starts from.
struct LoadTrace {
    struct Point {
        double seconds;
        double watts;
    };
    struct Fault {
        size_t line;  // where the trace says it
        double seconds;
        FourCharCode key;
        bool fails;      // reads fail; otherwise they are stuck at `celsius`
        double celsius;
    };
    // The machine sleeps `duration` seconds at `seconds`; the trace's time
    // stands still meanwhile, as the machine's monotonic clock does.
    struct Suspend {
        double seconds;
        double duration;
    };
    std::vector<Point> points;  // in time order; never empty once parsed
    std::vector<Fault> faults;  // in the trace's order
    std::vector<Suspend> suspends;  // in time order
    std::optional<double> startDie, startHeatsink;

    // The load at `seconds` from the trace's time 0.
    double watts(double seconds) const;
    // The fault of `key` at `seconds`: the latest one begun; null for none.
    const Fault* fault(FourCharCode key, double seconds) const;
};

// A finite decimal and nothing else, as profiles and load traces write
// their numbers.
std::optional<double> parseDecimal(std::string_view text);

// Parses a load trace; false with "LINE: problem" in `error`.
bool parseLoadTrace(std::string_view text, LoadTrace& trace, std::string& error);

// The place a temperature key of the built-in naming takes when a profile
// places none: CPU die and core keys on the die, the CPU's other keys
// halfway to the heatsink, air keys on the ambient air, the rest on the
// heatsink. Nothing for a key that is not a temperature ("T...").
std::optional<SensorPlace> defaultSensorPlace(FourCharCode key);

// The share of the CPU's power that a power key of the built-in naming
// reads while the model runs: the package (PCPC, PCPT), a heat pipe (PHPC)
// and, on a machine without a package key, the whole system (PSTR, which
// adds the rest of the machine) all of it, the cores (PC0C) 0.85, the rest
// going to the uncore. Nothing for any other key: rails keep their values.
std::optional<double> cpuPowerShare(FourCharCode key);

// Encodes `celsius` in a key of `type` and `size` ("spXY", "fpXY", "flt ");
// false for any other type.
bool encodeTemperature(FourCharCode type, size_t size, double celsius, uint8_t* bytes);

// The deterministic noise of `key` in time step `step`: from -amplitude to
// +amplitude, the same for the same key and step.
double sensorNoise(FourCharCode key, uint64_t step, double amplitude);

// The two nodes' temperatures.
struct NodeTemperatures {
    double die = 0;
    double heatsink = 0;
};

// The heatsink-to-air conductance (W/K) with fans at `fractions` of their
// maximum speeds.
double airConductance(const ThermalParameters& parameters, const std::vector<double>& fractions);

// `nodes` after `seconds` of `watts` into the die with the heatsink-to-air
// conductance `conductance`: one implicit (backward Euler) step, stable for
// any step length.
NodeTemperatures stepHeat(const ThermalParameters& parameters, NodeTemperatures nodes, double watts,
                          double conductance, double seconds);

// The steady state of `watts` at `conductance`.
NodeTemperatures steadyHeat(const ThermalParameters& parameters, double watts, double conductance);

}  // namespace platform
