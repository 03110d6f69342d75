// The driver back-end's parts, private to it: the device's directories, its
// files kept open, the project's lock on the key cursor, and the Driver that
// answers call records from them. Its jobs are split by file: discovery
// (Discovery.cpp), the key cursor and its checked reads (KeyCursor.cpp), the
// fan and temperature files (SensorFiles.cpp), and the service adapter
// (AppleSMCService.cpp).
#pragma once

#include "backends/CallRecord.h"
#include "backends/ErrnoStatus.h"
#include "backends/applesmc/AppleSMCService.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace platform::applesmc {

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
// own, in a directory only root may write, so that no other user can hold it:
// smcd's runtime directory, which its unit makes writable to it where the rest
// of /run is not, and which root's other processes make when it is missing.
inline constexpr const char* kLockDirectory = "/run/smcd";
// The lock of one device's cursor, DIRECTORY/applesmc-DEV-INODE.lock: named
// after the device directory itself, so that doubles of the driver (tests,
// smcfs mounts) wait neither on each other nor on the machine's. "" when the
// device directory cannot be looked at.
std::string cursorLockPath(const std::string& keyDirectory, const std::string& lockDirectory = kLockDirectory);
constexpr std::chrono::milliseconds kLockPatience{250};
// After a lock wait ran out, the holder is taken as stuck for this long.
constexpr std::chrono::milliseconds kStuckLockMemory{2000};
constexpr uint32_t kMaxKeys = 65535;   // what a real SMC holds at most
// Tables up to this size are walked whole on the first lookup that misses:
// it costs little, and unlike a search it proves the order, which the small
// tables of hand-written doubles often lack.
constexpr long long kWalkedWhole = 64;
// How long reads stay doubly checked after another program was seen moving the cursor.
constexpr std::chrono::milliseconds kContentionMemory{2000};
// What a checked read answers besides 0 and an errno: the cursor was moved meanwhile.
constexpr int kMoved = -1;
// readAt's answer when the key's position or length turned out not to be
// what was learnt; never leaves the back-end.
constexpr kern_return_t kStaleTable = -1;
// How long a value read with its key's name may stand in for the read that follows.
constexpr std::chrono::milliseconds kPrefetchLife{10};

// Whether a path exists.
bool exists(const std::string& path);

// A whole small file read at offset 0, where sysfs makes its text anew; the
// byte count, or -1 with errno set.
ssize_t readWhole(int fd, char* buffer, size_t size);

// A small file's text without its trailing newlines; false when it cannot be read.
bool readSmallFile(const std::string& path, std::string& text);

// A decimal as the driver prints it; false for anything else.
bool parseDecimal(std::string_view text, long long& value);

// Four characters of a name or type file, zero bytes where it is shorter.
FourCharCode codeFromText(std::string_view text);

// Where one device keeps its files.
struct DeviceDirectories {
    std::string keyDirectory;     // key_count and the key_at_index files
    std::string sensorDirectory;  // the fan and temperature files
    bool platformDevice = false;  // bound to the platform device, as mainline kernels bind it
};

// The directories of the device directory `device`, which may also be its
// hwmon class directory.
DeviceDirectories resolveDirectories(const std::string& device);

// One sysfs file kept open; the descriptor is opened on first use.
class SysfsFile {
public:
    SysfsFile() = default;
    SysfsFile(const SysfsFile&) = delete;
    SysfsFile& operator=(const SysfsFile&) = delete;
    ~SysfsFile()
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
    // Opens the file at its first read, for files most processes never
    // read: an open on a file system in user space costs two round trips.
    void openWhenRead(std::string path) { path_ = std::move(path); }
    int fd() const { return fd_; }

    // Reads the file; the byte count, or -1 with errno set.
    ssize_t read(char* buffer, size_t size) const
    {
        if (fd_ < 0 && !path_.empty() && (fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC)) < 0)
            return -1;
        return readWhole(fd_, buffer, size);
    }

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
    mutable int fd_ = -1;
    std::string path_;
};

// What the driver's files told about one key position.
struct IndexEntry {
    bool known = false;
    FourCharCode name = 0;
    FourCharCode type = 0;
    uint32_t length = 0;
    bool seen = false;       // this process saw the name at its position
    bool fromTable = false;  // taken from a table an earlier process learnt
};

// A key's size, type and value, as the controller would answer them.
struct KeyValue {
    FourCharCode type = 0;
    uint32_t size = 0;
    uint8_t bytes[32] = {};
};

// The lock this project's processes take turns on the driver's one cursor
// with. Never one that others can take (the driver's files are readable by
// all): a user holding it would stop smcd. So it lives where only root can
// create files, and it is waited for a bounded time only; without it (not
// root, a read-only /run) the checks after each use of the cursor still
// guard, and standard error says once why there is none.
class ProjectLock {
public:
    ProjectLock() = default;
    // Opens the lock of the cursor in `keyDirectory`, kept in `lockDirectory`
    // (made when missing, in a parent only root may write); none when it
    // cannot be made.
    void open(const std::string& keyDirectory, const std::string& lockDirectory = kLockDirectory);
    // The lock's path; "" when there is no lock.
    const std::string& path() const { return path_; }
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
                noteHeld();
                return false;
            }
            std::this_thread::sleep_for(pause);
        }
    }
    void release() { flock(fd_, LOCK_UN); }

private:
    void noteHeld() const;
    int fd_ = -1;
    std::string path_;
    std::chrono::steady_clock::time_point stuckUntil_{};
};

// The open files of one device and what they told so far.
class Driver {
public:
    explicit Driver(DeviceDirectories directories) : layout_(std::move(directories)) {}

    // Opens the files; 0 or the status of the first one that fails.
    kern_return_t open();

    // Whether the files went away under the open descriptors (the driver
    // unloaded, the file system serving them stopped), not merely one key
    // or file missing.
    bool filesGone() const;

    // Answers one call; the caller serialises calls.
    kern_return_t execute(const CallRecord& request, CallRecord& reply);

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

    kern_return_t dispatch(const CallRecord& request, CallRecord& reply, Prefetched& pending, FourCharCode listed);

    // The key cursor (KeyCursor.cpp).
    void noteNoPrivilege();
    kern_return_t refusal();
    int setCursor(uint32_t index);
    int readOnce(uint32_t index, const SysfsFile& file, char* buffer, size_t capacity, ssize_t& size,
                 FourCharCode name);
    bool contended() const { return std::chrono::steady_clock::now() < contendedUntil_; }
    int readChecked(uint32_t index, const SysfsFile& file, char* buffer, size_t capacity, ssize_t& size,
                    FourCharCode name);
    static kern_return_t status(int error);
    static bool fatal(kern_return_t status);
    kern_return_t learn(uint32_t index, bool withValue = false);
    kern_return_t keyAtIndex(uint32_t index, CallRecord& reply);
    kern_return_t cursorBound(long long& count);
    kern_return_t countKeys();
    void noteName(uint32_t index, FourCharCode name);
    kern_return_t probe(uint32_t index, FourCharCode& name, bool& named);
    kern_return_t search(FourCharCode key, long long& position);
    kern_return_t walk(FourCharCode key, long long& position);
    kern_return_t find(FourCharCode key, long long& position);
    void keep(uint32_t index, const IndexEntry& entry);
    std::string tablePath() const;
    void loadTable();
    bool tableHolds();
    void sweepTable();
    kern_return_t see(uint32_t index, FourCharCode key);
    void forgetTable();
    kern_return_t readByName(FourCharCode key, KeyValue& value, bool withData, Prefetched& pending);
    kern_return_t readAt(FourCharCode key, KeyValue& value, bool withData, Prefetched& pending);

    // The fan and temperature files (SensorFiles.cpp).
    kern_return_t fromFilesWhileBusy(FourCharCode key, FourCharCode type, KeyValue& value);
    int readSensorFile(const std::string& path, long long& value);
    std::string fanPath(int fan, const char* suffix) const;
    int fanOfKey(FourCharCode key, std::string_view ending) const;
    int manualOf(int fan, bool& manual);
    int manualBits(uint32_t& bits);
    void loadTemperatureLabels();
    kern_return_t readFromSensorFiles(FourCharCode key, KeyValue& value);
    FourCharCode guessedFanType() const;
    kern_return_t valueFromFiles(FourCharCode key, FourCharCode type, KeyValue& value);
    int writeFile(const std::string& path, long long value);
    kern_return_t write(const CallRecord& request);

    DeviceDirectories layout_;
    ProjectLock projectLock_;
    SysfsFile keyCount_, cursor_, name_, type_, length_, data_;
    int cursorError_ = 0;  // why the cursor cannot be moved; 0 when it can
    long long cursorAt_ = -1;  // where this process last put the cursor
    std::chrono::steady_clock::time_point contendedUntil_{};
    int fanCount_ = 0;
    FanFiles fans_[kMaxFans];
    FourCharCode fanType_ = 0;  // of the fan speed keys, once the cursor showed one
    bool busyNoted_ = false;    // said that another program keeps the cursor busy
    bool exact_ = false;        // the call refuses values rebuilt from rounded files
    bool relearnt_ = false;     // the call found the table wrong and learnt it again
    std::chrono::steady_clock::time_point gaveUpUntil_{};  // reads make quick tries only until then
    std::vector<IndexEntry> entries_;
    std::unordered_map<FourCharCode, uint32_t> positions_;
    long long keyTotal_ = -1;
    Prefetched prefetched_;
    FourCharCode listed_ = 0;  // the key the last key-at-index call named
    bool listing_ = false;     // the caller reads each key it is given by index
    uint32_t keyCountValue_ = 0;  // the count the positions were taken from
    long long scanned_ = 0;
    // Every name seen by position, and the positions the driver cannot
    // describe: a search asks the cursor about each position once.
    std::map<uint32_t, FourCharCode> namesSeen_;
    std::unordered_set<uint32_t> undescribed_;
    bool unsorted_ = false;  // two names out of order: lookups walk the table
    // Every position's name, type and length, as an earlier process of
    // root's learnt them for this device (or this one did), checked as
    // they are used.
    std::vector<IndexEntry> tableLearnt_;
    std::unordered_set<uint32_t> neighboursChecked_;  // positions whose names the table was checked by
    bool bounded_ = false;  // the cursor refuses positions past the last, as the driver's does
    bool swept_ = false;
    std::unordered_map<std::string, SysfsFile> sensorFiles_;
    bool labelsLoaded_ = false;
    std::unordered_map<FourCharCode, std::string> temperatures_;
};

}  // namespace platform::applesmc
