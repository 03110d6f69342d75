#include "smcd/Options.h"

#include "cli/Conventions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <getopt.h>
#include <grp.h>
#include <pwd.h>

namespace smcd {

std::optional<double> parseFanFloor(const char* text)
{
    char* end = nullptr;
    errno = 0;
    double rpm = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(rpm) || rpm < 0)
        return std::nullopt;
    return rpm;
}

namespace {

// A user or group id from a name, or from a number where no name matches.
template <typename Lookup>
std::optional<uint32_t> idOf(const std::string& text, Lookup lookup)
{
    if (text.empty())
        return std::nullopt;
    if (std::optional<uint32_t> id = lookup(text.c_str()))
        return id;
    char* end = nullptr;
    errno = 0;
    unsigned long number = std::strtoul(text.c_str(), &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || number >= uint32_t(-1))
        return std::nullopt;
    return uint32_t(number);
}

}  // namespace

std::optional<ControllerIdentity> parseControllerIdentity(const char* text, std::string& problem)
{
    std::string whole = text;
    size_t colon = whole.find(':');
    std::string user = whole.substr(0, colon);
    std::string group = colon == std::string::npos ? "" : whole.substr(colon + 1);
    ControllerIdentity identity;
    if (!user.empty() && !(identity.user = idOf(user, [](const char* name) {
            const passwd* entry = getpwnam(name);
            return entry ? std::optional<uint32_t>(entry->pw_uid) : std::nullopt;
        }))) {
        problem = "no user named " + user;
        return std::nullopt;
    }
    if (colon != std::string::npos && !(identity.group = idOf(group, [](const char* name) {
            const struct group* entry = getgrnam(name);
            return entry ? std::optional<uint32_t>(entry->gr_gid) : std::nullopt;
        }))) {
        problem = group.empty() ? "expected USER, USER:GROUP or :GROUP, not \"" + whole + "\""
                                : "no group named " + group;
        return std::nullopt;
    }
    if (!identity.user && !identity.group) {
        problem = "expected USER, USER:GROUP or :GROUP, not \"" + whole + "\"";
        return std::nullopt;
    }
    return identity;
}

std::string usageText()
{
    return std::string("Usage: ") + kProgram +
           " [options]\n"
           "Serves one SMC to every process over a Unix socket; point clients at it with\n"
           "SMC_SERVICE=unix:PATH. Runs in the foreground until SIGINT, SIGTERM or SIGHUP,\n"
           "then puts back every fan changed through it. Clients with SMC_SERVICE unset take\n"
           "their own smcd, then the system's at /run/smcd.sock, then the applesmc driver,\n"
           "then the macsmc_hwmon driver, else no SMC; SMC_SERVICE=builtin is the emulated\n"
           "machine, in each process alone.\n"
           "    -s, --socket PATH     where to listen (default: $XDG_RUNTIME_DIR/smcd.sock, else\n"
           "                          /run/smcd.sock for root, else ${TMPDIR:-/tmp}/smcd-UID/\n"
           "                          smcd.sock; yours: " +
           platform::protocol::defaultSocketPath() + ")\n"
           "        --service SPEC    the SMC: a profile path, builtin, applesmc[:DIR],\n"
           "                          macsmc[:DIR] (default: the applesmc driver, else the\n"
           "                          macsmc_hwmon one; without either, smcd does not start)\n"
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
           "Exit status: 0 stopped cleanly, 1 failure, 2 a usage error.\n";
}

namespace {

enum LongOnly { kService = 256, kFanFloor, kKeepFans, kFanModel, kThermalModel, kLoad, kController, kVersion };

std::nullopt_t failWith(std::string& error, std::string problem)
{
    error = std::move(problem);
    return std::nullopt;
}

// Sets the option that getopt_long returned as `letter`, with its argument
// in optarg; false, with the problem in `error`, when the argument is wrong
// or `letter` is none of these options.
bool setOption(Options& options, int letter, std::string& error)
{
    auto fail = [&error](std::string problem) {
        error = std::move(problem);
        return false;
    };
    switch (letter) {
    case 's':
        options.socketPath = optarg;
        return true;
    case 'p':
    case kService:
        options.service = optarg;
        return true;
    case 'w': {
        std::string problem;
        options.writable = parseWritePolicy(optarg, problem);
        if (!options.writable)
            return fail("--writable: " + problem);
        return true;
    }
    case kFanFloor:
        options.fanFloor = parseFanFloor(optarg);
        if (!options.fanFloor)
            return fail(std::string("--fan-floor: expected a speed in rpm, not \"") + optarg + "\"");
        return true;
    case kKeepFans:
        options.keepFans = true;
        return true;
    case kFanModel:
        if (std::string_view(optarg) != "on" && std::string_view(optarg) != "off")
            return fail(std::string("--fan-model: expected on or off, not \"") + optarg + "\"");
        options.fanModel = std::string_view(optarg) == "on";
        return true;
    case kThermalModel:
        if (std::string_view(optarg) != "on" && std::string_view(optarg) != "off")
            return fail(std::string("--thermal-model: expected on or off, not \"") + optarg + "\"");
        options.thermalModel = std::string_view(optarg) == "on";
        return true;
    case kLoad:
        options.loadPath = optarg;
        return true;
    case 'S':
        options.statePath = optarg;
        return true;
    case 'r':
        options.readOnly = true;
        return true;
    case 'g':
        options.group = optarg;
        return true;
    case kController: {
        std::string problem;
        std::optional<ControllerIdentity> identity = parseControllerIdentity(optarg, problem);
        if (!identity)
            return fail("--controller: " + problem);
        options.controllers = *identity;
        return true;
    }
    }
    return false;
}

}  // namespace

std::optional<Options> parseOptions(int argc, char* argv[], std::string& error)
{
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
    Options options;
    error.clear();
    optind = 0;  // a fresh scan, also when called more than once
    opterr = 0;  // said once, in our own words
    int letter;
    while ((letter = getopt_long(argc, argv, kOptionString, longOptions, nullptr)) != -1) {
        if (letter == 'h' || letter == kVersion) {
            (letter == 'h' ? options.help : options.version) = true;
            return options;  // the rest of the line is not looked at
        }
        if (!setOption(options, letter, error)) {
            if (error.empty())
                error = cli::getoptProblem(letter, kOptionString, argv);
            return std::nullopt;
        }
    }
    if (optind < argc)
        return failWith(error, std::string("unexpected argument \"") + argv[optind] + "\"");
    // A trace drives an emulated machine's heat; over the driver there is none.
    if (options.loadPath && (!options.service || std::string_view(options.service) == "applesmc" ||
                             std::string_view(options.service).starts_with("applesmc:")))
        return failWith(error, "--load needs an emulated SMC: --service builtin or a profile");
    return options;
}

}  // namespace smcd
