// The back-end for SMC_SERVICE=macsmc[:DIR]: answers the call record from
// the files of Linux's macsmc_hwmon driver. The kernel lets no one ask the
// SMC for a key by name; each key served is a file the driver shows, read
// anew at every call (each read is one exchange with the SMC).
#include "backends/macsmc/MacSMCService.h"
#include "backends/ErrnoStatus.h"
#include "backends/ReopeningDevice.h"
#include "backends/applesmc/Driver.h"
#include "backends/macsmc/Machine.h"
#include "encodings/Encodings.h"

#include <atomic>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>

namespace platform {

namespace macsmc {

namespace {

constexpr FourCharCode kFloat = fourCharCode("flt "), kByte = fourCharCode("ui8 "), kWord = fourCharCode("ui32");

std::atomic<bool> readOnlySaid{false};

// A file's number, one read; 0 or the errno (EIO for text that is no number).
int readNumber(const std::string& path, long long& value)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char text[32];
    ssize_t n = applesmc::readWhole(fd, text, sizeof text);
    int error = n < 0 ? errno : 0;
    close(fd);
    if (error)
        return error;
    size_t length = size_t(n);
    while (length > 0 && text[length - 1] == '\n')
        --length;
    auto [end, problem] = std::from_chars(text, text + length, value);
    return problem == std::errc() && end == text + length && length > 0 ? 0 : EIO;
}

// A key's value from its file's number: the driver gives LONG_MAX and
// LONG_MIN for the SMC's infinity and NaN.
float keyValue(long long number, double scale)
{
    if (number == LLONG_MAX)
        return INFINITY;
    if (number == LLONG_MIN)
        return NAN;
    return float(double(number) / scale);
}

// Why a fan cannot be set, in words a user can act on.
void sayReadOnly(const std::string& file, const std::string& root, bool hasMode)
{
    if (readOnlySaid.exchange(true))
        return;
    std::string parameter;
    if (!root.empty())
        applesmc::readSmallFile(root + "/module/macsmc_hwmon/parameters/fan_control", parameter);
    if (!hasMode)
        std::fprintf(stderr, "macsmc: %s is read-only: the devicetree names no mode key for this fan, so the "
                             "driver cannot set it\n", file.c_str());
    else if (parameter == "Y" || parameter == "1")
        std::fprintf(stderr, "macsmc: %s is read-only: fan_control was off when the macsmc_hwmon driver loaded; "
                             "reload it (modprobe -r macsmc_hwmon; modprobe macsmc_hwmon) to set fans; the "
                             "option taints the kernel\n", file.c_str());
    else
        std::fprintf(stderr, "macsmc: %s is read-only: the kernel sets no fan unless the macsmc_hwmon driver loads "
                             "with fan_control on (boot with macsmc_hwmon.fan_control=1, or modprobe option "
                             "fan_control=1); the option is unsafe and taints the kernel\n", file.c_str());
}

// The driver's files of one machine, as described when they were found.
class HwmonFiles {
public:
    explicit HwmonFiles(Machine machine) : machine_(std::move(machine)) {}

    const Machine& machine() const { return machine_; }

    bool filesGone() const
    {
        std::string name;
        return !applesmc::readSmallFile(machine_.hwmon + "/name", name) || name != "macsmc_hwmon";
    }

    kern_return_t keyLabel(FourCharCode key, std::string& label) const
    {
        auto found = machine_.keys.find(key);
        if (found == machine_.keys.end() || found->second.label.empty())
            return kIOReturnNotFound;
        label = found->second.label;
        return KERN_SUCCESS;
    }

    kern_return_t execute(const CallRecord& request, CallRecord& reply)
    {
        if (request.command == kKeyAtIndex) {
            if (request.index >= machine_.listed.size())
                return kIOReturnBadArgument;
            reply.key = machine_.listed[request.index];
            return KERN_SUCCESS;
        }
        reply.key = request.key;
        auto found = machine_.keys.find(request.key);
        const ServedKey* served = found == machine_.keys.end() ? nullptr : &found->second;
        switch (request.command) {
        case kKeyInfo:
            // An unknown key is answered with size 0, as the SMC answers it.
            if (served)
                describe(*served, reply.dataType, reply.dataSize);
            return KERN_SUCCESS;
        case kReadKey:
            return served ? read(*served, request.dataSize, reply) : KERN_SUCCESS;
        case kWriteKey:
            return served ? write(*served, request) : kIOReturnNotFound;
        default:
            return kIOReturnBadArgument;
        }
    }

private:
    static void describe(const ServedKey& served, FourCharCode& type, uint32_t& size)
    {
        switch (served.source) {
        case ServedKey::Source::FanCount:
        case ServedKey::Source::FanMode:
            type = kByte, size = 1;
            break;
        case ServedKey::Source::KeyCount:
            type = kWord, size = 4;
            break;
        default:
            type = kFloat, size = 4;
        }
    }

    kern_return_t read(const ServedKey& served, uint32_t size, CallRecord& reply) const
    {
        FourCharCode type;
        uint32_t expected;
        describe(served, type, expected);
        if (served.source == ServedKey::Source::FanMode)
            return kIOReturnNotReadable;  // the driver keeps the flag to itself
        if (size != expected)
            return kIOReturnBadArgument;
        auto* bytes = reinterpret_cast<uint8_t*>(reply.bytes);
        if (served.source == ServedKey::Source::FanCount) {
            bytes[0] = uint8_t(machine_.fans.size());
        } else if (served.source == ServedKey::Source::KeyCount) {
            auto count = uint32_t(machine_.listed.size());
            for (int i = 0; i < 4; ++i)
                bytes[i] = uint8_t(count >> (24 - 8 * i));
        } else {
            long long number;
            if (int error = readNumber(served.file, number))
                return statusFromErrno(error);
            encodings::floatToBytes(keyValue(number, served.scale), bytes);
        }
        return KERN_SUCCESS;
    }

    std::string fanFile(int fan, const char* suffix) const
    {
        return machine_.hwmon + "/fan" + std::to_string(fan) + "_" + suffix;
    }

    kern_return_t limits(int fan, long long& minimum, long long& maximum) const
    {
        if (int error = readNumber(fanFile(fan, "min"), minimum))
            return statusFromErrno(error);
        return statusFromErrno(readNumber(fanFile(fan, "max"), maximum));
    }

    // One store into fanN_target.
    kern_return_t setTarget(int fan, long long rpm) const
    {
        std::string path = fanFile(fan, "target");
        // The driver refuses root too where the file has no write bits; so
        // does this, wherever the files are served from.
        struct stat status;
        if (stat(path.c_str(), &status) == 0 && (status.st_mode & 0222) == 0) {
            auto known = machine_.fans.find(fan);
            sayReadOnly(path, machine_.root, known != machine_.fans.end() && known->second.mode != 0);
            return kIOReturnNotPrivileged;
        }
        int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return statusFromErrno(errno);
        char text[24];
        int length = std::snprintf(text, sizeof text, "%lld", rpm);
        ssize_t n;
        do
            n = ::write(fd, text, size_t(length));
        while (n < 0 && errno == EINTR);
        int error = n < 0 ? errno : 0;
        close(fd);
        if (error == EOPNOTSUPP && !readOnlySaid.exchange(true))
            std::fprintf(stderr, "macsmc: %s refuses writes: fan_control was turned off after the macsmc_hwmon "
                                 "driver loaded\n", path.c_str());
        return statusFromErrno(error);
    }

    kern_return_t write(const ServedKey& served, const CallRecord& request) const
    {
        const uint8_t* bytes = valueBytes(request);
        if (served.source == ServedKey::Source::FanTarget) {
            if (request.dataSize != 4)
                return kIOReturnBadArgument;
            double rpm = encodings::floatFromBytes(bytes);
            // Whole rpm; the driver reads the fan's limits on every write and
            // refuses a target outside them (EINVAL), so reading them here too
            // would cost two more transactions. A target of 0 is its word for
            // automatic, which a target key must not mean.
            if (!(rpm >= 0.5 && rpm < 1e9))
                return kIOReturnBadArgument;
            return setTarget(served.fan, std::llround(rpm));
        }
        if (served.source == ServedKey::Source::FanMode) {
            if (request.dataSize != 1 || bytes[0] > 1)
                return kIOReturnBadArgument;
            if (bytes[0] == 0)
                return setTarget(served.fan, 0);  // the driver's word for automatic
            // Manual: the driver holds the fan at a target it is given.
            long long target, minimum, maximum;
            if (int error = readNumber(fanFile(served.fan, "target"), target))
                return statusFromErrno(error);
            if (kern_return_t status = limits(served.fan, minimum, maximum))
                return status;
            return setTarget(served.fan, std::clamp(target, minimum, std::max(minimum, maximum)));
        }
        return kIOReturnNotWritable;
    }

    Machine machine_;
};

using Device = ReopeningDevice<HwmonFiles>;

std::unique_ptr<HwmonFiles> openFiles(const std::string& requested, std::string& directory, std::string& cause)
{
    directory = locateHwmon(requested, cause);
    Machine machine;
    if (directory.empty() || !describeMachine(directory, machine, cause))
        return nullptr;
    directory = machine.hwmon;
    return std::make_unique<HwmonFiles>(std::move(machine));
}

class MacSMCConnection final : public SMCConnection, public SMCKeyLabels {
public:
    explicit MacSMCConnection(std::shared_ptr<Device> device) : device_(std::move(device)) {}

    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize) override
    {
        return callDevice(*device_, selector, input, inputSize, output, outputSize);
    }

    kern_return_t keyLabel(FourCharCode key, std::string& label) override
    {
        kern_return_t status = device_->use([&](HwmonFiles& files) { return files.keyLabel(key, label); });
        return status == KERN_SUCCESS ? status : kIOReturnNotFound;
    }

    void* findCapability(SMCCapability which) override { return offer<SMCKeyLabels>(which, this); }

private:
    std::shared_ptr<Device> device_;
};

// Its device directory is the platform device: unlike hwmonN, its path
// stays the same across boots.
class MacSMCService final : public DriverService {
public:
    explicit MacSMCService(std::string directory) : directory_(std::move(directory)) {}

    bool present() override
    {
        std::lock_guard lock(mutex_);
        return !locateHwmon(directory_, cause_).empty();
    }

    kern_return_t open(std::unique_ptr<SMCConnection>& connection) override
    {
        std::lock_guard lock(mutex_);
        if (files_ == nullptr) {
            std::string directory;
            std::unique_ptr<HwmonFiles> files = openFiles(directory_, directory, cause_);
            if (files == nullptr)
                return kIOReturnNoDevice;
            device_ = files->machine().device;
            // A reloaded driver may come back under another hwmonN: where
            // one was named, it is looked for again by name under its root.
            auto opener = [requested = directory_, root = files->machine().root](std::string& found) {
                std::string cause;
                std::unique_ptr<HwmonFiles> files = openFiles(requested, found, cause);
                return files || root.empty() ? std::move(files) : openFiles(root, found, cause);
            };
            files_ = std::make_shared<Device>("macsmc", directory, std::move(files), opener);
        }
        cause_.clear();
        connection = std::make_unique<MacSMCConnection>(files_);
        return KERN_SUCCESS;
    }

private:
    std::string directory_;
    std::shared_ptr<Device> files_;
};

}  // namespace

}  // namespace macsmc

std::shared_ptr<SMCService> makeMacSMCService(std::string directory)
{
    return std::make_shared<macsmc::MacSMCService>(std::move(directory));
}

}  // namespace platform
