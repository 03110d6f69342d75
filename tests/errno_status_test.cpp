// What each errno a back-end can meet becomes, and what the tool then says.
#include "backends/ErrnoStatus.h"
#include "smc/tool/smctool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

using platform::ErrnoOrigin;

TEST(ErrnoStatus, EachErrnoReachesTheToolInWords)
{
    struct Row {
        ErrnoOrigin origin;
        int error;
        kern_return_t status;
        const char* words;  // as smc prints them after the status
    };
    const Row rows[] = {
        {ErrnoOrigin::DriverFile, 0, KERN_SUCCESS, "unknown status"},
        {ErrnoOrigin::DriverFile, EACCES, kIOReturnNotPrivileged, "not permitted"},
        {ErrnoOrigin::DriverFile, EPERM, kIOReturnNotPrivileged, "not permitted"},
        {ErrnoOrigin::DriverFile, EINVAL, kIOReturnBadArgument, "the SMC refused the request"},
        {ErrnoOrigin::DriverFile, EIO, kIOReturnIOError, "input/output error in the SMC"},
        {ErrnoOrigin::DriverFile, ENODEV, kIOReturnNoDevice, "the SMC device is gone"},
        {ErrnoOrigin::DriverFile, ENXIO, kIOReturnNoDevice, "the SMC device is gone"},
        {ErrnoOrigin::DriverFile, ENOENT, kIOReturnNoDevice, "the SMC device is gone"},
        {ErrnoOrigin::DriverFile, ENOTCONN, kIOReturnNoDevice, "the SMC device is gone"},
        {ErrnoOrigin::DriverFile, ESTALE, kIOReturnNoDevice, "the SMC device is gone"},
        {ErrnoOrigin::DriverFile, EROFS, kIOReturnError, "general error"},
        {ErrnoOrigin::DriverFile, EOPNOTSUPP, kIOReturnUnsupported, "not supported by the SMC"},
        {ErrnoOrigin::DriverFile, EBUSY, kIOReturnError, "general error"},
        // Only root may move the cursor; a read-only mount refuses it alike.
        {ErrnoOrigin::CursorOpen, EROFS, kIOReturnNotPrivileged, "not permitted"},
        {ErrnoOrigin::CursorOpen, EACCES, kIOReturnNotPrivileged, "not permitted"},
        {ErrnoOrigin::CursorOpen, ENOENT, kIOReturnNoDevice, "the SMC device is gone"},
        // Whatever keeps a client from smcd, the daemon does not answer.
        {ErrnoOrigin::DaemonSocket, ENOENT, kIOReturnNotResponding, "the SMC is not responding"},
        {ErrnoOrigin::DaemonSocket, ECONNREFUSED, kIOReturnNotResponding, "the SMC is not responding"},
        {ErrnoOrigin::DaemonSocket, EACCES, kIOReturnNotResponding, "the SMC is not responding"},
        {ErrnoOrigin::DaemonSocket, ENAMETOOLONG, kIOReturnNotResponding, "the SMC is not responding"},
    };
    for (const Row& row : rows) {
        kern_return_t status = platform::statusFromErrno(row.error, row.origin);
        EXPECT_EQ(status, row.status) << int(row.origin) << " " << std::strerror(row.error);
        EXPECT_STREQ(smctool::statusWords(status), row.words) << std::strerror(row.error);
    }
}

}  // namespace
