// IOKit user-client API: the subset the SMC access layer uses, with the
// platform's own names and signatures. On the real platform the system
// header of the same name is used instead of this one.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int kern_return_t;
typedef uint32_t mach_port_t;
typedef mach_port_t task_port_t;
typedef mach_port_t io_object_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_service_t;
typedef io_object_t io_connect_t;

// Four characters packed into 32 bits, the first in the most significant byte.
typedef uint32_t FourCharCode;

typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef const struct __CFDictionary* CFDictionaryRef;

#define KERN_SUCCESS 0
#define kIOReturnSuccess 0
#define MACH_PORT_NULL ((mach_port_t)0)
#define kIOMasterPortDefault MACH_PORT_NULL

#define kIOReturnError ((kern_return_t)0xe00002bc)
#define kIOReturnNoDevice ((kern_return_t)0xe00002c0)
#define kIOReturnNotPrivileged ((kern_return_t)0xe00002c1)
#define kIOReturnBadArgument ((kern_return_t)0xe00002c2)
#define kIOReturnNotReadable ((kern_return_t)0xe00002c3)
#define kIOReturnExclusiveAccess ((kern_return_t)0xe00002c5)
#define kIOReturnUnsupported ((kern_return_t)0xe00002c7)
#define kIOReturnIOError ((kern_return_t)0xe00002ca)
#define kIOReturnNotOpen ((kern_return_t)0xe00002cd)
#define kIOReturnNotWritable ((kern_return_t)0xe00002cf)
#define kIOReturnBusy ((kern_return_t)0xe00002d5)
#define kIOReturnNotResponding ((kern_return_t)0xe00002ed)
#define kIOReturnNotFound ((kern_return_t)0xe00002f0)

// The master port to the I/O registry; bootstrapPort 0 asks for the default.
kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* masterPort);

// A matching dictionary for services of the named class. The caller owns it
// until it hands it to IOServiceGetMatchingServices, which consumes it.
CFMutableDictionaryRef IOServiceMatching(const char* name);

// Consumes matching (also on failure) and yields an iterator over the
// matching services, which the caller releases with IOObjectRelease.
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort,
                                           CFDictionaryRef matching,
                                           io_iterator_t* existing);

// The next service of the iterator, owned by the caller, or 0 at the end.
io_object_t IOIteratorNext(io_iterator_t iterator);

// Gives up the caller's reference to an iterator or a service.
kern_return_t IOObjectRelease(io_object_t object);

// Opens a user-client connection to the service; *connect gets a handle that
// is nonzero and never reused within the process. *connect is written only
// on success.
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask,
                            uint32_t type, io_connect_t* connect);

// Closes a connection; kIOReturnNotOpen when the handle is not open.
kern_return_t IOServiceClose(io_connect_t connect);

// One call of user-client method `selector` with an input and an output
// structure; *outputStructCnt is the room in the output on entry and the
// bytes filled on return.
kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector,
                                        const void* inputStruct, size_t inputStructCnt,
                                        void* outputStruct, size_t* outputStructCnt);

// The current task's port.
mach_port_t mach_task_self(void);

#ifdef __cplusplus
}
#endif
