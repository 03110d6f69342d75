// One report of the machine's sensors, as every output format sees it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a sensor measures; all but temperatures are read from floats only.
enum class Quantity { Temperature, Power, Voltage, Current };

struct TemperatureReading {
    std::string key;               // four characters as the SMC names it
    std::string name;              // the machine's label, else the table's name; empty when neither has one
    std::optional<int> priority;   // from the keys table; none for a sensor it does not list
    double celsius = 0;            // exact decoding of the raw value
    bool single = false;           // a float ("flt "): shown with the digits a float holds
};

// A power, voltage or current sensor's reading, always from a float.
struct ElectricalReading {
    std::string key;
    std::string name;              // the machine's label; empty when it has none
    Quantity quantity = Quantity::Power;
    double value = 0;              // in watts, volts or amperes
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
    // The machine has power, voltage or current sensors (an Apple Silicon
    // Mac's SMC): the formats show them, and whether it has a CPU die
    // temperature, which such machines may lack.
    bool electrical = false;
    std::vector<ElectricalReading> readings;  // in the order of floatSensorKeys()
    bool dieTemperature = false;   // a CPU die sensor was chosen
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
