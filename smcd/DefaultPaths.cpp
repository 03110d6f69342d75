#include "smcd/DefaultPaths.h"
#include "smcd/Directories.h"
#include "backends/SMCService.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace smcd {

using platform::findAppleSMCDevice;

std::string driverDevice(std::string_view spec)
{
    return resolvedDevice(spec.starts_with("applesmc:") ? std::string(spec.substr(9)) : findAppleSMCDevice());
}

std::string resolvedDevice(const std::string& directory)
{
    if (directory.empty())
        return {};
    char resolved[PATH_MAX];
    return realpath(directory.c_str(), resolved) ? std::string(resolved) : directory;
}

// Where the fans to put back are kept over real hardware when --state is
// not given: without it, a restart after kill -9 could not put them back.
// Each device directory has a state of its own.
std::string defaultDriverState(const std::string& device, std::string& problem, bool systemWide)
{
    std::string directory;
    if (systemWide) {
        mkdir("/var/lib", 0755);
        directory = "/var/lib/smcd";
    } else {
        const char* stateHome = std::getenv("XDG_STATE_HOME");
        const char* home = std::getenv("HOME");
        if (stateHome && *stateHome) {
            directory = stateHome;
        } else if (home && *home) {
            directory = std::string(home) + "/.local";
            mkdir(directory.c_str(), 0700);
            directory += "/state";
        } else {
            problem = "neither XDG_STATE_HOME nor HOME is set; choose a state file with --state";
            return {};
        }
        mkdir(directory.c_str(), 0700);
        directory += "/smcd";
    }
    problem = preparePrivateDirectory(directory, geteuid());
    return problem.empty() ? directory + "/" + driverStateName(device, driverDevice("applesmc"))
                           : std::string();
}

}  // namespace smcd
