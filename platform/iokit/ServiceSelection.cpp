// The one place where the process's SMC back-end is chosen.
#include "iokit/SMCService.h"
#include "smcemu/EmulatedSMC.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace platform {

std::shared_ptr<SMCService> selectSMCService(const char* setting, std::string& cause)
{
    std::string_view choice = setting ? setting : "";
    if (choice == "none") {
        cause = "SMC_SERVICE=none: no SMC on this machine";
        return nullptr;
    }
    if (choice.starts_with("unix:"))
        return makeUnixSMCService(std::string(choice.substr(5)));
    bool builtin = choice.empty() || choice == "builtin";
    std::string error;
    std::shared_ptr<EmulatedSMC> smc = loadEmulatedSMC(builtin ? nullptr : setting, error);
    if (smc == nullptr) {
        std::fprintf(stderr, "SMC_SERVICE: cannot load profile %s\n", error.c_str());
        cause = "the profile " + error + " did not load";
    }
    return smc;
}

}  // namespace platform
