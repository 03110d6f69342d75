// The one place where the process's SMC back-end is chosen.
#include "backends/SMCService.h"
#include "backends/applesmc/AppleSMCService.h"
#include "backends/DaemonProtocol.h"
#include "backends/emulated/EmulatedSMC.h"
#include "backends/macsmc/MacSMCService.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
namespace {

// Whether the daemon behind `service` serves an emulated SMC; a daemon that
// cannot say is taken for one over the real SMC.
bool servesEmulated(SMCService& service)
{
    std::unique_ptr<SMCConnection> connection;
    uint8_t record[protocol::kRecordSize] = {}, reply[protocol::kRecordSize] = {};
    if (service.open(connection) != KERN_SUCCESS)
        return false;
    SMCDaemonRequests* daemon = connection->capability<SMCDaemonRequests>();
    return daemon && daemon->daemonRequest(protocol::kServiceKindMethod, record, reply) == KERN_SUCCESS &&
           reply[0] == 1;
}

// A user's own daemon over an emulated machine takes over every tool run
// without SMC_SERVICE: each tool says so once, so that made-up readings are
// never taken for the machine's.
void sayEmulated(SMCService& service, const std::string& path)
{
    static std::atomic<bool> said{false};
    if (said.load() || !servesEmulated(service) || said.exchange(true))
        return;
    std::fprintf(stderr, "%s: using the emulated SMC of your own smcd at %s (SMC_SERVICE unset), not this machine's\n",
                 program_invocation_short_name, path.c_str());
}

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
    if (choice == "macsmc")
        return makeMacSMCService({});
    if (choice.starts_with("macsmc:"))
        return makeMacSMCService(std::string(choice.substr(7)));
    if (choice.empty()) {
        // A daemon holds the machine's shared SMC: the user's own first, then
        // the one root runs for everyone; else the real one through the
        // drivers, Intel's then Apple Silicon's. Plausible values of an
        // emulated machine must never stand in for an SMC that is not there.
        std::vector<std::string> paths{protocol::defaultSocketPath()};
        if (paths[0] != protocol::kSystemSocketPath)  // root's own daemon is the system's
            paths.push_back(protocol::kSystemSocketPath);
        std::string tried;
        for (const std::string& path : paths) {
            auto daemon = makeUnixSMCService(path);
            if (daemon->present()) {
                if (path != protocol::kSystemSocketPath)
                    sayEmulated(*daemon, path);
                return daemon;
            }
            tried += daemon->failureCause() + "; ";
        }
        if (std::string device = findAppleSMCDevice(); !device.empty())
            return makeAppleSMCService(device);
        if (std::string hwmon = findMacSMCHwmon(); !hwmon.empty())
            return makeMacSMCService(hwmon);
        cause = tried + "no applesmc driver device; no macsmc_hwmon driver in /sys/class/hwmon; "
                        "SMC_SERVICE=builtin serves an emulated machine";
        return nullptr;
    }
    std::string error;
    std::shared_ptr<EmulatedSMC> smc = loadEmulatedSMC(choice == "builtin" ? nullptr : setting, error);
    if (smc == nullptr) {
        std::fprintf(stderr, "SMC_SERVICE: cannot load profile %s\n", error.c_str());
        cause = "the profile " + error + " did not load";
        return nullptr;
    }
    return smc;
}

std::shared_ptr<SMCService> selectSMCService(const char* setting, std::string& cause, SMCServiceUser user,
                                             std::string& chosen)
{
    chosen = setting ? setting : "";
    if (setting == nullptr && user == SMCServiceUser::Daemon) {
        // Without a driver there is no SMC to serve: an emulated one would give
        // every client made-up readings, so it is served only when named.
        if (std::string device = findAppleSMCDevice(); !device.empty()) {
            chosen = "applesmc:" + device;
        } else if (std::string hwmon = findMacSMCHwmon(); !hwmon.empty()) {
            chosen = "macsmc:" + hwmon;
        } else {
            chosen.clear();
            cause = "no applesmc or macsmc_hwmon driver on this machine";
            return nullptr;
        }
    }
    return selectSMCService(setting ? setting : chosen.c_str(), cause);
}

}  // namespace platform
