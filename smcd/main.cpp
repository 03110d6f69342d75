// smcd's command line: options in, the daemon started, its exit status out.
#include "smcd/Daemon.h"
#include "smcd/Options.h"
#include "backends/DaemonProtocol.h"

#include "cli/Conventions.h"

#include <cstdio>
#include <getopt.h>
#include <string>
#include <string_view>

namespace {

using smcd::kProgram;

void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: %s [options]\n"
                 "Serves one SMC to every process over a Unix socket; point clients at it with\n"
                 "SMC_SERVICE=unix:PATH. Runs in the foreground until SIGINT, SIGTERM or SIGHUP,\n"
                 "then puts back every fan changed through it. Clients with SMC_SERVICE unset take\n"
                 "their own smcd, then the system's at /run/smcd.sock, then the applesmc driver,\n"
                 "else no SMC; SMC_SERVICE=builtin is the emulated machine, in each process alone.\n"
                 "    -s, --socket PATH     where to listen (default: $XDG_RUNTIME_DIR/smcd.sock, else\n"
                 "                          /run/smcd.sock for root, else ${TMPDIR:-/tmp}/smcd-UID/\n"
                 "                          smcd.sock; yours: %s)\n"
                 "        --service SPEC    the SMC: a profile path, builtin, applesmc[:DIR] (default:\n"
                 "                          the driver; without one, smcd does not start)\n"
                 "    -p, --profile FILE    the same as --service FILE\n"
                 "    -S, --state FILE      keep written values of an emulated SMC and the fans to put\n"
                 "                          back in FILE: every acknowledged change is on disk before\n"
                 "                          its answer, and is loaded again at start; FILE's directory\n"
                 "                          must be writable by you alone, and one daemon at a time\n"
                 "                          holds FILE (lock: FILE.lock). Over the driver the default\n"
                 "                          is /var/lib/smcd/state for root (another device directory\n"
                 "                          than the machine's: a state named after it, beside it)\n"
                 "    -w, --writable WHAT   fans, all, none or KEY,KEY...: the writes let through\n"
                 "                          (default: fans over the driver, all over an emulated SMC,\n"
                 "                          whose profile marks its writable keys); others answer\n"
                 "                          kIOReturnNotPrivileged\n"
                 "    -r, --read-only       the same as --writable none\n"
                 "        --fan-floor RPM   the lowest fan minimum or target a write may set (default:\n"
                 "                          each fan's minimum at start); above F<n>Mx is refused too\n"
                 "        --keep-fans       leave fans as they are when stopping\n"
                 "        --fan-model on|off  emulated fans that follow their targets (default: on for\n"
                 "                          the built-in machine)\n"
                 "        --thermal-model on|off  emulated temperatures that the load heats and the fans\n"
                 "                          cool (default: on for the built-in machine and for\n"
                 "                          profiles that ask for it); fans move with it\n"
                 "        --load FILE       the thermal model's load trace (smcd(8)); SIGUSR1 reads it\n"
                 "                          again and starts its time at 0 (default: a constant idle load)\n"
                 "    -g, --group NAME      let members of group NAME connect too (socket mode 0660;\n"
                 "                          without it, 0600: the owner only)\n"
                 "        --controller WHO  USER, USER:GROUP or :GROUP: who besides root may claim the\n"
                 "                          fans as their controller (default: smcd's own user)\n"
                 "    -h, --help            this text\n"
                 "        --version         print the version\n"
                 "Exit status: 0 stopped cleanly, 1 failure, 2 a usage error.\n",
                 kProgram, platform::protocol::defaultSocketPath().c_str());
}

}  // namespace

int main(int argc, char* argv[])
{
    enum { kService = 256, kFanFloor, kKeepFans, kFanModel, kThermalModel, kLoad, kController, kVersion };
    static const option longOptions[] = {
        {"socket", required_argument, nullptr, 's'},     {"profile", required_argument, nullptr, 'p'},
        {"service", required_argument, nullptr, kService}, {"state", required_argument, nullptr, 'S'},
        {"read-only", no_argument, nullptr, 'r'},        {"writable", required_argument, nullptr, 'w'},
        {"fan-floor", required_argument, nullptr, kFanFloor}, {"keep-fans", no_argument, nullptr, kKeepFans},
        {"fan-model", required_argument, nullptr, kFanModel}, {"group", required_argument, nullptr, 'g'},
        {"thermal-model", required_argument, nullptr, kThermalModel}, {"load", required_argument, nullptr, kLoad},
        {"controller", required_argument, nullptr, kController},
        {"help", no_argument, nullptr, 'h'},              {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    constexpr const char* kOptionString = ":s:p:S:rw:g:h";
    smcd::Options options;
    opterr = 0;  // said once, in our own words
    int letter;
    while ((letter = getopt_long(argc, argv, kOptionString, longOptions, nullptr)) != -1) {
        switch (letter) {
        case 's':
            options.socketPath = optarg;
            break;
        case 'p':
        case kService:
            options.service = optarg;
            break;
        case 'w': {
            std::string problem;
            options.writable = smcd::parseWritePolicy(optarg, problem);
            if (!options.writable)
                return cli::usageError(kProgram, "--writable: " + problem);
            break;
        }
        case kFanFloor:
            options.fanFloor = smcd::parseFanFloor(optarg);
            if (!options.fanFloor)
                return cli::usageError(kProgram,
                                       std::string("--fan-floor: expected a speed in rpm, not \"") + optarg + "\"");
            break;
        case kKeepFans:
            options.keepFans = true;
            break;
        case kFanModel:
            if (std::string_view(optarg) != "on" && std::string_view(optarg) != "off")
                return cli::usageError(kProgram, std::string("--fan-model: expected on or off, not \"") + optarg + "\"");
            options.fanModel = std::string_view(optarg) == "on";
            break;
        case kThermalModel:
            if (std::string_view(optarg) != "on" && std::string_view(optarg) != "off")
                return cli::usageError(kProgram,
                                       std::string("--thermal-model: expected on or off, not \"") + optarg + "\"");
            options.thermalModel = std::string_view(optarg) == "on";
            break;
        case kLoad:
            options.loadPath = optarg;
            break;
        case 'S':
            options.statePath = optarg;
            break;
        case 'r':
            options.readOnly = true;
            break;
        case 'g':
            options.group = optarg;
            break;
        case kController: {
            std::string problem;
            std::optional<smcd::ControllerIdentity> identity = smcd::parseControllerIdentity(optarg, problem);
            if (!identity)
                return cli::usageError(kProgram, "--controller: " + problem);
            options.controllers = *identity;
            break;
        }
        case 'h':
            usage(stdout);
            return cli::outputStatus(kProgram);
        case kVersion:
            return cli::printVersion(kProgram);
        default:
            return cli::usageError(kProgram, cli::getoptProblem(letter, kOptionString, argv));
        }
    }
    if (optind < argc)
        return cli::usageError(kProgram, std::string("unexpected argument \"") + argv[optind] + "\"");
    // A trace drives an emulated machine's heat; over the driver there is none.
    if (options.loadPath && (!options.service || std::string_view(options.service) == "applesmc" ||
                             std::string_view(options.service).starts_with("applesmc:")))
        return cli::usageError(kProgram, "--load needs an emulated SMC: --service builtin or a profile");
    smcd::Daemon daemon(std::move(options));
    if (!daemon.start())
        return 1;
    return daemon.run();
}
