// The SMC daemon's wire protocol, on a Unix socket of type SOCK_SEQPACKET,
// which keeps message boundaries: each exchange is one request message and
// one reply message, in the host's byte order.
#pragma once

#include "backends/CallRecord.h"

#include <IOKit/IOKitLib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace platform::protocol {

inline constexpr size_t kRecordSize = kCallRecordSize;

struct Request {
    uint32_t method;              // the user-client method number
    uint8_t record[kRecordSize];  // the call record
};

struct Reply {
    int32_t status;               // the call's status
    uint8_t record[kRecordSize];  // the filled record; meaningful when status is 0
};

static_assert(sizeof(Request) == 84 && sizeof(Reply) == 84);

// The command byte of a user-client call's record (SMCRecordCommand).
inline uint8_t commandOf(const Request& request)
{
    return request.record[offsetof(CallRecord, command)];
}

// A request of this method (the record is not looked at) makes the
// connection a lease: the daemon undoes the fan changes made on it when it
// closes, however it closes. It is never sent by a user-client call, whose
// method is the SMC's own (2), so one-shot writes keep what they change.
inline constexpr uint32_t kLeaseMethod = 0x4c656173;  // "Leas"
// A request of this method asks the lowest speed the daemon lets a write
// set for one fan: the record's first four bytes hold the fan number (from
// 0, host order); the reply's record starts with that speed in rpm as a
// double (host order). kIOReturnNotFound when the daemon has none for it.
inline constexpr uint32_t kFloorMethod = 0x466c6f72;  // "Flor"
// A request of this method makes the connection a lease and the fan
// controller: the record holds its name, NUL-terminated, in its first
// kClaimNameSize bytes, then its poll interval in milliseconds (uint32_t,
// host order; 0 for a second). Refused with kIOReturnExclusiveAccess while
// another connection is the controller, whose IOSMCFanController record the
// reply then holds; with kIOReturnNotPrivileged for a user the daemon does
// not let control the fans.
inline constexpr uint32_t kClaimControlMethod = 0x4374726c;  // "Ctrl"
inline constexpr size_t kClaimNameSize = 28;
// A request of this method (the record is not looked at) asks for the fan
// controller: its IOSMCFanController record; kIOReturnNotFound when none.
inline constexpr uint32_t kControllerMethod = 0x43746c3f;  // "Ctl?"
// A request of this method (the record is not looked at) asks what the
// daemon serves: the reply's first byte is 1 for an emulated SMC, 0 for a
// real one. A daemon that does not know it answers kIOReturnBadArgument.
inline constexpr uint32_t kServiceKindMethod = 0x4b696e64;  // "Kind"
// A request of this method asks the label the machine gives a key: the
// record's first four bytes hold the key (host order); the reply's record
// holds the label, NUL-terminated. kIOReturnNotFound when the key has none,
// kIOReturnUnsupported when the SMC names no keys.
inline constexpr uint32_t kKeyLabelMethod = 0x4c61626c;  // "Labl"

// How long a client waits for the daemon before it answers
// kIOReturnNotResponding.
inline constexpr int kClientTimeoutMilliseconds = 2000;

// A socket connected to the daemon at `path`, whose sends and receives
// give up after kClientTimeoutMilliseconds; -1 with errno set when none
// answers there.
int connectSocket(const std::string& path);

// The directory of the default socket of a user without a runtime
// directory: ${TMPDIR:-/tmp}/smcd-UID, which the daemon creates with mode
// 0700 and refuses when it is anyone else's; "" for root and for users with
// XDG_RUNTIME_DIR, whose default lies in a directory of their own already.
inline std::string privateSocketDirectory()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); (runtime && *runtime) || geteuid() == 0)
        return {};
    const char* temporary = std::getenv("TMPDIR");
    std::string base = temporary && *temporary ? temporary : "/tmp";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    return base + "/smcd-" + std::to_string(geteuid());
}

// Where the daemon that root runs for the whole machine listens; clients
// look there after their own default.
inline constexpr const char* kSystemSocketPath = "/run/smcd.sock";

// Where the daemon listens unless told otherwise: the user's runtime
// directory, /run for root, else privateSocketDirectory(). Never a name in a
// shared directory, where another user could bind it first.
inline std::string defaultSocketPath()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/smcd.sock";
    if (geteuid() == 0)
        return kSystemSocketPath;
    return privateSocketDirectory() + "/smcd.sock";
}

}  // namespace platform::protocol
