// sensors-host --watch: a live view redrawn in place, or one report per
// interval when standard output is not a terminal.
#pragma once

#include "host/ModuleReader.h"
#include "host/Options.h"

#include <deque>
#include <map>
#include <string>
#include <vector>

// What the live view remembers of each sensor since it started.
class WatchHistory {
public:
    // Keeps the readings of `report`, taken at `now` seconds.
    void add(const Report& report, double now);
    // The screen's lines for the latest report: at most `height` of them,
    // the title first, each cut to `width` columns so that none wraps.
    std::vector<std::string> render(const Report& latest, bool fahrenheit, int height, int width = 80) const;

    struct Sensor {
        double low = 0;
        double high = 0;
        std::deque<std::pair<double, double>> samples;  // (seconds, celsius) of the last minute
    };
    const std::map<std::string, Sensor>& sensors() const { return sensors_; }

private:
    std::map<std::string, Sensor> sensors_;
};

// A sparkline of `values`, one block character for each, scaled between
// their lowest and highest (a spread under one degree draws flat).
std::string sparkline(const std::vector<double>& values);

// The columns a sparkline gets: the last minute is folded into this many.
inline constexpr size_t kSparklineWidth = 30;

// Runs the view until q, Ctrl-C or a stop signal; the exit status.
int runWatch(ModuleReader& machine, const Options& options);
