// The sysfs of an Apple Silicon Mac as its macsmc_hwmon driver shows it,
// made from any SMC whose sensor keys are flt or ioft: the mount point
// stands for /sys, with class/hwmon/hwmon0, the platform device, the hwmon
// directory with every channel file, the devicetree's sensor nodes, the
// flattened tree blob firmware/fdt and the module's fan_control parameter.
#pragma once

#include "smcfs/DriverFiles.h"

#include "backends/SMCService.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace smcfs {

class MacsmcFiles final : public FileTree {
public:
    // The hwmon directory, below the mount point.
    static std::string hwmonDirectory(const platform::SMCSensorTree& tree);

    // Probes, as the driver does when it loads, the key information of
    // every node of `tree` over `connection` (not owned); a node whose key
    // the SMC lacks has no channel, and later channels of its type take its
    // number. `fanControl`: the module parameter at load, which makes a fan
    // node with a mode key writable.
    MacsmcFiles(io_connect_t connection, platform::SMCSensorTree tree, bool fanControl);

    // The upstream tree for the keys the SMC behind `connection` has, from
    // the kernel's machine fragments (common, laptop, mini, one fan or two),
    // for an SMC that describes no devicetree.
    static platform::SMCSensorTree derivedTree(io_connect_t connection);

    // False when no node's key answered: the driver would not bind.
    bool hasChannels() const { return !channels_.empty(); }

    const Node* find(std::string_view path) const override;
    // A value asks the SMC once: EIO when it fails, EOPNOTSUPP for a key of
    // another type than flt or ioft.
    int read(const Node& node, std::string& content) override;
    // fanN_target and fan_control; EINVAL for what the driver refuses,
    // EOPNOTSUPP for a fan target once fan_control is off.
    int write(const Node& node, std::string_view text) override;

private:
    enum class Attribute { Text, Input, Minimum, Maximum, Target, FanControl };
    struct Key {
        FourCharCode code = 0;
        FourCharCode type = 0;
        uint32_t size = 0;
    };
    struct Channel {
        platform::SMCSensorNode node;
        long scale;  // the file's unit per key unit: 1000 for m°C, 1 for rpm
        Key input, minimum, maximum, target, mode;
        bool manual = false;  // the driver's own flag: it put the fan in manual
    };
    struct File {
        Attribute attribute;
        size_t channel = 0;
        std::string text;  // of a Text file
    };

    bool probe(FourCharCode code, Key& key);
    int readValue(const Key& key, long scale, long& value);
    int writeKey(const Key& key, const uint8_t* bytes);
    int storeTarget(Channel& channel, std::string_view text);

    void addDirectory(const std::string& path);
    void addSymlink(const std::string& path, std::string target);
    void addFile(const std::string& path, mode_t mode, File file);
    void addText(const std::string& path, std::string text, mode_t mode = 0444);
    void addDevicetree();

    io_connect_t connection_;
    platform::SMCSensorTree tree_;
    bool fanControl_;
    std::vector<Channel> channels_;
    std::unordered_map<std::string, Node> nodes_;
    std::unordered_map<const Node*, File> files_;
};

// The flattened devicetree blob (FDT version 17, big-endian) of the root,
// soc, the SMC and its hwmon node with `tree`'s nodes, in tree order.
std::string flattenedDevicetree(const platform::SMCSensorTree& tree);

// The file's number for a value of key type `type` ("flt ", little-endian;
// "ioft", unsigned 48.16) times `scale`, as the driver makes it: truncated
// toward zero, infinities and NaN at LONG_MAX or LONG_MIN by their sign.
// False for another type or size.
bool driverValue(FourCharCode type, const uint8_t* bytes, uint32_t size, long scale, long& value);

}  // namespace smcfs
