// The platform's names for the call record of <IOKit/IOKitSMCRecord.h>, as
// every back-end reads and writes it, and the record's one platform-private
// bit.
#pragma once

#include <IOKit/IOKitSMCRecord.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

// The user-client method of every exchange with the SMC.
inline constexpr uint32_t kUserClientCall = kSMCUserClientCall;

// The command byte of a record.
enum SMCRecordCommand : uint8_t {
    kReadKey = SMCCommandReadKey,
    kWriteKey = SMCCommandWriteKey,
    kKeyAtIndex = SMCCommandKeyAtIndex,
    kKeyInfo = SMCCommandKeyInfo,
};

using CallRecord = SMCKeyData;
inline constexpr size_t kCallRecordSize = sizeof(CallRecord);

// A bit of a request's reserved2: the caller shows raw bytes, so a value a
// back-end would rebuild from rounded readings (the driver's fan and
// temperature files) is refused instead. Set by the stand-in for a
// connection that asked for it; the daemon passes requests on as they are.
inline constexpr uint8_t kExactValues = 1;

// Whether a user-client call has the SMC's method and a whole record each
// way: every back-end answers anything else kIOReturnBadArgument.
inline bool isRecordCall(uint32_t selector, size_t inputSize, size_t outputSize)
{
    return selector == kUserClientCall && inputSize == kCallRecordSize && outputSize == kCallRecordSize;
}

// A record's value bytes as the decoder takes them (the record holds chars).
inline const uint8_t* valueBytes(const CallRecord& record)
{
    return reinterpret_cast<const uint8_t*>(record.bytes);
}

// "FNum" -> its code; the text must be four characters.
constexpr FourCharCode fourCharCode(std::string_view text)
{
    return SMC_FOUR_CHAR_CODE(text);
}

}  // namespace platform
