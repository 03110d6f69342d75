// The power the CPU draws, each poll: the heat that reaches the die before
// its temperature shows it, for the controller to move the fans early.
#pragma once

#include "smcfand/Sensors.h"

#include <chrono>
#include <optional>
#include <string>

namespace smcfand {

// The package domain of Linux's RAPL counters, as the kernel links it:
// intel-rapl:0 in /sys/class/powercap, or in the directory SMC_POWERCAP
// names (for tests and the bench).
std::string raplPackageDirectory();

class Power {
public:
    // Chooses the source once, the first that reads now: the SMC's CPU power
    // keys behind `connection` (not owned) PCPC (package), PC0C (cores),
    // PCPT (package total), PHPC (heat pipe); else the RAPL counter of the
    // domain directory `rapl`; else the system's power, PSTR; else none.
    explicit Power(io_connect_t connection, std::string rapl = raplPackageDirectory(),
                   FileSensor::ReadFile readFile = readEnergyFile);

    // "PCPC", "RAPL package-0"; empty for none.
    const std::string& source() const { return source_; }

    // Starts this poll's read of a counter file, for watts().
    void ask();

    // The power at the poll at `now`, in W. From a counter: its mean since
    // the last poll that read it (wraps taken), nothing at the first. Nothing
    // when it cannot be read now.
    std::optional<double> watts(std::chrono::steady_clock::time_point now);

    // Reads keys through `connection` (not owned) from now on.
    void reconnected(io_connect_t connection);

private:
    struct Sample {
        double microjoules;
        std::chrono::steady_clock::time_point at;
    };
    bool chooseKey(const char* key);
    bool chooseRapl();

    io_connect_t connection_;
    std::string rapl_;  // the domain directory
    SensorReader files_;
    std::string source_;
    std::string key_;  // the SMC key read, when the source is one
    uint32_t size_ = 0;
    FourCharCode type_ = 0;
    std::optional<double> range_;  // µJ where the counter wraps, when known
    std::optional<Sample> last_;
};

// "power from PCPC", or what the controller goes by without one.
std::string powerLine(const Power& power);

}  // namespace smcfand
