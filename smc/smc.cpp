// SMC access layer.
#include "smc/smc.h"
#include "encodings/Encodings.h"

#include <cstdio>
#include <cstring>
#include <string_view>

io_connect_t conn = 0;

namespace {

constexpr size_t kValueBytes = sizeof(SMCBytes);

// One exchange without the flush that SMCCall adds, which reads leave out.
kern_return_t exchange(io_connect_t connection, uint32_t method, SMCKeyData* request, SMCKeyData* response)
{
    size_t responseSize = sizeof(SMCKeyData);
    return IOConnectCallStructMethod(connection, method, request, sizeof(SMCKeyData), response,
                                     &responseSize);
}

// Takes at most the first four characters of the key text into `text`,
// zero bytes in the places of missing ones, and returns them as a code, the
// first character in the most significant byte. Unrolled: every read and
// write goes through here.
FourCharCode takeKey(const char* key, char (&text)[5])
{
    char c0 = key[0];
    char c1 = c0 ? key[1] : '\0';
    char c2 = c1 ? key[2] : '\0';
    char c3 = c2 ? key[3] : '\0';
    text[0] = c0;
    text[1] = c1;
    text[2] = c2;
    text[3] = c3;
    text[4] = '\0';
    return encodings::fourCharCode(std::string_view(text, 4));
}

// `value` shifted left by `bits` as a 32-bit two's complement number, modulo
// 2^32; negative `bits` shift right. Shifts of 32 or more leave nothing.
int32_t shiftTerm(int32_t value, int64_t bits)
{
    if (bits >= 32)
        return 0;
    if (bits <= -32)
        return value < 0 ? -1 : 0;
    if (bits < 0)
        return value >> -bits;
    return int32_t(uint32_t(value) << bits);
}

}  // namespace

extern "C" {

kern_return_t SMCOpen(io_connect_t* connOut)
{
    mach_port_t masterPort = MACH_PORT_NULL;
    IOMasterPort(MACH_PORT_NULL, &masterPort);

    io_iterator_t iterator = 0;
    kern_return_t result = IOServiceGetMatchingServices(masterPort, IOServiceMatching("AppleSMC"), &iterator);
    if (result != kIOReturnSuccess) {
        std::printf("Error: IOServiceGetMatchingServices() = %08x\n", result);
        return 1;
    }
    io_object_t device = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    if (device == 0) {
        std::printf("Error: no SMC found\n");
        return 1;
    }
    result = IOServiceOpen(device, mach_task_self(), 0, connOut);
    IOObjectRelease(device);
    if (result != kIOReturnSuccess) {
        std::printf("Error: IOServiceOpen() = %08x\n", result);
        return 1;
    }
    return 0;
}

kern_return_t SMCClose(io_connect_t connection)
{
    return IOServiceClose(connection);
}

kern_return_t smc_init(void)
{
    return SMCOpen(&conn);
}

kern_return_t smc_close(void)
{
    return IOServiceClose(conn);
}

kern_return_t SMCCall(uint32_t method, SMCKeyData* request, SMCKeyData* response)
{
    return SMCCall2(method, request, response, conn);
}

kern_return_t SMCCall2(uint32_t method, SMCKeyData* request, SMCKeyData* response, io_connect_t connection)
{
    kern_return_t result = exchange(connection, method, request, response);
    std::fflush(stdout);
    return result;
}

kern_return_t SMCReadKey(const char* key, SMCVal* val)
{
    return SMCReadKey2(key, val, conn);
}

kern_return_t SMCReadKey2(const char* key, SMCVal* val, io_connect_t connection)
{
    SMCKeyData request{};
    SMCKeyData response{};
    *val = SMCVal{};
    request.key = takeKey(key, val->key);

    request.command = SMCCommandKeyInfo;
    kern_return_t result = exchange(connection, kSMCUserClientCall, &request, &response);
    if (result != kIOReturnSuccess)
        return result;
    val->dataSize = response.dataSize;
    _ultostr(val->dataType, response.dataType);

    request.command = SMCCommandReadKey;
    request.dataSize = val->dataSize;
    result = exchange(connection, kSMCUserClientCall, &request, &response);
    if (result != kIOReturnSuccess)
        return result;
    std::memcpy(val->bytes, response.bytes, kValueBytes);
    return kIOReturnSuccess;
}

kern_return_t SMCWriteKey(SMCVal val)
{
    return SMCWriteKey2(val, conn);
}

kern_return_t SMCWriteKey2(SMCVal val, io_connect_t connection)
{
    SMCVal current;
    kern_return_t result = SMCReadKey2(val.key, &current, connection);
    if (result != kIOReturnSuccess)
        return result;
    if (current.dataSize != val.dataSize)
        return kSMCSizeMismatch;

    SMCKeyData request{};
    SMCKeyData response{};
    char text[5];
    request.key = takeKey(val.key, text);
    request.dataSize = val.dataSize;
    request.command = SMCCommandWriteKey;
    std::memcpy(request.bytes, val.bytes, kValueBytes);
    return SMCCall2(kSMCUserClientCall, &request, &response, connection);
}

kern_return_t SMCWriteSimple(const char* key, const char* value, io_connect_t connection)
{
    SMCVal val{};
    kern_return_t result = kIOReturnBadArgument;
    if (smc_parse_hex(value, &val)) {
        takeKey(key, val.key);
        result = SMCWriteKey2(val, connection);
    }
    if (result != kIOReturnSuccess)
        std::printf("Error: SMCWriteKey() = %08x\n", result);
    return result;
}

uint32_t SMCReadIndexCount(void)
{
    uint32_t count = 0;
    smc_read_index_count(&count);
    return count;
}

kern_return_t smc_read_index_count(uint32_t* count)
{
    SMCVal val;
    kern_return_t result = SMCReadKey("#KEY", &val);
    // A failed read leaves a cleared record, so the count comes out 0.
    *count = _strtoul(val.bytes, int(val.dataSize < kValueBytes ? val.dataSize : kValueBytes), 10);
    return result;
}

bool smc_parse_hex(const char* text, SMCVal* val)
{
    size_t length = std::strlen(text);
    if (length > 2 * kValueBytes)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (encodings::hexValue(text[i]) < 0)
            return false;
    for (size_t pair = 0; pair < length / 2; ++pair)
        val->bytes[pair] = char(encodings::hexValue(text[2 * pair]) << 4 | encodings::hexValue(text[2 * pair + 1]));
    val->dataSize = uint32_t(length / 2);
    return true;
}

uint32_t _strtoul(const char* str, int size, int)
{
    // Shifting the running total wraps exactly as adding each byte at its
    // place would, without shifts of 32 bits or more.
    uint32_t total = 0;
    for (int i = 0; i < size; ++i)
        total = total << 8 | uint8_t(str[i]);
    return total;
}

float _strtof(const char* str, int size, int e)
{
    float total = 0;
    int64_t step = 8 - int64_t(e);
    int64_t shift = (int64_t(size) - 1) * step;
    for (int i = 0; i < size; ++i) {
        int32_t term;
        if (i == size - 1) {
            term = shiftTerm(uint8_t(str[i]), -int64_t(e));
        } else {
            term = shiftTerm(int8_t(str[i]), shift);
            shift -= step;
        }
        total += float(term);
    }
    return total;
}

int _ultostr(char* dst, uint32_t code)
{
    dst[0] = char(code >> 24);
    dst[1] = char(code >> 16);
    dst[2] = char(code >> 8);
    dst[3] = char(code);
    dst[4] = '\0';
    return 4;
}

}  // extern "C"
