#include "smcfan/smcfan.h"
#include "encodings/Encodings.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace smcfan {
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

bool parseRpm(const std::string& text, double& rpm)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(uint8_t(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    rpm = std::strtod(text.c_str(), &end);
    return *end == '\0' && errno == 0 && std::isfinite(rpm);
}

std::string speedText(const std::optional<double>& rpm)
{
    if (!rpm)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", *rpm);
    return text;
}

}  // namespace

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

std::string usage()
{
    return "Usage: smcfan                              list every fan\n"
           "       smcfan set FAN min|target RPM       set a fan's minimum or target speed\n"
           "       smcfan manual FAN                   the fan follows its target\n"
           "       smcfan auto [FAN]                   the SMC drives the fan again (every fan)\n"
           "       smcfan hold FAN RPM [-- COMMAND...] hold the fan at RPM until Ctrl-C, SIGTERM\n"
           "                                           or COMMAND's exit; the daemon then puts it\n"
           "                                           back, even if smcfan is killed\n"
           "       smcfan --help | --version\n"
           "FAN is a fan's number or name as the list shows them. The SMC is the one that\n"
           "SMC_SERVICE names; unset: your smcd, then the system's at /run/smcd.sock, then\n"
           "the applesmc driver, else no SMC (SMC_SERVICE=builtin: the emulated machine).\n"
           "A hold needs smcd. A hold that ends underneath (the fan changed by another)\n"
           "is said on stderr and COMMAND runs on; after smcd restarts the hold is taken\n"
           "again if nobody changed the fan meanwhile.\n"
           "Exit status: 0 done, 1 failure (a hold: its command's status), 2 a usage error.\n";
}

std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& problem)
{
    Options options;
    if (arguments.empty())
        return options;
    const std::string& word = arguments[0];
    size_t count = arguments.size();
    auto wrong = [&](const std::string& what) {
        problem = what;
        return std::nullopt;
    };
    if (word == "--help" || word == "-h") {
        options.command = Command::Help;
    } else if (word == "--version") {
        options.command = Command::Version;
    } else if (word == "list") {
        if (count != 1)
            return wrong("list takes no arguments");
    } else if (word == "set") {
        if (count != 4)
            return wrong("expected: set FAN min|target RPM");
        options.command = Command::Set;
        options.fan = arguments[1];
        if (arguments[2] == "min" || arguments[2] == "minimum")
            options.speed = Speed::Minimum;
        else if (arguments[2] == "target")
            options.speed = Speed::Target;
        else
            return wrong("expected min or target, not \"" + arguments[2] + "\"");
        if (!parseRpm(arguments[3], options.rpm))
            return wrong("expected a speed in rpm, not \"" + arguments[3] + "\"");
    } else if (word == "manual") {
        if (count != 2)
            return wrong("expected: manual FAN");
        options.command = Command::Manual;
        options.fan = arguments[1];
    } else if (word == "auto") {
        if (count > 2)
            return wrong("expected: auto [FAN]");
        options.command = Command::Auto;
        options.fan = count == 2 ? arguments[1] : "";
    } else if (word == "hold") {
        options.command = Command::Hold;
        if (count < 3 || (count > 3 && arguments[3] != "--"))
            return wrong("expected: hold FAN RPM [-- COMMAND...]");
        if (count == 4)
            return wrong("expected a command after --");
        options.fan = arguments[1];
        if (!parseRpm(arguments[2], options.rpm))
            return wrong("expected a speed in rpm, not \"" + arguments[2] + "\"");
        options.program.assign(arguments.begin() + std::min<size_t>(4, count), arguments.end());
    } else if (word.size() > 1 && word[0] == '-') {
        return wrong("unknown option " + word);
    } else {
        return wrong("unknown command \"" + word + "\"");
    }
    if (options.fan.empty() && options.command != Command::Auto && options.command != Command::List &&
        options.command != Command::Help && options.command != Command::Version)
        return wrong("expected a fan's number or name");
    return options;
}

std::string controllerText(const Controller& controller)
{
    std::string text;
    for (char c : controller.name)
        text += c >= 0x20 && c < 0x7f ? c : '?';
    return text + " (pid " + std::to_string(controller.pid) + ", uid " + std::to_string(controller.uid) + ")";
}

std::string listText(const std::vector<Fan>& fans, const std::optional<Controller>& controller)
{
    size_t width = 4;
    for (const Fan& fan : fans)
        width = std::max(width, fan.name.size());
    auto line = [&](const std::string& index, const std::string& name, const std::string& actual,
                    const std::string& minimum, const std::string& maximum, const std::string& target,
                    const std::string& mode) {
        char text[256];
        std::snprintf(text, sizeof text, "%-3s  %-*s  %7s  %7s  %7s  %7s  %s\n", index.c_str(), int(width),
                      name.c_str(), actual.c_str(), minimum.c_str(), maximum.c_str(), target.c_str(), mode.c_str());
        return std::string(text);
    };
    std::string text = line("Fan", "Name", "Actual", "Minimum", "Maximum", "Target", "Mode");
    for (const Fan& fan : fans)
        text += line(std::to_string(fan.index), fan.name, speedText(fan.actual), speedText(fan.minimum),
                     speedText(fan.maximum), speedText(fan.target),
                     !fan.manual ? "?" : *fan.manual ? "manual" : "auto");
    if (!controller)
        return text;
    std::string who = controllerText(*controller);
    bool any = false;
    for (const Fan& fan : fans) {
        std::string number = "Fan " + std::to_string(fan.index);
        if (fan.driven)
            text += number + " is driven by " + who +
                    (fan.controllerTarget ? ", target " + speedText(fan.controllerTarget) + " rpm" : "") + "\n";
        else if (fan.held)
            text += number + " is held by another program; " + who + " leaves it alone until the hold ends\n";
        any = any || fan.driven || fan.held;
    }
    if (!any)
        text += "The fan controller " + who + " drives no fan now\n";
    return text;
}

std::string statusWords(kern_return_t status)
{
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", unsigned(status));
    std::string code = std::string(" (") + hex + ")";
    switch (status) {
    case kIOReturnNotPrivileged:
        return "not writable through this daemon (its --writable policy)" + code;
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

std::string refusalWords(const std::string& key, double rpm, std::optional<double> floor,
                         std::optional<double> maximum, kern_return_t status)
{
    bool above = maximum && rpm > *maximum, below = floor && rpm < *floor;
    if (status != kIOReturnBadArgument || (!above && !below))
        return key + ": " + statusWords(status);
    char text[160];
    std::snprintf(text, sizeof text, "%s refused %.0f rpm: %s of %.0f rpm (%08x)", key.c_str(), rpm,
                  above ? "above the maximum" : "below the floor", above ? *maximum : *floor, unsigned(status));
    return text;
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
    return id ? nameOf(*id) : std::string();
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
            fan.manual = (uint8_t(mask->bytes[0]) << 8 | uint8_t(mask->bytes[1])) >> index & 1;
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
            unsigned bits = unsigned(mask[0] << 8 | mask[1]);
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
        unsigned bits = uint8_t(mask->bytes[0]) << 8 | uint8_t(mask->bytes[1]);
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
    std::optional<SMCVal> mode = readKey(connection, modeKey);
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
        fan < 16 && readKnown(connection, "FS! ", 2, mask) == KERN_SUCCESS && (mask[0] << 8 | mask[1]) >> fan & 1;
    setting.manual = forced || (readKnown(connection, keyOf(fan, "Md"), 1, &mode) == KERN_SUCCESS && mode != 0);
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
    if (!now.manual)
        return "the fan is in automatic mode again: another hold or a write changed it";
    return {};
}

}  // namespace smcfan
