// An emulated SMC loaded from a machine profile.
#include "backends/emulated/EmulatedSMC.h"

#include <cerrno>
#include <cstring>

namespace platform {

std::shared_ptr<EmulatedSMC> loadEmulatedSMC(const char* path, std::string& error)
{
    std::string text;
    std::string name = path ? path : "builtin";
    if (path == nullptr) {
        text = builtinSMCProfile();
    } else if (!readTextFile(path, text)) {
        error = name + ": cannot read: " + std::strerror(errno);
        return nullptr;
    }
    std::vector<SMCKeyEntry> keys;
    std::optional<ThermalParameters> thermal;
    if (std::optional<ProfileError> failed = parseSMCProfile(text, keys, &thermal)) {
        error = name + ":" + std::to_string(failed->line) + ": " + failed->problem;
        return nullptr;
    }
    auto smc = std::make_shared<EmulatedSMC>(std::move(keys));
    // The parser checked every placed key: switching on cannot fail here.
    if (thermal)
        smc->setThermalModel(std::move(*thermal));
    return smc;
}

}  // namespace platform
