// The 80-byte call record of the SMC user client and its command numbers, as
// every back-end reads and writes them; private to the platform layer and
// its daemon, with the packing of four characters into a code. The access layer's public SMCKeyData is the same record, held
// to it by a compile-time check where both are seen (smcd/FanBroker.cpp).
#pragma once

#include <IOKit/IOKitLib.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

// The user-client method of every exchange with the SMC.
inline constexpr uint32_t kUserClientCall = 2;

// The command byte of a record.
enum SMCRecordCommand : uint8_t { kReadKey = 5, kWriteKey = 6, kKeyAtIndex = 8, kKeyInfo = 9 };

// Integers in the host's byte order; the value bytes most significant first.
struct CallRecord {
    FourCharCode key;
    uint8_t reserved0[24];
    uint32_t dataSize;
    FourCharCode dataType;
    uint8_t reserved1[6];
    uint8_t command;
    uint8_t reserved2;
    uint32_t index;
    uint8_t bytes[32];
};
inline constexpr size_t kCallRecordSize = 80;
// A bit of a request's reserved2: the caller shows raw bytes, so a value a
// back-end would rebuild from rounded readings (the driver's fan and
// temperature files) is refused instead. Set by the stand-in for a
// connection that asked for it; the daemon passes requests on as they are.
inline constexpr uint8_t kExactValues = 1;
static_assert(sizeof(CallRecord) == kCallRecordSize && offsetof(CallRecord, key) == 0 &&
              offsetof(CallRecord, dataSize) == 28 && offsetof(CallRecord, dataType) == 32 &&
              offsetof(CallRecord, command) == 42 && offsetof(CallRecord, index) == 44 &&
              offsetof(CallRecord, bytes) == 48);

// "FNum" -> its code; the text must be four characters.
constexpr FourCharCode fourCharCode(std::string_view text)
{
    return FourCharCode(uint8_t(text[0])) << 24 | FourCharCode(uint8_t(text[1])) << 16 |
           FourCharCode(uint8_t(text[2])) << 8 | FourCharCode(uint8_t(text[3]));
}

}  // namespace platform
