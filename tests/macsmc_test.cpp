// The macsmc back-end over a hand-built sysfs tree: each machine kind's
// channels as keys, the channel-to-key mapping when the driver dropped a key
// or a label is missing, fan writes and their refusals, and the files going
// away and coming back.
#include "backends/CallRecord.h"
#include "backends/SMCService.h"
#include "backends/macsmc/Devicetree.h"
#include "backends/macsmc/MacSMCService.h"
#include "encodings/Encodings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using platform::fourCharCode;

struct Node {
    std::string kind;  // the driver's file prefix: temp, in, curr, power, fan
    std::string key;
    std::string label;  // "" for none
    long long value;    // what the driver's _input file shows
};

struct MachineKind {
    const char* name;
    const char* smc;  // the SMC's address
    bool grouped;     // the older devicetree shape
    std::vector<Node> nodes;  // in tree order
};

const std::vector<Node> kCommon = {
    {"power", "PSTR", "Total System Power", 7710123}, {"power", "PDTR", "AC Input Power", 0},
    {"power", "PMVR", "3.8 V Rail Power", 512000},     {"temp", "TH0x", "NAND Flash Temperature", 38250},
    {"in", "VD0R", "AC Input Voltage", 20040},         {"curr", "ID0R", "AC Input Current", -12},
};
const std::vector<Node> kLaptop = {
    {"power", "PHPC", "Heatpipe Power", 4100500}, {"temp", "TB0T", "Battery Hotspot", -5250},
    {"temp", "TCHP", "Charge Regulator Temp", 41999}, {"temp", "TW0P", "WiFi/BT Module Temp", 44001},
    {"in", "SBAV", "Battery Voltage", 12741},
};
const std::vector<Node> kFanDual = {{"fan", "F0Ac", "Fan 1", 2316}, {"fan", "F1Ac", "Fan 2", 2298}};

std::vector<Node> joined(std::vector<Node> nodes, const std::vector<Node>& more)
{
    nodes.insert(nodes.end(), more.begin(), more.end());
    return nodes;
}

std::vector<Node> without(std::vector<Node> nodes, const std::string& key)
{
    std::erase_if(nodes, [&](const Node& node) { return node.key == key; });
    return nodes;
}

const std::vector<MachineKind>& machineKinds()
{
    static const std::vector<MachineKind> kinds = {
        {"14-inch MacBook Pro", "290400000", false, joined(kCommon, joined(kLaptop, kFanDual))},
        {"Mac mini", "23e400000", false,
         joined(kCommon, {{"temp", "TW0P", "WiFi/BT Module Temp", 40125}, {"fan", "F0Ac", "Fan", 1200}})},
        {"MacBook Air", "23e400000", false, joined(kCommon, kLaptop)},
        {"Mac Studio", "290400000", false, joined(without(kCommon, "VD0R"), kFanDual)},
        {"13-inch MacBook Pro, older tree", "23e400000", true,
         joined(kCommon, joined(kLaptop, {{"fan", "F0Ac", "Fan", 1800}}))},
    };
    return kinds;
}

// How a tree departs from the real driver's.
struct Variation {
    std::set<std::string> dropped;     // keys the driver left out: later channels shift
    std::set<std::string> unlabelled;  // nodes without a label
    bool olderDriver = false;          // every channel has a label file, the key name where the node has none
    bool fdt = true;
    bool fanControl = true;
    int index = 3;  // hwmonN
};

const char* nodePrefix(const std::string& kind, bool grouped)
{
    static const std::map<std::string, std::pair<const char*, const char*>> prefixes = {
        {"temp", {"temperature-", "apple,temp-keys/temp-"}}, {"in", {"voltage-", "apple,volt-keys/volt-"}},
        {"curr", {"current-", "apple,current-keys/current-"}}, {"power", {"power-", "apple,power-keys/power-"}},
        {"fan", {"fan-", "apple,fan-keys/fan-"}},
    };
    const auto& pair = prefixes.at(kind);
    return grouped ? pair.second : pair.first;
}

void put(const std::string& path, const std::string& text, fs::perms mode = fs::perms(0644))
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
    fs::permissions(path, mode);
}

void put32(std::string& blob, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        blob += char(value >> shift);
}

// A flattened devicetree of `paths` (below /soc/smc@ADDR/hwmon, in tree order).
std::string fdtBlob(const std::string& smc, const std::vector<std::string>& paths)
{
    std::string tokens;
    auto begin = [&](const std::string& name) {
        put32(tokens, 1);
        tokens += name;
        tokens.append(4 - name.size() % 4, '\0');
    };
    auto end = [&] { put32(tokens, 2); };
    begin("");
    begin("soc");
    begin("smc@" + smc);
    begin("hwmon");
    std::string compatible = "apple,smc-hwmon";
    put32(tokens, 3);
    put32(tokens, uint32_t(compatible.size() + 1));
    put32(tokens, 0);
    tokens += compatible;
    tokens.append(4 - compatible.size() % 4, '\0');
    std::vector<std::string> open;  // the group nodes open now
    for (const std::string& path : paths) {
        std::vector<std::string> parts;
        for (size_t at = 0, slash; at <= path.size(); at = slash + 1) {
            slash = std::min(path.find('/', at), path.size());
            parts.push_back(path.substr(at, slash - at));
        }
        std::vector<std::string> groups(parts.begin(), parts.end() - 1);
        while (!open.empty() && open != groups) {
            end();
            open.pop_back();
        }
        for (size_t i = open.size(); i < groups.size(); ++i) {
            begin(groups[i]);
            open.push_back(groups[i]);
        }
        begin(parts.back());
        end();
    }
    for (size_t i = 0; i < open.size() + 4; ++i)
        end();
    put32(tokens, 9);
    std::string strings = "compatible";
    strings += '\0';
    std::string blob;
    uint32_t structOffset = 56, stringsOffset = structOffset + uint32_t(tokens.size());
    for (uint32_t word : {0xd00dfeedu, stringsOffset + uint32_t(strings.size()), structOffset, stringsOffset, 40u,
                          17u, 16u, 0u, uint32_t(strings.size()), uint32_t(tokens.size())})
        put32(blob, word);
    blob.append(16, '\0');  // the empty memory reservation map
    return blob + tokens + strings;
}

// Writes the machine's sysfs under `root`; the hwmon directory's real path.
std::string buildTree(const std::string& root, const MachineKind& machine, const Variation& variation = {})
{
    std::string platformDevice = root + "/devices/platform/soc/" + machine.smc + ".smc/macsmc-hwmon";
    std::string hwmon = platformDevice + "/hwmon/hwmon" + std::to_string(variation.index);
    std::string node = root + "/firmware/devicetree/base/soc/smc@" + machine.smc + "/hwmon";
    put(hwmon + "/name", "macsmc_hwmon\n");
    put(root + "/class/hwmon/hwmon0/name", "nvme\n");  // another driver's, found first by index
    fs::create_directory_symlink("../../devices/platform/soc/" + std::string(machine.smc) +
                                     ".smc/macsmc-hwmon/hwmon/hwmon" + std::to_string(variation.index),
                                 root + "/class/hwmon/hwmon" + std::to_string(variation.index));
    fs::create_directory_symlink("../..", hwmon + "/device");
    if (!fs::exists(platformDevice + "/of_node"))
        fs::create_directory_symlink(fs::relative(node, platformDevice), platformDevice + "/of_node");
    put(node + "/compatible", std::string("apple,smc-hwmon") + '\0');
    put(root + "/module/macsmc_hwmon/parameters/fan_control", variation.fanControl ? "Y\n" : "N\n");
    std::vector<Node> nodes = machine.nodes;
    if (machine.grouped)  // a group's nodes lie together in the tree
        std::stable_sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) { return a.kind < b.kind; });
    std::vector<std::string> paths;
    std::map<std::string, int> channels;
    // Made in reverse: no reader may take the listing's order for the tree's.
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        std::string path = nodePrefix(it->kind, machine.grouped) + it->key;
        paths.insert(paths.begin(), path);
        put(node + "/" + path + "/apple,key-id", it->key + '\0');
        put(node + "/" + path + "/name", path.substr(path.rfind('/') + 1) + '\0');
        bool labelled = !variation.unlabelled.contains(it->key);
        if (labelled)
            put(node + "/" + path + "/label", it->label + '\0');
        if (it->kind == "fan") {
            std::string fan = it->key.substr(0, 2);
            for (auto [property, suffix] : {std::pair{"minimum", "Mn"}, {"maximum", "Mx"}, {"target", "Tg"}, {"mode", "Md"}})
                put(node + "/" + path + "/apple,fan-" + property, fan + suffix + '\0');
        }
    }
    for (const Node& sensor : machine.nodes) {
        if (variation.dropped.contains(sensor.key))
            continue;
        std::string channel = hwmon + "/" + sensor.kind + std::to_string(++channels[sensor.kind]);
        put(channel + "_input", std::to_string(sensor.value) + "\n", fs::perms(0444));
        bool labelled = !variation.unlabelled.contains(sensor.key);
        if (labelled || variation.olderDriver)
            put(channel + "_label", (labelled ? sensor.label : sensor.key) + "\n", fs::perms(0444));
        if (sensor.kind == "fan") {
            put(channel + "_min", "1000\n", fs::perms(0444));
            put(channel + "_max", "5000\n", fs::perms(0444));
            put(channel + "_target", std::to_string(sensor.value) + "\n", fs::perms(variation.fanControl ? 0644 : 0444));
        }
    }
    if (variation.fdt)
        put(root + "/firmware/fdt", fdtBlob(machine.smc, paths), fs::perms(0400));
    return hwmon;
}

std::string temporaryDirectory()
{
    char name[] = "/tmp/macsmc-test-XXXXXX";
    return mkdtemp(name) ? name : "";
}

// One connection to the back-end.
class Client {
public:
    explicit Client(const std::string& directory) : service_(platform::makeMacSMCService(directory))
    {
        status_ = service_->open(connection_);
    }
    kern_return_t openStatus() const { return status_; }

    kern_return_t call(uint8_t command, const char* key, platform::CallRecord& reply, uint32_t size = 0,
                       const uint8_t* bytes = nullptr, uint32_t index = 0)
    {
        platform::CallRecord request{};
        request.command = command;
        request.key = key ? fourCharCode(key) : 0;
        request.index = index;
        request.dataSize = size;
        if (bytes)
            std::memcpy(request.bytes, bytes, size);
        reply = {};
        size_t replySize = sizeof reply;
        return connection_->call(platform::kUserClientCall, &request, sizeof request, &reply, &replySize);
    }
    // A flt key's value; NAN when it cannot be read.
    float value(const char* key)
    {
        platform::CallRecord reply;
        if (call(platform::kReadKey, key, reply, 4) != KERN_SUCCESS)
            return NAN;
        return encodings::floatFromBytes(platform::valueBytes(reply));
    }
    std::vector<std::string> listed()
    {
        std::vector<std::string> keys;
        platform::CallRecord reply;
        for (uint32_t i = 0; call(platform::kKeyAtIndex, nullptr, reply, 0, nullptr, i) == KERN_SUCCESS; ++i)
            keys.push_back(encodings::fourCharText(reply.key));
        return keys;
    }
    std::string label(const char* key)
    {
        std::string text;
        auto* labels = connection_->capability<platform::SMCKeyLabels>();
        return labels && labels->keyLabel(fourCharCode(key), text) == KERN_SUCCESS ? text : "-";
    }
    kern_return_t writeFloat(const char* key, float value)
    {
        uint8_t bytes[4];
        encodings::floatToBytes(value, bytes);
        platform::CallRecord reply;
        return call(platform::kWriteKey, key, reply, 4, bytes);
    }
    kern_return_t writeByte(const char* key, uint8_t value)
    {
        platform::CallRecord reply;
        return call(platform::kWriteKey, key, reply, 1, &value);
    }

private:
    std::shared_ptr<platform::SMCService> service_;
    std::unique_ptr<platform::SMCConnection> connection_;
    kern_return_t status_;
};

float converted(const Node& node)
{
    double scale = node.kind == "power" ? 1e6 : node.kind == "fan" ? 1 : 1e3;
    return float(double(node.value) / scale);
}

std::string fileText(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST(MacSMCBackEnd, EachMachineKindServesItsChannelsAsKeys)
{
    for (const MachineKind& machine : machineKinds()) {
        SCOPED_TRACE(machine.name);
        std::string root = temporaryDirectory();
        std::string hwmon = buildTree(root, machine);
        // Named by its sysfs root, or by the hwmon directory itself.
        for (const std::string& named : {root, root + "/class/hwmon/hwmon3"}) {
            Client smc(named);
            ASSERT_EQ(smc.openStatus(), KERN_SUCCESS) << named;
            std::set<std::string> expected{"#KEY", "FNum"};
            size_t fans = 0;
            for (const Node& node : machine.nodes) {
                expected.insert(node.key);
                EXPECT_EQ(smc.value(node.key.c_str()), converted(node)) << node.key;
                EXPECT_EQ(smc.label(node.key.c_str()), node.label) << node.key;
                if (node.kind == "fan") {
                    ++fans;
                    for (const char* suffix : {"Mn", "Mx", "Tg"})
                        expected.insert(node.key.substr(0, 2) + suffix);
                }
            }
            std::vector<std::string> listed = smc.listed();
            EXPECT_EQ(listed, std::vector<std::string>(expected.begin(), expected.end()));
            platform::CallRecord reply;
            ASSERT_EQ(smc.call(platform::kReadKey, "FNum", reply, 1), KERN_SUCCESS);
            EXPECT_EQ(reply.bytes[0], fans);
            ASSERT_EQ(smc.call(platform::kReadKey, "#KEY", reply, 4), KERN_SUCCESS);
            EXPECT_EQ(encodings::unsignedFromBytes(platform::valueBytes(reply), 4), listed.size());
            ASSERT_EQ(smc.call(platform::kKeyInfo, "TH0x", reply), KERN_SUCCESS);
            EXPECT_EQ(reply.dataType, fourCharCode("flt "));
            EXPECT_EQ(reply.dataSize, 4u);
            ASSERT_EQ(smc.call(platform::kKeyInfo, "TC0P", reply), KERN_SUCCESS);  // none here
            EXPECT_EQ(reply.dataSize, 0u);
        }
        fs::remove_all(root);
    }
}

TEST(MacSMCBackEnd, ChannelsMapToKeysByLabelElseByTheTreesOrder)
{
    const MachineKind& pro = machineKinds()[0];
    struct Case {
        const char* name;
        Variation variation;
        std::map<std::string, std::string> readsAs;  // key -> the node whose value it shows; "" for left out
        const char* said;                            // on standard error
    } cases[] = {
        {"the driver dropped a key mid-list", {.dropped = {"TCHP"}}, {{"TW0P", "TW0P"}, {"TCHP", ""}}, ""},
        {"labels absent, the tree's order read", {.unlabelled = {"TB0T", "TCHP"}},
         {{"TB0T", "TB0T"}, {"TCHP", "TCHP"}}, ""},
        {"labels absent after a dropped key", {.dropped = {"TCHP"}, .unlabelled = {"TB0T", "TW0P"}},
         {{"TB0T", "TB0T"}, {"TW0P", "TW0P"}, {"TCHP", ""}}, ""},
        {"labels absent, no tree to order them", {.unlabelled = {"TB0T", "TCHP"}, .fdt = false},
         {{"TB0T", ""}, {"TCHP", ""}, {"TW0P", "TW0P"}},
         "macsmc: temp2 of HWMON left out: its key cannot be known (no label names it, and the devicetree's order "
         "cannot be read from ROOT/firmware/fdt: No such file or directory)\n"
         "macsmc: temp3 of HWMON left out: its key cannot be known (no label names it, and the devicetree's order "
         "cannot be read from ROOT/firmware/fdt: No such file or directory)\n"},
        {"one label absent: the one node left", {.unlabelled = {"SBAV"}, .fdt = false}, {{"SBAV", "SBAV"}}, ""},
        {"an older driver labels with the key", {.unlabelled = {"TB0T", "TCHP"}, .olderDriver = true, .fdt = false},
         {{"TB0T", "TB0T"}, {"TCHP", "TCHP"}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string root = temporaryDirectory();
        std::string hwmon = buildTree(root, pro, c.variation);
        testing::internal::CaptureStderr();
        Client smc(root);
        std::string said = testing::internal::GetCapturedStderr();
        std::vector<std::string> listed = smc.listed();
        for (const auto& [key, shows] : c.readsAs) {
            EXPECT_EQ(std::count(listed.begin(), listed.end(), key), shows.empty() ? 0 : 1) << key;
            const std::string& node = shows;  // (clang 14 captures no structured binding)
            auto shown = std::find_if(pro.nodes.begin(), pro.nodes.end(), [&](const Node& n) { return n.key == node; });
            if (shown != pro.nodes.end()) {
                EXPECT_EQ(smc.value(key.c_str()), converted(*shown)) << key;
            }
        }
        std::string expected = c.said;
        for (auto [word, path] : {std::pair{std::string("HWMON"), hwmon}, {std::string("ROOT"), root}}) {
            for (size_t at; (at = expected.find(word)) != std::string::npos;)
                expected.replace(at, word.size(), path);
        }
        EXPECT_EQ(said, expected);
        fs::remove_all(root);
    }
}

TEST(MacSMCBackEnd, FanWritesReachTheTargetFileOrAreRefused)
{
    const MachineKind& mini = machineKinds()[1];
    struct Case {
        const char* name;
        bool fanControl;
        const char* key;
        float value;  // written as flt to F0Tg, as ui8 to F0Md
        kern_return_t status;
        const char* target;  // fan1_target afterwards
    } cases[] = {
        {"a target within the limits", true, "F0Tg", 2400.4f, KERN_SUCCESS, "2400"},
        {"at the limit", true, "F0Tg", 5000, KERN_SUCCESS, "5000"},
        // The limits are the driver's to enforce (smcfs --macsmc shows it);
        // 0 would be its word for automatic.
        {"nothing, which would be automatic", true, "F0Tg", 0.3f, kIOReturnBadArgument, "1200\n"},
        {"below zero", true, "F0Tg", -900, kIOReturnBadArgument, "1200\n"},
        {"not a number", true, "F0Tg", NAN, kIOReturnBadArgument, "1200\n"},
        {"automatic", true, "F0Md", 0, KERN_SUCCESS, "0"},
        {"manual holds the current target", true, "F0Md", 1, KERN_SUCCESS, "1200"},
        {"no third mode", true, "F0Md", 2, kIOReturnBadArgument, "1200\n"},
        {"a sensor", true, "PSTR", 1, kIOReturnNotWritable, "1200\n"},
        {"the limits", true, "F0Mx", 6000, kIOReturnNotWritable, "1200\n"},
        {"fan_control off", false, "F0Tg", 2400, kIOReturnNotPrivileged, "1200\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string root = temporaryDirectory();
        std::string hwmon = buildTree(root, mini, {.fanControl = c.fanControl});
        Client smc(root);
        testing::internal::CaptureStderr();
        kern_return_t status = std::string(c.key) == "F0Md" ? smc.writeByte(c.key, uint8_t(c.value))
                                                             : smc.writeFloat(c.key, c.value);
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, c.status);
        // A plain file keeps what lies past the number written.
        EXPECT_EQ(fileText(hwmon + "/fan1_target").substr(0, std::strlen(c.target)), c.target);
        EXPECT_EQ(said.find("macsmc_hwmon.fan_control=1") != std::string::npos, !c.fanControl) << said;
        platform::CallRecord reply;
        EXPECT_EQ(smc.call(platform::kReadKey, "F0Md", reply, 1), kIOReturnNotReadable);  // the driver's secret
        fs::remove_all(root);
    }
}

TEST(MacSMCBackEnd, CallsFailWhileTheFilesAreGoneAndWorkOnceTheyAreBack)
{
    const MachineKind& studio = machineKinds()[3];
    std::string root = temporaryDirectory();
    std::string hwmon = buildTree(root, studio);
    Client smc(root + "/class/hwmon/hwmon3");  // as smcd names the driver it found
    ASSERT_EQ(smc.value("PSTR"), 7.710123f);
    testing::internal::CaptureStderr();
    // The driver unloads; it comes back under another index.
    fs::remove_all(fs::path(hwmon).parent_path());
    fs::remove(root + "/class/hwmon/hwmon3");
    platform::CallRecord reply;
    EXPECT_EQ(smc.call(platform::kReadKey, "PSTR", reply, 4), kIOReturnNoDevice);
    std::string moved = buildTree(root, studio, {.index = 5});
    EXPECT_EQ(smc.call(platform::kReadKey, "PSTR", reply, 4), kIOReturnNoDevice);  // looked for once a second
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(smc.value("PSTR"), 7.710123f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "macsmc: the driver's files in " + hwmon +
                  " went away (driver unloaded, or the file system serving them stopped); calls fail until they "
                  "return\nmacsmc: the driver's files in " + moved + " are back\n");
    fs::remove_all(root);
}

TEST(MacSMCBackEnd, TheFlattenedTreeReaderRefusesMalformedBlobs)
{
    std::string good = fdtBlob("23e400000", {"apple,temp-keys/temp-TB0T", "fan-F0Ac"});
    std::vector<std::string> paths;
    ASSERT_TRUE(platform::macsmc::flattenedTreeNodePaths(reinterpret_cast<const uint8_t*>(good.data()), good.size(),
                                                         paths));
    EXPECT_EQ(paths, (std::vector<std::string>{"/", "/soc", "/soc/smc@23e400000", "/soc/smc@23e400000/hwmon",
                                               "/soc/smc@23e400000/hwmon/apple,temp-keys",
                                               "/soc/smc@23e400000/hwmon/apple,temp-keys/temp-TB0T",
                                               "/soc/smc@23e400000/hwmon/fan-F0Ac"}));
    auto withWord = [&](size_t at, uint32_t word) {
        std::string blob = good;
        for (int i = 0; i < 4; ++i)
            blob[at + size_t(i)] = char(word >> (24 - 8 * i));
        return blob;
    };
    std::string deep = good.substr(0, 56);
    for (int i = 0; i < 100; ++i)
        deep += std::string("\0\0\0\1a\0\0\0", 8);
    struct Case {
        const char* name;
        std::string blob;
    } cases[] = {
        {"cut short", good.substr(0, good.size() / 2)},
        {"no magic", withWord(0, 0xfeedd00d)},
        {"larger than the file", withWord(4, uint32_t(good.size() + 4))},
        {"the structure past the end", withWord(36, 0xfffffff0)},
        {"a property longer than the tree", withWord(108, 0xfffffff0)},  // hwmon's compatible
        {"an unknown token", withWord(56, 7)},
        {"nested beyond reason", withWord(36, uint32_t(deep.size() - 56)).substr(0, 40) + deep.substr(40)},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(platform::macsmc::flattenedTreeNodePaths(reinterpret_cast<const uint8_t*>(c.blob.data()),
                                                              c.blob.size(), paths))
            << c.name;
        EXPECT_TRUE(paths.empty()) << c.name;
    }
}

TEST(DefaultService, TheDaemonServesNeitherDriverAbsentAndMacsmcWhenNamed)
{
    if (!platform::findAppleSMCDevice().empty() || !platform::findMacSMCHwmon().empty() ||
        fs::exists("/run/smcd.sock"))
        GTEST_SKIP() << "this machine has an SMC driver or a system daemon";
    std::string runtime = temporaryDirectory();
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    std::string cause, chosen;
    EXPECT_EQ(platform::selectSMCService(nullptr, cause, platform::SMCServiceUser::Daemon, chosen), nullptr);
    EXPECT_EQ(cause, "no applesmc or macsmc_hwmon driver on this machine");
    // Named, it is served from the directory given.
    buildTree(runtime, machineKinds()[1]);
    auto service = platform::selectSMCService(("macsmc:" + runtime).c_str(), cause);
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(service->present());
    auto missing = platform::selectSMCService(("macsmc:" + runtime + "/nothing").c_str(), cause);
    EXPECT_FALSE(missing->present());
    EXPECT_EQ(missing->failureCause(), "no macsmc_hwmon device at " + runtime + "/nothing");
    unsetenv("XDG_RUNTIME_DIR");
    fs::remove_all(runtime);
}

}  // namespace
