// The back-end for SMC_SERVICE=applesmc[:DIR]: answers the call record from
// the files of Linux's applesmc driver. Keys are read by name through the
// driver's one key cursor; without root, which alone may move the cursor,
// or while another program keeps it busy, the fan and temperature files
// stand in for the keys they show. This file adapts the Driver to the
// service table: one device per process, reopened when its files return.
#include "backends/ReopeningDevice.h"
#include "backends/applesmc/Driver.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

namespace platform {

namespace applesmc {

namespace {

std::atomic<bool> noLockSaid{false}, heldLockSaid{false};

// Whether `directory` may hold the lock: root's, and writable by no one
// else, so that no user can take the lock or put a link in its place. Made
// when missing, where the parent is such a directory. "" when it may, else
// why not.
std::string lockDirectoryProblem(const std::string& directory)
{
    auto unsafe = [](const struct stat& status) {
        return status.st_uid != 0 || (status.st_mode & 022) != 0;
    };
    struct stat status;
    if (lstat(directory.c_str(), &status) != 0) {
        if (errno != ENOENT)
            return std::strerror(errno);
        size_t slash = directory.rfind('/');
        std::string parent = slash == 0 || slash == std::string::npos ? "/" : directory.substr(0, slash);
        struct stat above;
        if (stat(parent.c_str(), &above) != 0)
            return std::strerror(errno);
        if (unsafe(above))
            return parent + " is not root's alone";
        if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
            return std::strerror(errno);
        if (lstat(directory.c_str(), &status) != 0)
            return std::strerror(errno);
    }
    if (!S_ISDIR(status.st_mode) || unsafe(status))
        return directory + " is not a directory of root's alone";
    return {};
}

}  // namespace

std::string cursorLockPath(const std::string& keyDirectory, const std::string& lockDirectory)
{
    struct stat directory;
    if (stat(keyDirectory.c_str(), &directory) != 0)
        return {};
    char name[64];
    std::snprintf(name, sizeof name, "/applesmc-%llx-%llx.lock", (unsigned long long)directory.st_dev,
                  (unsigned long long)directory.st_ino);
    return lockDirectory + name;
}

void ProjectLock::open(const std::string& keyDirectory, const std::string& lockDirectory)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    path_.clear();
    std::string path = cursorLockPath(keyDirectory, lockDirectory);
    if (path.empty())
        return;
    std::string problem = lockDirectoryProblem(lockDirectory);
    if (problem.empty()) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0)
            problem = std::strerror(errno);
    }
    if (fd_ >= 0)
        path_ = path;
    else if (!noLockSaid.exchange(true))
        std::fprintf(stderr,
                     "applesmc: no lock on the key cursor: cannot open %s: %s; reads are still checked, but "
                     "beside this project's other processes they are refused busy more often\n",
                     path.c_str(), problem.c_str());
}

void ProjectLock::noteHeld() const
{
    if (!heldLockSaid.exchange(true))
        std::fprintf(stderr,
                     "applesmc: another process held the key cursor's lock %s past %lld ms; going on without "
                     "it meanwhile\n",
                     path_.c_str(), (long long)kLockPatience.count());
}

kern_return_t Driver::open()
{
    if (int error = keyCount_.open(layout_.keyDirectory + "/key_count", O_RDONLY))
        return statusFromErrno(error);
    cursorError_ = cursor_.open(layout_.keyDirectory + "/key_at_index", O_RDWR);
    if (cursorError_ == 0) {
        projectLock_.open(layout_.keyDirectory);
        for (auto [file, name] : {std::pair{&name_, "name"}, std::pair{&data_, "data"}}) {
            if (int error = file->open(layout_.keyDirectory + "/key_at_index_" + name, O_RDONLY))
                return statusFromErrno(error);
        }
        // Learnt once per device and kept in its table file (KeyCursor.cpp).
        type_.openWhenRead(layout_.keyDirectory + "/key_at_index_type");
        length_.openWhenRead(layout_.keyDirectory + "/key_at_index_data_length");
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
bool Driver::filesGone() const
{
    char text[32];
    if (keyCount_.read(text, sizeof text) >= 0)
        return false;
    return statusFromErrno(errno) == kIOReturnNoDevice;
}

// Answers one call; the caller serialises calls.
kern_return_t Driver::execute(const CallRecord& request, CallRecord& reply)
{
    // A value read ahead serves only the calls that come straight after.
    exact_ = (request.reserved2 & kExactValues) != 0;
    relearnt_ = false;
    Prefetched pending = std::exchange(prefetched_, Prefetched{});
    FourCharCode listed = std::exchange(listed_, 0);
    kern_return_t status = dispatch(request, reply, pending, listed);
    if (pending.valid)
        listing_ = false;  // read ahead for nothing: the caller is not listing values
    return status;
}

kern_return_t Driver::dispatch(const CallRecord& request, CallRecord& reply, Prefetched& pending, FourCharCode listed)
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
            // A size the caller took from a table this call found wrong: ask again.
            return relearnt_ ? kIOReturnBusy : kIOReturnBadArgument;
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

}  // namespace applesmc

namespace {

using namespace applesmc;

using Device = ReopeningDevice<Driver>;

class AppleSMCConnection final : public SMCConnection {
public:
    explicit AppleSMCConnection(std::shared_ptr<Device> driver) : driver_(std::move(driver)) {}

    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize) override
    {
        return callDevice(*driver_, selector, input, inputSize, output, outputSize);
    }

private:
    std::shared_ptr<Device> driver_;
};

class AppleSMCService final : public DriverService {
public:
    explicit AppleSMCService(std::string directory) : directory_(std::move(directory)) {}

    bool present() override
    {
        std::lock_guard lock(mutex_);
        return locate();
    }

    kern_return_t open(std::unique_ptr<SMCConnection>& connection) override
    {
        std::lock_guard lock(mutex_);
        if (driver_ == nullptr) {
            if (!locate())
                return kIOReturnNoDevice;
            auto driver = std::make_unique<Driver>(resolveDirectories(device_));
            if (kern_return_t status = driver->open()) {
                cause_ = "cannot open the applesmc driver's files in " + device_;
                return status;
            }
            // The directory asked for, else the one found anew.
            auto opener = [requested = directory_](std::string& directory) -> std::unique_ptr<Driver> {
                directory = requested.empty() ? findAppleSMCDevice() : requested;
                if (directory.empty())
                    return nullptr;
                auto driver = std::make_unique<Driver>(resolveDirectories(directory));
                return driver->open() == KERN_SUCCESS ? std::move(driver) : nullptr;
            };
            driver_ = std::make_shared<Device>("applesmc", device_, std::move(driver), opener);
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
    std::shared_ptr<Device> driver_;
};

}  // namespace

std::shared_ptr<SMCService> makeAppleSMCService(std::string directory)
{
    return std::make_shared<AppleSMCService>(std::move(directory));
}

}  // namespace platform
