// The devicetree as the kernel shows it: property files under
// /sys/firmware/devicetree/base, listed in an order of their own, and the
// flattened blob /sys/firmware/fdt that alone keeps the nodes' order.
#include "backends/macsmc/Devicetree.h"
#include "backends/applesmc/Driver.h"

#include <climits>
#include <cstring>
#include <dirent.h>

namespace platform::macsmc {

namespace {

constexpr uint32_t kFdtMagic = 0xd00dfeed;
enum : uint32_t { kBeginNode = 1, kEndNode = 2, kProperty = 3, kNop = 4, kEnd = 9 };
constexpr size_t kHeaderSize = 40;
// Far beyond any machine's tree; they keep a hostile blob from costing more.
constexpr int kMaxDepth = 64;
constexpr size_t kMaxPathBytes = 16u << 20;
// Property files are short strings; a key id is four characters.
constexpr size_t kMaxProperty = 256;
constexpr int kMaxSearchDepth = 8;

uint32_t bigEndian(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

std::vector<std::string> listDirectories(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            struct stat status;
            // Links are not nodes: a search must not loop through them.
            if (name != "." && name != ".." && lstat((directory + "/" + name).c_str(), &status) == 0 &&
                S_ISDIR(status.st_mode))
                names.push_back(std::move(name));
        }
        closedir(dir);
    }
    return names;
}

// A key as a property or node name spells it: exactly four printable characters.
FourCharCode keyFromText(const std::string& text)
{
    if (text.size() != 4)
        return 0;
    for (char c : text) {
        if (c <= ' ' || c > '~')
            return 0;
    }
    return fourCharCode(text);
}

FourCharCode keyProperty(const std::string& node, const char* property)
{
    std::string text;
    return readProperty(node + "/" + property, text) ? keyFromText(text) : 0;
}

// The kind of an upstream node by its name's prefix, or of an older
// kernel's group by its name.
struct Naming {
    const char* name;
    SensorKind kind;
};
constexpr Naming kNodePrefixes[] = {
    {"temperature-", SensorKind::Temperature}, {"voltage-", SensorKind::Voltage}, {"current-", SensorKind::Current},
    {"power-", SensorKind::Power},             {"fan-", SensorKind::Fan},
};
constexpr Naming kGroups[] = {
    {"apple,temp-keys", SensorKind::Temperature}, {"apple,volt-keys", SensorKind::Voltage},
    {"apple,current-keys", SensorKind::Current},  {"apple,curr-keys", SensorKind::Current},
    {"apple,power-keys", SensorKind::Power},      {"apple,pwr-keys", SensorKind::Power},
    {"apple,fan-keys", SensorKind::Fan},
};

void readNode(const std::string& directory, const std::string& path, const std::string& name, SensorKind kind,
              std::vector<SensorNode>& nodes)
{
    SensorNode node;
    node.kind = kind;
    node.path = path;
    node.key = keyProperty(directory, "apple,key-id");
    if (node.key == 0) {
        // Older trees may name the key only in the node's name.
        size_t dash = name.rfind('-');
        node.key = keyFromText(name.substr(dash == std::string::npos ? 0 : dash + 1));
    }
    if (node.key == 0)
        return;
    readProperty(directory + "/label", node.label);
    if (kind == SensorKind::Fan) {
        node.fanMinimum = keyProperty(directory, "apple,fan-minimum");
        node.fanMaximum = keyProperty(directory, "apple,fan-maximum");
        node.fanTarget = keyProperty(directory, "apple,fan-target");
        node.fanMode = keyProperty(directory, "apple,fan-mode");
    }
    nodes.push_back(std::move(node));
}

bool compatibleWithHwmon(const std::string& node)
{
    int fd = ::open((node + "/compatible").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[kMaxProperty];
    ssize_t n = applesmc::readWhole(fd, buffer, sizeof buffer);
    close(fd);
    // A list of NUL-terminated strings.
    for (std::string_view rest(buffer, n > 0 ? size_t(n) : 0); !rest.empty();) {
        size_t end = rest.find('\0');
        if (rest.substr(0, end) == "apple,smc-hwmon")
            return true;
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    return false;
}

// Depth first below `directory`, without following links.
std::string searchNode(const std::string& directory, int depth, bool byName)
{
    if (depth > kMaxSearchDepth)
        return {};
    for (const std::string& name : listDirectories(directory)) {
        std::string child = directory + "/" + name;
        if (byName ? name == "macsmc-hwmon" || name.starts_with("macsmc-hwmon@") : compatibleWithHwmon(child))
            return child;
        if (std::string found = searchNode(child, depth + 1, byName); !found.empty())
            return found;
    }
    return {};
}

}  // namespace

const char* filePrefix(SensorKind kind)
{
    static constexpr const char* prefixes[] = {"temp", "in", "curr", "power", "fan"};
    return prefixes[int(kind)];
}

namespace {

bool walkTree(const uint8_t* blob, size_t size, std::vector<std::string>& paths)
{
    if (blob == nullptr || size < kHeaderSize || bigEndian(blob) != kFdtMagic)
        return false;
    uint64_t total = bigEndian(blob + 4), structOffset = bigEndian(blob + 8), version = bigEndian(blob + 20);
    if (total > size || total < kHeaderSize || version < 16 || structOffset > total)
        return false;
    uint64_t end = total;
    if (version >= 17)
        end = structOffset + uint64_t(bigEndian(blob + 36));
    if (end > total || structOffset % 4 != 0)
        return false;
    std::vector<size_t> parents;  // the length of each open node's parent path
    std::string path;
    size_t pathBytes = 0;
    for (uint64_t at = structOffset; at + 4 <= end;) {
        uint32_t token = bigEndian(blob + at);
        at += 4;
        switch (token) {
        case kBeginNode: {
            const void* nul = std::memchr(blob + at, '\0', size_t(end - at));
            if (nul == nullptr || parents.size() >= size_t(kMaxDepth))
                return false;
            size_t length = size_t(static_cast<const uint8_t*>(nul) - (blob + at));
            std::string_view name(reinterpret_cast<const char*>(blob + at), length);
            if (parents.empty()) {
                if (!paths.empty())
                    return false;  // a second root
                parents.push_back(0);
                paths.push_back("/");  // whatever the root calls itself
            } else {
                if (name.find('/') != std::string_view::npos)
                    return false;  // no node name holds one: it would pass for another node's path
                parents.push_back(path.size());
                path += '/';
                path.append(name);
                pathBytes += path.size();
                if (pathBytes > kMaxPathBytes)
                    return false;
                paths.push_back(path);
            }
            at += (length + 1 + 3) / 4 * 4;
            break;
        }
        case kEndNode:
            if (parents.empty())
                return false;
            path.resize(parents.back());
            parents.pop_back();
            break;
        case kProperty: {
            if (parents.empty() || at + 8 > end)
                return false;
            uint64_t length = bigEndian(blob + at);
            at += 8;
            if (length > end - at)
                return false;
            at += (length + 3) / 4 * 4;
            break;
        }
        case kNop:
            break;
        case kEnd:
            return parents.empty() && !paths.empty();
        default:
            return false;
        }
    }
    return false;
}

}  // namespace

bool flattenedTreeNodePaths(const uint8_t* blob, size_t size, std::vector<std::string>& paths)
{
    paths.clear();
    if (walkTree(blob, size, paths))
        return true;
    paths.clear();  // nothing of a blob that is no tree
    return false;
}

bool readProperty(const std::string& path, std::string& value)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[kMaxProperty];
    ssize_t n = applesmc::readWhole(fd, buffer, sizeof buffer);
    close(fd);
    if (n < 0)
        return false;
    value.assign(buffer, strnlen(buffer, size_t(n)));
    return true;
}

std::string findHwmonNode(const std::string& hwmon, const std::string& sysfsRoot)
{
    char resolved[PATH_MAX];
    struct stat status;
    if (realpath((hwmon + "/device/of_node").c_str(), resolved) && stat(resolved, &status) == 0 &&
        S_ISDIR(status.st_mode))
        return resolved;
    std::string base = sysfsRoot + "/firmware/devicetree/base";
    if (std::string found = searchNode(base, 0, false); !found.empty())
        return found;
    return searchNode(base, 0, true);
}

std::vector<SensorNode> readSensorNodes(const std::string& node, const std::string& treePath)
{
    std::vector<SensorNode> nodes;
    std::string prefix = treePath == "/" ? "" : treePath;
    for (const std::string& name : listDirectories(node)) {
        for (const Naming& naming : kNodePrefixes) {
            if (name.starts_with(naming.name))
                readNode(node + "/" + name, prefix + "/" + name, name, naming.kind, nodes);
        }
        for (const Naming& group : kGroups) {
            if (name != group.name)
                continue;
            for (const std::string& child : listDirectories(node + "/" + name))
                readNode(node + "/" + name + "/" + child, prefix + "/" + name + "/" + child, child, group.kind,
                         nodes);
        }
    }
    return nodes;
}

}  // namespace platform::macsmc
