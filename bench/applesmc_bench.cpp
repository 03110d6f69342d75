// The applesmc back-end over an smcfs mount of a 1000-key machine, against
// bare loops making the fewest system calls for the same work on the same
// mount, in the same run: the key listing (first in a process, while names
// are learnt, then again) and one SMCReadKey by name. Then a sensors-host
// report on a 99-key machine against the same machine padded to 4001 keys:
// most keys of the report's table are absent on real machines, and finding
// that out must not cost more as the key table grows.
#include "backends/KeyStore.h"
#include "backends/applesmc/AppleSMCService.h"
#include "backends/emulated/EmulatedSMC.h"
#include "smc/smc.h"
#include "smc/tool/smctool.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <set>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kKeys = 999;  // and "#KEY"
constexpr int kRounds = 15;
constexpr int kReads = 2000;
constexpr double kListingTarget = 1.3;
constexpr int kReportRounds = 11;
constexpr double kReportTarget = 1.5;

using Clock = std::chrono::steady_clock;

double seconds(const std::function<void()>& body)
{
    auto start = Clock::now();
    body();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string profileText()
{
    static const char* types[] = {"ui8 ", "ui16", "ui32", "fpe2", "sp78", "flag", "ch8*"};
    std::string text;
    for (int i = 0; i < kKeys; ++i) {
        const char* type = types[i % 7];
        std::string_view name = type;
        int size = name == "ui8 " || name == "flag" ? 1 : name == "ui32" ? 4 : name == "ch8*" ? 8 : 2;
        char line[128];
        int n = std::snprintf(line, sizeof line, "  K%03d  [%s]  (bytes", i, type);
        for (int b = 0; b < size; ++b)
            n += std::snprintf(line + n, sizeof line - size_t(n), " %02x", (i * 7 + b * 13) % 256);
        text += std::string(line) + ")\n";
    }
    return text;
}

struct DriverFiles {
    int cursor, name, type, data, count;
    explicit DriverFiles(const std::string& dir)
        : cursor(open((dir + "/key_at_index").c_str(), O_RDWR)),
          name(open((dir + "/key_at_index_name").c_str(), O_RDONLY)),
          type(open((dir + "/key_at_index_type").c_str(), O_RDONLY)),
          data(open((dir + "/key_at_index_data").c_str(), O_RDONLY)),
          count(open((dir + "/key_count").c_str(), O_RDONLY))
    {
    }
    ~DriverFiles()
    {
        for (int fd : {cursor, name, type, data, count})
            close(fd);
    }
    void setCursor(int index) const
    {
        char text[16];
        int n = std::snprintf(text, sizeof text, "%d", index);
        (void)!pwrite(cursor, text, size_t(n), 0);
    }
};

// The listing with the fewest system calls: the count, then for each
// position the cursor, the name, the type and the value (its size is what
// the read returns); printed by the tool's own line printer.
void bareListing(const DriverFiles& files)
{
    char text[64];
    ssize_t n = pread(files.count, text, sizeof text - 1, 0);
    text[n > 0 ? n : 0] = '\0';
    int count = std::atoi(text);
    for (int i = 0; i < count; ++i) {
        files.setCursor(i);
        SMCVal val{};
        char name[16], type[16];
        if (pread(files.name, name, sizeof name, 0) < 4 || pread(files.type, type, sizeof type, 0) < 4)
            continue;
        std::memcpy(val.key, name, 4);
        std::memcpy(val.dataType, type, 4);
        ssize_t size = pread(files.data, val.bytes, sizeof val.bytes, 0);
        val.dataSize = uint32_t(size > 0 ? size : 0);
        printVal(val);
    }
    std::fflush(stdout);
}

std::string profileLine(const platform::SMCKeyEntry& entry)
{
    std::string line = "  " + platform::fourCharText(entry.key) + "  [" + platform::fourCharText(entry.type) + "]  (bytes";
    char hex[4];
    for (int i = 0; i < entry.size; ++i) {
        std::snprintf(hex, sizeof hex, " %02x", entry.bytes[size_t(i)]);
        line += hex;
    }
    return line + ")\n";
}

// The built-in machine cut to 99 keys the way real machines differ from
// it: its fans and 9 of the report's 24 temperatures kept, the other 15
// absent; `total` > 99 pads it with keys spread over the whole alphabet.
// Sorted, with "#KEY" telling the count, as a real SMC keeps its table.
std::string reportProfile(size_t total)
{
    std::string error;
    auto smc = platform::loadEmulatedSMC(nullptr, error);
    if (!smc)
        return {};
    static const std::set<std::string> absent = {"TC1D", "TC0H", "TCAH", "TCBH", "TG0P", "TG0H", "TN0D", "TN0P",
                                                 "TM0S", "TB1T", "TB2T", "TPCD", "TL0P", "Ts0S", "TI0P"};
    std::vector<platform::SMCKeyEntry> kept, others;
    for (const auto& entry : smc->keys()) {
        std::string name = platform::fourCharText(entry.key);
        if (name == "#KEY" || absent.contains(name) || entry.failures != decltype(entry.failures){})
            continue;
        (name[0] == 'F' || name[0] == 'T' ? kept : others).push_back(entry);
    }
    for (size_t i = 0; kept.size() + 1 < 99 && i < others.size(); ++i)
        kept.push_back(others[i]);
    std::set<FourCharCode> names;
    for (const auto& entry : kept)
        names.insert(entry.key);
    static const char letters[] = "ABDEGHIJKLMNOPQRSUVWXYZ";
    for (size_t i = 0; kept.size() + 1 < total; ++i) {
        char name[24];
        std::snprintf(name, sizeof name, "%c%03zu", letters[i % (sizeof letters - 1)], i / (sizeof letters - 1));
        platform::SMCKeyEntry filler{.key = platform::fourCharCode(name), .type = platform::fourCharCode("ui8 "),
                                     .size = 1};
        if (names.insert(filler.key).second)
            kept.push_back(filler);
    }
    platform::SMCKeyEntry count{.key = platform::fourCharCode("#KEY"), .type = platform::fourCharCode("ui32"), .size = 4};
    uint32_t n = uint32_t(kept.size() + 1);
    count.bytes = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    kept.push_back(count);
    std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
    std::string text;
    for (const auto& entry : kept)
        text += profileLine(entry);
    return text;
}

bool mounted(const std::string& path)
{
    struct statfs fs;
    return statfs(path.c_str(), &fs) == 0 && fs.f_type == 0x65735546;  // FUSE
}

// smcfs serving `profile` at `mountpoint`; its process id, or -1.
pid_t startSmcfs(const std::string& profile, const std::string& mountpoint)
{
    std::string setting = "SMC_SERVICE=" + profile, smcfs = std::string(BIN_DIR) + "/smcfs";
    const char* argv[] = {"env", setting.c_str(), smcfs.c_str(), "-f", mountpoint.c_str(), nullptr};
    pid_t server;
    if (posix_spawn(&server, "/usr/bin/env", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    for (int waited = 0; waited < 100 && !mounted(mountpoint); ++waited)
        usleep(50'000);
    return server;
}

// One sensors-host report over the driver's files at `mountpoint`, its
// output to /dev/null; the wall time, or -1 when it failed.
double reportSeconds(const std::string& mountpoint)
{
    std::string setting = "SMC_SERVICE=applesmc:" + mountpoint, host = std::string(BIN_DIR) + "/sensors-host";
    const char* argv[] = {"env", setting.c_str(), host.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child;
    int status = -1;
    double wall = seconds([&] {
        if (posix_spawn(&child, "/usr/bin/env", &actions, nullptr, const_cast<char**>(argv), environ) == 0)
            waitpid(child, &status, 0);
    });
    posix_spawn_file_actions_destroy(&actions);
    return status == 0 ? wall : -1;
}

// The report's median time on the small machine and on the padded one,
// alternating so that both see the same load; false when a run failed.
bool measureReports(const std::string& work, double& small, double& large)
{
    std::string mounts[2] = {work + "/report99", work + "/report4001"};
    pid_t servers[2];
    bool ok = true;
    for (int i = 0; i < 2; ++i) {
        std::string profile = mounts[i] + ".profile";
        std::ofstream(profile) << reportProfile(i == 0 ? 99 : 4001);
        mkdir(mounts[i].c_str(), 0755);
        servers[i] = startSmcfs(profile, mounts[i]);
        ok = ok && servers[i] > 0 && mounted(mounts[i]);
    }
    std::vector<double> times[2];
    for (int round = 0; ok && round < kReportRounds; ++round)
        for (int i = 0; ok && i < 2; ++i) {
            double wall = reportSeconds(mounts[i]);
            ok = wall >= 0;
            times[i].push_back(wall);
        }
    for (int i = 0; i < 2; ++i) {
        if (servers[i] > 0) {
            kill(servers[i], SIGTERM);
            waitpid(servers[i], nullptr, 0);
        }
        rmdir(mounts[i].c_str());
        unlink((mounts[i] + ".profile").c_str());
    }
    if (!ok)
        return false;
    small = median(times[0]);
    large = median(times[1]);
    return true;
}

}  // namespace

int main()
{
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        std::printf("applesmc_bench: FUSE is not available here (/dev/fuse); nothing measured\n");
        return 0;
    }
    char work[] = "/tmp/applesmc-bench-XXXXXX";
    if (mkdtemp(work) == nullptr)
        return 1;
    std::string profile = std::string(work) + "/keys.profile";
    std::string mountpoint = std::string(work) + "/mnt";
    std::ofstream(profile) << profileText();
    mkdir(mountpoint.c_str(), 0755);

    pid_t server = startSmcfs(profile, mountpoint);
    if (server < 0)
        return 1;

    // Listings go to /dev/null; the figures to the real standard output.
    std::fflush(stdout);
    int report = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);

    std::vector<double> first, second, bare, readFirst, readAgain, readBare;
    DriverFiles files(mountpoint);
    for (int round = 0; round < kRounds; ++round) {
        platform::installSMCService(platform::makeAppleSMCService(mountpoint));
        if (SMCOpen(&conn) != 0)
            return 1;
        first.push_back(seconds([] { SMCPrintAll(); std::fflush(stdout); }));
        second.push_back(seconds([] { SMCPrintAll(); std::fflush(stdout); }));
        bare.push_back(seconds([&] { bareListing(files); }));
        smc_close();

        // One read by name: first in a process (learning names up to it),
        // then once known; the bare calls set the cursor and read the value.
        platform::installSMCService(platform::makeAppleSMCService(mountpoint));
        if (SMCOpen(&conn) != 0)
            return 1;
        SMCVal val;
        readFirst.push_back(seconds([&] { SMCReadKey("K500", &val); }));
        char keys[kReads][5];
        for (int i = 0; i < kReads; ++i)
            std::snprintf(keys[i], sizeof keys[i], "K%03d", i * 37 % kKeys);
        for (int i = 0; i < kReads; ++i)
            SMCReadKey(keys[i], &val);  // every name known before timing
        readAgain.push_back(seconds([&] {
                                for (int i = 0; i < kReads; ++i)
                                    SMCReadKey(keys[i], &val);
                            }) /
                            kReads);
        readBare.push_back(seconds([&] {
                               char bytes[32];
                               for (int i = 0; i < kReads; ++i) {
                                   files.setCursor(i * 37 % kKeys + 1);
                                   (void)!pread(files.data, bytes, sizeof bytes, 0);
                               }
                           }) /
                           kReads);
        smc_close();
    }
    platform::installSMCService(nullptr);

    dup2(report, STDOUT_FILENO);
    double listingFirst = median(first) / median(bare), listingSecond = median(second) / median(bare);
    std::printf("smc -l over smcfs, 1000 keys (median of %d)\n", kRounds);
    std::printf("  bare loop                 %8.2f ms\n", median(bare) * 1e3);
    std::printf("  first listing, learning   %8.2f ms   %.2fx  (target %.1fx)\n", median(first) * 1e3, listingFirst,
                kListingTarget);
    std::printf("  second listing            %8.2f ms   %.2fx  (target %.1fx)\n", median(second) * 1e3,
                listingSecond, kListingTarget);
    std::printf("SMCReadKey by name over smcfs\n");
    std::printf("  bare calls (cursor, value) %7.1f us\n", median(readBare) * 1e6);
    std::printf("  first, learning to K500   %8.1f us   %.1fx\n", median(readFirst) * 1e6,
                median(readFirst) / median(readBare));
    std::printf("  name known                %8.1f us   %.2fx\n", median(readAgain) * 1e6,
                median(readAgain) / median(readBare));

    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    rmdir(mountpoint.c_str());
    unlink(profile.c_str());

    bool reportWithinTarget = true;
    if (access((std::string(BIN_DIR) + "/sensors-host").c_str(), X_OK) != 0) {
        std::printf("sensors-host report: %s/sensors-host is not built; not measured\n", BIN_DIR);
    } else {
        double small, large;
        if (!measureReports(work, small, large)) {
            std::printf("sensors-host report: a run failed; not measured\n");
            reportWithinTarget = false;
        } else {
            std::printf("sensors-host report over smcfs, 15 of its 24 keys absent (median of %d)\n", kReportRounds);
            std::printf("  99 keys                   %8.2f ms\n", small * 1e3);
            std::printf("  4001 keys                 %8.2f ms   %.2fx  (target %.1fx)\n", large * 1e3, large / small,
                        kReportTarget);
            reportWithinTarget = large / small <= kReportTarget;
        }
    }
    rmdir(work);
    return listingSecond <= kListingTarget && reportWithinTarget ? 0 : 1;
}
