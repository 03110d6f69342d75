// The driver's files: what each one reads and accepts, and its errors.
#include "smcfs/DriverFiles.h"
#include "smc/Encodings.h"

#include "smc/smc.h"

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace smcfs {
namespace {

constexpr int kMaxFans = 10;

using encodings::fourCharCode;

// The key's characters up to a zero byte, as "%s" prints them.
std::string text(FourCharCode value)
{
    char chars[5];
    _ultostr(chars, value);
    return chars;
}

FourCharCode fanKey(const char* pattern, int fan)
{
    char key[8];
    std::snprintf(key, sizeof key, pattern, fan - 1);
    return fourCharCode(std::string_view(key, 4));
}

std::string joinPath(const std::string& directory, const std::string& name)
{
    return directory == "/" ? "/" + name : directory + "/" + name;
}

kern_return_t exchange(io_connect_t connection, SMCKeyData& request, SMCKeyData& response)
{
    response = SMCKeyData{};
    return SMCCall2(kSMCUserClientCall, &request, &response, connection);
}

}  // namespace

bool parseUnsigned(std::string_view text, unsigned long& value)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return false;
    unsigned long total = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        unsigned long next = total * 10 + unsigned(c - '0');
        if (next / 10 != total)
            return false;  // overflow: the kernel says ERANGE, also a failed write
        total = next;
    }
    value = total;
    return true;
}

DriverFiles::DriverFiles(io_connect_t connection, Layout layout) : connection_(connection)
{
    // The key table, as the driver caches it: names, types and lengths.
    SMCKeyData request{}, response{};
    uint8_t count[4] = {};
    uint32_t keys = 0;
    request.key = fourCharCode("#KEY");
    request.command = SMCCommandKeyInfo;
    if (exchange(connection_, request, response) == KERN_SUCCESS && response.dataSize == 4) {
        request.command = SMCCommandReadKey;
        request.dataSize = 4;
        if (exchange(connection_, request, response) == KERN_SUCCESS) {
            std::memcpy(count, response.bytes, 4);
            keys = uint32_t(count[0]) << 24 | uint32_t(count[1]) << 16 | uint32_t(count[2]) << 8 | count[3];
        }
    }
    entries_.resize(keys < uint32_t(kSMCMaxKeys) ? keys : uint32_t(kSMCMaxKeys));
    for (uint32_t i = 0; i < entries_.size(); ++i) {
        const Entry* entry;
        entryAt(i, entry);
    }

    uint8_t fans = 0;
    if (readKey(fourCharCode("FNum"), 1, &fans) == 0)
        fanCount_ = fans < kMaxFans ? fans : kMaxFans;
    // Temperatures: the keys of the T range whose type is exactly sp78.
    for (const Entry& entry : entries_)
        if (entry.valid && (entry.name >> 24) == 'T' && entry.type == fourCharCode("sp78"))
            temperatures_.push_back(entry.name);
    // T2 machines keep fan speeds as floats; their kernels then prefer the
    // per-fan mode key even where "FS! " exists.
    floatFans_ = typeOf(fourCharCode("F0Ac")) == fourCharCode("flt ");

    addDirectory("/", "");
    addFile("/", "key_count", FileKind::KeyCount, 0444);
    addFile("/", "key_at_index", FileKind::KeyAtIndex, 0644);
    addFile("/", "key_at_index_name", FileKind::IndexName, 0444);
    addFile("/", "key_at_index_type", FileKind::IndexType, 0444);
    addFile("/", "key_at_index_data_length", FileKind::IndexLength, 0444);
    addFile("/", "key_at_index_data", FileKind::IndexData, 0444);
    // What lm-sensors follows to name the chip: a platform device, 0x300;
    // on a T2 machine, whose kernels bind the driver to the ACPI device
    // APP0001:00, that device, five levels below /sys/devices.
    bool t2 = floatFans_ || (!hasKey(fourCharCode("FS! ")) && hasKey(fanKey("F%dMd", 1)));
    bool acpi = layout == Layout::Classic && t2;
    addSymlink("/", "subsystem", acpi ? "../../../../../../bus/acpi" : "../../../bus/platform");
    addDirectory("/hwmon", "/");
    addDirectory("/hwmon/hwmon0", "/hwmon");
    addSymlink("/hwmon/hwmon0", "device", acpi ? "../../../APP0001:00" : "../../../applesmc.768");

    bool classic = layout == Layout::Classic;
    std::string sensors = classic ? "/" : "/hwmon/hwmon0";
    addFile(sensors, "name", FileKind::Name, 0444);
    for (int fan = 1; fan <= fanCount_; ++fan) {
        std::string n = "fan" + std::to_string(fan);
        addFile(sensors, n + "_label", FileKind::FanLabel, 0444, fan);
        addFile(sensors, n + "_input", FileKind::FanInput, 0444, fan);
        addFile(sensors, n + "_min", FileKind::FanMin, 0644, fan);
        addFile(sensors, n + "_max", FileKind::FanMax, 0444, fan);
        addFile(sensors, n + "_safe", FileKind::FanSafe, 0444, fan);
        if (classic) {
            addFile(sensors, n + "_output", FileKind::FanOutput, 0644, fan);
            addFile(sensors, n + "_manual", FileKind::FanManual, 0644, fan);
        } else {
            addFile(sensors, n + "_target", FileKind::FanOutput, 0644, fan);
            addFile(sensors, "pwm" + std::to_string(fan) + "_enable", FileKind::PwmEnable, 0644, fan);
        }
    }
    for (size_t t = 1; t <= temperatures_.size(); ++t) {
        std::string n = "temp" + std::to_string(t);
        addFile(sensors, n + "_label", FileKind::TempLabel, 0444, int(t));
        addFile(sensors, n + "_input", FileKind::TempInput, 0444, int(t));
    }
    if (t2 && hasKey(fourCharCode("BCLM")))
        addFile("/", "battery_charge_limit", FileKind::BatteryChargeLimit, 0644);
}

void DriverFiles::addDirectory(const std::string& path, const std::string& parent)
{
    nodes_[path] = Node{.kind = NodeKind::Directory, .mode = 0755};
    if (!parent.empty())
        nodes_[parent].children.push_back(path.substr(path.rfind('/') + 1));
}

void DriverFiles::addFile(const std::string& directory, const std::string& name, FileKind file, mode_t mode, int number)
{
    nodes_[joinPath(directory, name)] = Node{.kind = NodeKind::File, .mode = mode, .file = file, .number = number};
    nodes_[directory].children.push_back(name);
}

void DriverFiles::addSymlink(const std::string& directory, const std::string& name, std::string target)
{
    nodes_[joinPath(directory, name)] = Node{.kind = NodeKind::Symlink, .mode = 0777, .target = std::move(target)};
    nodes_[directory].children.push_back(name);
}

const Node* DriverFiles::find(std::string_view path) const
{
    auto found = nodes_.find(std::string(path));
    return found == nodes_.end() ? nullptr : &found->second;
}

// The driver fills an entry at first use and keeps it; one the SMC would not
// describe is asked again next time.
int DriverFiles::entryAt(uint32_t index, const Entry*& entry)
{
    if (index >= entries_.size())
        return EIO;
    Entry& slot = entries_[index];
    if (!slot.valid) {
        SMCKeyData request{}, response{};
        request.command = SMCCommandKeyAtIndex;
        request.index = index;
        if (exchange(connection_, request, response) != KERN_SUCCESS)
            return EIO;
        FourCharCode name = response.key;
        request = SMCKeyData{};
        request.key = name;
        request.command = SMCCommandKeyInfo;
        if (exchange(connection_, request, response) != KERN_SUCCESS)
            return EIO;
        slot = {true, name, response.dataType, response.dataSize};
        positions_.try_emplace(name, index);
    }
    entry = &slot;
    return 0;
}

bool DriverFiles::hasKey(FourCharCode key) const
{
    return positions_.contains(key);
}

FourCharCode DriverFiles::typeOf(FourCharCode key) const
{
    auto found = positions_.find(key);
    return found == positions_.end() ? 0 : entries_[found->second].type;
}

int DriverFiles::readKey(FourCharCode key, uint32_t length, uint8_t* bytes)
{
    auto found = positions_.find(key);
    if (found == positions_.end() || entries_[found->second].length != length || length > 32)
        return EINVAL;
    SMCKeyData request{}, response{};
    request.key = key;
    request.dataSize = length;
    request.command = SMCCommandReadKey;
    if (exchange(connection_, request, response) != KERN_SUCCESS)
        return EIO;
    std::memcpy(bytes, response.bytes, length);
    return 0;
}

int DriverFiles::writeKey(FourCharCode key, uint32_t length, const uint8_t* bytes)
{
    auto found = positions_.find(key);
    if (found == positions_.end() || entries_[found->second].length != length || length > 32)
        return EINVAL;
    SMCKeyData request{}, response{};
    request.key = key;
    request.dataSize = length;
    request.command = SMCCommandWriteKey;
    std::memcpy(request.bytes, bytes, length);
    // Never read back: a write the SMC ignores still succeeds.
    return exchange(connection_, request, response) == KERN_SUCCESS ? 0 : EIO;
}

// Manual mode: a bit of "FS! ", or on T2 machines a key per fan.
bool DriverFiles::usesModeKey(int fan) const
{
    return hasKey(fanKey("F%dMd", fan)) && (floatFans_ || !hasKey(fourCharCode("FS! ")));
}

int DriverFiles::readManual(int fan, unsigned& mode)
{
    if (usesModeKey(fan)) {
        uint8_t value;
        if (int error = readKey(fanKey("F%dMd", fan), 1, &value))
            return error;
        mode = value;  // the byte as it is, 2 included
        return 0;
    }
    uint8_t word[2];
    if (int error = readKey(fourCharCode("FS! "), 2, word))
        return error;
    mode = (word[0] << 8 | word[1]) >> (fan - 1) & 1;
    return 0;
}

int DriverFiles::writeManual(int fan, unsigned long value)
{
    if (usesModeKey(fan)) {
        uint8_t mode = value & 1;  // so 2 writes 0, as the T2 kernels do
        return writeKey(fanKey("F%dMd", fan), 1, &mode);
    }
    // Read, then write: two steps, as the driver takes them.
    uint8_t word[2];
    if (int error = readKey(fourCharCode("FS! "), 2, word))
        return error;
    unsigned bits = unsigned(word[0]) << 8 | word[1];
    bits = value != 0 ? bits | 1u << (fan - 1) : bits & ~(1u << (fan - 1));
    word[0] = uint8_t(bits >> 8);
    word[1] = uint8_t(bits);
    return writeKey(fourCharCode("FS! "), 2, word);
}

int DriverFiles::read(const Node& node, std::string& content)
{
    char line[64];
    auto print = [&](const char* format, auto... values) {
        std::snprintf(line, sizeof line, format, values...);
        content = line;
        return 0;
    };
    auto fanSpeed = [&](const char* pattern) {
        FourCharCode key = fanKey(pattern, node.number);
        if (typeOf(key) == fourCharCode("flt ")) {
            uint8_t raw[4];
            if (int error = readKey(key, 4, raw))
                return error;
            float speed = encodings::floatFromBytes(raw);
            // The integer part; below 1 (negative, NaN) shows 0.
            unsigned rpm = speed >= 1 ? (speed < 4294967296.0f ? unsigned(speed) : UINT_MAX) : 0;
            return print("%u\n", rpm);
        }
        uint8_t raw[2];
        if (int error = readKey(key, 2, raw))
            return error;
        return print("%u\n", unsigned(raw[0] << 8 | raw[1]) >> 2);
    };
    const Entry* entry = nullptr;
    switch (node.file) {
    case FileKind::Name:
        content = "applesmc\n";
        return 0;
    case FileKind::KeyCount: {
        uint8_t raw[4];
        if (int error = readKey(fourCharCode("#KEY"), 4, raw))
            return error;
        return print("%d\n", int32_t(uint32_t(raw[0]) << 24 | uint32_t(raw[1]) << 16 | uint32_t(raw[2]) << 8 | raw[3]));
    }
    case FileKind::KeyAtIndex:
        return print("%u\n", cursor_);
    case FileKind::IndexName:
    case FileKind::IndexType:
    case FileKind::IndexLength:
        if (int error = entryAt(cursor_, entry))
            return error;
        if (node.file == FileKind::IndexLength)
            return print("%u\n", entry->length);
        content = text(node.file == FileKind::IndexName ? entry->name : entry->type) + "\n";
        return 0;
    case FileKind::IndexData: {
        if (int error = entryAt(cursor_, entry))
            return error;
        uint8_t bytes[32];
        if (int error = readKey(entry->name, entry->length, bytes))
            return error;
        content.assign(reinterpret_cast<const char*>(bytes), entry->length);
        return 0;
    }
    case FileKind::FanLabel: {
        uint8_t id[17] = {};
        if (int error = readKey(fanKey("F%dID", node.number), 16, id))
            return error;
        content = reinterpret_cast<const char*>(id + 4);
        content += '\n';
        return 0;
    }
    case FileKind::FanInput:
        return fanSpeed("F%dAc");
    case FileKind::FanMin:
        return fanSpeed("F%dMn");
    case FileKind::FanMax:
        return fanSpeed("F%dMx");
    case FileKind::FanSafe:
        return fanSpeed("F%dSf");
    case FileKind::FanOutput:
        return fanSpeed("F%dTg");
    case FileKind::FanManual:
    case FileKind::PwmEnable: {
        unsigned mode;
        if (int error = readManual(node.number, mode))
            return error;
        if (node.file == FileKind::PwmEnable)
            return print("%d\n", mode != 0 ? 1 : 2);
        return print("%d\n", int(mode));
    }
    case FileKind::TempLabel:
        content = text(temperatures_[node.number - 1]) + "\n";
        return 0;
    case FileKind::BatteryChargeLimit: {
        uint8_t limit;
        // This file's failures are ENODEV, not the EIO of the others.
        if (readKey(fourCharCode("BCLM"), 1, &limit) != 0)
            return ENODEV;
        return print("%d\n", int(limit));
    }
    case FileKind::TempInput: {
        uint8_t raw[2];
        if (int error = readKey(temperatures_[node.number - 1], 2, raw))
            return error;
        // Quarter degrees: the six low bits of sp78 never show.
        int16_t value = int16_t(uint16_t(raw[0] << 8 | raw[1]));
        return print("%d\n", 250 * (value >> 6));
    }
    }
    return EIO;
}

int DriverFiles::write(const Node& node, std::string_view text)
{
    unsigned long value;
    if (!parseUnsigned(text, value))
        return EINVAL;
    switch (node.file) {
    case FileKind::KeyAtIndex:
        if (value >= entries_.size())
            return EINVAL;
        cursor_ = uint32_t(value);
        return 0;
    case FileKind::FanMin:
    case FileKind::FanOutput: {
        if (value >= 0x4000)
            return EINVAL;
        FourCharCode key = fanKey(node.file == FileKind::FanMin ? "F%dMn" : "F%dTg", node.number);
        if (typeOf(key) == fourCharCode("flt ")) {
            uint8_t raw[4];
            encodings::floatToBytes(float(value), raw);  // exact: below 2^24
            return writeKey(key, 4, raw);
        }
        uint8_t raw[2] = {uint8_t(value >> 6), uint8_t(value << 2)};
        return writeKey(key, 2, raw);
    }
    case FileKind::FanManual:
        return writeManual(node.number, value);
    case FileKind::BatteryChargeLimit: {
        if (value > 100)
            return EINVAL;
        uint8_t limit = uint8_t(value);
        return writeKey(fourCharCode("BCLM"), 1, &limit) == 0 ? 0 : ENODEV;
    }
    case FileKind::PwmEnable:
        if (value != 1 && value != 2)
            return EINVAL;
        return writeManual(node.number, value == 1);
    default:
        return EACCES;  // read-only; the mode keeps writers out before this
    }
}

}  // namespace smcfs
