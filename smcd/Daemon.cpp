// smcd: the machine's one broker of its SMC, real or emulated, served to
// every process over a Unix socket, so that a write made by one process is
// seen by all, and fans changed through it never stay stuck. One thread,
// one event loop: each exchange is applied whole.
#include "smcd/Daemon.h"
#include "smcd/DefaultPaths.h"
#include "backends/DaemonProtocol.h"
#include "backends/SMCService.h"
#include "smcd/Directories.h"
#include "smcd/FanBroker.h"
#include "smcd/PassedSocket.h"
#include "smcd/StateFile.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace smcd {

using namespace platform;

namespace {

// Messages served for one client before the others get their turn.
constexpr int kBurst = 16;
// Connections one user other than root may hold at a time.
constexpr size_t kConnectionsPerUser = 64;
// Descriptors the daemon holds besides its clients': standard streams, the
// listener, epoll, signals, the spare, the state and its lock, the SMC.
constexpr size_t kOwnDescriptors = 16;
// How fast the fans of an emulated machine follow their targets, in rpm a second.
constexpr double kFanRate = 1000;
// The longest wait between looks at the sleep clock.
constexpr int kResumeCheckMs = 1000;
// How long after a resume logind's word of it is taken as the same resume.
constexpr auto kSameResume = std::chrono::seconds(10);

// Gives the thermal model the load trace at `path`; false with the problem
// as "PATH:LINE: problem" in `error`.
bool readLoadTrace(SMCKeyStore& smc, const char* path, std::string& error)
{
    std::string text;
    if (!readTextFile(path, text)) {
        error = std::string(path) + ": cannot read the load trace: " + std::strerror(errno);
        return false;
    }
    if (!smc.setLoadTrace(text, error)) {
        error = std::string(path) + ":" + error;
        return false;
    }
    return true;
}

// The program that process `pid` runs, as the kernel links it; "" where
// this process may not see it (another user's, without privileges).
std::string executableOf(int32_t pid)
{
    char path[PATH_MAX];
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t length = pid > 0 ? readlink(link.c_str(), path, sizeof path) : -1;
    return length > 0 ? std::string(path, size_t(length)) : std::string();
}

const char* policyName(const WritePolicy& policy)
{
    switch (policy.kind) {
    case WritePolicy::Kind::All:
        return "all";
    case WritePolicy::Kind::Fans:
        return "fans";
    case WritePolicy::Kind::None:
        return "none";
    case WritePolicy::Kind::Keys:
        return "the keys listed";
    }
    return "";
}

}  // namespace

Daemon::~Daemon()
{
    if (bound_)
        unlink(options_.socketPath.c_str());
    for (int fd : {listener_, epoll_, signals_, spare_})
        if (fd >= 0)
            close(fd);
}

bool Daemon::start()
{
    // A wrong socket from the service manager is refused before the SMC is touched.
    if (!passed_.error.empty()) {
        std::fprintf(stderr, "%s: cannot serve the socket passed by the service manager: %s\n", kProgram,
                     passed_.error.c_str());
        return false;
    }
    if (!openService())
        return false;
    std::vector<FanRecord> earlier;
    if (!openState(earlier))
        return false;
    std::unique_ptr<SMCConnection> connection;
    if (kern_return_t status = service_->open(connection); status != KERN_SUCCESS) {
        std::string cause = service_->failureCause();
        std::fprintf(stderr, "%s: cannot open %s: %08x%s%s\n", kProgram, serviceName_.c_str(), unsigned(status),
                     cause.empty() ? "" : ": ", cause.c_str());
        return false;
    }
    // Limits are strict over any SMC but one emulated in this process.
    BrokerOptions brokerOptions{policy_, options_.fanFloor, options_.keepFans, smc_ == nullptr, options_.controllers,
                                {}};
    broker_ = std::make_unique<FanBroker>(std::move(connection), brokerOptions, state_.get(), smc_);
    // Fans an earlier run left changed are put back before anyone is served.
    std::string error;
    std::vector<std::string> notes;
    bool started = broker_->start(std::move(earlier), error, notes);
    say(notes);
    if (!started) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return false;
    }
    if (!prepareSocketDirectory() || !listen())
        return false;
    rlimit descriptors{};
    getrlimit(RLIMIT_NOFILE, &descriptors);
    size_t limit = descriptors.rlim_cur == RLIM_INFINITY ? size_t(1) << 20 : size_t(descriptors.rlim_cur);
    perUserLimit_ = std::clamp<size_t>(limit / 8, 1, kConnectionsPerUser);
    // Root keeps an eighth, and the few descriptors the daemon itself holds.
    othersLimit_ = limit - std::min(limit, limit / 8 + kOwnDescriptors);

    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    // A hangup is the terminal that started the daemon closing: the fans
    // are put back as for any other stop, not left where a client set them.
    sigaddset(&stopping, SIGHUP);
    if (options_.loadPath)
        sigaddset(&stopping, SIGUSR1);  // not a stop: the load trace read again
    sigprocmask(SIG_BLOCK, &stopping, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    signals_ = signalfd(-1, &stopping, SFD_CLOEXEC | SFD_NONBLOCK);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    logind_ = std::make_unique<platform::LogindSleep>(kProgram);
    logindFd_ = logind_->fd();
    for (int fd : {listener_, signals_, logindFd_}) {
        epoll_event event{.events = EPOLLIN, .data = {.fd = fd}};
        if (fd >= 0)
            epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }
    std::string keys = smc_ ? std::to_string(smc_->keys().size()) + " keys, " : std::string();
    std::printf("%s: serving %s (%swritable: %s%s) on %s\n", kProgram, serviceName_.c_str(), keys.c_str(),
                policyName(policy_), options_.readOnly ? ", read-only" : "", options_.socketPath.c_str());
    std::fflush(stdout);
    return true;
}

bool Daemon::openService()
{
    std::string chosen, cause;
    // The platform's one choice of back-end, as SMC_SERVICE makes it.
    service_ = selectSMCService(options_.service, cause, SMCServiceUser::Daemon, chosen);
    if (options_.service == nullptr && chosen.empty()) {
        std::fprintf(stderr,
                     "%s: no SMC to serve: no applesmc or macsmc_hwmon driver on this machine (looked for "
                     "/sys/devices/platform/applesmc.768, an applesmc hwmon device, "
                     "/sys/bus/acpi/drivers/applesmc/APP0001:00 and a macsmc_hwmon hwmon device); --service "
                     "builtin serves an emulated machine\n",
                     kProgram);
        return false;
    }
    const char* spec = chosen.c_str();
    std::string_view choice = spec;
    bool builtin = choice == "builtin";
    serviceName_ = builtin ? "the built-in profile" : std::string(choice);
    if (service_ == nullptr || !service_->present()) {
        if (service_)
            cause = service_->failureCause();
        std::fprintf(stderr, "%s: no SMC to serve (%s)%s%s\n", kProgram, spec, cause.empty() ? "" : ": ",
                     cause.c_str());
        return false;
    }
    // Shares the service's life: the store is the service itself.
    if (SMCKeyStore* store = service_->capability<SMCKeyStore>())
        smc_ = std::shared_ptr<SMCKeyStore>(service_, store);
    // The built-in machine heats up under smcd alone: in-process it stays
    // as its listings show it. A profile may switch the model on itself.
    std::optional<ThermalParameters> profileModel = smc_ ? smc_->thermalModel() : std::nullopt;
    bool thermal = smc_ && options_.thermalModel.value_or(builtin || profileModel);
    if (smc_ && options_.fanModel.value_or(thermal))
        smc_->setFanModel(kFanRate);
    // After the fans, so that the model starts now at its steady state.
    if (thermal)
        smc_->setThermalModel(profileModel.value_or(ThermalParameters{}));
    else if (profileModel)
        smc_->stopThermalModel();
    if (options_.loadPath) {
        std::string error;
        if (!smc_ || !smc_->thermalModel()) {
            std::fprintf(stderr, "%s: --load needs %s\n", kProgram,
                         smc_ ? "the thermal model on (--thermal-model on)"
                              : "an emulated SMC (--service builtin or a profile)");
            return false;
        }
        if (!readLoadTrace(*smc_, options_.loadPath, error)) {
            std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
            return false;
        }
    }
    if (options_.readOnly)
        policy_ = {WritePolicy::Kind::None, {}};
    else if (options_.writable)
        policy_ = *options_.writable;
    else
        policy_ = {smc_ ? WritePolicy::Kind::All : WritePolicy::Kind::Fans, {}};
    return true;
}

bool Daemon::openState(std::vector<FanRecord>& earlier)
{
    std::string path = options_.statePath ? options_.statePath : "";
    SMCDriverDevice* driver = service_->capability<SMCDriverDevice>();
    if (path.empty() && driver) {
        std::string problem;
        path = defaultDriverState(resolvedDevice(driver->deviceDirectory()), problem, geteuid() == 0);
        if (path.empty()) {
            std::fprintf(stderr, "%s: no place for the state: %s\n", kProgram, problem.c_str());
            return false;
        }
    }
    if (path.empty())
        return true;
    std::string error;
    std::vector<std::string> warnings;
    state_ = StateFile::open(path, error);
    bool loaded = state_ && state_->load(smc_.get(), earlier, error, warnings);
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "%s: %s\n", kProgram, warning.c_str());
    if (!loaded)
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return loaded;
}

void Daemon::say(const std::vector<std::string>& notes)
{
    for (const std::string& note : notes)
        std::fprintf(stderr, "%s: %s\n", kProgram, note.c_str());
}

bool Daemon::prepareSocketDirectory()
{
    if (passed_.fd >= 0)
        return true;
    std::string directory = protocol::privateSocketDirectory();
    if (directory.empty() || options_.socketPath != protocol::defaultSocketPath())
        return true;
    std::string problem = preparePrivateDirectory(directory, geteuid());
    if (!problem.empty())
        std::fprintf(stderr,
                     "%s: not listening on the default socket %s: %s. Another user may have taken the name; "
                     "choose a socket with --socket, or set XDG_RUNTIME_DIR\n",
                     kProgram, options_.socketPath.c_str(), problem.c_str());
    return problem.empty();
}

bool Daemon::clearSocketPath(const std::string& path)
{
    // Whoever can write the socket's directory can swap its entries for
    // links or files of their own between the daemon's steps.
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int opened = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string problem = opened < 0 ? "cannot open " + directory + ": " + std::strerror(errno)
                                     : socketDirectoryProblem(opened, geteuid());
    if (opened >= 0)
        close(opened);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: refusing the socket %s: %s. Choose a socket in a directory that only you%s can "
                             "write (--socket)\n",
                     kProgram, path.c_str(), problem.c_str(), geteuid() == 0 ? "" : " and root");
        return false;
    }
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            std::fprintf(stderr, "%s: %s exists and is not a socket; not replacing it\n", kProgram, path.c_str());
            return false;
        }
        int probe = protocol::connectSocket(path);
        if (probe >= 0) {
            close(probe);
            std::fprintf(stderr, "%s: another smcd is already serving %s\n", kProgram, path.c_str());
            return false;
        }
        // Nobody listens there: a socket left by a daemon that died.
        if (errno != ECONNREFUSED || unlink(path.c_str()) != 0) {
            std::fprintf(stderr, "%s: cannot replace %s: %s\n", kProgram, path.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool Daemon::listen()
{
    if (passed_.fd >= 0) {
        // The socket, its name, owner and mode are the service manager's:
        // they outlive this process, which must not remove or change them.
        listener_ = passed_.fd;
        options_.socketPath = passed_.path;
        if (options_.group)
            std::fprintf(stderr, "%s: note: --group %s is not applied to a passed socket (SocketGroup= sets it)\n",
                         kProgram, options_.group);
        return true;
    }
    const std::string& path = options_.socketPath;
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "%s: the socket path %s is too long\n", kProgram, path.c_str());
        return false;
    }
    if (!clearSocketPath(path))
        return false;

    gid_t group = gid_t(-1);
    if (options_.group) {
        errno = 0;
        struct group* entry = getgrnam(options_.group);
        if (entry == nullptr) {
            std::fprintf(stderr, "%s: no group named %s\n", kProgram, options_.group);
            return false;
        }
        group = entry->gr_gid;
        if (geteuid() != 0)
            std::fprintf(stderr,
                         "%s: note: clients accept only a daemon run by root or by themselves; the other "
                         "members of %s will refuse this one\n",
                         kProgram, options_.group);
    }

    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // The file is born with its final mode and group, so that nothing is
    // changed by name afterwards, where a link swapped in meanwhile would
    // carry the change to another file. Linux gives the file the socket's
    // mode less the umask, and the file system group id (setfsgid, which
    // takes root's any group, a user's own groups only).
    mode_t mode = options_.group ? 0660 : 0600;
    mode_t previous = umask(0777 & ~mode);
    gid_t previousGroup = options_.group ? gid_t(setfsgid(group)) : gid_t(-1);
    bool grouped = !options_.group || gid_t(setfsgid(group)) == group;
    bool bound = listener_ >= 0 && fchmod(listener_, mode) == 0 && grouped &&
                 bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    int bindError = errno;
    if (options_.group)
        setfsgid(previousGroup);
    umask(previous);
    if (!grouped) {
        std::fprintf(stderr,
                     "%s: cannot make the socket %s in group %s: only root, or a user whose own group it is, "
                     "can (run smcd with sg %s, or as root)\n",
                     kProgram, path.c_str(), options_.group, options_.group);
        return false;
    }
    if (!bound) {
        std::fprintf(stderr, "%s: cannot listen on %s: %s\n", kProgram, path.c_str(), std::strerror(bindError));
        return false;
    }
    bound_ = true;
    if (::listen(listener_, SOMAXCONN) != 0) {
        std::fprintf(stderr, "%s: cannot listen on %s: %s\n", kProgram, path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

int Daemon::run()
{
    epoll_event events[64];
    for (;;) {
        int ready = epoll_wait(epoll_, events, int(std::size(events)), timeout());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            std::fprintf(stderr, "%s: epoll_wait: %s\n", kProgram, std::strerror(errno));
            return 1;
        }
        droppedEarly_.clear();
        for (int i = 0; i < ready; ++i) {
            int fd = events[i].data.fd;
            // Its event is stale; the number may be a new client's already,
            // whose own event comes in the next turn.
            if (std::find(droppedEarly_.begin(), droppedEarly_.end(), fd) != droppedEarly_.end())
                continue;
            signalfd_siginfo signal{};
            if (fd == signals_ && read(signals_, &signal, sizeof signal) == ssize_t(sizeof signal) &&
                signal.ssi_signo == SIGUSR1) {
                // Time starts again at 0 from the temperatures as they are.
                std::string error;
                if (readLoadTrace(*smc_, options_.loadPath, error))
                    std::printf("%s: load trace %s read again, from its time 0\n", kProgram, options_.loadPath);
                else
                    std::fprintf(stderr, "%s: %s; the load goes on as it was\n", kProgram, error.c_str());
                std::fflush(stdout);
                continue;
            }
            if (fd == signals_) {
                std::printf("%s: stopping\n", kProgram);
                std::fflush(stdout);
                std::vector<std::string> notes;
                broker_->stop(notes);
                say(notes);
                return 0;
            }
            if (fd == logindFd_)
                continue;  // taken after the clients, with the clocks
            if (fd == listener_)
                accept();
            else if (events[i].events & EPOLLIN)
                serve(fd);
            else
                drop(fd);
        }
        dropSilentController();
        takeFansAfterSleep();
    }
}

void Daemon::takeFansAfterSleep()
{
    // The clocks and logind may both tell one resume, in either order: a
    // word from logind soon after a resume taken is the same one.
    double slept = resumeWatch_.check();
    std::optional<bool> sleeping = logind_->process();
    if (logind_->fd() < 0)
        logindFd_ = -1;  // closed, and so out of the epoll set
    auto now = std::chrono::steady_clock::now();
    bool told = sleeping == false && (!lastResume_ || now - *lastResume_ > kSameResume);
    if (sleeping == true) {
        std::printf("%s: logind says the machine is going to sleep\n", kProgram);
        std::fflush(stdout);
    }
    if (slept <= 0 && !told)
        return;
    lastResume_ = now;
    std::vector<std::string> notes;
    broker_->resumed(std::chrono::duration_cast<BrokerClock::duration>(std::chrono::duration<double>(slept)), notes);
    say(notes);
}

int Daemon::timeout() const
{
    std::optional<BrokerClock::time_point> deadline = broker_->controllerDeadline();
    if (!deadline)
        return kResumeCheckMs;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - BrokerClock::now()).count();
    return int(std::clamp<decltype(left)>(left, 0, kResumeCheckMs));
}

void Daemon::dropSilentController()
{
    std::optional<BrokerClock::time_point> deadline = broker_->controllerDeadline();
    if (!deadline || BrokerClock::now() < *deadline)
        return;
    for (const auto& [fd, known] : clients_) {
        if (known.id != *broker_->controller())
            continue;
        // A message waiting unread was sent in time while this daemon was
        // the slow one: it is served in the next turn first.
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN))
            return;
        std::vector<std::string> notes;
        broker_->endSilentController(notes);
        say(notes);
        int silent = fd;
        drop(silent);
        return;
    }
}

void Daemon::accept()
{
    for (;;) {
        int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0 && (errno == EMFILE || errno == ENFILE) && spare_ >= 0) {
            // Out of descriptors: turn the caller away rather than leave it
            // queued, which would wake this loop again at once, forever.
            close(spare_);
            int turnedAway = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (turnedAway >= 0)
                close(turnedAway);
            spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (turnedAway < 0)
                return;
            continue;
        }
        if (client < 0)
            return;  // EAGAIN: all taken; anything else: the client is gone already
        Peer peer;
        if (!admit(client, peer)) {
            close(client);  // at once: a refused client learns it from the closed connection
            continue;
        }
        epoll_event event{.events = EPOLLIN | EPOLLRDHUP, .data = {.fd = client}};
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, client, &event) != 0) {
            close(client);
            continue;
        }
        uid_t user = peer.uid;
        clients_[client] = {++lastClient_, std::move(peer)};
        if (user != 0) {
            ++connectionsOf_[user];
            ++othersConnected_;
        }
    }
}

bool Daemon::admit(int client, Peer& peer)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return false;
    uid_t user = credentials.uid;
    peer.pid = int32_t(credentials.pid);
    peer.uid = user;
    peer.groups = {credentials.gid};
    // Supplementary groups, as they were at connect: a --controller group
    // may be one of them.
    gid_t groups[256];
    socklen_t length = sizeof groups;
    if (getsockopt(client, SOL_SOCKET, SO_PEERGROUPS, groups, &length) == 0)
        peer.groups.insert(peer.groups.end(), groups, groups + length / sizeof(gid_t));
    if (user == 0)
        return true;
    auto held = connectionsOf_.find(user);
    size_t count = held == connectionsOf_.end() ? 0 : held->second;
    if (count < perUserLimit_ && othersConnected_ < othersLimit_)
        return true;
    // Said once when a user's refusals begin, not for every one.
    if (refusedUsers_.insert(user).second) {
        if (count >= perUserLimit_)
            std::fprintf(stderr, "%s: uid %u holds %zu connections, the most one user may; refusing its others "
                                 "until some close\n",
                         kProgram, unsigned(user), count);
        else
            std::fprintf(stderr, "%s: users other than root hold %zu connections, all that are kept for them; "
                                 "refusing uid %u's until some close\n",
                         kProgram, othersConnected_, unsigned(user));
    }
    return false;
}

void Daemon::drop(int client)
{
    epoll_ctl(epoll_, EPOLL_CTL_DEL, client, nullptr);
    close(client);
    // However the client went (exit, crash, kill), its leases end here.
    if (auto found = clients_.find(client); found != clients_.end()) {
        std::vector<std::string> notes;
        broker_->closed(found->second.id, notes);
        say(notes);
        if (uid_t user = found->second.peer.uid; user != 0) {
            --othersConnected_;
            if (--connectionsOf_[user] == 0) {
                connectionsOf_.erase(user);
                refusedUsers_.erase(user);
            }
        }
        clients_.erase(found);
    }
}

void Daemon::dropIfGone(ClientId id)
{
    for (const auto& [fd, known] : clients_) {
        if (known.id != id)
            continue;
        pollfd state{fd, POLLRDHUP, 0};
        if (poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLRDHUP | POLLERR))) {
            droppedEarly_.push_back(fd);
            drop(fd);
        }
        return;
    }
}

void Daemon::serve(int client)
{
    for (int served = 0; served < kBurst; ++served) {
        uint8_t message[sizeof(Request) + 1];
        // MSG_TRUNC: the length of the whole message, also of one too long.
        ssize_t size = recv(client, message, sizeof message, MSG_DONTWAIT | MSG_TRUNC);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (size <= 0) {
            drop(client);
            return;
        }
        // A controller that died in this same turn of the loop is no longer
        // one: its hangup is taken before a successor's claim is refused.
        if (uint32_t method; size_t(size) == sizeof(Request) &&
                             (std::memcpy(&method, message, sizeof method), method == protocol::kClaimControlMethod)) {
            if (std::optional<ClientId> controller = broker_->controller();
                controller && *controller != clients_[client].id)
                dropIfGone(*controller);
            clients_[client].peer.executable = executableOf(clients_[client].peer.pid);
        }
        // An oversized message arrives cut short; its size alone refuses it.
        const Client& from = clients_[client];
        Reply reply = broker_->handle(from.id, message, std::min(size_t(size), sizeof message), from.peer);
        say(broker_->takeNotes());  // refusals that name their limit, put-backs at a lease's end
        // A client that does not read its answers is not waited for.
        if (send(client, &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL) != ssize_t(sizeof reply)) {
            drop(client);
            return;
        }
    }
}

}  // namespace smcd
