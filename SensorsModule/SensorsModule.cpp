// SensorsModule: discovery and the temperature, raw-value and fan reports.
#include "SensorsModule/SensorsModule.h"
#include "encodings/Encodings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <new>

namespace {

// The value bytes a decoding may look at: never past the 32 of the record.
int valueSize(const SMCVal& val)
{
    return int(val.dataSize < sizeof val.bytes ? val.dataSize : sizeof val.bytes);
}

using encodings::wholeDegrees;

FourCharCode typeOf(const SMCVal& val)
{
    return encodings::fourCharCode(std::string_view(val.dataType, 4));
}

// By the value's type: an Apple Silicon or T2 machine's flt is a float,
// which the two-byte rule would read as garbage.
int32_t sixtyFourthsOfDegree(const SMCVal& val)
{
    return encodings::temperatureSixtyFourths(typeOf(val), reinterpret_cast<const uint8_t*>(val.bytes),
                                              size_t(valueSize(val)));
}

// The text to read a key object by: its characters, or none for an absent
// key or one that is not a string.
const char* keyText(const NSObject* key)
{
    const NSString* text = key ? key->asString() : nullptr;
    return text ? text->cString() : "";
}

struct FanKey {
    char text[16];  // room for any fan number
    FanKey(const char* pattern, int32_t fan) { std::snprintf(text, sizeof text, pattern, fan); }
};

}  // namespace

SensorsModule* SensorsModuleAlloc() noexcept
{
    return new (std::nothrow) SensorsModule();
}

// Every method that allocates catches at its boundary, as a function try
// block: nothing crosses to the host, a report answers nil, a method without
// a result stops where it was, and nothing else is set. In practice the
// exception is std::bad_alloc.

SensorsModule* SensorsModule::init() noexcept
{
    // Opening again would lose both connections of the first init.
    if (supported)
        return this;
    result = SMCOpen(&conn2);
    supported = result == 0;
    if (supported) {
        smc_init();
        try {
            supportedKeys = NSMutableArray::array();
        } catch (const std::exception&) {
            // Left absent: discovery then finds nothing.
        }
    }
    return this;
}

void SensorsModule::dealloc() noexcept
{
    availableKeys = nullptr;
    keyDisplayNames = nullptr;
    priorities = nullptr;
    supportedKeys = nullptr;
    SMCClose(conn2);
    // The process-wide connection closes for every module that shares it.
    smc_close();
    NSObject::dealloc();
}

bool SensorsModule::isSupported() noexcept
{
    return supported;
}

uint32_t SensorsModule::connection() noexcept
{
    return conn2;
}

void SensorsModule::setSupportedtKeys(NSArray* keys) noexcept try
{
    availableKeys = msgSend(keys, &NSArray::mutableCopy);
} catch (const std::exception&) {
}

void SensorsModule::setKeyDisplayNames(NSDictionary* displayNames) noexcept try
{
    keyDisplayNames = msgSend(displayNames, &NSDictionary::mutableCopy);
} catch (const std::exception&) {
}

void SensorsModule::setKeyPriorities(NSDictionary* keyPriorities) noexcept try
{
    priorities = msgSend(keyPriorities, &NSDictionary::mutableCopy);
} catch (const std::exception&) {
}

void SensorsModule::findSupportedKeys() noexcept try
{
    Ref<NSEnumerator> candidates = msgSend(availableKeys, &NSArray::objectEnumerator);
    while (NSObject* key = msgSend(candidates, &NSEnumerator::nextObject)) {
        SMCVal val;
        result = SMCReadKey2(keyText(key), &val, conn2);
        bool accepted = result == kIOReturnSuccess && val.dataSize != 0 && sixtyFourthsOfDegree(val) > 63;
        if (accepted && !msgSend(supportedKeys, &NSArray::containsObject, key))
            msgSend(supportedKeys, &NSMutableArray::addObject, key);
    }

    auto setDefaultName = [this](const char* key, const char* name) {
        msgSend(keyDisplayNames, &NSMutableDictionary::setValue, NSString::stringWithCString(name).get(),
                NSString::stringWithCString(key).get());
    };
    if (msgSend(supportedKeys, &NSArray::containsObject, NSString::stringWithCString("TC0D").get())) {
        setDefaultName("TC0H", "CPU A Heatsink");
        setDefaultName("TCAH", "CPU Heatsink 1");
    }
    if (msgSend(supportedKeys, &NSArray::containsObject, NSString::stringWithCString("TC1D").get()))
        setDefaultName("TCBH", "CPU Heatsink 2");
} catch (const std::exception&) {
}

Ref<NSArray> SensorsModule::getTemps() noexcept try
{
    char key[8];
    std::snprintf(key, sizeof key, "TC%dD", 0);
    SMCVal val;
    result = SMCReadKey2(key, &val, conn2);
    if (result != kIOReturnSuccess)
        return NSArray::array();
    return NSArray::arrayWithObject(NSString::stringWithCString("CPU").get());
} catch (const std::exception&) {
    return nullptr;
}

Ref<NSArray> SensorsModule::getTempValues() noexcept try
{
    Ref<NSMutableArray> values = NSMutableArray::array();
    Ref<NSMutableArray> groups[4] = {NSMutableArray::array(), NSMutableArray::array(), NSMutableArray::array(),
                                     NSMutableArray::array()};
    Ref<NSEnumerator> keys = msgSend(supportedKeys, &NSArray::objectEnumerator);
    while (NSObject* key = msgSend(keys, &NSEnumerator::nextObject)) {
        SMCVal val;
        result = SMCReadKey2(keyText(key), &val, conn2);
        int32_t degrees = wholeDegrees(sixtyFourthsOfDegree(val));
        if (result != kIOReturnSuccess || val.dataSize == 0 || degrees == 0)
            continue;
        int priority = msgSend(msgSend(priorities, &NSDictionary::objectForKey, key), &NSObject::intValue);
        if (priority < 1 || priority > 4)
            continue;
        NSObject* name = msgSend(keyDisplayNames, &NSDictionary::objectForKey, key);
        Ref<NSNumber> reading = NSNumber::numberWithInt(degrees);
        groups[priority - 1]->addObject(NSArray::arrayWithObjects({name, reading.get()}).get());
    }
    for (Ref<NSMutableArray>& group : groups) {
        group->sortUsingSelector(&NSObject::compare);
        values->addObject(group.get());
    }
    return values;
} catch (const std::exception&) {
    return nullptr;
}

void SensorsModule::dataForKey(NSString* key, SMCVal* returnData) noexcept
{
    if (returnData)
        SMCReadKey2(keyText(key), returnData, conn2);
}

Ref<NSArray> SensorsModule::getValuesForKeys(NSArray* keys, int32_t dataLength) noexcept try
{
    Ref<NSMutableArray> values = NSMutableArray::array();
    for (size_t i = 0; i < msgSend(keys, &NSArray::count); ++i) {
        NSObject* key = keys->objectAtIndex(i);
        SMCVal val;
        result = SMCReadKey2(keyText(key), &val, conn2);
        // A length past the 32 value bytes can never be served.
        if (result != kIOReturnSuccess || dataLength < 0 || dataLength > int32_t(sizeof val.bytes) ||
            val.dataSize != uint32_t(dataLength))
            continue;
        Ref<NSMutableArray> entry = NSMutableArray::array();
        entry->addObject(key);
        entry->addObject(NSString::stringWithCString(val.dataType).get());
        for (int32_t j = 0; j < dataLength; ++j)
            entry->addObject(NSNumber::numberWithInt(int8_t(val.bytes[j])).get());
        values->addObject(entry.get());
    }
    return values;
} catch (const std::exception&) {
    return nullptr;
}

bool SensorsModule::readFanCount(int32_t& fans, bool recordStatus) noexcept
{
    SMCVal val;
    kern_return_t status = SMCReadKey("FNum", &val);
    if (recordStatus)
        result = status;
    // A real SMC holds its fan count in one byte; a larger claim must not
    // make the loops run (and allocate) billions of times.
    fans = std::min(int32_t(_strtoul(val.bytes, valueSize(val), 10)), int32_t(kSMCMaxFans));
    return status == kIOReturnSuccess;
}

Ref<NSArray> SensorsModule::getFans() noexcept try
{
    Ref<NSMutableArray> labels = NSMutableArray::array();
    int32_t fans = 0;
    if (!readFanCount(fans, false))
        return labels;
    for (int32_t fan = 0; fan < fans; ++fan)
        labels->addObject(NSString::stringWithFormat("Fan %i", fan).get());
    return labels;
} catch (const std::exception&) {
    return nullptr;
}

Ref<NSArray> SensorsModule::fanKeys() noexcept try
{
    Ref<NSMutableArray> keys = NSMutableArray::array();
    int32_t fans = 0;
    if (!readFanCount(fans, true))
        return keys;
    for (int32_t fan = 0; fan < fans; ++fan)
        keys->addObject(NSString::stringWithFormat("F%iAc", fan).get());
    return keys;
} catch (const std::exception&) {
    return nullptr;
}

Ref<NSString> SensorsModule::getFanName(int32_t index) noexcept try
{
    Ref<NSMutableString> name = NSMutableString::string();
    SMCVal val;
    SMCReadKey2(FanKey("F%dID", index).text, &val, conn2);
    for (int j = 0; j < valueSize(val); ++j) {
        // Only printable ASCII: control bytes, blanks and bytes from 0x80
        // are dropped wherever they stand.
        int8_t c = int8_t(val.bytes[j]);
        if (c > 32)
            name->appendFormat("%c", c);
    }
    if (name->length() == 0)
        name->setString(NSString::stringWithFormat("Fan %i", index).get());
    return name;
} catch (const std::exception&) {
    return nullptr;
}

int32_t SensorsModule::convertFanValue(SMCVal val) noexcept
{
    // A flt speed (T2 and Apple Silicon machines) is a float; every other
    // type is read as fpe2, as it always was.
    bool isFloat = typeOf(val) == encodings::fourCharCode("flt ") && val.dataSize == 4;
    float speed = isFloat ? encodings::floatFromBytes(reinterpret_cast<const uint8_t*>(val.bytes))
                          : _strtof(val.bytes, valueSize(val), 2);
    if (std::isnan(speed))
        return 0;
    // Values past two bytes can exceed what a 32-bit integer holds.
    if (speed >= 2147483648.0f)
        return std::numeric_limits<int32_t>::max();
    if (speed < -2147483648.0f)
        return std::numeric_limits<int32_t>::min();
    return int32_t(speed);
}

Ref<NSDictionary> SensorsModule::getFanValues() noexcept try
{
    Ref<NSMutableDictionary> speeds = NSMutableDictionary::dictionary();
    int32_t fans = 0;
    if (!readFanCount(fans, true))
        return speeds;
    for (int32_t fan = 0; fan < fans; ++fan) {
        SMCVal val;
        SMCReadKey(FanKey("F%dAc", fan).text, &val);
        Ref<NSString> name = getFanName(fan);
        Ref<NSNumber> speed = NSNumber::numberWithInt(convertFanValue(val));
        speeds->setValue(NSString::stringWithFormat("%@", speed.get()).get(), name.get());
    }
    return speeds;
} catch (const std::exception&) {
    return nullptr;
}
