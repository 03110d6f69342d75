// What a machine serves through the macsmc_hwmon driver: its channels, each
// mapped to the devicetree node it was made from. The driver numbers the
// channels of each type in the tree's order, counting only the nodes whose
// key the SMC had, so the n-th node is not the n-th channel; the labels
// decide, and where they cannot, the order in the flattened tree.
#include "backends/macsmc/Machine.h"
#include "encodings/Encodings.h"
#include "backends/applesmc/Driver.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <set>
#include <unordered_map>

namespace platform {

using applesmc::exists;

std::string findMacSMCHwmon(const std::string& sysfsRoot)
{
    std::string hwmonClass = sysfsRoot + "/class/hwmon";
    std::string found;
    if (DIR* dir = opendir(hwmonClass.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string candidate = hwmonClass + "/" + entry->d_name, name;
            if (entry->d_name[0] != '.' && applesmc::readSmallFile(candidate + "/name", name) &&
                name == "macsmc_hwmon") {
                found = candidate;
                break;
            }
        }
        closedir(dir);
    }
    return found;
}

namespace macsmc {

namespace {

constexpr size_t kMaxBlob = 32u << 20;  // a real tree is some 100 KiB
constexpr SensorKind kKinds[] = {SensorKind::Temperature, SensorKind::Voltage, SensorKind::Current,
                                 SensorKind::Power, SensorKind::Fan};

std::string realPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// A channel file's text without its newline; false when it cannot be read.
bool readText(const std::string& path, std::string& text)
{
    if (!readProperty(path, text))
        return false;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return true;
}

// The flattened tree's node paths in order; empty with the reason in
// `problem` when the blob cannot be read or is no tree.
std::vector<std::string> treeOrder(const std::string& root, std::string& problem)
{
    std::string path = root + "/firmware/fdt";
    std::vector<std::string> paths;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        problem = "the devicetree's order cannot be read from " + path + ": " + std::strerror(errno);
        return paths;
    }
    std::vector<uint8_t> blob;
    uint8_t chunk[65536];
    ssize_t n;
    while (blob.size() <= kMaxBlob && (n = read(fd, chunk, sizeof chunk)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        blob.insert(blob.end(), chunk, chunk + n);
    }
    close(fd);
    if (!flattenedTreeNodePaths(blob.data(), blob.size(), paths))
        problem = path + " holds no devicetree";
    return paths;
}

// Says once per process that a channel is left out.
void sayLeftOut(const std::string& hwmon, const std::string& channel, const std::string& why)
{
    static std::mutex mutex;
    static std::set<std::string> said;
    std::lock_guard lock(mutex);
    if (said.insert(hwmon + "/" + channel).second)
        std::fprintf(stderr, "macsmc: %s of %s left out: its key cannot be known (%s)\n", channel.c_str(),
                     hwmon.c_str(), why.c_str());
}

struct Channel {
    int number = 0;
    bool labelled = false;
    std::string label;
    int node = -1;  // index into the kind's nodes, once mapped
};

// The channel numbers of each kind the directory has, ascending.
std::map<SensorKind, std::vector<Channel>> listChannels(const std::string& hwmon)
{
    std::map<SensorKind, std::vector<Channel>> channels;
    if (DIR* dir = opendir(hwmon.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string_view name = entry->d_name;
            if (!name.ends_with("_input"))
                continue;
            name.remove_suffix(6);
            size_t digits = name.find_first_of("0123456789");
            if (digits == 0 || digits == std::string_view::npos || name.size() - digits > 6 ||
                name.find_first_not_of("0123456789", digits) != std::string_view::npos)
                continue;
            for (SensorKind kind : kKinds) {
                if (name.substr(0, digits) == filePrefix(kind)) {
                    Channel channel;
                    channel.number = std::atoi(std::string(name.substr(digits)).c_str());
                    channels[kind].push_back(channel);
                }
            }
        }
        closedir(dir);
    }
    for (auto& [kind, list] : channels) {
        std::sort(list.begin(), list.end(), [](const Channel& a, const Channel& b) { return a.number < b.number; });
        for (Channel& channel : list) {
            std::string file = hwmon + "/" + filePrefix(kind) + std::to_string(channel.number) + "_label";
            channel.labelled = readText(file, channel.label);
        }
    }
    return channels;
}

// Maps channels by label: the node's label, or (older drivers) its key's
// name where the node has none. A label two channels share decides nothing.
void mapByLabel(std::vector<Channel>& channels, const std::vector<SensorNode>& nodes, std::vector<bool>& used)
{
    std::unordered_map<std::string, int> uses;
    for (const Channel& channel : channels)
        uses[channel.label] += channel.labelled;
    for (Channel& channel : channels) {
        if (!channel.labelled || uses[channel.label] != 1)
            continue;
        auto matching = [&](auto&& matches) {
            int found = -1, count = 0;
            for (size_t i = 0; i < nodes.size(); ++i) {
                if (!used[i] && matches(nodes[i])) {
                    found = int(i);
                    ++count;
                }
            }
            return count == 1 ? found : -1;
        };
        int node = matching([&](const SensorNode& n) { return !n.label.empty() && n.label == channel.label; });
        if (node < 0)
            node = matching([&](const SensorNode& n) { return n.label.empty() && encodings::fourCharText(n.key) == channel.label; });
        if (node >= 0) {
            channel.node = node;
            used[size_t(node)] = true;
        }
    }
}

// The channels a label did not map can only be nodes without a label (the
// driver makes a label file from every node's label). Between two mapped
// channels, in tree order, as many such nodes as channels: they are those
// channels, in order. False when the tree's order does not hold every node.
bool mapByOrder(std::vector<Channel>& channels, const std::vector<SensorNode>& nodes, std::vector<bool>& used,
                const std::vector<std::string>& order)
{
    std::unordered_map<std::string, size_t> rank;
    for (size_t i = 0; i < order.size(); ++i)
        rank.emplace(order[i], i);
    std::vector<int> sorted;  // node indices in tree order
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (!rank.contains(nodes[i].path))
            return false;
        sorted.push_back(int(i));
    }
    std::sort(sorted.begin(), sorted.end(), [&](int a, int b) { return rank[nodes[size_t(a)].path] < rank[nodes[size_t(b)].path]; });
    std::vector<size_t> place(nodes.size());
    for (size_t i = 0; i < sorted.size(); ++i)
        place[size_t(sorted[i])] = i;
    size_t lower = 0;  // the first tree position the next gap may use
    for (size_t first = 0; first < channels.size();) {
        if (channels[first].node >= 0) {
            lower = place[size_t(channels[first].node)] + 1;
            ++first;
            continue;
        }
        size_t last = first;
        while (last < channels.size() && channels[last].node < 0)
            ++last;
        size_t upper = last < channels.size() ? place[size_t(channels[last].node)] : sorted.size();
        std::vector<int> candidates;
        for (size_t i = lower; i < upper && i < sorted.size(); ++i) {
            int node = sorted[i];
            if (!used[size_t(node)] && nodes[size_t(node)].label.empty())
                candidates.push_back(node);
        }
        if (upper >= lower && candidates.size() == last - first) {
            for (size_t i = first; i < last; ++i) {
                channels[i].node = candidates[i - first];
                used[size_t(candidates[i - first])] = true;
            }
        }
        first = last;
    }
    return true;
}

// F<n>xx from a fan's F<n>Ac key, for trees that name only that one.
FourCharCode fanKey(FourCharCode actual, const char* suffix)
{
    std::string text = encodings::fourCharText(actual);
    if (text[0] != 'F' || text.substr(2) != "Ac")
        return 0;
    return fourCharCode(text.substr(0, 2) + suffix);
}

void addKey(Machine& machine, FourCharCode key, ServedKey served)
{
    if (key != 0)
        machine.keys.emplace(key, std::move(served));  // the first node of a key keeps it
}

void serveChannel(Machine& machine, SensorKind kind, const Channel& channel, const SensorNode& node)
{
    std::string prefix = machine.hwmon + "/" + filePrefix(kind) + std::to_string(channel.number);
    if (kind != SensorKind::Fan) {
        double scale = kind == SensorKind::Power ? 1e6 : 1e3;
        addKey(machine, node.key, {ServedKey::Source::File, prefix + "_input", scale, 0, node.label});
        return;
    }
    if (machine.keys.contains(node.key))
        return;
    auto orDerived = [&](FourCharCode key, const char* suffix) { return key ? key : fanKey(node.key, suffix); };
    addKey(machine, node.key, {ServedKey::Source::File, prefix + "_input", 1, channel.number, node.label});
    addKey(machine, orDerived(node.fanMinimum, "Mn"), {ServedKey::Source::File, prefix + "_min", 1, channel.number, {}});
    addKey(machine, orDerived(node.fanMaximum, "Mx"), {ServedKey::Source::File, prefix + "_max", 1, channel.number, {}});
    addKey(machine, orDerived(node.fanTarget, "Tg"),
           {ServedKey::Source::FanTarget, prefix + "_target", 1, channel.number, {}});
    // Only a fan whose node names its mode key can be set at all.
    addKey(machine, node.fanMode, {ServedKey::Source::FanMode, {}, 1, channel.number, {}});
    machine.fans[channel.number] = {channel.number, node.fanMode};
}

}  // namespace

std::string locateHwmon(const std::string& directory, std::string& cause)
{
    std::string found, name;
    if (directory.empty()) {
        found = findMacSMCHwmon();
        cause = "no macsmc_hwmon driver on this machine";
    } else if (exists(directory + "/class/hwmon")) {
        found = findMacSMCHwmon(directory);
        cause = "no macsmc_hwmon device under " + directory;
    } else if (applesmc::readSmallFile(directory + "/name", name) && name == "macsmc_hwmon") {
        found = directory;
    } else {
        cause = "no macsmc_hwmon device at " + directory;
    }
    if (!found.empty())
        cause.clear();
    return found;
}

bool describeMachine(const std::string& hwmon, Machine& machine, std::string& cause)
{
    machine = {};
    std::string name;
    machine.hwmon = realPath(hwmon);
    if (machine.hwmon.empty() || !applesmc::readSmallFile(machine.hwmon + "/name", name) || name != "macsmc_hwmon") {
        cause = "no macsmc_hwmon device at " + hwmon;
        return false;
    }
    // The sysfs root is what lies above devices/ (a double mounts its own).
    if (size_t devices = machine.hwmon.rfind("/devices/"); devices != std::string::npos)
        machine.root = machine.hwmon.substr(0, devices);
    machine.device = realPath(machine.hwmon + "/device");
    if (machine.device.empty())
        machine.device = machine.hwmon;

    std::string node = findHwmonNode(machine.hwmon, machine.root);
    std::string base = machine.root.empty() ? "" : realPath(machine.root + "/firmware/devicetree/base");
    std::string treePath;  // "" when the node lies outside the tree the blob describes
    if (!node.empty() && !base.empty() && (node == base || node.starts_with(base + "/")))
        treePath = node == base ? "/" : node.substr(base.size());
    std::vector<SensorNode> allNodes = node.empty() ? std::vector<SensorNode>{} : readSensorNodes(node, treePath);

    bool orderRead = false;
    std::vector<std::string> order;
    std::string orderProblem;
    for (auto& kindChannels : listChannels(machine.hwmon)) {
        SensorKind kind = kindChannels.first;
        std::vector<Channel>& channels = kindChannels.second;
        std::vector<SensorNode> nodes;
        for (const SensorNode& sensor : allNodes) {
            if (sensor.kind == kind)
                nodes.push_back(sensor);
        }
        std::vector<bool> used(nodes.size());
        mapByLabel(channels, nodes, used);
        auto open = [&] {
            return std::count_if(channels.begin(), channels.end(), [](const Channel& c) { return c.node < 0; });
        };
        size_t unlabelled = size_t(std::count_if(nodes.begin(), nodes.end(), [&](const SensorNode& n) {
            return n.label.empty() && !used[size_t(&n - nodes.data())];
        }));
        if (open() == 1 && unlabelled == 1 && channels.size() == nodes.size()) {
            // Every node kept and one left without a label: it is that one.
            for (size_t i = 0; i < nodes.size(); ++i) {
                if (!used[i] && nodes[i].label.empty()) {
                    std::find_if(channels.begin(), channels.end(), [](const Channel& c) { return c.node < 0; })->node =
                        int(i);
                    used[i] = true;
                }
            }
        }
        if (open() > 0 && !treePath.empty() && !machine.root.empty()) {
            if (!orderRead) {
                order = treeOrder(machine.root, orderProblem);
                orderRead = true;
            }
            if (!order.empty() && !mapByOrder(channels, nodes, used, order))
                orderProblem = "the devicetree's order in " + machine.root + "/firmware/fdt lacks its nodes";
        }
        for (const Channel& channel : channels) {
            std::string file = filePrefix(kind) + std::to_string(channel.number);
            if (channel.node >= 0) {
                serveChannel(machine, kind, channel, nodes[size_t(channel.node)]);
                continue;
            }
            std::string why = node.empty()             ? "no devicetree node of the driver was found"
                              : !orderProblem.empty()  ? "no label names it, and " + orderProblem
                              : treePath.empty() || machine.root.empty()
                                  ? "no label names it, and its devicetree node lies outside the flattened tree"
                                  : "no label names it, and the devicetree's order leaves it open";
            sayLeftOut(machine.hwmon, file, why);
        }
    }
    machine.keys.emplace(fourCharCode("FNum"), ServedKey{ServedKey::Source::FanCount, {}, 1, 0, {}});
    machine.keys.emplace(fourCharCode("#KEY"), ServedKey{ServedKey::Source::KeyCount, {}, 1, 0, {}});
    for (const auto& [key, served] : machine.keys) {
        if (served.source != ServedKey::Source::FanMode)
            machine.listed.push_back(key);
    }
    return true;
}

}  // namespace macsmc
}  // namespace platform
