// What the devicetree says about the macsmc_hwmon driver's channels: its
// sensor nodes, read from the kernel's devicetree directories, and their
// order, which only the flattened tree blob keeps.
#pragma once

#include <IOKit/IOKitLib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::macsmc {

// The channel types of the driver, in the order of their file prefixes.
enum class SensorKind { Temperature, Voltage, Current, Power, Fan };

// The driver's file prefix of `kind`: "temp", "in", "curr", "power", "fan".
const char* filePrefix(SensorKind kind);

// One sensor node of the devicetree.
struct SensorNode {
    SensorKind kind = SensorKind::Temperature;
    std::string path;  // in the tree, "/soc/smc@23e400000/hwmon/temperature-TB0T"
    FourCharCode key = 0;
    std::string label;  // "" when the node has none
    // A fan node's keys; 0 where the node names none.
    FourCharCode fanMinimum = 0, fanMaximum = 0, fanTarget = 0, fanMode = 0;
};

// The paths of every node of the flattened devicetree `blob` (the format
// of /sys/firmware/fdt), in tree order, the root "/" first. False for
// bytes that are not a well-formed tree; the blob is untrusted: every
// offset is checked, nesting and node count are bounded.
bool flattenedTreeNodePaths(const uint8_t* blob, size_t size, std::vector<std::string>& paths);

// The first string of the property file `path` (a devicetree property:
// NUL-terminated strings); false when it cannot be read.
bool readProperty(const std::string& path, std::string& value);

// The devicetree directory of the node the driver binds: `hwmon`'s
// device/of_node, else, under `sysfsRoot`/firmware/devicetree/base, the
// node compatible with "apple,smc-hwmon", else one named "macsmc-hwmon"
// (older kernels). "" when there is none.
std::string findHwmonNode(const std::string& hwmon, const std::string& sysfsRoot);

// The sensor nodes below the node directory `node` (both shapes: children
// "temperature-TB0T", or groups "apple,temp-keys/temp-TB0T"), in directory
// order, which is not the tree's. `treePath` is the node's path in the tree.
// Nodes without a four-character key are skipped.
std::vector<SensorNode> readSensorNodes(const std::string& node, const std::string& treePath);

}  // namespace platform::macsmc
