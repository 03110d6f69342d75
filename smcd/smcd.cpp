// smcd: one emulated SMC served to every process of the machine over a Unix
// socket, so that a write made by one process is seen by all. One thread,
// one event loop: each exchange is applied to the store whole.
#include "iokit/DaemonProtocol.h"
#include "smcemu/EmulatedSMC.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace platform;
using smcd::Reply;
using smcd::Request;

constexpr const char* kProgram = "smcd";
constexpr uint32_t kUserClientCall = 2;
constexpr uint8_t kWriteKeyCommand = 6;
constexpr size_t kCommandOffset = 42;
// Messages served for one client before the others get their turn.
constexpr int kBurst = 16;

struct Options {
    std::string socketPath = smcd::defaultSocketPath();
    const char* profilePath = nullptr;
    const char* statePath = nullptr;
    const char* group = nullptr;
    bool readOnly = false;
};

void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: %s [options]\n"
                 "Serves one emulated SMC to every process over a Unix socket; point clients at it\n"
                 "with SMC_SERVICE=unix:PATH. Runs in the foreground until SIGINT or SIGTERM.\n"
                 "    -s, --socket PATH   where to listen (default: %s)\n"
                 "    -p, --profile FILE  the machine profile (default: the built-in one)\n"
                 "    -S, --state FILE    keep written values in FILE: every acknowledged write is\n"
                 "                        on disk before its answer, and is loaded again at start\n"
                 "    -r, --read-only     refuse every write (kIOReturnNotPrivileged)\n"
                 "    -g, --group NAME    let members of group NAME connect too (socket mode 0660;\n"
                 "                        without it, 0600: the owner only)\n"
                 "    -h, --help          this text\n",
                 kProgram, smcd::defaultSocketPath().c_str());
}

// One profile line for each key: the state file reloads like a profile.
std::string keyLine(const SMCKeyEntry& entry)
{
    std::string key = fourCharText(entry.key), type = fourCharText(entry.type);
    for (std::string* text : {&key, &type})
        for (char& c : *text)
            c = c == '\0' ? ' ' : c;
    std::string line = "  " + key + "  [" + type + "]  ";
    if (entry.size == 0)
        return line + "no data\n";
    line += "(bytes";
    for (size_t i = 0; i < entry.size; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02x", entry.bytes[i]);
        line += byte;
    }
    return line + ")\n";
}

bool writeAll(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += size_t(wrote);
    }
    return true;
}

class Daemon {
public:
    explicit Daemon(Options options) : options_(std::move(options)) {}
    ~Daemon();

    bool start();
    int run();

private:
    bool loadState();
    bool saveState(std::string& error);
    bool listen();
    void accept();
    void serve(int client);
    Reply handle(const uint8_t* message, ssize_t size);
    void drop(int client);

    Options options_;
    std::shared_ptr<EmulatedSMC> smc_;
    int listener_ = -1;
    int epoll_ = -1;
    int signals_ = -1;
    int spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    bool bound_ = false;
};

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
    std::string error;
    smc_ = loadEmulatedSMC(options_.profilePath, error);
    if (smc_ == nullptr) {
        std::fprintf(stderr, "%s: cannot load profile %s\n", kProgram, error.c_str());
        return false;
    }
    if (options_.statePath && !loadState())
        return false;
    if (!listen())
        return false;

    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopping, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    signals_ = signalfd(-1, &stopping, SFD_CLOEXEC | SFD_NONBLOCK);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    for (int fd : {listener_, signals_}) {
        epoll_event event{.events = EPOLLIN, .data = {.fd = fd}};
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }
    std::printf("%s: serving %s (%zu keys%s) on %s\n", kProgram,
                options_.profilePath ? options_.profilePath : "the built-in profile", smc_->keys().size(),
                options_.readOnly ? ", read-only" : "", options_.socketPath.c_str());
    std::fflush(stdout);
    return true;
}

bool Daemon::loadState()
{
    std::string text;
    if (!readTextFile(options_.statePath, text)) {
        if (errno == ENOENT)
            return true;  // a first start: nothing written yet
        std::fprintf(stderr, "%s: cannot read state %s: %s\n", kProgram, options_.statePath, std::strerror(errno));
        return false;
    }
    std::vector<SMCKeyEntry> saved;
    if (auto failed = parseSMCProfile(text, saved)) {
        std::fprintf(stderr, "%s: state %s:%zu: %s\n", kProgram, options_.statePath, failed->line,
                     failed->problem.c_str());
        return false;
    }
    for (const SMCKeyEntry& entry : saved)
        if (!smc_->setValue(entry.key, entry.bytes.data(), entry.size))
            std::fprintf(stderr, "%s: state %s: key \"%s\" does not fit the profile; its value is not restored\n",
                         kProgram, options_.statePath, fourCharText(entry.key).c_str());
    return true;
}

bool Daemon::saveState(std::string& error)
{
    std::string text = "# smcd state: the values of the writable keys\n";
    for (const SMCKeyEntry& entry : smc_->keys())
        if (entry.writable)
            text += keyLine(entry);
    // A new file renamed over the old one: a crash leaves one or the other.
    std::string path = options_.statePath, temporary = path + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && writeAll(fd, text) && fsync(fd) == 0;
    ok = (fd < 0 || close(fd) == 0) && ok;
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (ok) {
        // The rename itself is on disk only once the directory is.
        std::string directory = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
        int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = dir >= 0 && fsync(dir) == 0;
        if (dir >= 0)
            close(dir);
    }
    if (!ok) {
        error = std::strerror(errno);
        unlink(temporary.c_str());
    }
    return ok;
}

bool Daemon::listen()
{
    const std::string& path = options_.socketPath;
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "%s: the socket path %s is too long\n", kProgram, path.c_str());
        return false;
    }
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            std::fprintf(stderr, "%s: %s exists and is not a socket; not replacing it\n", kProgram, path.c_str());
            return false;
        }
        int probe = smcd::connectSocket(path);
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

    gid_t group = gid_t(-1);
    if (options_.group) {
        errno = 0;
        struct group* entry = getgrnam(options_.group);
        if (entry == nullptr) {
            std::fprintf(stderr, "%s: no group named %s\n", kProgram, options_.group);
            return false;
        }
        group = entry->gr_gid;
    }

    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // The socket is born with its final mode: no moment open to others.
    mode_t mode = options_.group ? 0660 : 0600;
    mode_t previous = umask(0777 & ~mode);
    bool bound = listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    umask(previous);
    if (!bound) {
        std::fprintf(stderr, "%s: cannot listen on %s: %s\n", kProgram, path.c_str(), std::strerror(errno));
        return false;
    }
    bound_ = true;
    if (options_.group && (chown(path.c_str(), uid_t(-1), group) != 0 || chmod(path.c_str(), mode) != 0)) {
        std::fprintf(stderr, "%s: cannot give %s to group %s: %s\n", kProgram, path.c_str(), options_.group,
                     std::strerror(errno));
        return false;
    }
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
        int ready = epoll_wait(epoll_, events, int(std::size(events)), -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            std::fprintf(stderr, "%s: epoll_wait: %s\n", kProgram, std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < ready; ++i) {
            int fd = events[i].data.fd;
            if (fd == signals_) {
                std::printf("%s: stopping\n", kProgram);
                return 0;
            }
            if (fd == listener_)
                accept();
            else if (events[i].events & EPOLLIN)
                serve(fd);
            else
                drop(fd);
        }
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
        epoll_event event{.events = EPOLLIN | EPOLLRDHUP, .data = {.fd = client}};
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, client, &event) != 0)
            close(client);
    }
}

void Daemon::drop(int client)
{
    epoll_ctl(epoll_, EPOLL_CTL_DEL, client, nullptr);
    close(client);
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
        Reply reply = handle(message, size);
        // A client that does not read its answers is not waited for.
        if (send(client, &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL) != ssize_t(sizeof reply)) {
            drop(client);
            return;
        }
    }
}

Reply Daemon::handle(const uint8_t* message, ssize_t size)
{
    Reply reply{kIOReturnBadArgument, {}};
    if (size != ssize_t(sizeof(Request)))
        return reply;
    Request request;
    std::memcpy(&request, message, sizeof request);
    bool write = request.method == kUserClientCall && request.record[kCommandOffset] == kWriteKeyCommand;
    if (write && options_.readOnly) {
        reply.status = kIOReturnNotPrivileged;
        return reply;
    }
    FourCharCode key;
    std::memcpy(&key, request.record, sizeof key);
    std::optional<SMCKeyEntry> before = write && options_.statePath ? smc_->key(key) : std::nullopt;

    size_t replySize = sizeof reply.record;
    reply.status = smc_->call(request.method, request.record, sizeof request.record, reply.record, &replySize);

    std::string error;
    if (before && reply.status == KERN_SUCCESS && !saveState(error)) {
        // Not on disk, so not acknowledged: the store goes back as it was.
        smc_->setValue(key, before->bytes.data(), before->size);
        std::fprintf(stderr, "%s: cannot save state %s: %s; the write is refused\n", kProgram, options_.statePath,
                     error.c_str());
        reply.status = kIOReturnIOError;
    }
    return reply;
}

}  // namespace

int main(int argc, char* argv[])
{
    static const option longOptions[] = {
        {"socket", required_argument, nullptr, 's'}, {"profile", required_argument, nullptr, 'p'},
        {"state", required_argument, nullptr, 'S'},  {"read-only", no_argument, nullptr, 'r'},
        {"group", required_argument, nullptr, 'g'},  {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    int letter;
    while ((letter = getopt_long(argc, argv, "s:p:S:rg:h", longOptions, nullptr)) != -1) {
        switch (letter) {
        case 's':
            options.socketPath = optarg;
            break;
        case 'p':
            options.profilePath = optarg;
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
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument \"%s\"\n", kProgram, argv[optind]);
        return 2;
    }
    Daemon daemon(std::move(options));
    if (!daemon.start())
        return 1;
    return daemon.run();
}
