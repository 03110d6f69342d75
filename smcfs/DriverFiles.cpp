// The driver's files: what each one reads and accepts, and its errors.
#include "smcfs/DriverFiles.h"
#include "encodings/Encodings.h"

#include "smc/CallRecords.h"
#include "smc/smc.h"

#include <cmath>
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

// The key that `pattern` ("F%dAc") names for fan `fan` (1 to 10), whose
// digit counts from 0.
FourCharCode fanKey(const char* pattern, int fan)
{
    const char key[4] = {pattern[0], char('0' + fan - 1), pattern[3], pattern[4]};
    return fourCharCode(std::string_view(key, 4));
}

std::string joinPath(const std::string& directory, const std::string& name)
{
    return directory == "/" ? "/" + name : directory + "/" + name;
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

// The driver's files, one row each, in the order a listing shows them; a
// block of per-fan or per-sensor rows is made for each fan or sensor in
// turn. The fan and sensor numbers of names count from 1; the keys' fan
// digits from 0. Adding a file is adding a row.
const FileRow DriverFiles::kFiles[] = {
    {"key_count", Where::Device, Repeat::Once, Only::Always, 0444, nullptr, &DriverFiles::showKeyCount, nullptr},
    {"key_at_index", Where::Device, Repeat::Once, Only::Always, 0644, nullptr, &DriverFiles::showCursor,
     &DriverFiles::storeCursor},
    {"key_at_index_name", Where::Device, Repeat::Once, Only::Always, 0444, nullptr, &DriverFiles::showIndexName, nullptr},
    {"key_at_index_type", Where::Device, Repeat::Once, Only::Always, 0444, nullptr, &DriverFiles::showIndexType, nullptr},
    {"key_at_index_data_length", Where::Device, Repeat::Once, Only::Always, 0444, nullptr,
     &DriverFiles::showIndexLength, nullptr},
    {"key_at_index_data", Where::Device, Repeat::Once, Only::Always, 0444, nullptr, &DriverFiles::showIndexData, nullptr},
    {"name", Where::Sensors, Repeat::Once, Only::Always, 0444, nullptr, &DriverFiles::showName, nullptr},
    {"fan%d_label", Where::Sensors, Repeat::PerFan, Only::Always, 0444, "F%dID", &DriverFiles::showFanLabel, nullptr},
    {"fan%d_input", Where::Sensors, Repeat::PerFan, Only::Always, 0444, "F%dAc", &DriverFiles::showFanSpeed, nullptr},
    {"fan%d_min", Where::Sensors, Repeat::PerFan, Only::Always, 0644, "F%dMn", &DriverFiles::showFanSpeed,
     &DriverFiles::storeFanSpeed},
    {"fan%d_max", Where::Sensors, Repeat::PerFan, Only::Always, 0444, "F%dMx", &DriverFiles::showFanSpeed, nullptr},
    {"fan%d_safe", Where::Sensors, Repeat::PerFan, Only::Always, 0444, "F%dSf", &DriverFiles::showFanSpeed, nullptr},
    {"fan%d_output", Where::Sensors, Repeat::PerFan, Only::Classic, 0644, "F%dTg", &DriverFiles::showFanSpeed,
     &DriverFiles::storeFanSpeed},
    {"fan%d_manual", Where::Sensors, Repeat::PerFan, Only::Classic, 0644, nullptr, &DriverFiles::showManual,
     &DriverFiles::storeManual},
    {"fan%d_target", Where::Sensors, Repeat::PerFan, Only::Hwmon, 0644, "F%dTg", &DriverFiles::showFanSpeed,
     &DriverFiles::storeFanSpeed},
    {"pwm%d_enable", Where::Sensors, Repeat::PerFan, Only::Hwmon, 0644, nullptr, &DriverFiles::showPwmEnable,
     &DriverFiles::storePwmEnable},
    {"temp%d_label", Where::Sensors, Repeat::PerTemperature, Only::Always, 0444, nullptr, &DriverFiles::showTempLabel,
     nullptr},
    {"temp%d_input", Where::Sensors, Repeat::PerTemperature, Only::Always, 0444, nullptr, &DriverFiles::showTempInput,
     nullptr},
    {"battery_charge_limit", Where::Device, Repeat::Once, Only::BatteryLimit, 0644, nullptr,
     &DriverFiles::showBatteryLimit, &DriverFiles::storeBatteryLimit},
};

DriverFiles::DriverFiles(io_connect_t connection, Layout layout) : connection_(connection)
{
    // The key table, as the driver caches it: names, types and lengths.
    SMCKeyData response;
    uint8_t count[4] = {};
    uint32_t keys = 0;
    if (smc::call(connection_, smc::keyInfoRequest(fourCharCode("#KEY")), response) == KERN_SUCCESS &&
        response.dataSize == 4) {
        if (smc::call(connection_, smc::readRequest(fourCharCode("#KEY"), 4), response) == KERN_SUCCESS) {
            std::memcpy(count, response.bytes, 4);
            keys = encodings::unsignedFromBytes(count, 4);
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

    // What lm-sensors follows to name the chip: a platform device, 0x300;
    // on a T2 machine, whose kernels bind the driver to the ACPI device
    // APP0001:00, that device, five levels below /sys/devices.
    bool t2 = floatFans_ || (!hasKey(fourCharCode("FS! ")) && hasKey(fanKey("F%dMd", 1)));
    bool acpi = layout == Layout::Classic && t2;
    bool classic = layout == Layout::Classic;
    std::string sensors = classic ? "/" : "/hwmon/hwmon0";
    auto applies = [&](const FileRow& row) {
        switch (row.only) {
        case Only::Always:
            return true;
        case Only::Classic:
            return classic;
        case Only::Hwmon:
            return !classic;
        case Only::BatteryLimit:
            return t2 && hasKey(fourCharCode("BCLM"));
        }
        return false;
    };
    auto add = [&](const FileRow& row, int number) {
        char name[64];
        std::snprintf(name, sizeof name, row.name, number);
        addFile(row.where == Where::Device ? "/" : sensors, name, row, number);
    };

    addDirectory("/", "");
    bool linked = false;
    const size_t rows = std::size(kFiles);
    for (size_t i = 0; i < rows;) {
        if (kFiles[i].where == Where::Sensors && !linked) {
            addSymlink("/", "subsystem", acpi ? "../../../../../../bus/acpi" : "../../../bus/platform");
            addDirectory("/hwmon", "/");
            addDirectory("/hwmon/hwmon0", "/hwmon");
            addSymlink("/hwmon/hwmon0", "device", acpi ? "../../../APP0001:00" : "../../../applesmc.768");
            linked = true;
        }
        if (kFiles[i].repeat == Repeat::Once) {
            if (applies(kFiles[i]))
                add(kFiles[i], 0);
            ++i;
            continue;
        }
        // A block of rows for each fan or sensor: fan1's files, then fan2's.
        size_t end = i;
        while (end < rows && kFiles[end].repeat == kFiles[i].repeat)
            ++end;
        int count = kFiles[i].repeat == Repeat::PerFan ? fanCount_ : int(temperatures_.size());
        for (int number = 1; number <= count; ++number)
            for (size_t r = i; r < end; ++r)
                if (applies(kFiles[r]))
                    add(kFiles[r], number);
        i = end;
    }
}

void DriverFiles::addDirectory(const std::string& path, const std::string& parent)
{
    nodes_[path] = Node{.kind = NodeKind::Directory, .mode = 0755};
    if (!parent.empty())
        nodes_[parent].children.push_back(path.substr(path.rfind('/') + 1));
}

void DriverFiles::addFile(const std::string& directory, const std::string& name, const FileRow& file, int number)
{
    nodes_[joinPath(directory, name)] = Node{.kind = NodeKind::File, .mode = file.mode, .file = &file, .number = number};
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
        SMCKeyData response;
        if (smc::call(connection_, smc::keyAtIndexRequest(index), response) != KERN_SUCCESS)
            return EIO;
        FourCharCode name = response.key;
        if (smc::call(connection_, smc::keyInfoRequest(name), response) != KERN_SUCCESS)
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
    SMCKeyData response;
    if (smc::call(connection_, smc::readRequest(key, length), response) != KERN_SUCCESS)
        return EIO;
    std::memcpy(bytes, response.bytes, length);
    return 0;
}

int DriverFiles::writeKey(FourCharCode key, uint32_t length, const uint8_t* bytes)
{
    auto found = positions_.find(key);
    if (found == positions_.end() || entries_[found->second].length != length || length > 32)
        return EINVAL;
    SMCKeyData response;
    // Never read back: a write the SMC ignores still succeeds.
    return smc::call(connection_, smc::writeRequest(key, bytes, length), response) == KERN_SUCCESS ? 0 : EIO;
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
    mode = encodings::unsignedFromBytes(word, 2) >> (fan - 1) & 1;
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
    unsigned bits = encodings::unsignedFromBytes(word, 2);
    bits = value != 0 ? bits | 1u << (fan - 1) : bits & ~(1u << (fan - 1));
    encodings::encode(fourCharCode("ui16"), 2, bits, word);
    return writeKey(fourCharCode("FS! "), 2, word);
}

int DriverFiles::read(const Node& node, std::string& content)
{
    return node.file ? (this->*node.file->show)(node, content) : EIO;
}

int DriverFiles::write(const Node& node, std::string_view text)
{
    unsigned long value;
    if (!parseUnsigned(text, value))
        return EINVAL;
    if (node.file == nullptr || node.file->store == nullptr)
        return EACCES;  // read-only; the mode keeps writers out before this
    return (this->*node.file->store)(node, value);
}

namespace {

// The file's text, made as the driver's sysfs_emit makes it.
template <typename... Values>
int print(std::string& content, const char* format, Values... values)
{
    char line[64];
    std::snprintf(line, sizeof line, format, values...);
    content = line;
    return 0;
}

}  // namespace

int DriverFiles::showName(const Node&, std::string& content)
{
    content = "applesmc\n";
    return 0;
}

int DriverFiles::showKeyCount(const Node&, std::string& content)
{
    uint8_t raw[4];
    if (int error = readKey(fourCharCode("#KEY"), 4, raw))
        return error;
    return print(content, "%d\n", int32_t(encodings::unsignedFromBytes(raw, 4)));
}

int DriverFiles::showCursor(const Node&, std::string& content)
{
    return print(content, "%u\n", cursor_);
}

int DriverFiles::storeCursor(const Node&, unsigned long value)
{
    if (value >= entries_.size())
        return EINVAL;
    cursor_ = uint32_t(value);
    return 0;
}

int DriverFiles::showCursorEntry(std::string& content, EntryField field)
{
    const Entry* entry = nullptr;
    if (int error = entryAt(cursor_, entry))
        return error;
    switch (field) {
    case EntryField::Name:
        content = text(entry->name) + "\n";
        return 0;
    case EntryField::Type:
        content = text(entry->type) + "\n";
        return 0;
    case EntryField::Length:
        return print(content, "%u\n", entry->length);
    case EntryField::Data: {
        uint8_t bytes[32];
        if (int error = readKey(entry->name, entry->length, bytes))
            return error;
        content.assign(reinterpret_cast<const char*>(bytes), entry->length);
        return 0;
    }
    }
    return EIO;
}

int DriverFiles::showIndexName(const Node&, std::string& content)
{
    return showCursorEntry(content, EntryField::Name);
}

int DriverFiles::showIndexType(const Node&, std::string& content)
{
    return showCursorEntry(content, EntryField::Type);
}

int DriverFiles::showIndexLength(const Node&, std::string& content)
{
    return showCursorEntry(content, EntryField::Length);
}

int DriverFiles::showIndexData(const Node&, std::string& content)
{
    return showCursorEntry(content, EntryField::Data);
}

int DriverFiles::showFanLabel(const Node& node, std::string& content)
{
    uint8_t id[17] = {};
    if (int error = readKey(fanKey(node.file->key, node.number), 16, id))
        return error;
    content = reinterpret_cast<const char*>(id + 4);
    content += '\n';
    return 0;
}

int DriverFiles::showFanSpeed(const Node& node, std::string& content)
{
    FourCharCode key = fanKey(node.file->key, node.number);
    if (typeOf(key) == fourCharCode("flt ")) {
        uint8_t raw[4];
        if (int error = readKey(key, 4, raw))
            return error;
        double speed = *encodings::decode(fourCharCode("flt "), raw, 4);
        // The integer part; below 1 (negative, NaN) shows 0.
        unsigned rpm = speed >= 1 ? (speed < 4294967296.0 ? unsigned(speed) : UINT_MAX) : 0;
        return print(content, "%u\n", rpm);
    }
    uint8_t raw[2];
    if (int error = readKey(key, 2, raw))
        return error;
    // Whole rpm: the quarters of fpe2 dropped.
    return print(content, "%u\n", unsigned(*encodings::decode(fourCharCode("fpe2"), raw, 2)));
}

int DriverFiles::storeFanSpeed(const Node& node, unsigned long value)
{
    if (value >= 0x4000)
        return EINVAL;
    FourCharCode key = fanKey(node.file->key, node.number);
    if (typeOf(key) == fourCharCode("flt ")) {
        uint8_t raw[4];
        encodings::encode(fourCharCode("flt "), 4, double(value), raw);  // exact: below 2^24
        return writeKey(key, 4, raw);
    }
    uint8_t raw[2];
    encodings::encode(fourCharCode("fpe2"), 2, double(value), raw);
    return writeKey(key, 2, raw);
}

int DriverFiles::showManual(const Node& node, std::string& content)
{
    unsigned mode;
    if (int error = readManual(node.number, mode))
        return error;
    return print(content, "%d\n", int(mode));
}

int DriverFiles::storeManual(const Node& node, unsigned long value)
{
    return writeManual(node.number, value);
}

int DriverFiles::showPwmEnable(const Node& node, std::string& content)
{
    unsigned mode;
    if (int error = readManual(node.number, mode))
        return error;
    return print(content, "%d\n", mode != 0 ? 1 : 2);
}

int DriverFiles::storePwmEnable(const Node& node, unsigned long value)
{
    if (value != 1 && value != 2)
        return EINVAL;
    return writeManual(node.number, value == 1);
}

int DriverFiles::showTempLabel(const Node& node, std::string& content)
{
    content = text(temperatures_[node.number - 1]) + "\n";
    return 0;
}

int DriverFiles::showTempInput(const Node& node, std::string& content)
{
    uint8_t raw[2];
    if (int error = readKey(temperatures_[node.number - 1], 2, raw))
        return error;
    // Quarter degrees, rounded down: the six low bits of sp78 never show.
    double celsius = *encodings::decode(fourCharCode("sp78"), raw, 2);
    return print(content, "%d\n", 250 * int(std::floor(celsius * 4)));
}

// This file's failures are ENODEV, not the EIO of the others.
int DriverFiles::showBatteryLimit(const Node&, std::string& content)
{
    uint8_t limit;
    if (readKey(fourCharCode("BCLM"), 1, &limit) != 0)
        return ENODEV;
    return print(content, "%d\n", int(limit));
}

int DriverFiles::storeBatteryLimit(const Node&, unsigned long value)
{
    if (value > 100)
        return EINVAL;
    uint8_t limit = uint8_t(value);
    return writeKey(fourCharCode("BCLM"), 1, &limit) == 0 ? 0 : ENODEV;
}
}  // namespace smcfs
