// The one place where the process's SMC back-end is chosen.
#include "iokit/AppleSMCService.h"
#include "iokit/SMCService.h"
#include "smcemu/EmulatedSMC.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace platform {
namespace {

// The built-in machine when nobody asked for it: a write succeeds but lasts
// only as long as the process, which surprises whoever expected a real SMC.
class DefaultEmulatedService final : public SMCService {
public:
    explicit DefaultEmulatedService(std::shared_ptr<EmulatedSMC> smc) : smc_(std::move(smc)) {}

    kern_return_t open(std::unique_ptr<SMCConnection>& connection) override
    {
        std::unique_ptr<SMCConnection> inner;
        kern_return_t status = smc_->open(inner);
        if (status == KERN_SUCCESS)
            connection = std::make_unique<NotingConnection>(std::move(inner));
        return status;
    }

private:
    class NotingConnection final : public SMCConnection {
    public:
        explicit NotingConnection(std::unique_ptr<SMCConnection> inner) : inner_(std::move(inner)) {}
        kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                           size_t* outputSize) override
        {
            constexpr size_t kCommandOffset = 42;
            constexpr uint8_t kWriteKey = 6;
            kern_return_t status = inner_->call(selector, input, inputSize, output, outputSize);
            if (status == KERN_SUCCESS && inputSize > kCommandOffset &&
                static_cast<const uint8_t*>(input)[kCommandOffset] == kWriteKey && !noted.exchange(true))
                std::fprintf(stderr,
                             "note: this write went to the built-in emulated SMC and lasts only for this "
                             "process; run smcd to keep writes (see SMC_SERVICE)\n");
            return status;
        }

    private:
        std::unique_ptr<SMCConnection> inner_;
    };

    static inline std::atomic<bool> noted{false};
    std::shared_ptr<EmulatedSMC> smc_;
};

}  // namespace

std::shared_ptr<SMCService> selectSMCService(const char* setting, std::string& cause)
{
    std::string_view choice = setting ? setting : "";
    if (choice == "none") {
        cause = "SMC_SERVICE=none: no SMC on this machine";
        return nullptr;
    }
    if (choice.starts_with("unix:"))
        return makeUnixSMCService(std::string(choice.substr(5)));
    if (choice == "applesmc")
        return makeAppleSMCService({});
    if (choice.starts_with("applesmc:"))
        return makeAppleSMCService(std::string(choice.substr(9)));
    if (choice.empty()) {
        // A daemon that answers holds the machine's shared SMC; else the real
        // one through the driver; else the built-in machine.
        if (auto daemon = makeUnixSMCService({}); daemon->present())
            return daemon;
        if (std::string device = findAppleSMCDevice(); !device.empty())
            return makeAppleSMCService(device);
    }
    bool builtin = choice.empty() || choice == "builtin";
    std::string error;
    std::shared_ptr<EmulatedSMC> smc = loadEmulatedSMC(builtin ? nullptr : setting, error);
    if (smc == nullptr) {
        std::fprintf(stderr, "SMC_SERVICE: cannot load profile %s\n", error.c_str());
        cause = "the profile " + error + " did not load";
        return nullptr;
    }
    if (choice.empty())
        return std::make_shared<DefaultEmulatedService>(std::move(smc));
    return smc;
}

}  // namespace platform
