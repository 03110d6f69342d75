// The listing line, the key listing and the fan report.
#include "smc/tool/smctool.h"

#include <cstdio>
#include <cstring>

namespace {

// The value bytes a printer may look at: never past the 32 of the record.
int valueSize(const SMCVal& val)
{
    return int(val.dataSize < sizeof val.bytes ? val.dataSize : sizeof val.bytes);
}

float fpe2Value(const SMCVal& val)
{
    return _strtof(val.bytes, valueSize(val), 2);
}

bool isUnsignedType(const char* type)
{
    return std::strcmp(type, "ui8 ") == 0 || std::strcmp(type, "ui16") == 0 ||
           std::strcmp(type, "ui32") == 0;
}

void printFanSpeed(const char* label, float speed)
{
    std::printf("    %s: %.0f\n", label, double(speed));
}

}  // namespace

extern "C" {

void printUInt(SMCVal val)
{
    std::printf("%u ", _strtoul(val.bytes, valueSize(val), 10));
}

void printFPE2(SMCVal val)
{
    std::printf("%.0f ", double(fpe2Value(val)));
}

void printBytesHex(SMCVal val)
{
    std::fputs("(bytes", stdout);
    for (int i = 0; i < valueSize(val); ++i)
        std::printf(" %02x", unsigned(uint8_t(val.bytes[i])));
    std::fputs(")\n", stdout);
}

void printVal(SMCVal val)
{
    // The precision keeps a record without its zero bytes from being read on.
    std::printf("  %-4.4s  [%-4.4s]  ", val.key, val.dataType);
    if (val.dataSize == 0) {
        std::puts("no data");
        return;
    }
    val.dataType[4] = '\0';
    if (isUnsignedType(val.dataType))
        printUInt(val);
    else if (std::strcmp(val.dataType, "fpe2") == 0)
        printFPE2(val);
    printBytesHex(val);
}

kern_return_t SMCPrintAll(void)
{
    int32_t count = int32_t(SMCReadIndexCount());
    for (int32_t i = 0; i < count; ++i) {
        SMCKeyData request{};
        SMCKeyData response{};
        SMCVal val{};
        request.command = SMCCommandKeyAtIndex;
        request.index = uint32_t(i);
        if (SMCCall(kSMCUserClientCall, &request, &response) != kIOReturnSuccess)
            continue;
        char key[5];
        _ultostr(key, response.key);
        SMCReadKey(key, &val);
        printVal(val);
    }
    return kIOReturnSuccess;
}

kern_return_t SMCPrintFans(void)
{
    SMCVal val;
    if (SMCReadKey("FNum", &val) != kIOReturnSuccess)
        return kIOReturnError;
    int32_t fans = int32_t(_strtoul(val.bytes, valueSize(val), 10));
    std::printf("Total fans in system: %d\n", fans);

    static constexpr struct {
        const char* pattern;
        const char* label;
    } speeds[] = {
        {"F%dAc", "Actual speed "}, {"F%dMn", "Minimum speed"}, {"F%dMx", "Maximum speed"},
        {"F%dSf", "Safe speed   "}, {"F%dTg", "Target speed "},
    };
    for (int32_t fan = 0; fan < fans; ++fan) {
        std::printf("\nFan #%d:\n", fan);
        for (const auto& speed : speeds) {
            char key[16];  // room for any fan number
            std::snprintf(key, sizeof key, speed.pattern, fan);
            SMCReadKey(key, &val);
            printFanSpeed(speed.label, fpe2Value(val));
        }
        SMCReadKey("FS! ", &val);
        uint32_t mode = _strtoul(val.bytes, 2, 16);
        bool forced = fan < 16 && (mode >> fan & 1) != 0;
        std::printf("    Mode         : %s\n", forced ? "forced" : "auto");
    }
    return kIOReturnSuccess;
}

}  // extern "C"
