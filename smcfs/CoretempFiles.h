// The directory of Linux's coretemp driver (/sys/devices/platform/coretemp.0),
// made from an SMC's CPU temperature keys, for fan daemons that read the
// CPU's own sensors rather than the SMC's: hwmon/hwmon1 (beside the applesmc
// mount's hwmon0) with "name", the package as temp1 and each core after it.
#pragma once

#include "smcfs/DriverFiles.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace smcfs {

class CoretempFiles final : public FileTree {
public:
    // The hwmon directory, where the files stand.
    static constexpr std::string_view kDirectory = "/hwmon/hwmon1";

    // Learns which CPU keys the SMC behind `connection` has. The package is
    // the hottest of the die keys TC0D, TC0E, TC0F, TCXC and the core keys
    // TC0C to TC9C that answer; each core key is a "Core N" of its own.
    explicit CoretempFiles(io_connect_t connection);

    // False when the SMC has none of those keys: nothing to serve.
    bool hasSensors() const { return !coreKeys_.empty() || !dieKeys_.empty(); }

    const Node* find(std::string_view path) const override;
    // Millidegrees in whole degrees, as the CPU's sensor gives them; EIO
    // when the key (for the package, every key) fails to read.
    int read(const Node& node, std::string& content) override;
    int write(const Node& node, std::string_view text) override;

private:
    enum class Attribute { Name, Label, Input, Max, Crit, CritAlarm };
    struct Key {
        FourCharCode code;
        uint32_t size;
        char type[5];
    };
    struct File {
        Attribute attribute;
        int sensor;  // 0 the package, then the cores from 1
    };

    bool readCelsius(const Key& key, double& celsius);
    bool sensorCelsius(int sensor, double& celsius);
    void add(const std::string& name, Attribute attribute, int sensor);

    io_connect_t connection_;
    std::vector<Key> dieKeys_;   // only in the package
    std::vector<Key> coreKeys_;  // in the package, and each a core
    std::unordered_map<std::string, Node> nodes_;
    std::unordered_map<const Node*, File> files_;
};

}  // namespace smcfs
