// The back-end for SMC_SERVICE=applesmc[:DIR]: answers the call record from
// the files of Linux's applesmc driver. Keys are read by name through the
// driver's one key cursor; without root, which alone may move the cursor,
// or while another program keeps it busy, the fan and temperature files
// stand in for the keys they show.
#include "iokit/AppleSMCService.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {

kern_return_t statusFromErrno(int error)
{
    switch (error) {
    case 0:
        return KERN_SUCCESS;
    case EACCES:
    case EPERM:
        return kIOReturnNotPrivileged;
    case EINVAL:
        return kIOReturnBadArgument;
    case EIO:
        return kIOReturnIOError;
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

namespace {

constexpr uint32_t kUserClientCall = 2;
enum : uint8_t { kReadKey = 5, kWriteKey = 6, kKeyAtIndex = 8, kKeyInfo = 9 };

// The call record as the controller sees it.
struct Record {
    uint32_t key;
    uint8_t reserved0[24];
    uint32_t dataSize;
    uint32_t dataType;
    uint8_t reserved1[6];
    uint8_t command;
    uint8_t reserved2;
    uint32_t index;
    uint8_t bytes[32];
};
static_assert(sizeof(Record) == 80 && offsetof(Record, dataSize) == 28 && offsetof(Record, command) == 42 &&
              offsetof(Record, index) == 44 && offsetof(Record, bytes) == 48);

constexpr int kMaxFans = 10;           // the driver makes files for ten fans at most
// How a read tries while another program moves the cursor: first a few
// times at once, which gets past a program that moves it without pause as
// often as anything can; then with growing pauses, which outlast a listing's
// burst of moves, for a bounded time. For a while after a read gave up, the
// quick tries only: a listing while the cursor stays busy must not take
// minutes.
constexpr int kQuickTries = 16;
constexpr std::chrono::milliseconds kCursorPatience{100};
constexpr std::chrono::milliseconds kGiveUpMemory{2000};
constexpr std::chrono::milliseconds kFirstPause{2}, kLongestPause{30};
// This project's processes take turns on the cursor through a lock of their
// own, in a directory only root may write, so that no other user can hold it.
constexpr const char* kCursorLockPath = "/run/smcd-applesmc.lock";
constexpr std::chrono::milliseconds kLockPatience{250};
// After a lock wait ran out, the holder is taken as stuck for this long.
constexpr std::chrono::milliseconds kStuckLockMemory{2000};
// How often to look for the files again once they went away.
constexpr std::chrono::milliseconds kReopenInterval{1000};
constexpr uint32_t kMaxKeys = 65535;   // what a real SMC holds at most
// How long reads stay doubly checked after another program was seen moving the cursor.
constexpr std::chrono::milliseconds kContentionMemory{2000};
// How long a value read with its key's name may stand in for the read that follows.
constexpr std::chrono::milliseconds kPrefetchLife{10};

constexpr FourCharCode code(std::string_view text)
{
    return FourCharCode(uint8_t(text[0])) << 24 | FourCharCode(uint8_t(text[1])) << 16 |
           FourCharCode(uint8_t(text[2])) << 8 | FourCharCode(uint8_t(text[3]));
}

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// A whole small file read at offset 0, where sysfs makes its text anew.
ssize_t readAt(int fd, char* buffer, size_t size)
{
    ssize_t n;
    do
        n = pread(fd, buffer, size, 0);
    while (n < 0 && errno == EINTR);
    return n;
}

bool readSmallFile(const std::string& path, std::string& text)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[64];
    ssize_t n = readAt(fd, buffer, sizeof buffer);
    close(fd);
    if (n < 0)
        return false;
    text.assign(buffer, size_t(n));
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return true;
}

// A decimal as the driver prints it; false for anything else.
bool parseDecimal(std::string_view text, long long& value)
{
    while (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    if (text.empty() || text.size() > 18)
        return false;
    long long total = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        total = total * 10 + (c - '0');
    }
    value = negative ? -total : total;
    return true;
}

// Four characters of a name or type file, zero bytes where it is shorter.
FourCharCode codeFromText(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    char chars[4] = {};
    std::memcpy(chars, text.data(), text.size() < 4 ? text.size() : 4);
    return code(std::string_view(chars, 4));
}

struct Layout {
    std::string keyDirectory;     // key_count and the key_at_index files
    std::string sensorDirectory;  // the fan and temperature files
    bool platformDevice = false;  // bound to the platform device, as mainline kernels bind it
};

Layout resolveLayout(const std::string& device)
{
    Layout layout{device, device};
    if (!exists(device + "/key_count") && exists(device + "/device/key_count"))
        layout.keyDirectory = device + "/device";  // a hwmon class directory was named
    char subsystem[256];
    ssize_t length = readlink((layout.keyDirectory + "/subsystem").c_str(), subsystem, sizeof subsystem);
    layout.platformDevice = length > 0 && std::string_view(subsystem, size_t(length)).ends_with("/platform");
    auto hasSensors = [](const std::string& dir) {
        return exists(dir + "/fan1_input") || exists(dir + "/temp1_input");
    };
    if (hasSensors(device))
        return layout;
    // The newer layout keeps them in the hwmon class directory below the device.
    std::string hwmon = layout.keyDirectory + "/hwmon";
    if (DIR* dir = opendir(hwmon.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string candidate = hwmon + "/" + entry->d_name;
            std::string name;
            if (entry->d_name[0] != '.' && readSmallFile(candidate + "/name", name) && name == "applesmc") {
                layout.sensorDirectory = candidate;
                break;
            }
        }
        closedir(dir);
    }
    return layout;
}

// One sysfs file kept open; the descriptor is opened on first use.
class DriverFile {
public:
    DriverFile() = default;
    DriverFile(const DriverFile&) = delete;
    DriverFile& operator=(const DriverFile&) = delete;
    ~DriverFile()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    // Opens the file; 0 or the errno.
    int open(const std::string& path, int flags)
    {
        fd_ = ::open(path.c_str(), flags | O_CLOEXEC);
        return fd_ < 0 ? errno : 0;
    }
    int fd() const { return fd_; }

    // Reads the file; the byte count, or -1 with errno set.
    ssize_t read(char* buffer, size_t size) const { return readAt(fd_, buffer, size); }

    // Reads a decimal; 0 or the errno (EINVAL for text that is no number).
    int readNumber(long long& value) const
    {
        char buffer[32];
        ssize_t n = read(buffer, sizeof buffer);
        if (n < 0)
            return errno;
        return parseDecimal(std::string_view(buffer, size_t(n)), value) ? 0 : EINVAL;
    }

    // Writes a decimal as one store; 0 or the errno.
    int writeNumber(long long value) const
    {
        char text[24];
        int length = std::snprintf(text, sizeof text, "%lld", value);
        ssize_t n;
        do
            n = pwrite(fd_, text, size_t(length), 0);
        while (n < 0 && errno == EINTR);
        return n < 0 ? errno : 0;
    }

private:
    int fd_ = -1;
};

// What the driver's files told about one key position.
struct IndexEntry {
    bool known = false;
    FourCharCode name = 0;
    FourCharCode type = 0;
    uint32_t length = 0;
};

// A key's size, type and value, as the controller would answer them.
struct KeyValue {
    FourCharCode type = 0;
    uint32_t size = 0;
    uint8_t bytes[32] = {};
};

std::atomic<bool> privilegeNoteShown{false};

// The lock this project's processes take turns on the driver's one cursor
// with. Never one that others can take (the driver's files are readable by
// all): a user holding it would stop smcd. So it lives where only root can
// create files, and it is waited for a bounded time only; without it (not
// root, no /run) the checks after each use of the cursor still guard.
class ProjectLock {
public:
    ProjectLock()
    {
        struct stat directory;
        if (stat("/run", &directory) == 0 && directory.st_uid == 0 && (directory.st_mode & 022) == 0)
            fd_ = ::open(kCursorLockPath, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
    ProjectLock(const ProjectLock&) = delete;
    ProjectLock& operator=(const ProjectLock&) = delete;
    ~ProjectLock()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    // Takes the lock, waiting a bounded time; false when it is not held.
    bool acquire()
    {
        if (fd_ < 0)
            return false;
        auto now = std::chrono::steady_clock::now();
        // A holder that kept it past a whole wait is not waited for again soon.
        auto deadline = now < stuckUntil_ ? now : now + kLockPatience;
        for (auto pause = kFirstPause;; pause = std::min(pause * 2, kLongestPause)) {
            if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                stuckUntil_ = {};
                return true;
            }
            if (errno != EWOULDBLOCK && errno != EINTR)
                return false;
            now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                stuckUntil_ = now + kStuckLockMemory;
                return false;
            }
            std::this_thread::sleep_for(pause);
        }
    }
    void release() { flock(fd_, LOCK_UN); }

private:
    int fd_ = -1;
    std::chrono::steady_clock::time_point stuckUntil_{};
};

// The open files of one device and what they told so far.
class Driver {
public:
    explicit Driver(Layout layout) : layout_(std::move(layout)) {}

    // Opens the files; 0 or the status of the first one that fails.
    kern_return_t open()
    {
        if (int error = keyCount_.open(layout_.keyDirectory + "/key_count", O_RDONLY))
            return statusFromErrno(error);
        cursorError_ = cursor_.open(layout_.keyDirectory + "/key_at_index", O_RDWR);
        if (cursorError_ == 0) {
            for (auto [file, name] : {std::pair{&name_, "name"}, std::pair{&type_, "type"},
                                      std::pair{&length_, "data_length"}, std::pair{&data_, "data"}}) {
                if (int error = file->open(layout_.keyDirectory + "/key_at_index_" + name, O_RDONLY))
                    return statusFromErrno(error);
            }
        }
        const std::string& dir = layout_.sensorDirectory;
        while (fanCount_ < kMaxFans && exists(dir + "/fan" + std::to_string(fanCount_ + 1) + "_input"))
            ++fanCount_;
        for (int fan = 1; fan <= fanCount_; ++fan) {
            std::string n = std::to_string(fan);
            FanFiles& files = fans_[fan - 1];
            files.output = dir + "/fan" + n + (exists(dir + "/fan" + n + "_output") ? "_output" : "_target");
            files.pwmEnable = !exists(dir + "/fan" + n + "_manual") && exists(dir + "/pwm" + n + "_enable");
            files.manual = files.pwmEnable ? dir + "/pwm" + n + "_enable" : dir + "/fan" + n + "_manual";
        }
        return KERN_SUCCESS;
    }

    // Whether the files went away under the open descriptors (the driver
    // unloaded, the file system serving them stopped), not merely one key
    // or file missing.
    bool filesGone() const
    {
        char text[32];
        if (keyCount_.read(text, sizeof text) >= 0)
            return false;
        return errno == ENODEV || errno == ENXIO || errno == ENOENT || errno == ENOTCONN || errno == ESTALE;
    }

    // Answers one call; the caller serialises calls.
    kern_return_t execute(const Record& request, Record& reply)
    {
        // A value read ahead serves only the calls that come straight after.
        Prefetched pending = std::exchange(prefetched_, Prefetched{});
        FourCharCode listed = std::exchange(listed_, 0);
        kern_return_t status = dispatch(request, reply, pending, listed);
        if (pending.valid)
            listing_ = false;  // read ahead for nothing: the caller is not listing values
        return status;
    }

private:
    struct FanFiles {
        std::string output;
        std::string manual;
        bool pwmEnable = false;  // pwmN_enable: 1 manual, 2 automatic
    };

    // A key's value read in the same pass as its name, for the caller that
    // reads each key it is given by index (a listing).
    struct Prefetched {
        bool valid = false;
        uint32_t index = 0;
        FourCharCode key = 0;
        uint32_t size = 0;
        uint8_t bytes[32] = {};
        std::chrono::steady_clock::time_point at{};
    };

    kern_return_t dispatch(const Record& request, Record& reply, Prefetched& pending, FourCharCode listed)
    {
        switch (request.command) {
        case kKeyAtIndex:
            return keyAtIndex(request.index, reply);
        case kKeyInfo:
        case kReadKey: {
            KeyValue value;
            if (listed != 0 && request.key == listed) {
                if (request.command == kKeyInfo) {
                    // The read of the key just named is still to come.
                    listed_ = listed;
                    prefetched_ = std::exchange(pending, Prefetched{});
                } else {
                    listing_ = true;
                }
            }
            kern_return_t status = cursorError_ == 0
                                       ? readByName(request.key, value, request.command == kReadKey, pending)
                                       : readFromSensorFiles(request.key, value);
            if (status != KERN_SUCCESS)
                return status;
            reply.key = request.key;
            if (request.command == kKeyInfo) {
                reply.dataSize = value.size;
                reply.dataType = value.type;
                return KERN_SUCCESS;
            }
            // An unknown key reads as zero bytes; a known one only at its size.
            if (value.size != 0 && request.dataSize != value.size)
                return kIOReturnBadArgument;
            std::memcpy(reply.bytes, value.bytes, value.size);
            return KERN_SUCCESS;
        }
        case kWriteKey:
            reply.key = request.key;
            return write(request);
        default:
            return kIOReturnBadArgument;
        }
    }

    // Holds the project's cursor lock for a scope, when it can be had.
    class CursorLock {
    public:
        explicit CursorLock(ProjectLock& lock) : lock_(lock), held_(lock.acquire()) {}
        ~CursorLock()
        {
            if (held_)
                lock_.release();
        }

    private:
        ProjectLock& lock_;
        bool held_;
    };

    void noteNoPrivilege()
    {
        if (!privilegeNoteShown.exchange(true))
            std::fprintf(stderr,
                         "applesmc: listing keys and reading them by name needs root or smcd: only root "
                         "may move the driver's key cursor (%s/key_at_index); without root only the fan "
                         "and temperature keys are served. An smcd started by root serves every key to "
                         "the members of its --group: SMC_SERVICE=unix:/run/smcd.sock\n",
                         layout_.keyDirectory.c_str());
    }

    kern_return_t refusal()
    {
        return cursorError_ == EACCES || cursorError_ == EPERM || cursorError_ == EROFS
                   ? kIOReturnNotPrivileged
                   : statusFromErrno(cursorError_);
    }

    int setCursor(uint32_t index)
    {
        cursorAt_ = -1;
        if (int error = cursor_.writeNumber(index))
            return error;
        cursorAt_ = index;
        return 0;
    }

    // Reads `file` for position `index` and then checks that the cursor was
    // not moved meanwhile: by its value when `name` is 0, else by the name it
    // shows. 0 with the bytes read in `size`, the errno of the read, or -1
    // when the cursor had moved.
    int readOnce(uint32_t index, const DriverFile& file, char* buffer, size_t capacity, ssize_t& size,
                 FourCharCode name)
    {
        // Left where this process put it last: the check below catches a move.
        if (cursorAt_ != index)
            if (int error = setCursor(index))
                return error;
        size = file.read(buffer, capacity);
        int error = size < 0 ? errno : 0;
        bool still;
        if (name == 0) {
            long long now;
            if (int cursorError = cursor_.readNumber(now))
                return cursorError;
            still = now == index;
        } else {
            char shown[16];
            ssize_t shownSize = name_.read(shown, sizeof shown);
            if (shownSize < 0)
                return errno;
            still = codeFromText(std::string_view(shown, size_t(shownSize))) == name;
        }
        if (still)
            return error;
        cursorAt_ = -1;
        contendedUntil_ = std::chrono::steady_clock::now() + kContentionMemory;
        return -1;
    }

    bool contended() const { return std::chrono::steady_clock::now() < contendedUntil_; }

    // readOnce, retried with growing pauses for a bounded time: a script
    // that lists keys now and then moves the cursor in bursts, which a pause
    // outlasts. While another program is seen moving the cursor, it may also
    // move it away and back between our read and our check: then two checked
    // reads must agree.
    int readAt(uint32_t index, const DriverFile& file, char* buffer, size_t capacity, ssize_t& size,
               FourCharCode name)
    {
        auto deadline = std::chrono::steady_clock::now() + kCursorPatience;
        int tries = 0;
        auto pause = kFirstPause;
        auto waitOrGiveUp = [&] {
            if (++tries < kQuickTries)
                return true;
            auto now = std::chrono::steady_clock::now();
            if (now < gaveUpUntil_ || now >= deadline) {
                gaveUpUntil_ = now + kGiveUpMemory;
                return false;
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, kLongestPause);
            return true;
        };
        for (;;) {
            int result = readOnce(index, file, buffer, capacity, size, name);
            if (result < 0) {
                if (!waitOrGiveUp())
                    return -1;
                continue;
            }
            if (result != 0 || !contended())
                return result;
            char again[64];
            ssize_t againSize;
            result = readOnce(index, file, again, capacity < sizeof again ? capacity : sizeof again, againSize, name);
            if (result > 0)
                return result;
            if (result == 0 && againSize == size && std::memcmp(again, buffer, size_t(size)) == 0)
                return 0;
            if (!waitOrGiveUp())
                return -1;
        }
    }

    static kern_return_t status(int error) { return error < 0 ? kIOReturnBusy : statusFromErrno(error); }

    // Learns the name, type and length at `index`: in one sweep checked by the
    // cursor's value, or, while another program keeps moving the cursor, one
    // file at a time, each checked on its own.
    kern_return_t learn(uint32_t index, bool withValue = false)
    {
        if (index < entries_.size() && entries_[index].known)
            return KERN_SUCCESS;
        CursorLock lock(projectLock_);
        char name[16], type[16], length[32];
        ssize_t nameSize = 0, typeSize = 0, lengthSize = 0;
        uint8_t value[33];
        ssize_t valueSize = -1;
        bool swept = false;
        if (contended()) {
            // The sweep below would mostly be lost to the other program.
        } else if (int error = setCursor(index)) {
            return statusFromErrno(error);
        } else {
            nameSize = name_.read(name, sizeof name);
            typeSize = nameSize < 0 ? -1 : type_.read(type, sizeof type);
            // The value's size is the key's length: one read gives both. A
            // value that fails to read leaves the length to its own file.
            if (withValue && typeSize >= 0)
                valueSize = data_.read(reinterpret_cast<char*>(value), sizeof value);
            if (valueSize > 32)
                valueSize = -1;
            if (valueSize >= 0)
                lengthSize = std::snprintf(length, sizeof length, "%zd", valueSize);
            else
                lengthSize = typeSize < 0 ? -1 : length_.read(length, sizeof length);
            int readError = lengthSize < 0 ? errno : 0;
            long long now;
            if (int cursorError = cursor_.readNumber(now))
                return statusFromErrno(cursorError);
            if (now == index) {
                if (readError)
                    return statusFromErrno(readError);
                swept = true;
            } else {
                cursorAt_ = -1;
                contendedUntil_ = std::chrono::steady_clock::now() + kContentionMemory;
            }
        }
        if (!swept) {
            if (int failed = readAt(index, name_, name, sizeof name, nameSize, 0))
                return status(failed);
            FourCharCode shown = codeFromText(std::string_view(name, size_t(nameSize)));
            if (int failed = readAt(index, type_, type, sizeof type, typeSize, shown))
                return status(failed);
            if (int failed = readAt(index, length_, length, sizeof length, lengthSize, shown))
                return status(failed);
        }
        long long size;
        if (!parseDecimal(std::string_view(length, size_t(lengthSize)), size) || size < 0 || size > 32)
            return kIOReturnIOError;
        if (entries_.size() <= index)
            entries_.resize(index + 1);
        IndexEntry& entry = entries_[index];
        entry = {true, codeFromText(std::string_view(name, size_t(nameSize))),
                 codeFromText(std::string_view(type, size_t(typeSize))), uint32_t(size)};
        positions_.try_emplace(entry.name, index);
        // Every fan speed key of a machine has one type: fpe2, or flt on T2 machines.
        for (const char* ending : {"Ac", "Mn", "Mx", "Tg"})
            if (fanOfKey(entry.name, ending))
                fanType_ = entry.type;
        if (swept && valueSize >= 0) {
            prefetched_ = Prefetched{true, index, entry.name, uint32_t(valueSize), {}, std::chrono::steady_clock::now()};
            std::memcpy(prefetched_.bytes, value, size_t(valueSize));
        }
        return KERN_SUCCESS;
    }

    kern_return_t keyAtIndex(uint32_t index, Record& reply)
    {
        if (cursorError_ != 0) {
            if (cursorError_ == EACCES || cursorError_ == EPERM)
                noteNoPrivilege();
            return refusal();
        }
        if (kern_return_t status = learn(index, listing_))
            return status;
        reply.key = entries_[index].name;
        listed_ = reply.key;
        return KERN_SUCCESS;
    }

    // The number of positions the cursor accepts: the key count the driver
    // cached when it loaded, which it refuses every position past.
    kern_return_t cursorBound(long long& count)
    {
        CursorLock lock(projectLock_);
        long long accepted = 0, refused = kMaxKeys;
        while (accepted < refused) {
            long long middle = accepted + (refused - accepted) / 2;
            int error = setCursor(uint32_t(middle));
            if (error == 0)
                accepted = middle + 1;
            else if (error == EINVAL)
                refused = middle;
            else
                return statusFromErrno(error);
        }
        count = accepted;
        return KERN_SUCCESS;
    }

    // How many positions to look through, learnt once. key_count reads #KEY
    // through the driver's table; when #KEY is not in it (EINVAL), the
    // cursor's bound still tells how many keys the driver holds.
    kern_return_t countKeys()
    {
        if (keyTotal_ >= 0)
            return KERN_SUCCESS;
        long long total = 0;
        if (int error = keyCount_.readNumber(total)) {
            if (error != EINVAL)
                return statusFromErrno(error);
            if (kern_return_t status = cursorBound(total))
                return status;
        }
        keyCountValue_ = uint32_t(total);  // key_count prints #KEY with %d
        keyTotal_ = total < 0 ? 0 : total > kMaxKeys ? kMaxKeys : total;
        return KERN_SUCCESS;
    }

    // The position of `key` in `position`, learning names in order until it
    // shows; -1 when no position holds it.
    kern_return_t find(FourCharCode key, long long& position)
    {
        position = -1;
        if (auto found = positions_.find(key); found != positions_.end()) {
            position = found->second;
            return KERN_SUCCESS;
        }
        if (kern_return_t status = countKeys())
            return status;
        for (; scanned_ < keyTotal_; ++scanned_) {
            kern_return_t learnt = learn(uint32_t(scanned_));
            // A position that the driver cannot describe holds no key we can
            // name; one we could not read for the cursor's moves may hold it.
            if (learnt == kIOReturnBusy || learnt == kIOReturnNoDevice || learnt == kIOReturnNotPrivileged)
                return learnt;
            if (learnt == KERN_SUCCESS && entries_[scanned_].name == key) {
                position = scanned_++;
                return KERN_SUCCESS;
            }
        }
        return KERN_SUCCESS;
    }

    kern_return_t readByName(FourCharCode key, KeyValue& value, bool withData, Prefetched& pending)
    {
        long long position;
        if (kern_return_t status = find(key, position))
            return status == kIOReturnBusy ? fromFilesWhileBusy(key, 0, value) : status;
        if (position < 0) {
            // #KEY outside the positions the cursor reaches (a count of 0 or
            // below, or one that leaves #KEY out): what key_count says, or
            // the count the driver took from #KEY when it loaded.
            if (key == code("#KEY")) {
                value.type = code("ui32");
                value.size = 4;
                for (int i = 0; i < 4; ++i)
                    value.bytes[i] = uint8_t(keyCountValue_ >> (24 - 8 * i));
            }
            return KERN_SUCCESS;  // unknown: size 0, as the controller answers
        }
        const IndexEntry& entry = entries_[position];
        value.type = entry.type;
        value.size = entry.length;
        if (!withData)
            return KERN_SUCCESS;
        if (pending.valid && pending.index == uint32_t(position) && pending.size == entry.length &&
            std::chrono::steady_clock::now() - pending.at < kPrefetchLife) {
            pending.valid = false;
            std::memcpy(value.bytes, pending.bytes, pending.size);
            return KERN_SUCCESS;
        }
        char bytes[33];
        ssize_t size;
        int failed;
        {
            CursorLock lock(projectLock_);
            failed = readAt(uint32_t(position), data_, bytes, sizeof bytes, size, entry.name);
        }
        // The name is checked; the length too, since a key shares no name.
        if (failed < 0 || (failed == 0 && uint32_t(size) != entry.length))
            return fromFilesWhileBusy(key, entry.type, value);
        if (failed)
            return status(failed);
        std::memcpy(value.bytes, bytes, entry.length);
        return KERN_SUCCESS;
    }

    // The cursor stays busy: the key's own file, if the driver has one,
    // still answers, rounded as the file shows it.
    kern_return_t fromFilesWhileBusy(FourCharCode key, FourCharCode type, KeyValue& value)
    {
        // Before the cursor showed it, a manual-mode key may not exist: the
        // file stands for "FS! " or for the fan's own key alike.
        if (type == 0 && (key == code("FS! ") || fanOfKey(key, "Md")))
            return kIOReturnBusy;
        kern_return_t status = valueFromFiles(key, type, value);
        if (status == kIOReturnUnsupported)
            return kIOReturnBusy;
        if (status == KERN_SUCCESS && !busyNoted_) {
            busyNoted_ = true;
            std::fprintf(stderr,
                         "applesmc: another program keeps moving the driver's key cursor (%s/key_at_index); "
                         "fan and temperature keys are read from their own files meanwhile, rounded to whole "
                         "rpm and quarter degrees; exact values come back once that program stops\n",
                         layout_.keyDirectory.c_str());
        }
        return status;
    }

    // A number from a fan or temperature file, kept open; EINVAL when the
    // driver has no such file.
    int readSensorFile(const std::string& path, long long& value)
    {
        auto [slot, added] = sensorFiles_.try_emplace(path);
        if (added) {
            if (int error = slot->second.open(path, O_RDONLY)) {
                sensorFiles_.erase(slot);
                return error == ENOENT ? EINVAL : error;
            }
        }
        return slot->second.readNumber(value);
    }

    std::string fanPath(int fan, const char* suffix) const
    {
        return layout_.sensorDirectory + "/fan" + std::to_string(fan) + "_" + suffix;
    }

    // Which fan (from 1) a key "F<digit>xx" names with that ending; 0 for none.
    int fanOfKey(FourCharCode key, std::string_view ending) const
    {
        char c[4] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key)};
        if (c[0] != 'F' || c[1] < '0' || c[1] > '9' || c[2] != ending[0] || c[3] != ending[1])
            return 0;
        int fan = c[1] - '0' + 1;
        return fan <= fanCount_ ? fan : 0;
    }

    // Whether fan `fan` (from 1) is in manual mode; 0 or the errno.
    int manualOf(int fan, bool& manual)
    {
        long long value;
        if (int error = readSensorFile(fans_[fan - 1].manual, value))
            return error;
        manual = fans_[fan - 1].pwmEnable ? value == 1 : value != 0;
        return 0;
    }

    // The manual-mode bits of every fan; 0 or the errno of the first fan that fails.
    int manualBits(uint32_t& bits)
    {
        bits = 0;
        for (int fan = 1; fan <= fanCount_; ++fan) {
            bool manual;
            if (int error = manualOf(fan, manual))
                return error;
            bits |= uint32_t(manual) << (fan - 1);
        }
        return 0;
    }

    void loadTemperatureLabels()
    {
        if (labelsLoaded_)
            return;
        labelsLoaded_ = true;
        for (int n = 1;; ++n) {
            std::string text;
            std::string base = layout_.sensorDirectory + "/temp" + std::to_string(n);
            if (!readSmallFile(base + "_label", text))
                break;
            temperatures_.try_emplace(codeFromText(text), base + "_input");
        }
    }

    // What the files readable by everyone give for `key`.
    kern_return_t readFromSensorFiles(FourCharCode key, KeyValue& value)
    {
        kern_return_t status = valueFromFiles(key, 0, value);
        return status == kIOReturnUnsupported ? refusal() : status;
    }

    // The type of the fan speed keys when the cursor cannot tell: that of
    // one learnt; else fpe2 without root, whose files give whole rpm only,
    // or where the driver is bound to the platform device: only mainline
    // kernels bind it so, and they do not run on the T2 machines, whose fan
    // keys are flt. 0 when it cannot be told.
    FourCharCode guessedFanType() const
    {
        if (fanType_ != 0)
            return fanType_;
        return cursorError_ != 0 || layout_.platformDevice ? code("fpe2") : 0;
    }

    // What the driver's own file for `key` gives, as a value of `type` (0:
    // guessed). The files round: fan speeds to whole rpm, temperatures to
    // quarter degrees. kIOReturnUnsupported when no file shows the key.
    kern_return_t valueFromFiles(FourCharCode key, FourCharCode type, KeyValue& value)
    {
        value = KeyValue{};  // a key the file says the SMC lacks has no bytes
        long long number = 0;
        auto answer = [&](FourCharCode type, uint32_t size, uint32_t raw) {
            value.type = type;
            value.size = size;
            for (uint32_t i = 0; i < size; ++i)
                value.bytes[i] = uint8_t(raw >> (8 * (size - 1 - i)));
            return KERN_SUCCESS;
        };
        // EINVAL from a fan file is the driver's word for a key the SMC lacks.
        auto unknownOr = [](int error) { return error == EINVAL ? KERN_SUCCESS : statusFromErrno(error); };

        if (key == code("#KEY")) {
            // EINVAL: #KEY is not in the driver's table, a key it lacks.
            if (int error = keyCount_.readNumber(number))
                return unknownOr(error);
            return answer(code("ui32"), 4, uint32_t(number));
        }
        if (key == code("FNum"))
            return answer(code("ui8 "), 1, uint32_t(fanCount_));
        if (key == code("FS! ")) {
            if (fanCount_ == 0)
                return kIOReturnUnsupported;
            uint32_t bits;
            if (int error = manualBits(bits))
                return unknownOr(error);
            return answer(code("ui16"), 2, bits);
        }
        // Only where the cursor showed the key: without it, a machine with
        // one manual bit for all fans would seem to have a key per fan.
        if (int fan = fanOfKey(key, "Md"); fan && type != 0) {
            bool manual;
            if (int error = manualOf(fan, manual))
                return unknownOr(error);
            return answer(code("ui8 "), 1, manual);
        }
        static constexpr std::pair<const char*, const char*> fanKeys[] = {
            {"Ac", "input"}, {"Mn", "min"}, {"Mx", "max"}, {"Sf", "safe"}, {"Tg", nullptr}};
        for (auto [ending, suffix] : fanKeys) {
            if (int fan = fanOfKey(key, ending)) {
                if (type == 0)
                    type = guessedFanType();
                if (type != code("fpe2") && type != code("flt "))
                    return kIOReturnUnsupported;  // unknown, or no conversion from whole rpm is known
                std::string path = suffix ? fanPath(fan, suffix) : fans_[fan - 1].output;
                if (int error = readSensorFile(path, number))
                    return unknownOr(error);
                if (type == code("fpe2"))
                    return answer(type, 2, uint32_t(number) << 2 & 0xffff);
                // A little-endian float, as the controller keeps it.
                uint32_t bits = std::bit_cast<uint32_t>(float(number));
                answer(type, 4, 0);
                for (int i = 0; i < 4; ++i)
                    value.bytes[i] = uint8_t(bits >> (8 * i));
                return KERN_SUCCESS;
            }
        }
        if ((key >> 24) == 'T') {
            loadTemperatureLabels();
            if (auto found = temperatures_.find(key); found != temperatures_.end()) {
                if (int error = readSensorFile(found->second, number))
                    return unknownOr(error);
                // Millidegrees of quarter degrees back to sp78, whose low six bits the driver drops.
                return answer(code("sp78"), 2, uint32_t(int32_t(number / 250) * 64) & 0xffff);
            }
        }
        return kIOReturnUnsupported;
    }

    int writeFile(const std::string& path, long long value)
    {
        DriverFile file;
        if (int error = file.open(path, O_WRONLY))
            return error;
        return file.writeNumber(value);
    }

    // The driver's files offer fan minimum, target and manual mode, nothing else.
    kern_return_t write(const Record& request)
    {
        uint32_t word = request.dataSize >= 2 ? uint32_t(request.bytes[0]) << 8 | request.bytes[1] : 0;
        int minimumFan = fanOfKey(request.key, "Mn");
        int targetFan = fanOfKey(request.key, "Tg");
        if (minimumFan || targetFan) {
            FourCharCode type = guessedFanType();
            if (cursorError_ == 0) {
                long long position;
                kern_return_t status = find(request.key, position);
                if (status == KERN_SUCCESS && position >= 0)
                    type = entries_[position].type;
                else if (status != KERN_SUCCESS && (status != kIOReturnBusy || type == 0))
                    return status;
            }
            // Only whole rpm cross the file: fractions are lost.
            long long rpm;
            if (type == code("flt ")) {
                if (request.dataSize != 4)
                    return kIOReturnBadArgument;
                uint32_t bits = 0;
                for (int i = 0; i < 4; ++i)
                    bits |= uint32_t(request.bytes[i]) << (8 * i);
                float speed = std::bit_cast<float>(bits);
                // The file takes rpm below 16384; NaN fails the first test.
                if (!(speed >= 0) || speed >= 16384)
                    return kIOReturnBadArgument;
                rpm = (long long)speed;
            } else {
                if (request.dataSize != 2)
                    return kIOReturnBadArgument;
                rpm = word >> 2;
            }
            std::string path = minimumFan ? fanPath(minimumFan, "min") : fans_[targetFan - 1].output;
            return statusFromErrno(writeFile(path, rpm));
        }
        if (request.key == code("FS! ")) {
            if (request.dataSize != 2)
                return kIOReturnBadArgument;
            if (fanCount_ < 16 && word >> fanCount_ != 0)
                return kIOReturnBadArgument;  // a bit for a fan the machine does not have
            uint32_t current;
            if (int error = manualBits(current))
                return statusFromErrno(error);
            uint32_t changed = word ^ current;
            for (int fan = 1; fan <= fanCount_; ++fan) {
                uint32_t bit = 1u << (fan - 1);
                if ((changed & bit) == 0)
                    continue;
                bool manual = (word & bit) != 0;
                const FanFiles& files = fans_[fan - 1];
                if (int error = writeFile(files.manual, files.pwmEnable ? (manual ? 1 : 2) : manual))
                    return statusFromErrno(error);
            }
            return KERN_SUCCESS;
        }
        if (int fan = fanOfKey(request.key, "Md")) {
            if (request.dataSize != 1)
                return kIOReturnBadArgument;
            const FanFiles& files = fans_[fan - 1];
            bool manual = request.bytes[0] != 0;
            return statusFromErrno(writeFile(files.manual, files.pwmEnable ? (manual ? 1 : 2) : manual));
        }
        return kIOReturnUnsupported;
    }

    Layout layout_;
    ProjectLock projectLock_;
    DriverFile keyCount_, cursor_, name_, type_, length_, data_;
    int cursorError_ = 0;  // why the cursor cannot be moved; 0 when it can
    long long cursorAt_ = -1;  // where this process last put the cursor
    std::chrono::steady_clock::time_point contendedUntil_{};
    int fanCount_ = 0;
    FanFiles fans_[kMaxFans];
    FourCharCode fanType_ = 0;  // of the fan speed keys, once the cursor showed one
    bool busyNoted_ = false;    // said that another program keeps the cursor busy
    std::chrono::steady_clock::time_point gaveUpUntil_{};  // reads make quick tries only until then
    std::vector<IndexEntry> entries_;
    std::unordered_map<FourCharCode, uint32_t> positions_;
    long long keyTotal_ = -1;
    Prefetched prefetched_;
    FourCharCode listed_ = 0;  // the key the last key-at-index call named
    bool listing_ = false;     // the caller reads each key it is given by index
    uint32_t keyCountValue_ = 0;  // #KEY as key_count gives it, else the cursor's bound
    long long scanned_ = 0;
    std::unordered_map<std::string, DriverFile> sensorFiles_;
    bool labelsLoaded_ = false;
    std::unordered_map<FourCharCode, std::string> temperatures_;
};

// One device for every connection of the process. Its files are opened
// anew when they went away and came back (the driver reloaded, smcfs
// restarted), since smcd keeps one connection for its whole life.
class Device {
public:
    // `requested`: the directory asked for, "" to search; `driver`: its files, open.
    Device(std::string requested, std::string directory, std::unique_ptr<Driver> driver)
        : requested_(std::move(requested)), directory_(std::move(directory)), driver_(std::move(driver))
    {
    }

    kern_return_t execute(const Record& request, Record& reply)
    {
        std::lock_guard lock(mutex_);
        if (driver_ == nullptr && !reopen())
            return kIOReturnNoDevice;
        kern_return_t status = driver_->execute(request, reply);
        if (status == kIOReturnNoDevice && driver_->filesGone()) {
            // Descriptors of files that went away never work again.
            driver_.reset();
            lastAttempt_ = std::chrono::steady_clock::now();
            std::fprintf(stderr,
                         "applesmc: the driver's files in %s went away (driver unloaded, or the file system "
                         "serving them stopped); calls fail until they return\n",
                         directory_.c_str());
        }
        return status;
    }

private:
    // Opens the files again, at most once a second; whether they are open.
    bool reopen()
    {
        auto now = std::chrono::steady_clock::now();
        if (now - lastAttempt_ < kReopenInterval)
            return false;
        lastAttempt_ = now;
        std::string directory = requested_.empty() ? findAppleSMCDevice() : requested_;
        if (directory.empty())
            return false;
        auto driver = std::make_unique<Driver>(resolveLayout(directory));
        if (driver->open() != KERN_SUCCESS)
            return false;
        driver_ = std::move(driver);
        directory_ = std::move(directory);
        std::fprintf(stderr, "applesmc: the driver's files in %s are back\n", directory_.c_str());
        return true;
    }

    std::mutex mutex_;
    std::string requested_;
    std::string directory_;
    std::unique_ptr<Driver> driver_;  // null while the files are gone
    std::chrono::steady_clock::time_point lastAttempt_{};
};

class AppleSMCConnection final : public SMCConnection {
public:
    explicit AppleSMCConnection(std::shared_ptr<Device> driver) : driver_(std::move(driver)) {}

    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize) override
    {
        if (selector != kUserClientCall || inputSize != sizeof(Record) || *outputSize != sizeof(Record))
            return kIOReturnBadArgument;
        Record request;
        std::memcpy(&request, input, sizeof request);
        Record reply{};
        kern_return_t status = driver_->execute(request, reply);
        // A failed call leaves the caller's output as it was, as the kernel does.
        if (status == KERN_SUCCESS)
            std::memcpy(output, &reply, sizeof reply);
        return status;
    }

private:
    std::shared_ptr<Device> driver_;
};

class AppleSMCService final : public SMCService {
public:
    explicit AppleSMCService(std::string directory) : directory_(std::move(directory)) {}

    bool present() override
    {
        std::lock_guard lock(mutex_);
        return locate();
    }

    std::string failureCause() override
    {
        std::lock_guard lock(mutex_);
        return cause_;
    }

    kern_return_t open(std::unique_ptr<SMCConnection>& connection) override
    {
        std::lock_guard lock(mutex_);
        if (driver_ == nullptr) {
            if (!locate())
                return kIOReturnNoDevice;
            auto driver = std::make_unique<Driver>(resolveLayout(device_));
            if (kern_return_t status = driver->open()) {
                cause_ = "cannot open the applesmc driver's files in " + device_;
                return status;
            }
            driver_ = std::make_shared<Device>(directory_, device_, std::move(driver));
        }
        cause_.clear();
        connection = std::make_unique<AppleSMCConnection>(driver_);
        return KERN_SUCCESS;
    }

private:
    bool locate()
    {
        device_ = directory_.empty() ? findAppleSMCDevice() : directory_;
        if (device_.empty()) {
            cause_ = "no applesmc driver on this machine";
            return false;
        }
        if (!exists(device_ + "/key_count") && !exists(device_ + "/device/key_count")) {
            cause_ = "no applesmc device at " + device_;
            return false;
        }
        return true;
    }

    std::string directory_;
    std::mutex mutex_;
    std::string device_;
    std::string cause_;
    std::shared_ptr<Device> driver_;
};

}  // namespace

std::string findAppleSMCDevice(const std::string& root)
{
    std::string classic = root + "/sys/devices/platform/applesmc.768";
    if (exists(classic + "/key_count"))
        return classic;
    std::string hwmonClass = root + "/sys/class/hwmon";
    std::string found;
    if (DIR* dir = opendir(hwmonClass.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string candidate = hwmonClass + "/" + entry->d_name;
            std::string name;
            if (entry->d_name[0] == '.' || !readSmallFile(candidate + "/name", name) || name != "applesmc")
                continue;
            found = exists(candidate + "/device/key_count") ? candidate + "/device" : candidate;
            break;
        }
        closedir(dir);
    }
    if (!found.empty())
        return found;
    std::string acpi = root + "/sys/bus/acpi/drivers/applesmc/APP0001:00";
    if (exists(acpi + "/key_count"))
        return acpi;
    return {};
}

std::shared_ptr<SMCService> makeAppleSMCService(std::string directory)
{
    return std::make_shared<AppleSMCService>(std::move(directory));
}

}  // namespace platform
