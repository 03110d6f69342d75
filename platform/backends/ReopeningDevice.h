// A kernel driver's files shared by every connection of the process, opened
// anew when they went away and came back (the driver reloaded, smcfs
// restarted): smcd keeps one connection for its whole life.
#pragma once

#include "backends/CallRecord.h"
#include "backends/SMCService.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

// `Files` answers calls and tells filesGone(): whether its files went away,
// not merely one of them missing.
template <typename Files>
class ReopeningDevice {
public:
    // Finds and opens the files, their directory into `directory`; null when
    // they are not there.
    using Opener = std::function<std::unique_ptr<Files>(std::string& directory)>;
    // How often to look for the files again once they went away.
    static constexpr std::chrono::milliseconds kReopenInterval{1000};

    // `driver` names the driver in messages; `files`, open, are in `directory`.
    ReopeningDevice(const char* driver, std::string directory, std::unique_ptr<Files> files, Opener opener)
        : driver_(driver), directory_(std::move(directory)), files_(std::move(files)), opener_(std::move(opener))
    {
    }

    // `call(Files&)`'s status, the calls serialised; kIOReturnNoDevice while
    // the files are gone.
    template <typename Call>
    kern_return_t use(Call&& call)
    {
        std::lock_guard lock(mutex_);
        if (files_ == nullptr && !reopen())
            return kIOReturnNoDevice;
        kern_return_t status = call(*files_);
        if (status == kIOReturnNoDevice && files_->filesGone()) {
            // Descriptors and paths of files that went away never work again.
            files_.reset();
            lastAttempt_ = std::chrono::steady_clock::now();
            std::fprintf(stderr,
                         "%s: the driver's files in %s went away (driver unloaded, or the file system "
                         "serving them stopped); calls fail until they return\n",
                         driver_, directory_.c_str());
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
        std::string directory;
        std::unique_ptr<Files> files = opener_(directory);
        if (files == nullptr)
            return false;
        files_ = std::move(files);
        directory_ = std::move(directory);
        std::fprintf(stderr, "%s: the driver's files in %s are back\n", driver_, directory_.c_str());
        return true;
    }

    std::mutex mutex_;
    const char* driver_;
    std::string directory_;
    std::unique_ptr<Files> files_;  // null while the files are gone
    Opener opener_;
    std::chrono::steady_clock::time_point lastAttempt_{};
};

// What a kernel driver's service shares: the device it found, why it found
// none, both under one lock that the service's own calls take too.
class DriverService : public SMCService, public SMCDriverDevice {
public:
    std::string failureCause() override
    {
        std::lock_guard lock(mutex_);
        return cause_;
    }

    void* findCapability(SMCCapability which) override { return offer<SMCDriverDevice>(which, this); }

    std::string deviceDirectory() override
    {
        std::lock_guard lock(mutex_);
        return device_;
    }

protected:
    std::mutex mutex_;
    std::string device_;
    std::string cause_;
};

// One user-client call of a driver back-end's connection, answered by
// `Files::execute(request, reply)` on `device`'s files.
template <typename Files>
kern_return_t callDevice(ReopeningDevice<Files>& device, uint32_t selector, const void* input, size_t inputSize,
                         void* output, size_t* outputSize)
{
    if (!isRecordCall(selector, inputSize, *outputSize))
        return kIOReturnBadArgument;
    CallRecord request;
    std::memcpy(&request, input, sizeof request);
    CallRecord reply{};
    kern_return_t status = device.use([&](Files& files) { return files.execute(request, reply); });
    // A failed call leaves the caller's output as it was, as the kernel does.
    if (status == KERN_SUCCESS)
        std::memcpy(output, &reply, sizeof reply);
    return status;
}

}  // namespace platform
