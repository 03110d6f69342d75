// What the stand-in can say about a missing SMC service, beyond the status
// codes of IOKitLib.h, and how a caller asks for exact values only. The real
// platform has no such header: callers include it only where it exists
// (__has_include), as an extra, never a need.
#pragma once

#include <IOKit/IOKitLib.h>

#ifdef __cplusplus
extern "C" {
#endif

// Why the last IOServiceGetMatchingServices of "AppleSMC" found no service,
// or why the last IOServiceOpen failed, in words ("no daemon at /run/smcd.sock");
// "" when nothing failed or nothing is known. The text belongs to the
// stand-in and stays valid until the next call that sets it.
const char* IOSMCServiceFailureCause(void);

// From now on, a value that `connect` could only rebuild from rounded
// readings (the applesmc driver's fan and temperature files, without root
// or while another program keeps its key cursor busy) fails to read instead,
// with the status the SMC's own bytes met: for callers that show raw bytes.
// 0, or kIOReturnNotOpen for a handle that is not open.
kern_return_t IOSMCConnectionRequireExactValues(io_connect_t connect);

// The label the machine gives `key` ("Heatpipe Power"), NUL-terminated
// into `label` of `size` bytes (cut to fit): 0; kIOReturnNotFound when the
// key has none, kIOReturnUnsupported when the SMC names no keys (an SMC
// itself names none: labels come from the machine's description, such as
// an Apple Silicon Mac's devicetree), kIOReturnNotOpen for a handle that is
// not open, kIOReturnBadArgument without room.
kern_return_t IOSMCConnectionCopyKeyLabel(io_connect_t connect, uint32_t key, char* label, size_t size);

#ifdef __cplusplus
}
#endif
