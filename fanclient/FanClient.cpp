#include "fanclient/FanClient.h"

#include "encodings/Encodings.h"

#if __has_include(<IOKit/IOKitDiagnostics.h>)
#include <IOKit/IOKitDiagnostics.h>
#endif
#if __has_include(<IOKit/IOKitSMCLease.h>)
#include <IOKit/IOKitSMCLease.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace fanclient {
namespace {

std::string keyOf(unsigned fan, const char* suffix)
{
    return std::string{'F', char('0' + fan), suffix[0], suffix[1]};
}

FourCharCode typeOf(const SMCVal& val)
{
    return encodings::fourCharCode(std::string_view(val.dataType, 4));
}

const uint8_t* bytesOf(const SMCVal& val)
{
    return reinterpret_cast<const uint8_t*>(val.bytes);
}

kern_return_t writeKnown(io_connect_t connection, const std::string& key, const uint8_t* bytes, uint32_t size)
{
    SMCKeyData record{};
    record.dataSize = size;
    std::memcpy(record.bytes, bytes, size);
    return call(connection, SMCCommandWriteKey, key, record);
}

std::optional<SMCVal> readKey(io_connect_t connection, const std::string& key)
{
    SMCVal val;
    if (SMCReadKey2(key.c_str(), &val, connection) != KERN_SUCCESS || val.dataSize == 0 ||
        val.dataSize > sizeof val.bytes)
        return std::nullopt;
    return val;
}

std::string nameOf(const SMCVal& id)
{
    // The label is bytes 4 to 15 of F<n>ID, as the Linux driver shows it.
    std::string name;
    for (uint32_t i = 4; i < std::min<uint32_t>(id.dataSize, 16); ++i) {
        char c = id.bytes[i];
        if (c == '\0')
            break;
        name += c >= 0x20 && c < 0x7f ? c : '?';
    }
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

#if __has_include(<IOKit/IOKitSMCLease.h>)
Controller controllerOf(IOSMCFanController& record)
{
    record.name[sizeof record.name - 1] = '\0';
    return {record.name, record.pid, record.uid};
}
#endif

}  // namespace

std::string speedText(const std::optional<double>& rpm)
{
    if (!rpm)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", *rpm);
    return text;
}

kern_return_t call(io_connect_t connection, uint8_t command, const std::string& key, SMCKeyData& record)
{
    record.key = encodings::fourCharCode(key);
    record.command = command;
    SMCKeyData reply{};
    size_t size = sizeof reply;
    kern_return_t status =
        IOConnectCallStructMethod(connection, kSMCUserClientCall, &record, sizeof record, &reply, &size);
    if (status == KERN_SUCCESS)
        record = reply;
    return status;
}

kern_return_t readKnown(io_connect_t connection, const std::string& key, uint32_t size, uint8_t* bytes)
{
    SMCKeyData record{};
    record.dataSize = size;
    kern_return_t status = call(connection, SMCCommandReadKey, key, record);
    if (status == KERN_SUCCESS)
        std::memcpy(bytes, record.bytes, size);
    return status;
}

std::string controllerText(const Controller& controller)
{
    std::string text;
    for (char c : controller.name)
        text += c >= 0x20 && c < 0x7f ? c : '?';
    return text + " (pid " + std::to_string(controller.pid) + ", uid " + std::to_string(controller.uid) + ")";
}

std::string statusWords(kern_return_t status)
{
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", unsigned(status));
    std::string code = std::string(" (") + hex + ")";
    switch (status) {
    case kIOReturnNotPrivileged:
        // The daemon's policy, or the driver behind it (an Apple Silicon Mac's
        // fan files without fan_control): its log says which.
        return "not writable through this daemon (its --writable policy, or a read-only driver file: see its log)" +
               code;
    case kIOReturnBadArgument:
        return "refused: below the lowest speed the daemon allows or above the fan's maximum" + code;
    case kIOReturnNotWritable:
        return "the SMC does not let this key be written" + code;
    case kIOReturnNotFound:
        return "the SMC has no such key" + code;
    case kIOReturnNotResponding:
        return "the daemon does not answer" + code;
    case kIOReturnNotOpen:
        return "the SMC is not open" + code;
    case kIOReturnIOError:
        return "the daemon could not save its state; nothing changed" + code;
    case kIOReturnUnsupported:
        return "not offered by this SMC" + code;
    case kIOReturnExclusiveAccess:
        return "another program holds the fan" + code;
    default:
        return "the SMC answered " + std::string(hex);
    }
}

std::string statusWords(io_connect_t connection, kern_return_t status)
{
#if __has_include(<IOKit/IOKitSMCLease.h>)
    if (status == kIOReturnNotPrivileged && !IOSMCConnectionIsBrokered(connection)) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", unsigned(status));
        return std::string("not permitted: the driver's file is not writable (") + hex + ")";
    }
#endif
    return statusWords(status);
}

std::optional<double> readSpeed(io_connect_t connection, unsigned fan, const char* suffix)
{
    std::optional<SMCVal> val = readKey(connection, keyOf(fan, suffix));
    if (!val)
        return std::nullopt;
    return encodings::speedFromBytes(typeOf(*val), bytesOf(*val), val->dataSize);
}

uint32_t readFanCount(io_connect_t connection, kern_return_t& status)
{
    SMCVal count;
    status = SMCReadKey2("FNum", &count, connection);
    return status == KERN_SUCCESS ? _strtoul(count.bytes, int(std::min<uint32_t>(count.dataSize, 4)), 16) : 0;
}

std::vector<Fan> readFanNames(io_connect_t connection, kern_return_t& status)
{
    std::vector<Fan> result;
    uint32_t fans = readFanCount(connection, status);
    for (unsigned index = 0; index < std::min<uint32_t>(fans, ::encodings::kNamedFans); ++index) {
        result.push_back(Fan{index});
        result.back().name = readName(connection, index);
    }
    return result;
}

std::string readName(io_connect_t connection, unsigned fan)
{
    std::optional<SMCVal> id = readKey(connection, keyOf(fan, "ID"));
    if (id)
        return nameOf(*id);
#if __has_include(<IOKit/IOKitDiagnostics.h>)
    // Without an ID key the machine may still name the fan (an Apple Silicon
    // Mac's devicetree labels its speed key); that costs no SMC read.
    char label[64];
    if (IOSMCConnectionCopyKeyLabel(connection, SMC_FOUR_CHAR_CODE(keyOf(fan, "Ac").c_str()), label, sizeof label) ==
        KERN_SUCCESS)
        return label;
#endif
    return {};
}

std::vector<Fan> readFans(io_connect_t connection, kern_return_t& status, bool& more)
{
    std::vector<Fan> result;
    uint32_t fans = readFanCount(connection, status);
    more = fans > ::encodings::kNamedFans;
    if (status != KERN_SUCCESS)
        return result;
    std::optional<SMCVal> mask = readKey(connection, "FS! ");
    for (unsigned index = 0; index < std::min<uint32_t>(fans, ::encodings::kNamedFans); ++index) {
        Fan fan;
        fan.index = index;
        fan.name = readName(connection, index);
        fan.actual = readSpeed(connection, index, "Ac");
        fan.minimum = readSpeed(connection, index, "Mn");
        fan.maximum = readSpeed(connection, index, "Mx");
        fan.target = readSpeed(connection, index, "Tg");
        std::optional<SMCVal> mode = readKey(connection, keyOf(index, "Md"));
        if (mask && mask->dataSize == 2)
            fan.manual = encodings::unsignedFromBytes(bytesOf(*mask), 2) >> index & 1;
        if (mode)
            fan.manual = fan.manual.value_or(false) || mode->bytes[0] != 0;
        result.push_back(fan);
    }
    return result;
}

std::optional<unsigned> fanNumber(const std::string& text)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return unsigned(std::stoul(text));
}

std::optional<Fan> findFan(const std::vector<Fan>& fans, const std::string& text)
{
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        std::optional<unsigned> number = fanNumber(text);
        for (const Fan& fan : fans)
            if (number && fan.index == *number)
                return fan;
        return std::nullopt;
    }
    std::optional<Fan> found;
    for (const Fan& fan : fans) {
        bool same = fan.name.size() == text.size() &&
                    std::equal(text.begin(), text.end(), fan.name.begin(),
                               [](char a, char b) { return std::tolower(uint8_t(a)) == std::tolower(uint8_t(b)); });
        if (same && found)
            return std::nullopt;  // two fans of that name: the number says which
        if (same)
            found = fan;
    }
    return found;
}

std::string speedKey(unsigned fan, Speed speed)
{
    return keyOf(fan, speed == Speed::Minimum ? "Mn" : "Tg");
}

kern_return_t writeSpeed(io_connect_t connection, unsigned fan, Speed speed, double rpm, SMCVal* written)
{
    // The key's type and size, then the write: the limits are the daemon's
    // to check, and its refusal says when one was crossed.
    std::string key = speedKey(fan, speed);
    SMCKeyData info{};
    if (kern_return_t status = call(connection, SMCCommandKeyInfo, key, info))
        return status;
    if (info.dataSize == 0)
        return kIOReturnNotFound;
    uint8_t bytes[4];
    if (info.dataSize > sizeof bytes || !encodings::speedToBytes(info.dataType, info.dataSize, rpm, bytes))
        return kIOReturnBadArgument;
    if (kern_return_t status = writeKnown(connection, key, bytes, info.dataSize))
        return status;
    if (written) {
        *written = SMCVal{};
        std::memcpy(written->key, key.c_str(), 4);
        written->dataSize = info.dataSize;
        _ultostr(written->dataType, info.dataType);
        std::memcpy(written->bytes, bytes, info.dataSize);
    }
    return KERN_SUCCESS;
}

kern_return_t setManual(io_connect_t connection, unsigned fan, bool manual, std::string* failedKey)
{
    auto failed = [&](const std::string& key, kern_return_t status) {
        if (status != KERN_SUCCESS && failedKey)
            *failedKey = key;
        return status;
    };
    auto write = [&](const SMCVal& val) {
        return failed(val.key, writeKnown(connection, val.key, bytesOf(val), val.dataSize));
    };
    std::string modeKey = keyOf(fan, "Md");
    if (manual) {
        // One read of the mask and one write. A mask the SMC lacks reads as
        // zeros and refuses the write as not found: then the fan's own key.
        uint8_t mask[2];
        if (fan < 16 && readKnown(connection, "FS! ", 2, mask) == KERN_SUCCESS) {
            unsigned bits = encodings::unsignedFromBytes(mask, 2);
            if (bits >> fan & 1)
                return KERN_SUCCESS;
            bits |= 1u << fan;
            const uint8_t wanted[2] = {uint8_t(bits >> 8), uint8_t(bits)};
            if (kern_return_t status = writeKnown(connection, "FS! ", wanted, 2); status != kIOReturnNotFound)
                return failed("FS! ", status);
        }
        const uint8_t on = 1;
        kern_return_t status = writeKnown(connection, modeKey, &on, 1);
        return status == kIOReturnNotFound ? status : failed(modeKey, status);
    }
    bool found = false;
    std::optional<SMCVal> mask = readKey(connection, "FS! ");
    if (mask && mask->dataSize == 2) {
        found = true;
        unsigned bits = encodings::unsignedFromBytes(bytesOf(*mask), 2);
        unsigned wanted = bits & ~(1u << fan);
        if (wanted != bits) {
            mask->bytes[0] = char(wanted >> 8);
            mask->bytes[1] = char(wanted);
            if (kern_return_t status = write(*mask); status != KERN_SUCCESS)
                return status;
        }
    }
    // Machines that keep the mode per fan; with a mask too, it must not
    // keep the fan manual once the mask says automatic.
    SMCVal read{};
    kern_return_t readStatus = SMCReadKey2(modeKey.c_str(), &read, connection);
    if (readStatus == kIOReturnNotReadable) {
        // A driver that keeps the mode to itself: writing automatic is safe whatever it is.
        const uint8_t off = 0;
        return failed(modeKey, writeKnown(connection, modeKey, &off, 1));
    }
    std::optional<SMCVal> mode = readStatus == KERN_SUCCESS && read.dataSize <= sizeof read.bytes
                                     ? std::optional(read)
                                     : std::nullopt;
    if (mode && mode->dataSize == 1) {
        found = true;
        if (mode->bytes[0] != 0) {
            mode->bytes[0] = 0;
            if (kern_return_t status = write(*mode); status != KERN_SUCCESS)
                return status;
        }
    }
    return found ? KERN_SUCCESS : kIOReturnNotFound;
}

kern_return_t readSetting(io_connect_t connection, unsigned fan, FanSetting& setting)
{
    auto bytes = reinterpret_cast<uint8_t*>(setting.target.bytes);
    if (kern_return_t status = readKnown(connection, setting.target.key, setting.target.dataSize, bytes))
        return status;
    // Keys the SMC lacks read as zeros: not manual.
    uint8_t mask[2] = {}, mode = 0;
    bool forced =
        fan < 16 && readKnown(connection, "FS! ", 2, mask) == KERN_SUCCESS && encodings::unsignedFromBytes(mask, 2) >> fan & 1;
    kern_return_t modeStatus = readKnown(connection, keyOf(fan, "Md"), 1, &mode);
    setting.modeKnown = forced || modeStatus != kIOReturnNotReadable;
    setting.manual = forced || (modeStatus == KERN_SUCCESS && mode != 0);
    return KERN_SUCCESS;
}

bool leftAlone(const FanSetting& now, const FanSetting& held, const FanSetting& before)
{
    auto sameTarget = [&](const FanSetting& other) {
        return std::memcmp(now.target.bytes, other.target.bytes, now.target.dataSize) == 0;
    };
    // Automatic is what a daemon that stops puts fans back to (before the
    // hold, or before a controller's lease); in that mode the SMC moves the
    // target itself, so the mode alone tells.
    // A mode nobody can read: only the target the hold left shows that
    // nobody changed the fan.
    if (!now.modeKnown)
        return sameTarget(held);
    return !now.manual || sameTarget(held) || (before.manual && sameTarget(before));
}

std::string holdProblem(io_connect_t connection, unsigned fan, const SMCVal& target, bool& gone)
{
    FanSetting now{target};
    kern_return_t status = readSetting(connection, fan, now);
    // A lease's connection never reconnects: no answer is the daemon gone,
    // and with it the lease, which put the fan back.
    gone = status == kIOReturnNotResponding;
    if (gone)
        return "the daemon went away (stopped or restarted), and the lease with it";
    if (status != KERN_SUCCESS)
        return std::string(target.key) + " cannot be read: " + statusWords(status);
    if (std::memcmp(now.target.bytes, target.bytes, target.dataSize) != 0)
        return std::string(target.key) + " reads " +
               speedText(encodings::speedFromBytes(typeOf(target), bytesOf(now.target), target.dataSize)) +
               " rpm now: another hold or a write changed the fan";
    if (!now.manual && now.modeKnown)
        return "the fan is in automatic mode again: another hold or a write changed it";
    return {};
}

io_connect_t openService()
{
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(MACH_PORT_NULL, IOServiceMatching("AppleSMC"), &iterator) != KERN_SUCCESS)
        return 0;
    io_object_t device = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    io_connect_t connection = 0;
    if (device != 0 && IOServiceOpen(device, mach_task_self(), 0, &connection) != KERN_SUCCESS)
        connection = 0;
    IOObjectRelease(device);
    return connection;
}

std::string openProblem()
{
    std::string cause;
#if __has_include(<IOKit/IOKitDiagnostics.h>)
    cause = IOSMCServiceFailureCause();
#endif
    return "the SMC cannot be opened" + (cause.empty() ? std::string() : ": " + cause);
}

#if __has_include(<IOKit/IOKitSMCLease.h>)
std::optional<double> readFloor(io_connect_t connection, unsigned fan)
{
    if (double floor; IOSMCConnectionCopyFanFloor(connection, fan, &floor) == KERN_SUCCESS)
        return floor;
    return std::nullopt;
}

kern_return_t requestLease(io_connect_t connection)
{
    return IOSMCConnectionRequestLease(connection);
}

kern_return_t claimFanControl(io_connect_t connection, const char* name, uint32_t pollMilliseconds,
                              Controller& holder)
{
    IOSMCFanController record{};
    kern_return_t status = IOSMCConnectionClaimFanControl(connection, name, pollMilliseconds, &record);
    holder = controllerOf(record);
    return status;
}

kern_return_t readController(io_connect_t connection, ControllerState& state)
{
    if (!IOSMCConnectionIsBrokered(connection))
        return kIOReturnUnsupported;
    IOSMCFanController record{};
    if (kern_return_t status = IOSMCConnectionCopyFanController(connection, &record))
        return status;
    state = {controllerOf(record), record.drivenFans, record.heldFans, {}};
    for (float target : record.targets)
        state.targets.push_back(std::isnan(target) ? std::nullopt : std::optional<double>(target));
    return KERN_SUCCESS;
}
#else
// Where the platform has no daemon, nothing offers leases or a controller.
std::optional<double> readFloor(io_connect_t, unsigned)
{
    return std::nullopt;
}

kern_return_t requestLease(io_connect_t)
{
    return kIOReturnUnsupported;
}

kern_return_t claimFanControl(io_connect_t, const char*, uint32_t, Controller& holder)
{
    holder = {};
    return kIOReturnUnsupported;
}

kern_return_t readController(io_connect_t, ControllerState&)
{
    return kIOReturnUnsupported;
}
#endif

}  // namespace fanclient
