#include "smcd/Directories.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace smcd {
namespace {

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(mode & 07777));
    return text;
}

// The path of an open directory, for messages only.
std::string nameOf(int directory)
{
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", directory);
    ssize_t size = readlink(link, target, sizeof target - 1);
    return size > 0 ? std::string(target, size_t(size)) : "a directory above it";
}

bool trusted(uid_t user, uid_t owner)
{
    return user == owner || user == 0;
}

// What sharedDirectoryProblem says, with a sticky first directory let
// through when `stickyFirst`.
std::string directoryProblem(int directory, uid_t owner, bool stickyFirst)
{
    // Walk up through "..", from the directory that is open, not from its
    // name: what is checked is what the daemon will write into.
    int current = dup(directory);
    if (current < 0)
        return std::string("cannot check the directory: ") + std::strerror(errno);
    std::string problem;
    for (bool first = true;; first = false) {
        struct stat status;
        if (fstat(current, &status) != 0) {
            problem = std::string("cannot check the directory: ") + std::strerror(errno);
            break;
        }
        bool othersWrite = status.st_mode & (S_IWGRP | S_IWOTH);
        if (!trusted(status.st_uid, owner)) {
            problem = nameOf(current) + " belongs to uid " + std::to_string(status.st_uid) +
                      ", who could replace what the daemon writes there";
            break;
        }
        // Even sticky, a shared directory lets others take the names the
        // daemon is about to use; above it, sticky keeps our entries ours.
        if (othersWrite && ((first && !stickyFirst) || !(status.st_mode & S_ISVTX))) {
            problem = nameOf(current) + " can be written by other users (mode " + octal(status.st_mode) + ")";
            break;
        }
        int parent = openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat above;
        if (parent < 0 || fstat(parent, &above) != 0) {
            problem = std::string("cannot check the directories above: ") + std::strerror(errno);
            if (parent >= 0)
                close(parent);
            break;
        }
        close(current);
        current = parent;
        if (above.st_dev == status.st_dev && above.st_ino == status.st_ino)
            break;  // the root is its own parent
    }
    close(current);
    return problem;
}

}  // namespace

std::string sharedDirectoryProblem(int directory, uid_t owner)
{
    return directoryProblem(directory, owner, false);
}

std::string socketDirectoryProblem(int directory, uid_t owner)
{
    return directoryProblem(directory, owner, owner != 0);
}

std::string preparePrivateDirectory(const std::string& path, uid_t owner)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot create " + path + ": " + std::strerror(errno);
    int directory = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0)
        return path + " is not a directory of its own: " + std::strerror(errno);
    struct stat status;
    std::string problem;
    if (fstat(directory, &status) != 0)
        problem = "cannot check " + path + ": " + std::strerror(errno);
    else if (status.st_uid != owner)
        problem = path + " belongs to uid " + std::to_string(status.st_uid) + ", not to uid " + std::to_string(owner);
    else if (status.st_mode & 077)
        problem = path + " is open to other users (mode " + octal(status.st_mode) + "; it must be 0700)";
    else
        problem = sharedDirectoryProblem(directory, owner);
    close(directory);
    return problem;
}

}  // namespace smcd

namespace smcd {

std::string driverStateName(const std::string& device, const std::string& machineDevice)
{
    if (device == machineDevice)
        return "state";
    // '/' becomes '-', anything else outside [A-Za-z0-9._] (also '-') %XX:
    // two directories never share a name.
    std::string name = "state";
    for (unsigned char c : device) {
        if (c == '/') {
            name += '-';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                   c == '_') {
            name += char(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            name += escaped;
        }
    }
    if (name.size() <= 200)
        return name;
    // Too long for a file name: a hash of the path stands for it (FNV-1a).
    uint64_t hash = 0xcbf29ce484222325u;
    for (unsigned char c : device)
        hash = (hash ^ c) * 0x100000001b3u;
    char text[24];
    std::snprintf(text, sizeof text, "state#%016llx", static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace smcd
