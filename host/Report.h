// One report of the machine's sensors, as every output format sees it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TemperatureReading {
    std::string key;               // four characters as the SMC names it
    std::string name;              // display name; empty when the table has none
    std::optional<int> priority;   // from the keys table; none for a sensor it does not list
    double celsius = 0;            // exact decoding of the raw value
};

struct FanReading {
    int index = 0;
    std::string name;              // as the module gives it ("Fan 2" when the SMC has none)
    std::optional<int32_t> rpm;    // none: the key cannot be read
    std::optional<int32_t> minimum;
    std::optional<int32_t> maximum;
    std::optional<int32_t> target;
    std::optional<bool> manual = false;  // forced by software rather than the SMC's own control;
                                         // none: its mode could not be read
    bool hasModeKey = true;        // the machine keeps a mode for this fan ("FS! " or "F<n>Md")
    bool driven = false;           // the daemon's fan controller drives it (Report::controller)
    std::optional<double> controllerTarget;  // the last target it wrote to this fan
};

struct Report {
    bool smcUp = false;            // the SMC answered this report
    bool fanCountReadable = true;
    bool all = false;              // every temperature sensor of the machine, not only the table's
    std::vector<TemperatureReading> temperatures;  // in display order
    std::vector<FanReading> fans;
    std::string controller;        // the daemon's fan controller as it named itself; empty: none
    int32_t controllerPid = 0;
    int absent = 0;                // with `all`: sensors left out because they read as absent
    std::vector<std::string> errors;               // what failed in this report, in words
    uint64_t readErrorsTotal = 0;  // failed reads since the host started
};

inline constexpr int kReportSchemaVersion = 1;

// Where a sensor of `priority` shows: the table's priorities 1 to 4 in
// order, then as 5 every sensor the table does not show.
inline int displayGroup(const std::optional<int>& priority)
{
    return priority && *priority >= 1 && *priority <= 4 ? *priority : 5;
}
