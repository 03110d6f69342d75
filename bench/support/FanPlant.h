// The emulated machine's heat as the fan benchmarks use it: its parameters
// and fans from a machine profile, the heat model smcd runs (called, not
// copied), and the offline optimum over it: the lowest mean fan speed that
// keeps the die at or below a peak, knowing the whole load in advance.
#pragma once

#include "backends/KeyStore.h"
#include "backends/emulated/ThermalModel.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct FanRange {
    double minimum = 0, maximum = 0;  // F<n>Mn, F<n>Mx, rpm
};

// A machine as the emulated SMC runs it: the built-in one's parameters
// where its profile has no thermal directives, as smcd does.
struct Plant {
    platform::ThermalParameters thermal;
    std::vector<FanRange> fans;  // by fan number, every F<n>Mn/F<n>Mx pair
    std::string profile;         // the profile's text
};

// The plant of the profile at `path` (empty: the built-in one); nothing,
// with the problem in `error`, when it does not parse or has no fans.
std::optional<Plant> loadPlant(const std::string& path, std::string& error);

// Reads and parses a load trace file; false with "FILE:LINE: problem".
bool loadTrace(const std::string& path, platform::LoadTrace& trace, std::string& text, std::string& error);

// Where the emulated SMC starts the nodes for `trace` given at its start:
// the start lines, or the first load's steady state with the fans at
// their minimum.
platform::NodeTemperatures startNodes(const Plant& plant, const platform::LoadTrace& trace);

// The trace's length in seconds as the bench runs it: its last time, rounded.
double traceSeconds(const platform::LoadTrace& trace);

// The model's 50 ms step, as the emulated SMC advances it.
inline constexpr double kHeatStep = 0.05;

// The die every 50 ms step for `seconds` of `trace`, the fans' actual
// speeds (rpm, one per fan) at a time given by `fans`. Element i is the die
// after i steps.
std::vector<double> replayDie(const Plant& plant, const platform::LoadTrace& trace, double seconds,
                              const std::function<std::vector<double>(double seconds)>& fans);

// The offline optimum's frontier: for each peak, the lowest mean fan speed
// (over both fans, rpm) that keeps the die at or below it.
struct Frontier {
    struct Point {
        double peak, meanRpm;
    };
    double lowestPeak = 0;   // with every fan at its maximum throughout
    double restingPeak = 0;  // with every fan at its minimum throughout
    std::vector<Point> points;  // rising peak, falling speed; the first at lowestPeak

    // The optimum's mean speed at `peak`, linear between points: the
    // highest below the lowest peak, the lowest above the last one.
    double at(double peak) const;
};

// The grid of the dynamic programme; finer is slower and closer.
struct OptimumGrid {
    double decision = 1;     // seconds a choice of the fans holds
    double heatsink = 0.5;   // °C between heatsink grid points
    double gap = 0.5;        // °C between grid points of the die above the heatsink
    int levels = 32;         // speeds between every fan's minimum and maximum
};

// Peaks above this are of no interest to anyone: the frontier stops there.
inline constexpr double kHighestPeakOfInterest = 100;

// The frontier of schedules aimed at every half degree from the lowest
// reachable peak up to the resting one (or kHighestPeakOfInterest).
Frontier optimumFrontier(const Plant& plant, const platform::LoadTrace& trace, const OptimumGrid& grid = {});

// What a schedule really did, run through the model: its highest die
// temperature at any 50 ms step and its mean speed over both fans.
struct Schedule {
    double peak, meanRpm;
};

// The programme's schedule for keeping the die at or below `peak`, and
// what it did, measured; nothing when no schedule does.
std::optional<Schedule> optimumAt(const Plant& plant, const platform::LoadTrace& trace, double peak,
                                  const OptimumGrid& grid = {});

// Reads a frontier CSV as fan_optimum writes it ("peak_c,mean_rpm").
std::optional<Frontier> readFrontier(const std::string& path, std::string& error);

}  // namespace bench
