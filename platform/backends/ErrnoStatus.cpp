#include "backends/ErrnoStatus.h"

#include <cerrno>

namespace platform {

kern_return_t statusFromErrno(int error, ErrnoOrigin origin)
{
    if (error == 0)
        return KERN_SUCCESS;
    // Whatever keeps a client from smcd, the daemon is what does not answer.
    if (origin == ErrnoOrigin::DaemonSocket)
        return kIOReturnNotResponding;
    // A cursor that cannot be opened for writing, also on a file system
    // mounted read-only, is a cursor this process may not move.
    if (origin == ErrnoOrigin::CursorOpen && error == EROFS)
        return kIOReturnNotPrivileged;
    switch (error) {
    case EACCES:
    case EPERM:
        return kIOReturnNotPrivileged;
    case EINVAL:
        return kIOReturnBadArgument;
    case EIO:
        return kIOReturnIOError;
    case EOPNOTSUPP:  // the driver does not do this (now): a fan setting switched off
        return kIOReturnUnsupported;
    case ENODEV:
    case ENXIO:
    case ENOENT:
    case ENOTCONN:  // a file system serving the files has gone
    case ESTALE:
        return kIOReturnNoDevice;
    default:
        return kIOReturnError;
    }
}

}  // namespace platform
