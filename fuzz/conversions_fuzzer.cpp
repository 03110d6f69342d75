// Hex values and the value conversions against what they mean: smc_parse_hex
// takes exactly the texts of at most 64 hex digits and leaves the record
// alone otherwise; _strtoul is the big-endian number of the last four bytes;
// _strtof always gives a whole number, and for one and two bytes the fixed-
// point value; _ultostr writes exactly five bytes. The temperature rule is
// checked through the module: discovery keeps a key from 64/64 of a degree,
// and the report gives t/64 truncated toward zero, or drops a zero.
#include "SensorsModule/SensorsModule.h"
#include "backends/emulated/EmulatedSMC.h"
#include "support/FuzzSupport.h"

#include <cmath>
#include <cstring>

using namespace platform;
using fuzz_support::check;
using fuzz_support::InputReader;

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void checkHex(const std::string& text)
{
    SMCVal val;
    std::memset(&val, 0xa5, sizeof val);
    SMCVal before = val;
    bool parsed = smc_parse_hex(text.c_str(), &val);

    bool hex = text.size() <= 64;
    for (char c : text)
        hex = hex && hexValue(c) >= 0;
    check(parsed == hex, "smc_parse_hex takes exactly up to 64 hex digits", fuzz_support::escaped(text));
    if (!parsed) {
        check(std::memcmp(&val, &before, sizeof val) == 0, "a refused hex text leaves the record alone");
        return;
    }
    size_t pairs = text.size() / 2;
    check(val.dataSize == pairs, "the size is the number of digit pairs");
    for (size_t i = 0; i < sizeof val.bytes; ++i) {
        uint8_t expected = i < pairs ? uint8_t(hexValue(text[2 * i]) << 4 | hexValue(text[2 * i + 1])) : 0xa5;
        check(uint8_t(val.bytes[i]) == expected, "each pair of digits is one byte, and no byte past them changes");
    }
    check(std::memcmp(val.key, before.key, sizeof val.key) == 0 &&
              std::memcmp(val.dataType, before.dataType, sizeof val.dataType) == 0,
          "parsing touches only the size and the bytes");
}

void checkConversions(InputReader& input)
{
    uint8_t buffer[64];
    int size = int8_t(input.byte());
    int e = int32_t(input.word());
    input.bytes(buffer, sizeof buffer);
    const char* bytes = reinterpret_cast<const char*>(buffer);
    int length = size < int(sizeof buffer) ? size : int(sizeof buffer);

    uint32_t number = 0;
    for (int i = length - 4 < 0 ? 0 : length - 4; i < length; ++i)
        number = number << 8 | buffer[i];
    check(_strtoul(bytes, length, 10) == number, "_strtoul is the big-endian number of the last four bytes");
    check(_strtoul(bytes, length, 16) == number, "_strtoul does not depend on the base");

    float value = _strtof(bytes, length, e);
    check(std::isfinite(value) && std::trunc(value) == value, "_strtof gives a whole number");
    if (length <= 0)
        check(value == 0, "_strtof of no bytes is 0");
    if (length == 1 && e >= 0 && e < 32)
        check(value == float(buffer[0] >> e), "_strtof of one byte is that byte, unsigned, shifted right");
    if (length == 2 && e >= 0 && e <= 8)
        check(value == float(int8_t(buffer[0]) * (1 << (8 - e)) + (buffer[1] >> e)),
              "_strtof of two bytes is a signed fixed-point number without its fraction");

    char text[6];
    std::memset(text, 0x5a, sizeof text);
    uint32_t code = uint32_t(buffer[0]) << 24 | uint32_t(buffer[1]) << 16 | uint32_t(buffer[2]) << 8 | buffer[3];
    check(_ultostr(text, code) == 4, "_ultostr returns 4");
    check(std::memcmp(text, buffer, 4) == 0 && text[4] == '\0' && text[5] == 0x5a,
          "_ultostr writes the code's four bytes and a zero byte, and nothing more");
}

Ref<NSString> string(const char* text)
{
    return NSString::stringWithCString(text);
}

// Whole degrees by the temperature rule, spelled out: the two bytes as a
// signed big-endian number of 256ths, floored to 64ths, truncated to degrees.
int32_t sixtyFourths(uint8_t high, uint8_t low)
{
    int32_t raw = int8_t(high) * 256 + low;
    return raw >= 0 ? raw / 4 : -((-raw + 3) / 4);
}

void checkTemperatureRule(InputReader& input)
{
    uint8_t size = uint8_t(2 + input.byte() % 31);  // the rule needs two bytes
    int priority = int8_t(input.byte());
    SMCKeyEntry entry{.key = fourCharCode("TFZZ"), .type = fourCharCode("sp78"), .size = size};
    input.bytes(entry.bytes.data(), size);
    uint8_t later[32];
    input.bytes(later, size);
    auto smc = std::make_shared<EmulatedSMC>(std::vector<SMCKeyEntry>{entry});
    installSMCService(smc);
    {
        Ref<SensorsModule> module(kAdopt, SensorsModuleAlloc()->init());
        Ref<NSString> key = string("TFZZ");
        Ref<NSArray> keys = NSArray::arrayWithObject(key.get());
        Ref<NSMutableDictionary> names = NSMutableDictionary::dictionary();
        Ref<NSString> name = string("Probe");
        names->setValue(name.get(), key.get());
        Ref<NSMutableDictionary> priorities = NSMutableDictionary::dictionary();
        Ref<NSNumber> level = NSNumber::numberWithInt(priority);
        priorities->setValue(level.get(), key.get());
        module->setSupportedtKeys(keys.get());
        module->setKeyDisplayNames(names.get());
        module->setKeyPriorities(priorities.get());
        module->findSupportedKeys();
        bool supported = sixtyFourths(entry.bytes[0], entry.bytes[1]) > 63;

        // A reading taken after discovery may be anything, negative too.
        smc->setValue(entry.key, later, size);
        int32_t degrees = sixtyFourths(later[0], later[1]) / 64;
        Ref<NSArray> groups = module->getTempValues();
        check(groups && groups->count() == 4, "four priority groups");
        for (size_t group = 0; group < 4; ++group) {
            const NSArray* pairs = groups->objectAtIndex(group)->asArray();
            bool expected = supported && degrees != 0 && priority == int(group) + 1;
            check(pairs && pairs->count() == (expected ? 1 : 0), "the reading is in its group, or dropped",
                  "group " + std::to_string(group + 1) + ", degrees " + std::to_string(degrees));
            if (expected) {
                const NSArray* pair = pairs->objectAtIndex(0)->asArray();
                check(pair && pair->count() == 2 && pair->objectAtIndex(0)->isEqual(name.get()) &&
                          pair->objectAtIndex(1)->intValue() == degrees,
                      "the pair is the name and the whole degrees", "degrees " + std::to_string(degrees));
            }
        }
    }
    installSMCService(nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    checkHex(text.substr(0, text.find('\0')));
    InputReader input(data, size);
    checkConversions(input);
    InputReader rest(data, size);
    checkTemperatureRule(rest);
    return 0;
}
