// The macsmc_hwmon driver's sysfs: its channels, their conversions and the
// rules of fan target writes, the devicetree it reads and the module.
#include "smcfs/MacsmcFiles.h"
#include "encodings/Encodings.h"

#include "smc/CallRecords.h"
#include "smc/smc.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace smcfs {
namespace {

using platform::SMCSensorNode;
using platform::SMCSensorTree;
using encodings::fourCharCode;
using encodings::fourCharText;
using Kind = SMCSensorNode::Kind;

std::string hexAddress(uint64_t address)
{
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(address));
    return text;
}

std::string smcDevice(const SMCSensorTree& tree)
{
    return "/devices/platform/soc/" + hexAddress(tree.address) + ".smc/macsmc-hwmon";
}

std::string devicetreeHwmon(const SMCSensorTree& tree)
{
    return "/firmware/devicetree/base/soc/smc@" + hexAddress(tree.address) + "/hwmon";
}

struct KindNames {
    const char* file;     // the channel files' prefix
    const char* node;     // the upstream node's prefix
    const char* group;    // the older kernels' group
    const char* grouped;  // their node's prefix
    long scale;
};

const KindNames& names(Kind kind)
{
    static const KindNames kNames[] = {
        {"temp", "temperature", "apple,temp-keys", "temp", 1000},
        {"in", "voltage", "apple,volt-keys", "volt", 1000},
        {"curr", "current", "apple,current-keys", "current", 1000},
        {"power", "power", "apple,power-keys", "power", 1000000},
        {"fan", "fan", "apple,fan-keys", "fan", 1},
    };
    return kNames[static_cast<size_t>(kind)];
}

// The node's path below the hwmon node, in the tree's shape.
std::string nodePath(const SMCSensorTree& tree, const SMCSensorNode& node)
{
    const KindNames& kind = names(node.kind);
    std::string key = fourCharText(node.key);
    return tree.shape == SMCSensorTree::Shape::Upstream ? std::string(kind.node) + "-" + key
                                                        : std::string(kind.group) + "/" + kind.grouped + "-" + key;
}

// A node's properties, in the order the binding writes them.
std::vector<std::pair<std::string, std::string>> properties(const SMCSensorNode& node)
{
    std::vector<std::pair<std::string, std::string>> list{{"apple,key-id", fourCharText(node.key)}};
    if (node.label)
        list.emplace_back("label", *node.label);
    if (node.kind == Kind::Fan) {
        list.emplace_back("apple,fan-minimum", fourCharText(node.minimum));
        list.emplace_back("apple,fan-maximum", fourCharText(node.maximum));
        list.emplace_back("apple,fan-target", fourCharText(node.target));
        if (node.mode)
            list.emplace_back("apple,fan-mode", fourCharText(node.mode));
    }
    return list;
}

// A devicetree property's bytes: the string and its terminating NUL.
std::string propertyValue(const std::string& text)
{
    return text + '\0';
}

// Where kernfs lists an entry: by a hash of its name, then the name; so a
// directory's listing is not the order its entries were made in.
uint32_t listingHash(const std::string& name)
{
    uint32_t hash = 2166136261u;
    for (char c : name)
        hash = (hash ^ uint8_t(c)) * 16777619u;
    hash &= 0x7fffffffu;
    return hash < 2 ? hash + 2 : hash;
}

// kstrtol's decimal: an optional sign and one trailing newline.
bool parseSigned(std::string_view text, long& value)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    unsigned long magnitude;
    if (text.empty() || text.front() == '+' || !parseUnsigned(text, magnitude) ||
        magnitude > static_cast<unsigned long>(LONG_MAX) + (negative ? 1 : 0))
        return false;
    value = negative ? static_cast<long>(0 - magnitude) : static_cast<long>(magnitude);
    return true;
}

void appendWord(std::string& blob, uint32_t word)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        blob.push_back(char(word >> shift & 0xff));
}

void pad(std::string& blob)
{
    while (blob.size() % 4)
        blob.push_back('\0');
}

}  // namespace

bool driverValue(FourCharCode type, const uint8_t* bytes, uint32_t size, long scale, long& value)
{
    if (type == fourCharCode("flt ") && size == 4) {
        uint32_t bits = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                        uint32_t(bytes[3]) << 24;
        float number;
        std::memcpy(&number, &bits, sizeof number);
        if (!std::isfinite(number)) {
            value = std::signbit(number) ? LONG_MIN : LONG_MAX;
            return true;
        }
        // Exact: 24 bits of mantissa times at most 20 of scale fit a double.
        double scaled = std::trunc(double(number) * double(scale));
        value = scaled >= 0x1p63 ? LONG_MAX : scaled < -0x1p63 ? LONG_MIN : long(scaled);
        return true;
    }
    if (type == fourCharCode("ioft") && size == 8) {
        uint64_t raw = 0;
        for (int i = 7; i >= 0; --i)
            raw = raw << 8 | bytes[i];
        unsigned __int128 scaled = (static_cast<unsigned __int128>(raw) * uint64_t(scale)) >> 16;
        value = scaled > static_cast<unsigned __int128>(LONG_MAX) ? LONG_MAX : long(scaled);
        return true;
    }
    return false;
}

std::string MacsmcFiles::hwmonDirectory(const SMCSensorTree& tree)
{
    return smcDevice(tree) + "/hwmon/hwmon0";
}

bool MacsmcFiles::probe(FourCharCode code, Key& key)
{
    SMCKeyData response;
    if (code == 0 || smc::call(connection_, smc::keyInfoRequest(code), response) != KERN_SUCCESS ||
        response.dataSize == 0 || response.dataSize > 32)
        return false;
    key = {code, response.dataType, response.dataSize};
    return true;
}

SMCSensorTree MacsmcFiles::derivedTree(io_connect_t connection)
{
    struct Fragment {
        Kind kind;
        const char* key;
        const char* label;
    };
    static constexpr Fragment kCommon[] = {
        {Kind::Power, "PSTR", "Total System Power"},      {Kind::Power, "PDTR", "AC Input Power"},
        {Kind::Power, "PMVR", "3.8 V Rail Power"},        {Kind::Temperature, "TH0x", "NAND Flash Temperature"},
        {Kind::Voltage, "VD0R", "AC Input Voltage"},      {Kind::Current, "ID0R", "AC Input Current"},
    };
    static constexpr Fragment kLaptop[] = {
        {Kind::Power, "PHPC", "Heatpipe Power"},          {Kind::Temperature, "TB0T", "Battery Hotspot"},
        {Kind::Temperature, "TCHP", "Charge Regulator Temp"}, {Kind::Temperature, "TW0P", "WiFi/BT Module Temp"},
        {Kind::Voltage, "SBAV", "Battery Voltage"},
    };
    static constexpr Fragment kMini[] = {{Kind::Temperature, "TW0P", "WiFi/BT Module Temp"}};

    MacsmcFiles probing(connection, {}, false);
    Key key;
    auto has = [&](const char* name) { return probing.probe(fourCharCode(name), key); };
    bool laptop = has("PHPC") || has("TB0T") || has("TCHP") || has("SBAV");
    SMCSensorTree tree;
    auto add = [&](const Fragment& fragment) {
        if (!has(fragment.key))
            return;
        std::string label = fragment.label;
        if (laptop && std::strcmp(fragment.key, "VD0R") == 0)
            label = "Charger Input Voltage";
        tree.nodes.push_back({.kind = fragment.kind, .key = fourCharCode(fragment.key), .label = label});
    };
    for (const Fragment& fragment : kCommon)
        add(fragment);
    if (laptop)
        for (const Fragment& fragment : kLaptop)
            add(fragment);
    else
        for (const Fragment& fragment : kMini)
            add(fragment);
    SMCKeyData response;
    int fans = 0;
    if (smc::call(connection, smc::readRequest(fourCharCode("FNum"), 1), response) == KERN_SUCCESS)
        fans = std::min<int>(uint8_t(response.bytes[0]), 2);
    for (int fan = 0; fan < fans; ++fan) {
        auto fanKey = [fan](const char* suffix) { return fourCharCode(std::string{'F', char('0' + fan)} + suffix); };
        SMCSensorNode node{.kind = Kind::Fan, .key = fanKey("Ac"),
                           .label = fans == 1 ? std::string("Fan") : "Fan " + std::to_string(fan + 1),
                           .minimum = fanKey("Mn"), .maximum = fanKey("Mx"), .target = fanKey("Tg")};
        if (probing.probe(fanKey("Md"), key))
            node.mode = fanKey("Md");
        if (probing.probe(node.key, key))
            tree.nodes.push_back(std::move(node));
    }
    return tree;
}

MacsmcFiles::MacsmcFiles(io_connect_t connection, SMCSensorTree tree, bool fanControl)
    : connection_(connection), tree_(std::move(tree)), fanControl_(fanControl)
{
    for (const SMCSensorNode& node : tree_.nodes) {
        Channel channel{.node = node, .scale = names(node.kind).scale};
        if (!probe(node.key, channel.input))
            continue;
        if (node.kind == Kind::Fan &&
            !(probe(node.minimum, channel.minimum) && probe(node.maximum, channel.maximum) &&
              probe(node.target, channel.target)))
            continue;
        if (node.kind == Kind::Fan)
            probe(node.mode, channel.mode);
        channels_.push_back(std::move(channel));
    }
    if (tree_.nodes.empty())
        return;  // a probe only

    std::string device = smcDevice(tree_);
    std::string hwmon = hwmonDirectory(tree_);
    addDirectory("/");
    addSymlink("/class/hwmon/hwmon0", "../../" + hwmon.substr(1));
    // What lm-sensors and node_exporter follow to name the chip: a platform
    // device (so an ISA adapter, address 0), its bus and driver.
    std::string up = "../../../../../";
    addSymlink(device + "/subsystem", up + "bus/platform");
    addSymlink(device + "/driver", up + "bus/platform/drivers/macsmc-hwmon");
    addSymlink(device + "/of_node", up + devicetreeHwmon(tree_).substr(1));
    bool upstream = tree_.shape == SMCSensorTree::Shape::Upstream;
    std::string modalias = upstream ? "of:NhwmonT(null)Capple,smc-hwmon" : "platform:macsmc-hwmon";
    addText(device + "/modalias", modalias + "\n");
    addText(device + "/uevent", "DRIVER=macsmc-hwmon\nOF_NAME=hwmon\nOF_FULLNAME=/soc/smc@" +
                                    hexAddress(tree_.address) + "/hwmon\n" +
                                    (upstream ? "OF_COMPATIBLE_0=apple,smc-hwmon\nOF_COMPATIBLE_N=1\n"
                                              : "OF_COMPATIBLE_N=0\n") +
                                    "MODALIAS=" + modalias + "\n",
            0644);
    addSymlink("/bus/platform/drivers/macsmc-hwmon/module", "../../../../module/macsmc_hwmon");
    addFile("/module/macsmc_hwmon/parameters/fan_control", 0644, {Attribute::FanControl});

    addSymlink(hwmon + "/device", "../../../macsmc-hwmon");
    addText(hwmon + "/name", "macsmc_hwmon\n");
    int numbers[5] = {};
    for (size_t i = 0; i < channels_.size(); ++i) {
        const SMCSensorNode& node = channels_[i].node;
        std::string prefix = hwmon + "/" + names(node.kind).file +
                             std::to_string(++numbers[static_cast<size_t>(node.kind)]) + "_";
        addFile(prefix + "input", 0444, {Attribute::Input, i});
        // The older kernels' driver names every channel, by its key at least.
        if (node.label || !upstream)
            addText(prefix + "label", node.label.value_or(fourCharText(node.key)) + "\n");
        if (node.kind != Kind::Fan)
            continue;
        addFile(prefix + "min", 0444, {Attribute::Minimum, i});
        addFile(prefix + "max", 0444, {Attribute::Maximum, i});
        // Writable only as probed: with the parameter on and a mode key.
        addFile(prefix + "target", fanControl_ && channels_[i].mode.code ? 0644 : 0444, {Attribute::Target, i});
    }
    addDevicetree();
    std::string blob = flattenedDevicetree(tree_);
    addText("/firmware/fdt", blob, 0400);
}

void MacsmcFiles::addDevicetree()
{
    std::string base = "/firmware/devicetree/base";
    addText(base + "/name", propertyValue(""));
    addText(base + "/soc/name", propertyValue("soc"));
    std::string smc = base + "/soc/smc@" + hexAddress(tree_.address);
    addText(smc + "/name", propertyValue("smc"));
    addText(smc + "/compatible", propertyValue("apple,smc"));
    std::string hwmon = devicetreeHwmon(tree_);
    addText(hwmon + "/name", propertyValue("hwmon"));
    if (tree_.shape == SMCSensorTree::Shape::Upstream)
        addText(hwmon + "/compatible", propertyValue("apple,smc-hwmon"));
    for (const SMCSensorNode& node : tree_.nodes) {
        std::string path = hwmon + "/" + nodePath(tree_, node);
        std::string group = path.substr(0, path.rfind('/'));
        if (group != hwmon)
            addText(group + "/name", propertyValue(group.substr(group.rfind('/') + 1)));
        addText(path + "/name", propertyValue(path.substr(path.rfind('/') + 1)));
        for (const auto& [property, value] : properties(node))
            addText(path + "/" + property, propertyValue(value));
    }
    // Listed as kernfs lists them, not in tree order.
    for (auto& [path, node] : nodes_)
        if (node.kind == NodeKind::Directory && path.rfind("/firmware/devicetree", 0) == 0)
            std::sort(node.children.begin(), node.children.end(), [](const std::string& a, const std::string& b) {
                uint32_t x = listingHash(a), y = listingHash(b);
                return x != y ? x < y : a < b;
            });
}

void MacsmcFiles::addDirectory(const std::string& path)
{
    if (nodes_.contains(path))
        return;
    nodes_[path] = Node{.kind = NodeKind::Directory, .mode = 0755};
    if (path == "/")
        return;
    size_t slash = path.rfind('/');
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    addDirectory(parent);
    nodes_[parent].children.push_back(path.substr(slash + 1));
}

void MacsmcFiles::addSymlink(const std::string& path, std::string target)
{
    addDirectory(path.substr(0, path.rfind('/')));
    nodes_[path] = Node{.kind = NodeKind::Symlink, .mode = 0777, .target = std::move(target)};
    nodes_[path.substr(0, path.rfind('/'))].children.push_back(path.substr(path.rfind('/') + 1));
}

void MacsmcFiles::addFile(const std::string& path, mode_t mode, File file)
{
    std::string directory = path.substr(0, path.rfind('/'));
    addDirectory(directory);
    Node& node = nodes_[path];
    node = Node{.kind = NodeKind::File, .mode = mode};
    files_[&node] = std::move(file);
    nodes_[directory].children.push_back(path.substr(path.rfind('/') + 1));
}

void MacsmcFiles::addText(const std::string& path, std::string text, mode_t mode)
{
    addFile(path, mode, {Attribute::Text, 0, std::move(text)});
}

const Node* MacsmcFiles::find(std::string_view path) const
{
    auto found = nodes_.find(std::string(path));
    return found == nodes_.end() ? nullptr : &found->second;
}

int MacsmcFiles::readValue(const Key& key, long scale, long& value)
{
    SMCKeyData response;
    if (smc::call(connection_, smc::readRequest(key.code, key.size), response) != KERN_SUCCESS)
        return EIO;
    return driverValue(key.type, reinterpret_cast<const uint8_t*>(response.bytes), key.size, scale, value)
               ? 0
               : EOPNOTSUPP;
}

int MacsmcFiles::writeKey(const Key& key, const uint8_t* bytes)
{
    SMCKeyData response;
    return smc::call(connection_, smc::writeRequest(key.code, bytes, key.size), response) == KERN_SUCCESS ? 0 : EIO;
}

int MacsmcFiles::read(const Node& node, std::string& content)
{
    auto found = files_.find(&node);
    if (found == files_.end())
        return EISDIR;
    const File& file = found->second;
    if (file.attribute == Attribute::Text) {
        content = file.text;
        return 0;
    }
    if (file.attribute == Attribute::FanControl) {
        content = fanControl_ ? "Y\n" : "N\n";
        return 0;
    }
    const Channel& channel = channels_[file.channel];
    const Key& key = file.attribute == Attribute::Minimum   ? channel.minimum
                     : file.attribute == Attribute::Maximum ? channel.maximum
                     : file.attribute == Attribute::Target  ? channel.target
                                                            : channel.input;
    long value;
    if (int error = readValue(key, channel.scale, value))
        return error;
    content = std::to_string(value) + "\n";
    return 0;
}

int MacsmcFiles::write(const Node& node, std::string_view text)
{
    auto found = files_.find(&node);
    if (found == files_.end() || !(node.mode & 0200))
        return EACCES;
    if (found->second.attribute == Attribute::Target)
        return storeTarget(channels_[found->second.channel], text);
    // A bool parameter takes y, n, 1, 0, on and off by their first letters.
    char first = text.empty() ? '\0' : text[0];
    char second = text.size() > 1 ? text[1] : '\0';
    if (first == 'y' || first == 'Y' || first == '1' || ((first == 'o' || first == 'O') && (second == 'n' || second == 'N')))
        fanControl_ = true;
    else if (first == 'n' || first == 'N' || first == '0' ||
             ((first == 'o' || first == 'O') && (second == 'f' || second == 'F')))
        fanControl_ = false;
    else
        return EINVAL;
    return 0;
}

int MacsmcFiles::storeTarget(Channel& channel, std::string_view text)
{
    if (!fanControl_)
        return EOPNOTSUPP;
    long rpm;
    if (!parseSigned(text, rpm))
        return EINVAL;
    if (rpm == 0) {
        // Automatic: only a fan this driver put in manual is given back.
        if (channel.manual) {
            uint8_t automatic = 0;
            if (int error = writeKey(channel.mode, &automatic))
                return error;
            channel.manual = false;
        }
        return 0;
    }
    long minimum, maximum;
    if (int error = readValue(channel.minimum, 1, minimum))
        return error;
    if (int error = readValue(channel.maximum, 1, maximum))
        return error;
    if (rpm < minimum || rpm > maximum)
        return EINVAL;
    if (!channel.manual) {
        uint8_t manual = 1;
        if (int error = writeKey(channel.mode, &manual))
            return error;
        channel.manual = true;
    }
    uint8_t bytes[4];
    encodings::encode(fourCharCode("flt "), 4, double(rpm), bytes);
    return writeKey(channel.target, bytes);
}

std::string flattenedDevicetree(const SMCSensorTree& tree)
{
    constexpr uint32_t kBeginNode = 1, kEndNode = 2, kProperty = 3, kEnd = 9;
    std::string structure, strings;
    auto begin = [&](const std::string& name) {
        appendWord(structure, kBeginNode);
        structure += name;
        structure.push_back('\0');
        pad(structure);
    };
    auto property = [&](const std::string& name, const std::string& value) {
        size_t offset = strings.find(name + '\0');
        if (offset == std::string::npos || (offset > 0 && strings[offset - 1] != '\0')) {
            offset = strings.size();
            strings += name;
            strings.push_back('\0');
        }
        appendWord(structure, kProperty);
        appendWord(structure, uint32_t(value.size()));
        appendWord(structure, uint32_t(offset));
        structure += value;
        pad(structure);
    };
    auto end = [&] { appendWord(structure, kEndNode); };

    begin("");
    begin("soc");
    begin("smc@" + hexAddress(tree.address));
    property("compatible", propertyValue("apple,smc"));
    begin("hwmon");
    if (tree.shape == SMCSensorTree::Shape::Upstream)
        property("compatible", propertyValue("apple,smc-hwmon"));
    // The grouped shape keeps each group where its first node stands.
    std::vector<Kind> groups;
    for (const SMCSensorNode& node : tree.nodes)
        if (std::find(groups.begin(), groups.end(), node.kind) == groups.end())
            groups.push_back(node.kind);
    auto emit = [&](const SMCSensorNode& node) {
        std::string path = nodePath(tree, node);
        begin(path.substr(path.rfind('/') + 1));
        for (const auto& [name, value] : properties(node))
            property(name, propertyValue(value));
        end();
    };
    if (tree.shape == SMCSensorTree::Shape::Upstream) {
        for (const SMCSensorNode& node : tree.nodes)
            emit(node);
    } else {
        for (Kind kind : groups) {
            begin(names(kind).group);
            for (const SMCSensorNode& node : tree.nodes)
                if (node.kind == kind)
                    emit(node);
            end();
        }
    }
    end();  // hwmon
    end();  // smc
    end();  // soc
    end();  // root
    appendWord(structure, kEnd);

    constexpr uint32_t kHeaderSize = 40, kReserveSize = 16;
    uint32_t structureOffset = kHeaderSize + kReserveSize;
    uint32_t stringsOffset = structureOffset + uint32_t(structure.size());
    std::string blob;
    for (uint32_t word : {0xd00dfeedu, stringsOffset + uint32_t(strings.size()), structureOffset, stringsOffset,
                          kHeaderSize, 17u, 16u, 0u, uint32_t(strings.size()), uint32_t(structure.size())})
        appendWord(blob, word);
    blob.append(kReserveSize, '\0');  // the memory reservations: none
    return blob + structure + strings;
}

}  // namespace smcfs
