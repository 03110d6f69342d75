// smcfs: serves the SMC that SMC_SERVICE names as the applesmc driver's
// device directory, over FUSE, so that tools written for the driver read it.
#define FUSE_USE_VERSION 35
#include "smcfs/CoretempFiles.h"
#include "smcfs/DriverFiles.h"
#include "smcfs/MacsmcFiles.h"
#include "smcfs/PowercapFiles.h"

#include "backends/KeyStore.h"
#include "backends/SMCService.h"

#include "smc/smc.h"

#include "cli/Conventions.h"

#if __has_include(<IOKit/IOKitDiagnostics.h>)
#include <IOKit/IOKitDiagnostics.h>
#endif

#include <fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr const char* kProgram = "smcfs";
// How fast the fans of an emulated machine follow their targets, in rpm a second (as under smcd).
constexpr double kEmulatedFanRate = 1000;

struct Options {
    bool foreground = false;
    smcfs::Layout layout = smcfs::Layout::Classic;
    bool coretemp = false;
    bool powercap = false;
    bool macsmc = false;
    bool fanControl = false;
    const char* mountpoint = nullptr;
};

void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: %s [options] MOUNTPOINT\n"
                 "Serves the SMC that SMC_SERVICE names as the applesmc driver's files.\n"
                 "    -f, --foreground       stay in the foreground\n"
                 "    -l, --layout LAYOUT    classic (default: every file on the device)\n"
                 "                           or hwmon (fan and temperature files in hwmon/hwmon0)\n"
                 "        --coretemp         serve the coretemp driver's directory instead (mount it\n"
                 "                           at /sys/devices/platform/coretemp.0): the CPU's package\n"
                 "                           and cores in hwmon/hwmon1, from the SMC's CPU keys\n"
                 "        --powercap         serve the intel-rapl powercap directory instead (mount it\n"
                 "                           at /sys/devices/virtual/powercap): the CPU's energy\n"
                 "                           counters, from the SMC's CPU power keys\n"
                 "        --macsmc           serve an Apple Silicon Mac's sysfs instead (the mount\n"
                 "                           stands for /sys): the macsmc_hwmon driver's hwmon\n"
                 "                           directory, its devicetree nodes and module\n"
                 "        --fan-control      with --macsmc: start as if the driver was loaded with\n"
                 "                           fan_control=1, so that fan targets may be written\n"
                 "    -h, --help             this text\n"
                 "        --version          print the version\n"
                 "Exit status: 0 unmounted cleanly, 1 failure, 2 a usage error.\n",
                 kProgram);
}

constexpr int kRun = -1;

// kRun, or the exit status to end with at once.
int parseOptions(int argc, char* argv[], Options& options)
{
    enum { kVersion = 256, kCoretemp, kPowercap, kMacsmc, kFanControl };
    static const option longOptions[] = {{"foreground", no_argument, nullptr, 'f'},
                                         {"layout", required_argument, nullptr, 'l'},
                                         {"coretemp", no_argument, nullptr, kCoretemp},
                                         {"powercap", no_argument, nullptr, kPowercap},
                                         {"macsmc", no_argument, nullptr, kMacsmc},
                                         {"fan-control", no_argument, nullptr, kFanControl},
                                         {"help", no_argument, nullptr, 'h'},
                                         {"version", no_argument, nullptr, kVersion},
                                         {nullptr, 0, nullptr, 0}};
    constexpr const char* kOptionString = ":fl:h";
    opterr = 0;  // said once, in our own words
    int letter;
    while ((letter = getopt_long(argc, argv, kOptionString, longOptions, nullptr)) != -1) {
        switch (letter) {
        case 'f':
            options.foreground = true;
            break;
        case 'l':
            if (std::strcmp(optarg, "classic") == 0) {
                options.layout = smcfs::Layout::Classic;
            } else if (std::strcmp(optarg, "hwmon") == 0) {
                options.layout = smcfs::Layout::Hwmon;
            } else {
                return cli::usageError(kProgram, std::string("unknown layout \"") + optarg + "\": classic or hwmon");
            }
            break;
        case kCoretemp:
            options.coretemp = true;
            break;
        case kPowercap:
            options.powercap = true;
            break;
        case kMacsmc:
            options.macsmc = true;
            break;
        case kFanControl:
            options.fanControl = true;
            break;
        case 'h':
            usage(stdout);
            return cli::outputStatus(kProgram);
        case kVersion:
            return cli::printVersion(kProgram);
        default:
            return cli::usageError(kProgram, cli::getoptProblem(letter, kOptionString, argv));
        }
    }
    if (int(options.coretemp) + int(options.powercap) + int(options.macsmc) > 1)
        return cli::usageError(kProgram,
                               "--coretemp, --powercap and --macsmc serve different directories: one of them");
    if (options.fanControl && !options.macsmc)
        return cli::usageError(kProgram, "--fan-control belongs to --macsmc");
    if (optind == argc)
        return cli::usageError(kProgram, "expected a mount point");
    if (optind + 1 != argc)
        return cli::usageError(kProgram, std::string("unexpected argument \"") + argv[optind + 1] + "\"");
    options.mountpoint = argv[optind];
    return kRun;
}

// One open file: sysfs makes a file's text when it is read from the start
// and serves later offsets from that text.
struct OpenFile {
    std::string content;
};

// What the file system serves; the loop is single-threaded.
struct Server {
    explicit Server(std::unique_ptr<smcfs::FileTree> tree) : files(std::move(tree)) {}
    std::unique_ptr<smcfs::FileTree> files;
    // Files still open when the mount goes are freed with the server.
    std::unordered_map<uint64_t, std::unique_ptr<OpenFile>> open;
    uint64_t lastHandle = 0;
};

Server& server()
{
    return *static_cast<Server*>(fuse_get_context()->private_data);
}

smcfs::FileTree& files()
{
    return *server().files;
}

void* initialise(fuse_conn_info*, fuse_config* config)
{
    // Every read reaches the SMC, as every read of the driver's files does.
    config->direct_io = 1;
    config->kernel_cache = 0;
    return fuse_get_context()->private_data;
}

int getattr(const char* path, struct stat* st, fuse_file_info*)
{
    const smcfs::Node* node = files().find(path);
    if (node == nullptr)
        return -ENOENT;
    *st = {};
    st->st_uid = 0;
    st->st_gid = 0;
    switch (node->kind) {
    case smcfs::NodeKind::Directory:
        st->st_mode = S_IFDIR | node->mode;
        st->st_nlink = 2;
        break;
    case smcfs::NodeKind::Symlink:
        st->st_mode = S_IFLNK | node->mode;
        st->st_nlink = 1;
        st->st_size = off_t(node->target.size());
        break;
    case smcfs::NodeKind::File:
        st->st_mode = S_IFREG | node->mode;
        st->st_nlink = 1;
        st->st_size = 4096;  // what sysfs shows for every attribute
        break;
    }
    return 0;
}

int readlink(const char* path, char* buffer, size_t size)
{
    const smcfs::Node* node = files().find(path);
    if (node == nullptr)
        return -ENOENT;
    if (node->kind != smcfs::NodeKind::Symlink || size == 0)
        return -EINVAL;
    std::snprintf(buffer, size, "%s", node->target.c_str());
    return 0;
}

int readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    const smcfs::Node* node = files().find(path);
    if (node == nullptr)
        return -ENOENT;
    if (node->kind != smcfs::NodeKind::Directory)
        return -ENOTDIR;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
    // Each entry says its type: lm-sensors reads only regular files.
    std::string prefix = std::strcmp(path, "/") == 0 ? "/" : std::string(path) + "/";
    for (const std::string& child : node->children) {
        struct stat st {};
        getattr((prefix + child).c_str(), &st, nullptr);
        fill(buffer, child.c_str(), &st, 0, fuse_fill_dir_flags(0));
    }
    return 0;
}

bool isRoot()
{
    return fuse_get_context()->uid == 0;
}

int open(const char* path, fuse_file_info* info)
{
    const smcfs::Node* node = files().find(path);
    if (node == nullptr)
        return -ENOENT;
    if (node->kind != smcfs::NodeKind::File)
        return -EISDIR;
    bool writing = (info->flags & O_ACCMODE) != O_RDONLY;
    if (writing && (!(node->mode & 0200) || !isRoot()))
        return -EACCES;
    info->direct_io = 1;
    info->fh = ++server().lastHandle;
    server().open.emplace(info->fh, std::make_unique<OpenFile>());
    return 0;
}

int release(const char*, fuse_file_info* info)
{
    server().open.erase(info->fh);
    return 0;
}

int read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* info)
{
    const smcfs::Node* node = files().find(path);
    if (node == nullptr)
        return -ENOENT;
    auto found = server().open.find(info->fh);
    if (found == server().open.end())
        return -EBADF;
    OpenFile* open = found->second.get();
    if (offset == 0 || open->content.empty()) {
        std::string content;
        if (int error = files().read(*node, content))
            return -error;
        open->content = std::move(content);
    }
    if (size_t(offset) >= open->content.size())
        return 0;
    size_t n = std::min(size, open->content.size() - size_t(offset));
    std::memcpy(buffer, open->content.data() + offset, n);
    return int(n);
}

int write(const char* path, const char* buffer, size_t size, off_t, fuse_file_info*)
{
    const smcfs::Node* node = files().find(path);
    if (node == nullptr)
        return -ENOENT;
    if (!isRoot() || !(node->mode & 0200))
        return -EACCES;
    if (int error = files().write(*node, std::string_view(buffer, size)))
        return -error;
    return int(size);
}

// "echo 1 > file" truncates first; sysfs lets that pass.
int truncate(const char* path, off_t, fuse_file_info*)
{
    const smcfs::Node* node = files().find(path);
    if (node == nullptr)
        return -ENOENT;
    if (!isRoot() || !(node->mode & 0200))
        return -EACCES;
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    Options options;
    if (int status = parseOptions(argc, argv, options); status != kRun)
        return status;

    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        // The remedy depends on why: a missing device is a module to load, a
        // refused one a permission that installing packages does not give.
        int error = errno;
        const char* hint = error == ENOENT                     ? " (load the fuse module: modprobe fuse)"
                           : error == EACCES || error == EPERM ? " (this user may not open it: run as root, or "
                                                                 "give users access to /dev/fuse)"
                                                               : "";
        std::fprintf(stderr, "%s: FUSE is not available: /dev/fuse: %s%s\n", kProgram, std::strerror(error), hint);
        return 1;
    }

    // Unmounting happens after the process left its working directory, so
    // a relative path would no longer name the mount then.
    std::unique_ptr<char, decltype(&std::free)> mountpoint(realpath(options.mountpoint, nullptr), &std::free);
    if (mountpoint == nullptr) {
        std::fprintf(stderr, "%s: cannot mount on %s: %s (it must be an existing directory)\n", kProgram,
                     options.mountpoint, std::strerror(errno));
        return 1;
    }

    // The machine's sensor nodes, where it describes them, come with the
    // service: chosen here once, so that the connection is to that service.
    std::optional<platform::SMCSensorTree> devicetree;
    if (options.macsmc) {
        std::string cause;
        std::shared_ptr<platform::SMCService> service = platform::selectSMCService(std::getenv("SMC_SERVICE"), cause);
        if (service)
            if (auto* described = service->capability<platform::SMCDevicetree>())
                devicetree = described->sensorTree();
        // An emulated machine that heats up has fans that follow their
        // targets, as smcd gives them, so that what the driver's files are
        // asked to do shows; restarting the model after the fans starts it
        // at its steady state.
        if (auto* store = service ? service->capability<platform::SMCKeyStore>() : nullptr)
            if (std::optional<platform::ThermalParameters> model = store->thermalModel()) {
                store->setFanModel(kEmulatedFanRate);
                store->setThermalModel(*model);
            }
        platform::installSMCService(service);
    }

    io_connect_t connection = 0;
    if (SMCOpen(&connection) != 0) {
        const char* cause = "";
#if __has_include(<IOKit/IOKitDiagnostics.h>)
        cause = IOSMCServiceFailureCause();
#endif
        std::fprintf(stderr, "%s: cannot open the SMC%s%s\n", kProgram, *cause ? ": " : "", cause);
        return 1;
    }
    std::unique_ptr<smcfs::FileTree> tree;
    if (options.coretemp) {
        auto coretemp = std::make_unique<smcfs::CoretempFiles>(connection);
        if (!coretemp->hasSensors()) {
            std::fprintf(stderr, "%s: this SMC has no CPU temperature keys (TC0D, TC0E, TC0F, TCXC, TC0C to TC9C) "
                                 "for a coretemp directory\n", kProgram);
            SMCClose(connection);
            return 1;
        }
        tree = std::move(coretemp);
    } else if (options.powercap) {
        auto powercap = std::make_unique<smcfs::PowercapFiles>(connection);
        if (!powercap->hasPower()) {
            std::fprintf(stderr, "%s: this SMC has no CPU power key (PCPC, PCPT) for a powercap directory\n",
                         kProgram);
            SMCClose(connection);
            return 1;
        }
        tree = std::move(powercap);
    } else if (options.macsmc) {
        auto macsmc = std::make_unique<smcfs::MacsmcFiles>(
            connection, devicetree ? std::move(*devicetree) : smcfs::MacsmcFiles::derivedTree(connection),
            options.fanControl);
        if (!macsmc->hasChannels()) {
            std::fprintf(stderr, "%s: no sensor node's key answers on this SMC: the macsmc_hwmon driver would not "
                                 "bind\n", kProgram);
            SMCClose(connection);
            return 1;
        }
        tree = std::move(macsmc);
    } else {
        tree = std::make_unique<smcfs::DriverFiles>(connection, options.layout);
    }
    auto served = std::make_unique<Server>(std::move(tree));

    fuse_operations operations{};
    operations.init = initialise;
    operations.getattr = getattr;
    operations.readlink = readlink;
    operations.readdir = readdir;
    operations.open = open;
    operations.release = release;
    operations.read = read;
    operations.write = write;
    operations.truncate = truncate;

    // The kernel checks the modes (writes are root's); everyone may look, as in /sys.
    std::string mountOptions = std::string("default_permissions,fsname=") +
                               (options.coretemp   ? "coretemp"
                                : options.powercap ? "powercap"
                                : options.macsmc   ? "macsmc"
                                                   : "applesmc") + ",subtype=smcfs";
    if (geteuid() == 0)
        mountOptions += ",allow_other";
    char* fuseArguments[] = {argv[0], const_cast<char*>("-o"), mountOptions.data(), nullptr};
    fuse_args arguments = FUSE_ARGS_INIT(3, fuseArguments);
    fuse* fs = fuse_new(&arguments, &operations, sizeof operations, served.get());
    fuse_opt_free_args(&arguments);  // fuse_new may have copied them
    if (fs == nullptr) {
        std::fprintf(stderr, "%s: FUSE refused to start\n", kProgram);
        SMCClose(connection);
        return 1;
    }
    int status = 1;
    if (fuse_mount(fs, mountpoint.get()) != 0) {
        std::fprintf(stderr, "%s: cannot mount on %s (is FUSE available? fuse3 installed, /dev/fuse usable?)\n",
                     kProgram, mountpoint.get());
    } else {
        fuse_session* session = fuse_get_session(fs);
        // SIGTERM, SIGINT and SIGHUP end the loop; the mount is then taken down.
        if (fuse_set_signal_handlers(session) == 0 && fuse_daemonize(options.foreground) == 0) {
            // A signal ends the loop with its number: a clean stop.
            status = fuse_loop(fs) < 0 ? 1 : 0;
            fuse_remove_signal_handlers(session);
        }
        fuse_unmount(fs);
    }
    fuse_destroy(fs);
    SMCClose(connection);
    return status;
}
