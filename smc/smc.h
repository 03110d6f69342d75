// SMC access layer: connections to the "AppleSMC" service, exchanges of the
// 80-byte call record, key reads and writes, key counting and the value conversions.
// Plain functions over plain records; every operation returns a kernel status.
#pragma once

#include <IOKit/IOKitLib.h>
#include <IOKit/IOKitSMCRecord.h>

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

// libsmc-sensors exports what this header declares and nothing else; the copy
// of the layer inside the sensors module exports none of it.
#if defined(SMC_EXPORT_API)
#define SMC_API __attribute__((visibility("default")))
#else
#define SMC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The call record (SMCKeyData), its command numbers (SMCCommand) and the
// method number of every exchange (kSMCUserClientCall) are the platform's,
// from <IOKit/IOKitSMCRecord.h>.

// What a real SMC holds at most: "FNum" is a ui8, and key positions fit 16
// bits. Loops over fans or keys go no further, whatever a reply claims.
enum { kSMCMaxFans = 255, kSMCMaxKeys = 65535 };

// Returned by the writes when the given size is not the key's size.
#define kSMCSizeMismatch kIOReturnError

// A key's value on the caller's side; it crosses the interface to the host
// by address and by value, so its layout is fixed.
typedef struct {
    char key[5];       // four characters and a zero byte
    uint32_t dataSize;  // value bytes, as the service reports them
    char dataType[5];  // type code as text, "ui8 " keeping its blank
    SMCBytes bytes;    // the value, most significant byte first
} SMCVal;

// The process-wide connection, shared by the tool and every module object;
// 0 until opened, and left holding the stale handle after a close.
SMC_API extern io_connect_t conn;

// Finds the service and opens a connection into *connOut. Returns 0, or 1
// after printing an error line; *connOut is written only by the open itself.
SMC_API kern_return_t SMCOpen(io_connect_t* connOut);
// Closes the given connection; the close's status.
SMC_API kern_return_t SMCClose(io_connect_t connection);
// SMCOpen into conn; its result.
SMC_API kern_return_t smc_init(void);
// Closes conn; the close's status.
SMC_API kern_return_t smc_close(void);

// One exchange on conn (SMCCall) or on the given connection (SMCCall2);
// standard output is flushed afterwards. The exchange's status.
SMC_API kern_return_t SMCCall(uint32_t method, SMCKeyData* request, SMCKeyData* response);
SMC_API kern_return_t SMCCall2(uint32_t method, SMCKeyData* request, SMCKeyData* response,
                               io_connect_t connection);

// Reads a key (its first four characters) into *val, which is cleared first:
// key information, then the value. The status of the first exchange that
// failed, or 0; *val shows how far the read got.
SMC_API kern_return_t SMCReadKey(const char* key, SMCVal* val);
SMC_API kern_return_t SMCReadKey2(const char* key, SMCVal* val, io_connect_t connection);

// Writes val.bytes to the key val.key when val.dataSize is the key's size;
// kSMCSizeMismatch without writing when it is not.
SMC_API kern_return_t SMCWriteKey(SMCVal val);
SMC_API kern_return_t SMCWriteKey2(SMCVal val, io_connect_t connection);

// Writes a value given as hex text ("0102": two bytes); a last unpaired digit
// is ignored. A text longer than 64 characters or holding anything but hex
// digits writes nothing and fails with kIOReturnBadArgument. A failure also
// prints "Error: SMCWriteKey() = <status>".
SMC_API kern_return_t SMCWriteSimple(const char* key, const char* value, io_connect_t connection);

// The number of keys, from "#KEY"; 0 when it cannot be read.
SMC_API uint32_t SMCReadIndexCount(void);

// SMCReadIndexCount for callers that must tell a failed read from a count
// of 0: the status of the "#KEY" read, with the count in *count (0 when the
// read failed).
SMC_API kern_return_t smc_read_index_count(uint32_t* count);

// Fills val->bytes from hex text, a byte for each pair of digits, and sets
// val->dataSize to the number of pairs; a last unpaired digit is ignored.
// False, with *val untouched, when the text is longer than 64 characters or
// holds anything but hex digits.
SMC_API bool smc_parse_hex(const char* text, SMCVal* val);

// The first `size` bytes as an unsigned big-endian integer; more than four
// bytes give the value of the last four, size 0 or less gives 0. `base` is
// not used.
SMC_API uint32_t _strtoul(const char* str, int size, int base);

// The first `size` bytes as a fixed-point number with `e` fraction bits, the
// first byte signed and the fraction bits dropped. Terms that would be
// shifted past 32 bits contribute nothing.
SMC_API float _strtof(const char* str, int size, int e);

// Writes the code's four characters and a zero byte into dst (5 bytes);
// returns 4.
SMC_API int _ultostr(char* dst, uint32_t code);

#ifdef __cplusplus
}  // extern "C"
#endif

// The layouts cross the interface, in C as in C++.
#ifdef __cplusplus
#define SMC_LAYOUT_ASSERT(condition) static_assert(condition, #condition)
#define SMC_FIELD_SIZE(type, field) sizeof(type::field)
#else
#define SMC_LAYOUT_ASSERT(condition) _Static_assert(condition, #condition)
#define SMC_FIELD_SIZE(type, field) sizeof(((type*)0)->field)
#endif

SMC_LAYOUT_ASSERT(offsetof(SMCVal, key) == 0 && SMC_FIELD_SIZE(SMCVal, key) == 5);
SMC_LAYOUT_ASSERT(offsetof(SMCVal, dataSize) == 8 && SMC_FIELD_SIZE(SMCVal, dataSize) == 4);
SMC_LAYOUT_ASSERT(offsetof(SMCVal, dataType) == 12 && SMC_FIELD_SIZE(SMCVal, dataType) == 5);
SMC_LAYOUT_ASSERT(offsetof(SMCVal, bytes) == 17 && SMC_FIELD_SIZE(SMCVal, bytes) == 32);
SMC_LAYOUT_ASSERT(sizeof(SMCVal) == 52);

#undef SMC_FIELD_SIZE
#undef SMC_LAYOUT_ASSERT
