// The coretemp driver's files over an SMC's CPU keys.
#include "smcfs/CoretempFiles.h"
#include "encodings/Encodings.h"

#include "smc/CallRecords.h"
#include "smc/smc.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace smcfs {
namespace {

// What the CPU's own sensor reports as its limit (TjMax) on these machines.
constexpr int kCriticalMillidegrees = 100000;

}  // namespace

CoretempFiles::CoretempFiles(io_connect_t connection) : connection_(connection)
{
    auto learn = [this](const char* name, std::vector<Key>& into) {
        SMCVal value{};
        if (SMCReadKey2(name, &value, connection_) != KERN_SUCCESS || value.dataSize == 0 || value.dataSize > 32)
            return;
        Key key{encodings::fourCharCode(name), value.dataSize, {}};
        std::memcpy(key.type, value.dataType, sizeof key.type);
        into.push_back(key);
    };
    for (const char* name : {"TC0D", "TC0E", "TC0F", "TCXC"})
        learn(name, dieKeys_);
    for (char core = '0'; core <= '9'; ++core)
        learn((std::string("TC") + core + "C").c_str(), coreKeys_);

    nodes_["/"] = Node{.kind = NodeKind::Directory, .mode = 0755, .children = {"hwmon"}};
    nodes_["/hwmon"] = Node{.kind = NodeKind::Directory, .mode = 0755, .children = {"hwmon1"}};
    nodes_[std::string(kDirectory)] = Node{.kind = NodeKind::Directory, .mode = 0755};
    // Tools that start from /sys/class/hwmon find the device through it.
    nodes_[std::string(kDirectory) + "/device"] =
        Node{.kind = NodeKind::Symlink, .mode = 0777, .target = "../../../coretemp.0"};
    nodes_[std::string(kDirectory)].children.push_back("device");
    add("name", Attribute::Name, 0);
    for (int sensor = 0; sensor <= int(coreKeys_.size()); ++sensor) {
        std::string prefix = "temp" + std::to_string(sensor + 1) + "_";
        add(prefix + "label", Attribute::Label, sensor);
        add(prefix + "input", Attribute::Input, sensor);
        add(prefix + "max", Attribute::Max, sensor);
        add(prefix + "crit", Attribute::Crit, sensor);
        add(prefix + "crit_alarm", Attribute::CritAlarm, sensor);
    }
}

void CoretempFiles::add(const std::string& name, Attribute attribute, int sensor)
{
    std::string directory(kDirectory);
    Node& node = nodes_[directory + "/" + name];
    node = Node{.kind = NodeKind::File, .mode = 0444, .number = sensor};
    files_[&node] = {attribute, sensor};
    nodes_[directory].children.push_back(name);
}

const Node* CoretempFiles::find(std::string_view path) const
{
    auto found = nodes_.find(std::string(path));
    return found == nodes_.end() ? nullptr : &found->second;
}

bool CoretempFiles::readCelsius(const Key& key, double& celsius)
{
    SMCKeyData response;
    if (smc::call(connection_, smc::readRequest(key.code, key.size), response) != KERN_SUCCESS)
        return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(response.bytes);
    celsius = encodings::temperature(encodings::fourCharCode(std::string_view(key.type, 4)), bytes, key.size);
    return std::isfinite(celsius);
}

bool CoretempFiles::sensorCelsius(int sensor, double& celsius)
{
    if (sensor > 0)
        return readCelsius(coreKeys_[sensor - 1], celsius);
    // The package is its hottest sensor; one that does not answer is left out.
    bool any = false;
    for (const std::vector<Key>* keys : {&dieKeys_, &coreKeys_}) {
        for (const Key& key : *keys) {
            double reading;
            if (readCelsius(key, reading)) {
                celsius = any ? std::max(celsius, reading) : reading;
                any = true;
            }
        }
    }
    return any;
}

int CoretempFiles::read(const Node& node, std::string& content)
{
    auto found = files_.find(&node);
    if (found == files_.end())
        return EISDIR;
    auto [attribute, sensor] = found->second;
    double celsius = 0;
    switch (attribute) {
    case Attribute::Name:
        content = "coretemp\n";
        return 0;
    case Attribute::Label:
        // A core is named by its key's digit: TC2C is "Core 2".
        content = sensor == 0 ? "Package id 0\n" : "Core " + std::string(1, char(coreKeys_[sensor - 1].code >> 8 & 0xff)) + "\n";
        return 0;
    case Attribute::Max:
    case Attribute::Crit:
        content = std::to_string(kCriticalMillidegrees) + "\n";
        return 0;
    case Attribute::Input:
        if (!sensorCelsius(sensor, celsius))
            return EIO;
        content = std::to_string(std::lround(celsius) * 1000) + "\n";
        return 0;
    case Attribute::CritAlarm:
        if (!sensorCelsius(sensor, celsius))
            return EIO;
        content = std::lround(celsius) * 1000 >= kCriticalMillidegrees ? "1\n" : "0\n";
        return 0;
    }
    return EIO;
}

int CoretempFiles::write(const Node&, std::string_view)
{
    return EACCES;  // every file is read-only, for root too
}

}  // namespace smcfs
