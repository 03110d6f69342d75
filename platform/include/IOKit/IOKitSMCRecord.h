// The call record of the SMC user client: the 80 bytes sent and received whole
// in every exchange, its command numbers and the packing of four characters
// into a code. Defined here once, for the access layer's public header and
// for the platform's back-ends; valid C11 and C++.
#pragma once

#include <IOKit/IOKitLib.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// User-client method number of every exchange with the SMC service.
enum { kSMCUserClientCall = 2 };

// The command byte of a call record (SMCKeyData.command).
enum SMCCommand {
    SMCCommandReadKey = 5,
    SMCCommandWriteKey = 6,
    SMCCommandKeyAtIndex = 8,
    SMCCommandKeyInfo = 9,
};

typedef char SMCBytes[32];

// The call record, sent whole and received whole in every exchange; integers
// in the host's byte order, the value bytes most significant first.
typedef struct {
    FourCharCode key;
    char reserved0[24];
    uint32_t dataSize;
    FourCharCode dataType;
    char reserved1[6];
    uint8_t command;
    char reserved2;
    uint32_t index;
    SMCBytes bytes;
} SMCKeyData;

#ifdef __cplusplus
}  // extern "C"
#endif

// "FNum" -> its code, the first character in the high byte; reads exactly
// four characters.
#define SMC_FOUR_CHAR_CODE(text)                                                                              \
    ((FourCharCode)(uint8_t)(text)[0] << 24 | (FourCharCode)(uint8_t)(text)[1] << 16 |                        \
     (FourCharCode)(uint8_t)(text)[2] << 8 | (FourCharCode)(uint8_t)(text)[3])

// The layout crosses the interface, in C as in C++.
#ifdef __cplusplus
#define SMC_RECORD_ASSERT(condition) static_assert(condition, #condition)
#define SMC_RECORD_FIELD_SIZE(field) sizeof(SMCKeyData::field)
#else
#define SMC_RECORD_ASSERT(condition) _Static_assert(condition, #condition)
#define SMC_RECORD_FIELD_SIZE(field) sizeof(((SMCKeyData*)0)->field)
#endif

SMC_RECORD_ASSERT(sizeof(SMCKeyData) == 80);
SMC_RECORD_ASSERT(offsetof(SMCKeyData, key) == 0 && SMC_RECORD_FIELD_SIZE(key) == 4);
SMC_RECORD_ASSERT(offsetof(SMCKeyData, dataSize) == 28 && SMC_RECORD_FIELD_SIZE(dataSize) == 4);
SMC_RECORD_ASSERT(offsetof(SMCKeyData, dataType) == 32 && SMC_RECORD_FIELD_SIZE(dataType) == 4);
SMC_RECORD_ASSERT(offsetof(SMCKeyData, command) == 42 && SMC_RECORD_FIELD_SIZE(command) == 1);
SMC_RECORD_ASSERT(offsetof(SMCKeyData, reserved2) == 43 && SMC_RECORD_FIELD_SIZE(reserved2) == 1);
SMC_RECORD_ASSERT(offsetof(SMCKeyData, index) == 44 && SMC_RECORD_FIELD_SIZE(index) == 4);
SMC_RECORD_ASSERT(offsetof(SMCKeyData, bytes) == 48 && SMC_RECORD_FIELD_SIZE(bytes) == 32);

#undef SMC_RECORD_FIELD_SIZE
#undef SMC_RECORD_ASSERT
