// smcfand: drives the machine's fans by their temperatures, as a client of
// smcd that holds a lease on them, so that the broker gives them back to
// the SMC when smcfand ends in any way.
#include "smcfand/Config.h"
#include "smcfand/FanLoop.h"
#include "smcfand/Sensors.h"

#include "cli/Conventions.h"
#include "fanclient/FanClient.h"

#include <IOKit/IOKitSMCLease.h>
#include "LogindSleep.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <getopt.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

using namespace smcfand;

constexpr const char* kProgram = "smcfand";
constexpr const char* kControllerName = "smcfand";

struct Options {
    std::string config;  // empty: the default file when it exists
    bool check = false;
    bool dryRun = false;
    std::optional<double> poll;
    std::optional<Profile> profile;
};

void usage()
{
    std::printf("Usage: %s [options]\n"
                "Drives the fans by their temperatures through smcd, which gives them back to the\n"
                "SMC if smcfand ends in any way. Runs in the foreground until SIGINT or SIGTERM,\n"
                "then puts its fans back into automatic mode. SIGHUP reads the configuration\n"
                "again and keeps the fans: a valid file applies from the next poll, an invalid\n"
                "one is reported and the running one kept.\n"
                "    -c, --config FILE   the configuration (default: %s when it exists,\n"
                "                        else every fan follows the CPU by the default curve)\n"
                "        --check [FILE]  check the configuration and print each fan's curve, against\n"
                "                        the machine's fans when an SMC answers; exit 0 or 1\n"
                "    -n, --dry-run       decide but write nothing: print each speed it would set,\n"
                "                        marked \"dry run: \"; works on any SMC, without smcd\n"
                "        --poll SECONDS  time between readings (default: the file's poll, else 0.5)\n"
                "        --profile NAME  quiet, balanced or performance (default: the file's\n"
                "                        profile, else balanced); the file's settings override it\n"
                "    -h, --help          this text\n"
                "        --version       print the version\n"
                "The SMC is the one that SMC_SERVICE names, as for every program of the package.\n"
                "Exit status: 0 stopped by a signal, a machine without fans (or --check found\n"
                "nothing wrong), 1 cannot run, 2 a usage error.\n",
                kProgram, kDefaultConfigPath);
}

// Log lines: the journal stamps its own time; a terminal gets a short one.
void say(const std::string& line)
{
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    char stamp[16] = "";
    if (!journal) {
        time_t now = time(nullptr);
        tm local{};
        localtime_r(&now, &local);
        strftime(stamp, sizeof stamp, "%H:%M:%S ", &local);
    }
    std::fprintf(stderr, "%s%s: %s\n", stamp, kProgram, line.c_str());
}

int fail(const std::string& what)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, what.c_str());
    return 1;
}

// Opens the SMC without the access layer's own words on standard output;
// 0 with the cause in `problem` when it cannot.
io_connect_t openSMC(std::string& problem)
{
    io_connect_t connection = fanclient::openService();
    if (connection == 0)
        problem = fanclient::openProblem();
    return connection;
}

enum class Claim { Done, TryAgain, NoDaemon };

// Opens the SMC and, unless dry-running, takes the fans: smcd's lease and
// its one fan controller, promising a message every `poll` ms. The
// connection goes into `connection`; why not into `problem`, and the
// refusal's status into `status`.
Claim claim(io_connect_t& connection, bool dryRun, uint32_t poll, std::string& problem, kern_return_t& status)
{
    status = KERN_SUCCESS;
    connection = openSMC(problem);
    if (connection == 0)
        return Claim::TryAgain;
    if (dryRun)
        return Claim::Done;
    if (!IOSMCConnectionIsBrokered(connection)) {
        SMCClose(connection);
        connection = 0;
        problem = "needs smcd, which gives the fans back to the SMC if smcfand dies; this SMC is not served by "
                  "smcd (start smcd, or point SMC_SERVICE=unix:PATH at one; --dry-run works without it)";
        return Claim::NoDaemon;
    }
    fanclient::Controller holder;
    status = fanclient::claimFanControl(connection, kControllerName, poll, holder);
    if (status == KERN_SUCCESS)
        return Claim::Done;
    SMCClose(connection);
    connection = 0;
    if (status == kIOReturnExclusiveAccess) {
        if (holder.name.empty())
            holder.name = "another controller";
        problem = "fans are already driven by " + fanclient::controllerText(holder);
    } else if (status == kIOReturnNotPrivileged) {
        problem = "smcd does not let uid " + std::to_string(getuid()) +
                  " drive the fans (smcd --controller names who may)";
    } else if (status == kIOReturnBadArgument) {
        problem = "this smcd does not know fan controllers; it is older than smcfand (update smcd and restart it)";
    } else if (connectionLost(status)) {
        problem = "smcd does not answer";
    } else {
        problem = "smcd did not hand over the fans: " + fanclient::statusWords(status);
    }
    return Claim::TryAgain;
}

// The fans to drive on this machine, from `config`; nothing after saying why.
std::optional<std::vector<FanPlan>> planFans(io_connect_t connection, const Config& config)
{
    std::vector<std::string> errors, notes;
    std::optional<std::vector<FanPlan>> plans = smcfand::planFans(connection, config, errors, notes);
    for (const std::string& note : notes)
        say(note);
    for (const std::string& error : errors)
        fail(error);
    return plans;
}

// The configuration the options name (the default file when it exists),
// with the command line's profile; nothing after saying why not.
std::optional<Config> readConfig(const Options& options)
{
    Config config;
    std::string path = options.config;
    if (path.empty() && access(kDefaultConfigPath, F_OK) == 0)
        path = kDefaultConfigPath;
    if (!path.empty()) {
        std::vector<std::string> errors;
        std::optional<Config> loaded = loadConfig(path, errors);
        for (const std::string& error : errors)
            fail(error);
        if (!loaded)
            return std::nullopt;
        config = std::move(*loaded);
    }
    if (options.profile)
        chooseProfile(config, *options.profile);
    return config;
}

// Waits up to `seconds` for SIGINT, SIGTERM or SIGHUP (blocked in
// `signals`); the signal, or 0 when the time ran out.
int waitForSignal(const sigset_t& signals, double seconds)
{
    for (;;) {
        seconds = std::max(seconds, 0.0);
        timespec wait{time_t(seconds), long((seconds - std::floor(seconds)) * 1e9)};
        int number = sigtimedwait(&signals, nullptr, &wait);
        if (number > 0)
            return number;
        if (errno != EINTR)
            return 0;
    }
}

// waitForSignal() that also ends when `wake` is readable, for signals read
// from `signalFd`: the signal, or 0 when the time ran out or `wake` woke it.
int waitForSignalOrWake(int signalFd, double seconds, int wake)
{
    pollfd waits[] = {{signalFd, POLLIN, 0}, {wake, POLLIN, 0}};  // a negative descriptor is skipped
    int milliseconds = int(std::ceil(std::max(seconds, 0.0) * 1000));
    if (::poll(waits, 2, milliseconds) <= 0)
        return 0;  // an interruption is a poll early, as a wake is
    signalfd_siginfo signal{};
    if ((waits[0].revents & POLLIN) && read(signalFd, &signal, sizeof signal) == ssize_t(sizeof signal))
        return int(signal.ssi_signo);
    return 0;
}

std::string curveText(const FanPlan& plan)
{
    std::string text;
    for (const CurvePoint& point : plan.curve.points())
        text += (text.empty() ? "" : ", ") + degrees(point.celsius) + " " + unitText(plan.unit) + " " +
                std::to_string(std::lround(point.rpm)) + " rpm";
    std::string sensors;
    for (const std::string& sensor : plan.sensors)
        sensors += (sensors.empty() ? "" : ", ") + sensor;
    return "driving fan " + std::to_string(plan.index) + (plan.name.empty() ? "" : " (" + plan.name + ")") + " by the " +
           (plan.combine == Combine::Max ? "max" : "mean") + " of " + sensors + ": " + text +
           (plan.limits.empty() ? "" : "; no slower than the default curve for the max of " + [&] {
               std::string limits;
               for (const std::string& sensor : plan.limits)
                   limits += (limits.empty() ? "" : ", ") + sensor;
               return limits;
           }());
}

// Takes the fans, trying again after 1 s, then waits growing to 5 s, while
// smcd is away or refuses the claim; each cause is said once. 0 once taken,
// the signal that came first, or -1 when this SMC can never be smcd's. A
// SIGHUP meanwhile sets `reread`.
int takeFans(io_connect_t& connection, const Options& options, double poll, const sigset_t& signals, bool first,
             bool& reread)
{
    std::string problem, said;
    kern_return_t status;
    for (double backoff = 1;; backoff = std::min(backoff * 2, 5.0)) {
        Claim claimed = claim(connection, options.dryRun, uint32_t(std::lround(poll * 1000)), problem, status);
        if (claimed == Claim::Done)
            return 0;
        // SMC_SERVICE naming no smcd at the start stays so; later it is
        // smcd restarting.
        if (claimed == Claim::NoDaemon && first) {
            fail(problem);
            return -1;
        }
        std::string cause = std::to_string(int(claimed)) + " " + std::to_string(status);
        if (cause != said)
            say(problem + "; trying again every few seconds");
        said = cause;
        int number = waitForSignal(signals, backoff);
        reread = reread || number == SIGHUP;
        if (number != 0 && number != SIGHUP)
            return number;
    }
}

// Reads the configuration again for `loop`, on `connection`: applied from
// the next poll when it is valid, else said why and the running one kept.
// The poll stays: smcd holds smcfand to the one it promised.
void reload(const Options& options, io_connect_t connection, FanLoop& loop, const Tuning& running)
{
    const std::string keeping = "configuration not reloaded; running on the one before";
    std::optional<Config> config = readConfig(options);
    std::optional<std::vector<FanPlan>> plans = config ? planFans(connection, *config) : std::nullopt;
    if (!plans) {
        say(keeping);
        return;
    }
    Tuning tuning = config->tuning;
    if (tuning.poll != running.poll && !options.poll)
        say("poll = " + degrees(tuning.poll) + " s takes effect when smcfand restarts; polling every " +
            degrees(running.poll) + " s");
    tuning.poll = running.poll;
    loop.reconfigure(*plans, tuning);
    say("configuration read again (SIGHUP); profile " + std::string(profileName(config->profile)));
    for (const FanPlan& plan : *plans)
        say(curveText(plan));
}

// Whether the machine has no fans at all (FNum reads 0), said once: nothing
// to drive is no failure, and a service manager must not restart it.
bool fanless()
{
    std::string problem;
    io_connect_t connection = openSMC(problem);
    if (connection == 0)
        return false;  // said when the fans are taken
    kern_return_t status;
    uint32_t count = fanclient::readFanCount(connection, status);
    SMCClose(connection);
    if (status != KERN_SUCCESS || count != 0)
        return false;
    say("this machine has no fans (FNum is 0): nothing to drive");
    return true;
}

int run(const Options& options, Config config)
{
    // Signals are taken in order, between polls: none ends smcfand before
    // it gives the fans back.
    sigset_t signals;
    sigemptyset(&signals);
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, number);
    sigprocmask(SIG_BLOCK, &signals, nullptr);

    Tuning tuning = config.tuning;
    if (options.poll)
        tuning.poll = *options.poll;
    if (fanless())
        return 0;
    io_connect_t connection = 0;
    auto stopping = [&](int number) {
        say(std::string("stopping (SIG") + sigabbrev_np(number) + ")");
        return 0;
    };
    bool reread = false;
    if (int taken = takeFans(connection, options, tuning.poll, signals, true, reread))
        return taken < 0 ? 1 : stopping(taken);
    // A SIGHUP while waiting for smcd: the file as it is now, if valid.
    if (std::optional<Config> again = reread ? readConfig(options) : std::nullopt)
        config = std::move(*again);
    reread = false;
    std::optional<std::vector<FanPlan>> plans = planFans(connection, config);
    if (!plans) {
        SMCClose(connection);
        return 1;
    }
    for (const FanPlan& plan : *plans)
        say((options.dryRun ? "dry run, writing nothing: " : "") + curveText(plan));
    // Each poll asks smcd which fans are held: that question is also the
    // heartbeat without which smcd takes the fans back.
    FanLoop loop(connection, *plans, tuning, say, options.dryRun, [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    });

    // logind's word of a resume takes the fans again at once, whatever the poll.
    platform::LogindSleep logind(kProgram);
    struct Closing {
        int fd;
        ~Closing() { if (fd >= 0) close(fd); }
    } signalFd{signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK)};
    auto waitForSignalOrResume = [&](double seconds) {
        if (signalFd.fd < 0)
            return waitForSignal(signals, seconds);
        int number = waitForSignalOrWake(signalFd.fd, seconds, logind.fd());
        if (logind.process() == false)
            loop.woke();
        return number;
    };

    auto next = Clock::now();
    for (;;) {
        if (loop.poll(Clock::now()) == FanLoop::State::Lost) {
            say(std::string("lost smcd (stopped or restarted, or it found this controller silent too long)") +
                (options.dryRun ? "" : "; it gave the fans back to the SMC") + ". Connecting again");
            SMCClose(connection);
            connection = 0;
            int number = waitForSignal(signals, 1);
            reread = reread || number == SIGHUP;
            if (number != 0 && number != SIGHUP)
                return stopping(number);
            if (int taken = takeFans(connection, options, tuning.poll, signals, false, reread))
                return stopping(taken);
            say("smcd is back; taking the fans again");
            loop.reconnected(connection);
            if (reread)
                reload(options, connection, loop, tuning);
            reread = false;
            continue;
        }
        next += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(tuning.poll));
        auto now = Clock::now();
        if (next < now)
            next = now;  // a slow poll does not make the next ones hurry
        int number;
        while ((number = waitForSignalOrResume(std::chrono::duration<double>(next - Clock::now()).count())) ==
               SIGHUP)
            reload(options, connection, loop, tuning);
        if (number) {
            loop.release();
            SMCClose(connection);
            say(std::string("stopping (SIG") + sigabbrev_np(number) + ")" +
                (options.dryRun ? "" : "; fans back to the SMC's automatic mode"));
            return 0;
        }
    }
}

int check(const Config& config)
{
    if (fanless())
        return 0;
    std::string problem;
    io_connect_t connection = openSMC(problem);
    if (connection == 0) {
        std::fprintf(stderr, "%s: %s; the curves as written:\n", kProgram, problem.c_str());
        std::fputs(describe(config, std::nullopt).c_str(), stdout);
        return cli::outputStatus(kProgram);
    }
    std::optional<std::vector<FanPlan>> plans = planFans(connection, config);
    SMCClose(connection);
    if (!plans)
        return 1;
    std::fputs(describe(config, plans).c_str(), stdout);
    return cli::outputStatus(kProgram);
}

}  // namespace

int main(int argc, char* argv[])
{
    enum { kCheck = 256, kPoll, kProfile, kVersion };
    static const option longOptions[] = {
        {"config", required_argument, nullptr, 'c'}, {"check", no_argument, nullptr, kCheck},
        {"dry-run", no_argument, nullptr, 'n'},      {"poll", required_argument, nullptr, kPoll},
        {"profile", required_argument, nullptr, kProfile},
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    constexpr const char* kOptionString = ":c:nh";
    Options options;
    opterr = 0;
    int letter;
    while ((letter = getopt_long(argc, argv, kOptionString, longOptions, nullptr)) != -1) {
        switch (letter) {
        case 'c':
            options.config = optarg;
            break;
        case kCheck:
            options.check = true;
            break;
        case 'n':
            options.dryRun = true;
            break;
        case kPoll: {
            char* end = nullptr;
            errno = 0;
            double seconds = std::strtod(optarg, &end);
            if (end == optarg || *end != '\0' || errno != 0 || !(seconds >= 0.1 && seconds <= 60))
                return cli::usageError(kProgram,
                                       std::string("--poll: expected seconds from 0.1 to 60, not \"") + optarg + "\"");
            options.poll = seconds;
            break;
        }
        case kProfile:
            options.profile = profileNamed(optarg);
            if (!options.profile)
                return cli::usageError(kProgram, std::string("--profile: expected quiet, balanced or performance, "
                                                             "not \"") + optarg + "\"");
            break;
        case 'h':
            usage();
            return cli::outputStatus(kProgram);
        case kVersion:
            return cli::printVersion(kProgram);
        default:
            return cli::usageError(kProgram, cli::getoptProblem(letter, kOptionString, argv));
        }
    }
    // --check FILE: the file to check, as --config FILE.
    if (options.check && optind < argc && options.config.empty())
        options.config = argv[optind++];
    if (optind < argc)
        return cli::usageError(kProgram, std::string("unexpected argument \"") + argv[optind] + "\"");

    std::optional<Config> config = readConfig(options);
    if (!config)
        return 1;
    if (options.check)
        return check(*config);
    return run(options, std::move(*config));
}
