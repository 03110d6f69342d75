// What the stand-in can say about a missing SMC service, beyond the status
// codes of IOKitLib.h. The real platform has no such header: callers include
// it only where it exists (__has_include), as an extra, never a need.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Why the last IOServiceGetMatchingServices of "AppleSMC" found no service,
// or why the last IOServiceOpen failed, in words ("no daemon at /run/smcd.sock");
// "" when nothing failed or nothing is known. The text belongs to the
// stand-in and stays valid until the next call that sets it.
const char* IOSMCServiceFailureCause(void);

#ifdef __cplusplus
}
#endif
