// Fan changes that last only while their connection lives, and the limits
// of fan writes, from the SMC daemon. The real platform has no such header: callers include it only
// where it exists (__has_include), as an extra, never a need.
#pragma once

#include <IOKit/IOKitLib.h>

#ifdef __cplusplus
extern "C" {
#endif

// Asks the daemon behind `connect` to undo the fan changes made on this
// connection when it closes, for any reason (a close, an exit, a crash, a
// kill), unless a later lease changed that fan since. 0 once granted;
// kIOReturnNotOpen for a handle that is not open; kIOReturnUnsupported when
// the connection does not lead to a daemon; a daemon that does not know
// leases answers kIOReturnBadArgument.
kern_return_t IOSMCConnectionRequestLease(io_connect_t connect);

// The lowest speed in rpm that the daemon behind `connect` lets a write set
// for fan `fan` (from 0), into *rpm. 0 on success; kIOReturnNotFound when
// the daemon has no floor for that fan; kIOReturnUnsupported when the
// connection does not lead to a daemon; a daemon that does not know the
// question answers kIOReturnBadArgument.
kern_return_t IOSMCConnectionCopyFanFloor(io_connect_t connect, uint32_t fan, double* rpm);

// Nonzero when `connect` leads to the SMC daemon, which checks fan limits
// and puts fans back itself; answered without an exchange. 0 for a handle
// that is not open and for every other back-end.
int IOSMCConnectionIsBrokered(io_connect_t connect);

// The machine's automatic fan controller, as the daemon knows it: one
// record of the protocol, 80 bytes.
typedef struct {
    int32_t pid;         // the controller's process, from its socket's credentials
    uint32_t uid;        // the controller's user, from its socket's credentials
    // Its executable's file name, where the daemon could read it; else the
    // name it claimed under. NUL-terminated.
    char name[24];
    // bit n: fan n's target, mode key or FS! bit is the controller's write
    // now, and no other lease holds the fan
    uint32_t drivenFans;
    uint32_t heldFans;   // bit n: another lease holds fan n; the controller leaves it alone
    float targets[10];   // the last target in rpm it wrote to fan n; NaN for none
} IOSMCFanController;

// Makes the connection a lease (as IOSMCConnectionRequestLease does) and the
// machine's one fan controller, named `name` (1 to 23 bytes), which sends
// the daemon a request at least every `pollMilliseconds` (0: 1000). While
// another connection is the controller: kIOReturnExclusiveAccess, with that
// one in *holder when `holder` is given; kIOReturnNotPrivileged when the
// daemon does not let this process's user claim the fans. From then on, a
// write of this connection to a key of a fan that another lease has changed
// (a person's hold) is refused with kIOReturnExclusiveAccess and changes
// nothing: the hold wins while it lasts. A controller silent for three of
// its polls (and at least a second) is closed by the daemon, which gives
// its fans back to the SMC. kIOReturnUnsupported when the connection does
// not lead to a daemon; a daemon that does not know controllers answers
// kIOReturnBadArgument.
kern_return_t IOSMCConnectionClaimFanControl(io_connect_t connect, const char* name, uint32_t pollMilliseconds,
                                             IOSMCFanController* holder);

// The fan controller of the daemon behind `connect`, into *controller;
// kIOReturnNotFound when there is none. kIOReturnUnsupported when the
// connection does not lead to a daemon; a daemon that does not know
// controllers answers kIOReturnBadArgument.
kern_return_t IOSMCConnectionCopyFanController(io_connect_t connect, IOSMCFanController* controller);

#ifdef __cplusplus
}
#endif
