// What smcfand reads of the machine: temperatures from SMC keys and from
// hwmon files (tempN_input, millidegrees), the CPU keys it follows by
// default, and the fans with their limits.
#pragma once

#include "smcfand/Config.h"
#include "smcfand/FanControl.h"

#include "smc/smc.h"

#include <map>
#include <string>
#include <vector>

namespace smcfand {

// Whether a status says the connection itself is gone (the daemon stopped
// or restarted), rather than one key failing.
bool connectionLost(kern_return_t status);

// Whether `sensor` names a file rather than an SMC key.
inline bool isFile(const std::string& sensor)
{
    return !sensor.empty() && sensor[0] == '/';
}

// Reads temperature sensors through one connection. A key's type and size
// are asked once; after that a reading is one exchange.
class SensorReader {
public:
    explicit SensorReader(io_connect_t connection) : connection_(connection) {}

    // The reading of `sensor`; a status that lost the connection goes into
    // `status` (else 0).
    Reading read(const std::string& sensor, kern_return_t& status);

    // What keeps `sensor` from being read now, in words; empty when it reads.
    std::string problem(const std::string& sensor);

private:
    struct KeyInfo {
        uint32_t size;
        FourCharCode type;
    };
    io_connect_t connection_;
    std::map<std::string, KeyInfo> keys_;
};

// The temperature in a hwmon tempN_input file (millidegrees).
Reading readTemperatureFile(const std::string& path);

// The CPU temperature keys that read plausibly now (TC0D, TC0E, TC0F,
// TC0P, TCXC, TC<n>C); where none does, every T key that does.
std::vector<std::string> defaultSensors(io_connect_t connection);

// The machine's fans with their limits, and the daemon's floor where it has
// one. A fan whose limits cannot be read is left out, said in `skipped`.
// The fan count's read status in `status`.
std::vector<MachineFan> readMachineFans(io_connect_t connection, kern_return_t& status,
                                        std::vector<std::string>& skipped);

}  // namespace smcfand
