// smcfan: list the fans, set them in rpm, or hold one at a speed for as
// long as smcfan (or the command it runs) lives.
#include "smcfan/smcfan.h"

#include "cli/Conventions.h"
#include "encodings/Encodings.h"

#if __has_include(<IOKit/IOKitSMCLease.h>)
#include <IOKit/IOKitSMCLease.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace fanclient;
using namespace smcfan;

int fail(const std::string& what)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, what.c_str());
    return 1;
}

// Opens the SMC; 0, or the problem said on stderr.
io_connect_t open()
{
    io_connect_t connection = 0;
    // SMCOpen prints its own error line on stdout; the cause goes to stderr.
    if (SMCOpen(&connection) != KERN_SUCCESS) {
        fail(openProblem());
        return 0;
    }
    return connection;
}

int noFan(const std::string& text)
{
    return fail("no fan \"" + text + "\" (or more than one of that name; give its number)");
}

// The fan that `text` names. A number costs no exchange: the fan's own keys
// say whether it exists when they are used. A name needs every fan's name.
std::optional<Fan> resolve(io_connect_t connection, const std::string& text)
{
    if (std::optional<unsigned> number = fanNumber(text)) {
        if (*number < encodings::kNamedFans)
            return Fan{*number};
        noFan(text);
        return std::nullopt;
    }
    kern_return_t status;
    std::vector<Fan> fans = readFanNames(connection, status);
    if (status != KERN_SUCCESS) {
        fail("the fan count (FNum) cannot be read: " + statusWords(status));
        return std::nullopt;
    }
    std::optional<Fan> fan = findFan(fans, text);
    if (!fan)
        noFan(text);
    return fan;
}

// Whether fan `index` is beyond those FNum counts; asked only once a write
// failed, to say why.
bool beyondCount(io_connect_t connection, unsigned index)
{
    kern_return_t status;
    uint32_t count = readFanCount(connection, status);
    return status == KERN_SUCCESS && index >= count;
}

// Fails for a speed write of `rpm` that failed with `status`, `where`
// naming the fan. A refusal is worded with the limit it crossed: the fan's
// maximum and the daemon's floor are asked for only then.
int writeFailure(io_connect_t connection, const Fan& fan, const std::string& where, Speed speed, double rpm,
                 kern_return_t status)
{
    if (status == kIOReturnNotFound && beyondCount(connection, fan.index))
        return noFan(std::to_string(fan.index));
    if (status == kIOReturnNotPrivileged)
        return fail(where + ": " + speedKey(fan.index, speed) + ": " + statusWords(connection, status));
    std::optional<double> maximum, floor;
    if (status == kIOReturnBadArgument)
        maximum = readSpeed(connection, fan.index, "Mx");
    if (maximum && rpm > *maximum) {
        char text[128];
        std::snprintf(text, sizeof text, "%.0f rpm is above its maximum of %.0f rpm", rpm, *maximum);
        return fail(where + ": " + text);
    }
    if (status == kIOReturnBadArgument)
        floor = readFloor(connection, fan.index);
    return fail(where + ": " + refusalWords(speedKey(fan.index, speed), rpm, floor, maximum, status));
}

// The daemon's fan controller and what it drives; none without a daemon or
// a controller.
std::optional<ControllerState> fanController(io_connect_t connection)
{
    ControllerState state;
    if (readController(connection, state) != KERN_SUCCESS)
        return std::nullopt;
    return state;
}

// A person's change to a fan the controller drives lasts only until its next
// write: said, with the way that lasts.
void warnDriven(const std::optional<ControllerState>& driver, unsigned fan)
{
    if (driver && driver->drives(fan))
        std::fprintf(stderr,
                     "%s: fan %u: the fan controller %s drives this fan and will change it again; "
                     "smcfan hold %u RPM keeps a speed for as long as it runs\n",
                     kProgram, fan, controllerText(driver->controller).c_str(), fan);
}

int list(io_connect_t connection)
{
    kern_return_t status;
    bool more;
    std::vector<Fan> fans = readFans(connection, status, more);
    if (status != KERN_SUCCESS)
        return fail("the fan count (FNum) cannot be read: " + statusWords(status));
    std::optional<ControllerState> driver = fanController(connection);
    if (driver)
        for (Fan& fan : fans) {
            fan.driven = driver->drives(fan.index);
            fan.held = driver->holds(fan.index);
            if (fan.index < driver->targets.size())
                fan.controllerTarget = driver->targets[fan.index];
        }
    std::fputs(listText(fans, driver ? std::optional(driver->controller) : std::nullopt).c_str(), stdout);
    if (fans.empty() && !more)
        std::fprintf(stderr, "%s: this machine has no fans (FNum is 0)\n", kProgram);
    if (more)
        return fail("FNum counts more than the 10 fans that keys can name; the others are not shown");
    return 0;
}

int set(io_connect_t connection, const Options& options)
{
    std::optional<Fan> fan = resolve(connection, options.fan);
    if (!fan)
        return 1;
#if __has_include(<IOKit/IOKitSMCLease.h>)
    // Without a daemon nothing else keeps the speed within the fan's maximum.
    if (!IOSMCConnectionIsBrokered(connection))
#endif
    {
        std::optional<double> maximum = readSpeed(connection, fan->index, "Mx");
        if (maximum && options.rpm > *maximum) {
            char text[128];
            std::snprintf(text, sizeof text, "fan %u: %.0f rpm is above its maximum of %.0f rpm", fan->index,
                          options.rpm, *maximum);
            return fail(text);
        }
    }
    if (kern_return_t status = writeSpeed(connection, fan->index, options.speed, options.rpm))
        return writeFailure(connection, *fan, "fan " + std::to_string(fan->index), options.speed, options.rpm,
                            status);
    std::optional<ControllerState> driver = fanController(connection);
    // The controller reads the minimum each poll: a minimum lasts, a target does not.
    if (options.speed == Speed::Minimum && driver && driver->drives(fan->index))
        std::fprintf(stderr, "%s: fan %u: the fan controller %s keeps the fan at or above this minimum from its next "
                             "poll\n",
                     kProgram, fan->index, controllerText(driver->controller).c_str());
    else
        warnDriven(driver, fan->index);
    return 0;
}

int mode(io_connect_t connection, const Options& options, bool manual)
{
    std::vector<unsigned> fans;
    if (manual || !options.fan.empty()) {
        std::optional<Fan> fan = resolve(connection, options.fan);
        if (!fan)
            return 1;
        fans = {fan->index};
    }
    if (!manual) {
        // Every fan, or whether the one named is there: either takes the count.
        kern_return_t status;
        uint32_t count = readFanCount(connection, status);
        if (status != KERN_SUCCESS)
            return fail("the fan count (FNum) cannot be read: " + statusWords(status));
        if (!fans.empty() && fans[0] >= count)
            return noFan(options.fan);
        if (count == 0) {
            // Nothing to put back: done, as for any machine whose fans are all automatic.
            std::fprintf(stderr, "%s: this machine has no fans (FNum is 0); nothing to do\n", kProgram);
            return 0;
        }
        if (fans.empty())
            for (unsigned index = 0; index < std::min<uint32_t>(count, encodings::kNamedFans); ++index)
                fans.push_back(index);
    }
    int result = 0;
    // Back to automatic does not last where the controller drives the fan.
    std::optional<ControllerState> driver = manual ? std::nullopt : fanController(connection);
    for (unsigned index : fans) {
        std::string key;
        kern_return_t status = setManual(connection, index, manual, &key);
        if (status == KERN_SUCCESS)
            warnDriven(driver, index);
        // A fan given by number is looked up only once its write failed,
        // perhaps for a fan the machine does not have.
        if (status != KERN_SUCCESS && manual && beyondCount(connection, index))
            return noFan(options.fan);
        if (status != KERN_SUCCESS)
            result = fail("fan " + std::to_string(index) + ": " + (key.empty() ? "" : key + ": ") +
                          statusWords(connection, status));
    }
    return result;
}

// A hold and what it set, from its start to its end: the fan's setting
// before it (what the daemon puts back) and the one it made.
struct Hold {
    io_connect_t connection = 0;  // 0 once it ended, or while the daemon is away
    Fan fan;
    std::string where;  // "fan 0 (Left)"
    double rpm = 0;
    FanSetting before, held;
    bool waiting = false;  // for the daemon to come back
};

// Sets the fan to manual at the hold's speed through its connection, which
// holds the lease; 0, or the problem said on stderr and 1.
int take(Hold& hold)
{
    io_connect_t connection = hold.connection;
    const Fan& fan = hold.fan;
    SMCVal target;
    if (kern_return_t status = writeSpeed(connection, fan.index, Speed::Target, hold.rpm, &target))
        return writeFailure(connection, fan, hold.where, Speed::Target, hold.rpm, status);
    std::string key;
    if (kern_return_t status = setManual(connection, fan.index, true, &key))
        return fail(hold.where + ": " + (key.empty() ? "" : key + ": ") + statusWords(status));
    // The target as the SMC keeps it, rounded as it keeps speeds (the
    // driver's files: whole rpm): what the hold's checks compare with.
    hold.held.target = target;
    if (kern_return_t status = readSetting(connection, fan.index, hold.held))
        return fail(hold.where + ": " + target.key + " cannot be read: " + statusWords(status));
    return 0;
}

// Takes the hold again once the daemon is back, when nobody changed the fan
// meanwhile; the hold ends when someone did. Said on stderr either way.
void retake(Hold& hold)
{
    // Asked once a second while the daemon is away: no line on stdout.
    hold.connection = openService();
    if (hold.connection == 0)
        return;
    kern_return_t lease = requestLease(hold.connection);
    FanSetting now{hold.held};
    kern_return_t status = lease != KERN_SUCCESS ? lease : readSetting(hold.connection, hold.fan.index, now);
    if (status == kIOReturnNotResponding) {  // not back after all
        SMCClose(hold.connection);
        hold.connection = 0;
        return;
    }
    hold.waiting = false;
    std::string problem = status != KERN_SUCCESS ? statusWords(status)
                          : !leftAlone(now, hold.held, hold.before)
                              ? "the fan was changed while the daemon was away"
                              : std::string();
    if (problem.empty() && take(hold) == 0) {
        std::fprintf(stderr, "%s: holding %s at %.0f rpm again\n", kProgram, hold.where.c_str(), hold.rpm);
        return;
    }
    if (!problem.empty())
        fail("the hold of " + hold.where + " is not taken again: " + problem);
    SMCClose(hold.connection);
    hold.connection = 0;
}

// Waits for SIGINT or SIGTERM, or for `child` to end; the exit status to
// end with. The hold is checked each second: one that ends underneath is
// said once and the command runs on, as the hold was no reason to run it;
// without a command, smcfan ends with 1. After the daemon went away, the
// hold is taken again once it is back.
int waitForTheEnd(pid_t child, const sigset_t& signals, Hold& hold)
{
    for (;;) {
        siginfo_t info;
        timespec second{1, 0};
        int number = sigtimedwait(&signals, &info, &second);
        if (number < 0 && errno == EAGAIN) {
            if (hold.waiting)
                retake(hold);
            bool gone = false;
            std::string ended =
                hold.connection ? holdProblem(hold.connection, hold.fan.index, hold.held.target, gone) : "";
            if (!ended.empty()) {
                // Closing the lease lets go: the daemon puts the fan back.
                SMCClose(hold.connection);
                hold.connection = 0;
                hold.waiting = gone;
                fail("the hold of " + hold.where + " ended: " + ended +
                     (gone ? "; it is taken again once the daemon is back, if nobody changes the fan meanwhile"
                           : child > 0 ? "; the command runs on"
                                       : ""));
            }
            if (child <= 0 && hold.connection == 0 && !hold.waiting)
                return 1;
            continue;
        }
        if (number < 0 && errno == EINTR)
            continue;
        if (number < 0)
            return 1;
        if (number == SIGCHLD) {
            int status;
            if (child > 0 && waitpid(child, &status, WNOHANG) == child)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            continue;
        }
        if (child <= 0)
            return 0;
        kill(child, number);  // the command decides when it ends; its end lets go
    }
}

int hold(io_connect_t connection, const Options& options)
{
    std::optional<Fan> fan = resolve(connection, options.fan);
    if (!fan)
        return 1;
    kern_return_t lease = requestLease(connection);
    if (lease == kIOReturnUnsupported)
        return fail("a hold needs the SMC daemon, which puts the fan back when smcfan ends; no daemon serves "
                    "this SMC (run smcd, or point SMC_SERVICE=unix:PATH at one)");
    if (lease == kIOReturnBadArgument)
        return fail("this daemon does not offer holds (leases); it is older than smcfan");
    if (lease != KERN_SUCCESS)
        return fail("the daemon did not grant the hold: " + statusWords(lease));

    // Signals are taken in order, from here on: none ends smcfan before it lets go.
    sigset_t signals;
    sigemptyset(&signals);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&signals, number);
    sigprocmask(SIG_BLOCK, &signals, nullptr);

    if (fan->name.empty())
        fan->name = readName(connection, fan->index);
    Hold hold{connection, *fan, "fan " + std::to_string(fan->index) + (fan->name.empty() ? "" : " (" + fan->name + ")"),
              options.rpm};
    if (std::optional<ControllerState> driver = fanController(connection); driver && driver->drives(fan->index))
        std::fprintf(stderr, "%s: %s: taking it from the fan controller %s until the hold ends\n", kProgram,
                     hold.where.c_str(), controllerText(driver->controller).c_str());
    // The fan as it was: what the daemon puts back, and so what it reads
    // after a restart when nobody else changed it.
    if (SMCVal target; SMCReadKey2(speedKey(fan->index, Speed::Target).c_str(), &target, connection) == KERN_SUCCESS &&
                       target.dataSize <= sizeof target.bytes) {
        hold.before.target = target;
        readSetting(connection, fan->index, hold.before);
    }
    if (take(hold) != 0)
        return 1;
    std::fprintf(stderr, "%s: holding %s at %.0f rpm%s\n", kProgram, hold.where.c_str(), options.rpm,
                 options.program.empty() ? "; Ctrl-C lets go" : " while the command runs");

    pid_t child = -1;
    if (!options.program.empty()) {
        std::vector<char*> argv;
        for (const std::string& argument : options.program)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        int error = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        if (error != 0) {
            SMCClose(connection);
            return fail("cannot run " + options.program[0] + ": " + std::strerror(error));
        }
    }
    int result = waitForTheEnd(child, signals, hold);
    // Closing the lease is what lets go: the daemon puts the fan back.
    if (hold.connection != 0)
        SMCClose(hold.connection);
    return result;
}

}  // namespace

int main(int argc, char* argv[])
{
    std::string problem;
    std::optional<Options> options = parseOptions({argv + 1, argv + argc}, problem);
    if (!options)
        return cli::usageError(kProgram, problem);
    if (options->command == Command::Help)
        return cli::printText(kProgram, usage());
    if (options->command == Command::Version)
        return cli::printVersion(kProgram);
    io_connect_t connection = open();
    if (connection == 0)
        return 1;
    int result = 0;
    switch (options->command) {
    case Command::List:
        result = list(connection);
        break;
    case Command::Set:
        result = set(connection, *options);
        break;
    case Command::Manual:
    case Command::Auto:
        result = mode(connection, *options, options->command == Command::Manual);
        break;
    case Command::Hold:
        return hold(connection, *options);
    default:
        break;
    }
    SMCClose(connection);
    if (std::fflush(stdout) != 0)
        return 1;
    return result;
}
