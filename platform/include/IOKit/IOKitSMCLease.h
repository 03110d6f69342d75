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

#ifdef __cplusplus
}
#endif
