// The machine profile's text: the key listing's own lines, read back into
// keys, and an emulated SMC loaded from it.
#include "backends/emulated/EmulatedSMC.h"

#include "backends/CallRecord.h"
#include "backends/emulated/ThermalModel.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <unordered_map>

namespace platform {

namespace {

// "  KKKK  [TTTT]  <number> (bytes xx xx)" or "  KKKK  [TTTT]  no data";
// the number is the listing's decoding and is not read back.
std::optional<std::string> parseKeyLine(std::string_view line, SMCKeyEntry& entry)
{
    if (line.size() < 16 || line.substr(0, 2) != "  " || line.substr(6, 3) != "  [" ||
        line.substr(13, 3) != "]  ")
        return "expected a key line \"  KEY   [TYPE]  ...\" with a four-character key and type";
    entry.key = fourCharCode(line.substr(2, 4));
    entry.type = fourCharCode(line.substr(9, 4));
    std::string_view value = line.substr(16);
    if (value == "no data")
        return std::nullopt;
    size_t open = value.find("(bytes");
    if (open == std::string_view::npos || value.back() != ')')
        return "expected \"no data\" or \"(bytes ...)\" after the type";
    // The listing shows a type "ui8" that lacks its blank as "[ui8 ]" without
    // the number that "ui8 " would get; read it back as it was.
    if (entry.type == fourCharCode("ui8 ") && open == 0)
        entry.type = fourCharCode({"ui8\0", 4});
    std::string_view bytes = value.substr(open + 6, value.size() - open - 7);
    while (!bytes.empty()) {
        int high = bytes.size() >= 3 ? hexValue(bytes[1]) : -1;
        int low = bytes.size() >= 3 ? hexValue(bytes[2]) : -1;
        if (bytes[0] != ' ' || high < 0 || low < 0)
            return "value bytes must be \" xx\" pairs of hex digits";
        if (entry.size == entry.bytes.size())
            return "a value holds at most 32 bytes";
        entry.bytes[entry.size++] = uint8_t(high << 4 | low);
        bytes.remove_prefix(3);
    }
    return std::nullopt;
}

std::optional<std::string> parseMarker(std::string_view line, SMCKeyEntry& entry)
{
    std::istringstream words{std::string(line.substr(1))};
    std::string word, exchange, status, extra;
    words >> word >> exchange >> status >> extra;
    if (word == "writable" && exchange.empty()) {
        entry.writable = true;
        return std::nullopt;
    }
    static constexpr std::string_view kinds[] = {"info", "read", "write", "index"};
    if (word == "fail" && !status.empty() && extra.empty()) {
        for (size_t kind = 0; kind < std::size(kinds); ++kind) {
            if (exchange != kinds[kind])
                continue;
            errno = 0;
            char* end = nullptr;
            unsigned long value = std::strtoul(status.c_str(), &end, 16);
            if (*end != '\0' || errno != 0 || value == 0 || value > 0xffffffffUL)
                return "a failure status is a nonzero 32-bit hex number";
            entry.failures[kind] = kern_return_t(uint32_t(value));
            return std::nullopt;
        }
    }
    return "unknown marker; expected \"! writable\" or \"! fail info|read|write|index STATUS\"";
}

// "! thermal [NAME VALUE]" and "! sensor PLACE [OFFSET]"; nothing when the
// line is neither.
std::optional<std::optional<std::string>> parseDirective(std::string_view line, std::vector<SMCKeyEntry>& keys,
                                                         std::optional<ThermalParameters>* thermal)
{
    std::istringstream words{std::string(line.substr(1))};
    std::string word, first, second, extra;
    words >> word >> first >> second >> extra;
    if (word != "thermal" && word != "sensor")
        return std::nullopt;
    if (thermal == nullptr)
        return "\"! " + word + "\" belongs in a machine profile";
    if (!*thermal)
        thermal->emplace();
    if (word == "thermal") {
        if (first.empty())
            return std::optional<std::string>();
        if (second.empty() || !extra.empty())
            return "expected \"! thermal\" or \"! thermal NAME VALUE\"";
        return setThermalParameter(**thermal, first, second);
    }
    if (keys.empty())
        return "\"! sensor\" must follow the key line of a temperature";
    uint8_t probe[4];
    if (!encodeTemperature(keys.back().type, keys.back().size, 0, probe))
        return "key \"" + fourCharText(keys.back().key) + "\" cannot hold a temperature (spXY, fpXY or flt)";
    SensorPlace place;
    std::optional<double> weight = 0.0;
    if (first == "die")
        weight = 1.0;
    else if (first == "ambient")
        place.ambient = true;
    else if (first.rfind("die:", 0) == 0)
        weight = parseDecimal(std::string_view(first).substr(4));
    else if (first != "heatsink")
        weight.reset();
    if (!weight || *weight < 0 || *weight > 1 || !extra.empty())
        return "expected \"! sensor die|heatsink|ambient|die:WEIGHT [OFFSET]\", WEIGHT from 0 to 1";
    place.dieWeight = *weight;
    if (!second.empty()) {
        std::optional<double> offset = parseDecimal(second);
        if (!offset)
            return "a sensor's offset is a number of degrees Celsius, not \"" + second + "\"";
        place.offset = *offset;
    }
    (*thermal)->sensors.emplace_back(keys.back().key, place);
    return std::optional<std::string>();
}

// The words of a devicetree line; a word in double quotes may hold blanks.
// False when a quote is not closed.
bool splitWords(std::string_view line, std::vector<std::string>& words, std::vector<bool>& quoted)
{
    size_t at = 0;
    for (;;) {
        at = line.find_first_not_of(' ', at);
        if (at == std::string_view::npos)
            return true;
        if (line[at] == '"') {
            size_t close = line.find('"', at + 1);
            if (close == std::string_view::npos)
                return false;
            words.emplace_back(line.substr(at + 1, close - at - 1));
            quoted.push_back(true);
            at = close + 1;
        } else {
            size_t end = std::min(line.find(' ', at), line.size());
            words.emplace_back(line.substr(at, end - at));
            quoted.push_back(false);
            at = end;
        }
    }
}

// A key as the devicetree binding allows it: four letters or digits.
bool isNodeKey(const std::string& word)
{
    return word.size() == 4 && std::all_of(word.begin(), word.end(), [](char c) { return std::isalnum(uint8_t(c)); });
}

// "! devicetree upstream|grouped [ADDRESS]" and "! node KIND KEY [...]";
// nothing when the line is neither.
std::optional<std::optional<std::string>> parseDevicetree(std::string_view line,
                                                          std::optional<SMCSensorTree>* devicetree)
{
    std::vector<std::string> words;
    std::vector<bool> quoted;
    bool closed = splitWords(line.substr(1), words, quoted);
    if (words.empty() || quoted[0] || (words[0] != "devicetree" && words[0] != "node"))
        return std::nullopt;
    if (devicetree == nullptr)
        return "\"! " + words[0] + "\" belongs in a machine profile";
    if (!closed)
        return "a label's closing quote is missing";
    if (words[0] == "devicetree") {
        if (*devicetree)
            return "the devicetree is given once";
        SMCSensorTree tree;
        if (words.size() < 2 || words.size() > 3 || (words[1] != "upstream" && words[1] != "grouped"))
            return "expected \"! devicetree upstream|grouped [ADDRESS]\"";
        tree.shape = words[1] == "upstream" ? SMCSensorTree::Shape::Upstream : SMCSensorTree::Shape::Grouped;
        if (words.size() == 3) {
            errno = 0;
            char* end = nullptr;
            unsigned long long address = std::strtoull(words[2].c_str(), &end, 16);
            if (words[2].find_first_not_of("0123456789abcdefABCDEF") != std::string::npos || *end != '\0' ||
                errno != 0 || address == 0)
                return "the SMC's address is a nonzero hex number, as in smc@23e400000";
            tree.address = address;
        }
        *devicetree = std::move(tree);
        return std::optional<std::string>();
    }
    if (!*devicetree)
        return "\"! node\" must follow \"! devicetree\"";
    static constexpr std::pair<std::string_view, SMCSensorNode::Kind> kKinds[] = {
        {"temperature", SMCSensorNode::Kind::Temperature}, {"voltage", SMCSensorNode::Kind::Voltage},
        {"current", SMCSensorNode::Kind::Current},         {"power", SMCSensorNode::Kind::Power},
        {"fan", SMCSensorNode::Kind::Fan},
    };
    constexpr const char* kUsage =
        "expected \"! node temperature|voltage|current|power KEY [\\\"LABEL\\\"]\" or "
        "\"! node fan KEY [\\\"LABEL\\\"] MIN MAX TARGET [MODE]\"";
    SMCSensorNode node;
    const auto* kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                    [&](const auto& k) { return words.size() > 1 && words[1] == k.first; });
    if (kind == std::end(kKinds) || words.size() < 3 || quoted[1] || quoted[2])
        return std::string(kUsage);
    node.kind = kind->second;
    size_t next = 3;
    if (words.size() > next && quoted[next])
        node.label = words[next++];
    std::vector<std::string> keys{words[2]};
    for (; next < words.size(); ++next) {
        if (quoted[next])
            return std::string(kUsage);
        keys.push_back(words[next]);
    }
    bool fan = node.kind == SMCSensorNode::Kind::Fan;
    if (fan ? keys.size() < 4 || keys.size() > 5 : keys.size() != 1)
        return std::string(kUsage);
    for (const std::string& key : keys)
        if (!isNodeKey(key))
            return "a node's key is four letters or digits, not \"" + key + "\"";
    node.key = fourCharCode(keys[0]);
    if (fan) {
        node.minimum = fourCharCode(keys[1]);
        node.maximum = fourCharCode(keys[2]);
        node.target = fourCharCode(keys[3]);
        node.mode = keys.size() == 5 ? fourCharCode(keys[4]) : 0;
    }
    for (const SMCSensorNode& other : (*devicetree)->nodes)
        if (other.key == node.key && other.kind == node.kind)
            return "a node for \"" + keys[0] + "\" is already there";
    (*devicetree)->nodes.push_back(std::move(node));
    return std::optional<std::string>();
}

}  // namespace

std::optional<std::string> setThermalParameter(ThermalParameters& parameters, std::string_view name,
                                               std::string_view value)
{
    // Capacities and resistances of zero would make the model blow up;
    // negative conductances or noise mean nothing.
    enum class Range { Any, NotNegative, Positive };
    struct Parameter {
        std::string_view name;
        double ThermalParameters::*field;
        Range range;
    };
    static constexpr Parameter kParameters[] = {
        {"ambient", &ThermalParameters::ambient, Range::Any},
        {"idle", &ThermalParameters::idle, Range::NotNegative},
        {"die-capacity", &ThermalParameters::dieCapacity, Range::Positive},
        {"heatsink-capacity", &ThermalParameters::heatsinkCapacity, Range::Positive},
        {"die-to-heatsink", &ThermalParameters::dieToHeatsink, Range::Positive},
        {"still-air", &ThermalParameters::stillAir, Range::NotNegative},
        {"airflow", &ThermalParameters::airflow, Range::NotNegative},
        {"airflow-exponent", &ThermalParameters::airflowExponent, Range::Positive},
        {"curve-low", &ThermalParameters::curveLow, Range::Any},
        {"curve-high", &ThermalParameters::curveHigh, Range::Any},
        {"noise", &ThermalParameters::noise, Range::NotNegative},
    };
    for (const Parameter& parameter : kParameters) {
        if (name != parameter.name)
            continue;
        std::optional<double> number = parseDecimal(value);
        if (!number)
            return "the thermal parameter " + std::string(name) + " is a number, not \"" + std::string(value) + "\"";
        if ((parameter.range == Range::Positive && *number <= 0) ||
            (parameter.range == Range::NotNegative && *number < 0))
            return "the thermal parameter " + std::string(name) + " must be " +
                   (parameter.range == Range::Positive ? "above 0" : "0 or more");
        parameters.*parameter.field = *number;
        return std::nullopt;
    }
    return "unknown thermal parameter \"" + std::string(name) +
           "\"; expected ambient, idle, die-capacity, heatsink-capacity, die-to-heatsink, still-air, airflow, "
           "airflow-exponent, curve-low, curve-high or noise";
}

std::optional<ProfileError> parseSMCProfile(std::string_view text, std::vector<SMCKeyEntry>& keys,
                                            std::optional<ThermalParameters>* thermal,
                                            std::optional<SMCSensorTree>* devicetree)
{
    std::unordered_map<FourCharCode, size_t> lineOfKey;
    size_t number = 0;
    while (!text.empty()) {
        std::string_view line = takeLine(text);
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.find_first_not_of(' ') == std::string_view::npos || line[0] == '#')
            continue;
        std::optional<std::string> problem;
        if (line[0] == '!') {
            if (auto directive = parseDirective(line, keys, thermal))
                problem = std::move(*directive);
            else if (auto node = parseDevicetree(line, devicetree))
                problem = std::move(*node);
            else if (keys.empty())
                problem = "a marker must follow a key line";
            else
                problem = parseMarker(line, keys.back());
        } else {
            SMCKeyEntry entry;
            problem = parseKeyLine(line, entry);
            if (!problem) {
                auto [first, added] = lineOfKey.emplace(entry.key, number);
                if (added)
                    keys.push_back(entry);
                else
                    problem = "key \"" + fourCharText(entry.key) + "\" is already on line " +
                              std::to_string(first->second);
            }
        }
        if (problem)
            return ProfileError{number, std::move(*problem)};
    }
    return std::nullopt;
}

std::shared_ptr<EmulatedSMC> loadEmulatedSMC(const char* path, std::string& error)
{
    std::string text;
    std::string name = path ? path : "builtin";
    if (path == nullptr) {
        text = builtinSMCProfile();
    } else if (!readTextFile(path, text)) {
        error = name + ": cannot read: " + std::strerror(errno);
        return nullptr;
    }
    std::vector<SMCKeyEntry> keys;
    std::optional<ThermalParameters> thermal;
    std::optional<SMCSensorTree> devicetree;
    if (std::optional<ProfileError> failed = parseSMCProfile(text, keys, &thermal, &devicetree)) {
        error = name + ":" + std::to_string(failed->line) + ": " + failed->problem;
        return nullptr;
    }
    auto smc = std::make_shared<EmulatedSMC>(std::move(keys), std::move(devicetree));
    // The parser checked every placed key: switching on cannot fail here.
    if (thermal)
        smc->setThermalModel(std::move(*thermal));
    return smc;
}

}  // namespace platform
