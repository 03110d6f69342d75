// The one translation of the system's errno values into the statuses the
// back-ends answer: what an errno means depends on where it was met.
#pragma once

#include <IOKit/IOKitLib.h>

namespace platform {

enum class ErrnoOrigin {
    DriverFile,    // a read, write or open of one of the driver's files
    CursorOpen,    // opening the driver's key cursor for writing, which only root may move
    DaemonSocket,  // reaching smcd's socket
};

// The status for `error` (0: success) met at `origin`.
kern_return_t statusFromErrno(int error, ErrnoOrigin origin = ErrnoOrigin::DriverFile);

}  // namespace platform
