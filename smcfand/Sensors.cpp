#include "smcfand/Sensors.h"

#include "smc/Encodings.h"
#include "smcfan/smcfan.h"

#if __has_include(<IOKit/IOKitSMCLease.h>)
#include <IOKit/IOKitSMCLease.h>
#endif

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace smcfand {
namespace {

double decode(FourCharCode type, const uint8_t* bytes, uint32_t size)
{
    // T2 machines keep some temperatures as little-endian floats.
    if (type == encodings::fourCharCode("flt ") && size == 4)
        return encodings::floatFromBytes(bytes);
    std::string text = encodings::fourCharText(type);
    return encodings::decodeTemperature(text.c_str(), bytes);
}

// The temperature of `key` read in full (its information, then its value),
// when it reads plausibly.
std::optional<double> plausibleKey(io_connect_t connection, const std::string& key)
{
    SMCVal val;
    if (SMCReadKey2(key.c_str(), &val, connection) != KERN_SUCCESS || val.dataSize < 2 ||
        val.dataSize > sizeof val.bytes)
        return std::nullopt;
    double celsius = decode(encodings::fourCharCode(std::string_view(val.dataType, 4)),
                            reinterpret_cast<const uint8_t*>(val.bytes), val.dataSize);
    if (!(celsius >= kLowestPlausible && celsius <= kHighestPlausible))
        return std::nullopt;
    return celsius;
}

}  // namespace

bool connectionLost(kern_return_t status)
{
    return status == kIOReturnNotResponding || status == kIOReturnNotOpen;
}

Reading readTemperatureFile(const std::string& path)
{
    std::ifstream file(path);
    if (!file)
        return {std::nullopt, path + " cannot be read: " + std::strerror(errno)};
    std::string text;
    std::getline(file, text);
    char* end = nullptr;
    errno = 0;
    long millidegrees = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || errno != 0 || (*end != '\0' && *end != '\n'))
        return {std::nullopt, path + " reads \"" + text + "\", not millidegrees"};
    return {double(millidegrees) / 1000, {}};
}

Reading SensorReader::read(const std::string& sensor, kern_return_t& status)
{
    status = KERN_SUCCESS;
    if (isFile(sensor))
        return readTemperatureFile(sensor);
    auto known = keys_.find(sensor);
    if (known == keys_.end()) {
        SMCKeyData info{};
        kern_return_t answer = smcfan::call(connection_, SMCCommandKeyInfo, sensor, info);
        if (connectionLost(answer))
            status = answer;
        if (answer != KERN_SUCCESS || info.dataSize == 0)
            return {std::nullopt, "the SMC has no key " + sensor +
                                      (answer == KERN_SUCCESS ? "" : " (" + smcfan::statusWords(answer) + ")")};
        if (info.dataSize < 2 || info.dataSize > sizeof info.bytes)
            return {std::nullopt, sensor + " is not a temperature (" + std::to_string(info.dataSize) + " bytes)"};
        known = keys_.emplace(sensor, KeyInfo{info.dataSize, info.dataType}).first;
    }
    uint8_t bytes[sizeof(SMCBytes)];
    kern_return_t answer = smcfan::readKnown(connection_, sensor, known->second.size, bytes);
    if (answer != KERN_SUCCESS) {
        if (connectionLost(answer))
            status = answer;
        return {std::nullopt, sensor + " cannot be read: " + smcfan::statusWords(answer)};
    }
    return {decode(known->second.type, bytes, known->second.size), {}};
}

std::string SensorReader::problem(const std::string& sensor)
{
    kern_return_t status;
    Reading reading = read(sensor, status);
    return reading.celsius ? std::string() : reading.error;
}

std::vector<std::string> defaultSensors(io_connect_t connection)
{
    std::vector<std::string> candidates = {"TC0D", "TC0E", "TC0F", "TC0P", "TCXC"};
    for (char core = '0'; core <= '9'; ++core)
        candidates.push_back(std::string("TC") + core + "C");
    std::vector<std::string> found;
    for (const std::string& key : candidates)
        if (plausibleKey(connection, key))
            found.push_back(key);
    if (!found.empty())
        return found;
    // No CPU key known by name: every temperature key that reads plausibly.
    uint32_t count = 0;
    if (SMCVal val; SMCReadKey2("#KEY", &val, connection) == KERN_SUCCESS)
        count = std::min<uint32_t>(_strtoul(val.bytes, int(std::min<uint32_t>(val.dataSize, 4)), 16), kSMCMaxKeys);
    for (uint32_t index = 0; index < count; ++index) {
        SMCKeyData record{};
        record.index = index;
        if (smcfan::call(connection, SMCCommandKeyAtIndex, {}, record) != KERN_SUCCESS)
            break;
        std::string key = encodings::fourCharText(record.key);
        if (key[0] == 'T' && plausibleKey(connection, key))
            found.push_back(key);
    }
    return found;
}

std::vector<MachineFan> readMachineFans(io_connect_t connection, kern_return_t& status,
                                        std::vector<std::string>& skipped)
{
    std::vector<MachineFan> fans;
    for (const smcfan::Fan& fan : smcfan::readFanNames(connection, status)) {
        std::optional<double> minimum = smcfan::readSpeed(connection, fan.index, "Mn"),
                              maximum = smcfan::readSpeed(connection, fan.index, "Mx");
        if (!minimum || !maximum || *maximum <= 0 || *minimum > *maximum) {
            skipped.push_back("fan " + std::to_string(fan.index) +
                              ": its minimum and maximum (F" + std::to_string(fan.index) + "Mn, F" +
                              std::to_string(fan.index) + "Mx) do not read as a range; leaving it to the SMC");
            continue;
        }
        MachineFan machineFan{fan.index, fan.name, *minimum, *maximum, std::nullopt};
#if __has_include(<IOKit/IOKitSMCLease.h>)
        if (double floor; IOSMCConnectionCopyFanFloor(connection, fan.index, &floor) == KERN_SUCCESS)
            machineFan.floor = floor;
#endif
        fans.push_back(machineFan);
    }
    return fans;
}

}  // namespace smcfand
