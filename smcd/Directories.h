// Checks that keep other users from planting files where the daemon
// creates its own: its state and its default socket.
#pragma once

#include <string>
#include <sys/types.h>

namespace smcd {

// Why `directory` (an open directory) or one of the directories above it
// lets a user other than `owner` or root plant files in it; empty when none
// does. The directory itself must be writable by its owner alone, even when
// sticky; a directory above it may be shared only when it is sticky.
std::string sharedDirectoryProblem(int directory, uid_t owner);

// Why `directory` (an open directory) is no place for the listening socket
// of a daemon run by `owner`; empty when it is fit. As for the state, but a
// sticky directory (/tmp) is fit for a user's socket: only root passes the
// sticky bit by, and could be made to remove or replace what others plant.
std::string socketDirectoryProblem(int directory, uid_t owner);

// Makes sure `path` is a directory of `owner`'s alone (not a link, no access
// for group or others), creating it with mode 0700 when it is missing. The
// problem in words when it is not, else empty.
std::string preparePrivateDirectory(const std::string& path, uid_t owner);

}  // namespace smcd

namespace smcd {

// The name of the daemon's default state file over the driver's device
// directory `device` (both paths resolved): "state" for `machineDevice`, the
// machine's own device, else a name of its own made from `device`, so that a
// daemon over another directory (a mount of smcfs) never leaves its fans to
// be put back into the machine's, nor takes the machine daemon's lock.
std::string driverStateName(const std::string& device, const std::string& machineDevice);

}  // namespace smcd
