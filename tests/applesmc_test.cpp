// The applesmc back-end over smcfs mounts: the programs print through the
// driver's files what they print on the SMC itself, root and not; writes,
// refusals and error statuses; another program moving the key cursor; the
// device search, the default choice of back-end; lm-sensors reading the double.
#include "backends/ErrnoStatus.h"
#include "backends/applesmc/AppleSMCService.h"
#include "backends/applesmc/Driver.h"
#include "support/Process.h"
#include "support/TestSMC.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

using testing_support::BackgroundProcess;
using testing_support::runProgram;

namespace {

const std::string kBin = BIN_DIR;
const std::string kProfiles = GOLDEN_DIR "/profiles";
const std::vector<std::string> kAsNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};

constexpr const char* kFanProfile = R"(
  #KEY  [ui32]  10 (bytes 00 00 00 0a)
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0Mn  [fpe2]  2000 (bytes 1f 40)
! writable
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
  F1Ac  [fpe2]  3000 (bytes 2e e0)
  F1Tg  [fpe2]  3000 (bytes 2e e0)
! writable
  FNum  [ui8 ]  2 (bytes 02)
  FS!   [ui16]  1 (bytes 00 01)
! writable
  TC0D  [sp78]  (bytes 32 80)
  TN0P  [sp78]  (bytes 30 00)
! fail read e00002ed
)";

bool fuseUsable()
{
    return access("/dev/fuse", R_OK | W_OK) == 0;
}

std::string temporaryDirectory()
{
    char name[] = "/tmp/applesmc-test-XXXXXX";
    if (mkdtemp(name) == nullptr)
        return {};
    chmod(name, 0755);  // so that another user can reach the mount
    return name;
}

bool fuseMountedAt(const std::string& path)
{
    struct statfs fs;
    return statfs(path.c_str(), &fs) == 0 && fs.f_type == 0x65735546;  // FUSE
}

// A process of its own that puts the cursor file at `cursorPath` back to
// position 0 without pause until the object ends: any other position is
// moved away from at once.
class CursorMover {
public:
    explicit CursorMover(const std::string& cursorPath)
    {
        int moving[2];
        if (pipe(moving) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            int cursor = ::open(cursorPath.c_str(), O_WRONLY);
            if (pwrite(cursor, "0", 1, 0) == 1)
                ::write(moving[1], "", 1);
            for (;;)
                pwrite(cursor, "0", 1, 0);
        }
        char byte;
        EXPECT_EQ(::read(moving[0], &byte, 1), 1) << "the other program never moved the cursor";
        close(moving[0]);
        close(moving[1]);
    }
    ~CursorMover()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// smcfs serving `service` on a directory of its own while the object lives.
class Mount {
public:
    // `directory`: where to mount, "" for a new directory of its own.
    explicit Mount(const std::string& service, const char* layout = "classic", const std::string& directory = "")
        : directory_(directory.empty() ? temporaryDirectory() : directory),
          smcfs_("/usr/bin/env", {"SMC_SERVICE=" + service, kBin + "/smcfs", "-f", "--layout", layout, directory_})
    {
        for (int waited = 0; waited < 100 && !mounted(); ++waited)
            usleep(50'000);
    }
    ~Mount()
    {
        stop();
        rmdir(directory_.c_str());
    }
    bool mounted() const { return fuseMountedAt(directory_); }
    int stop()
    {
        smcfs_.signal(SIGTERM);
        return smcfs_.wait();
    }
    const std::string& path() const { return directory_; }
    std::string service() const { return "SMC_SERVICE=applesmc:" + directory_; }
    std::string log() const { return smcfs_.output(); }

private:
    std::string directory_;
    BackgroundProcess smcfs_;
};

#define REQUIRE_FUSE()                                                            \
    do {                                                                          \
        if (!fuseUsable())                                                        \
            GTEST_SKIP() << "FUSE is not available here: /dev/fuse is missing"; \
    } while (0)

std::string profileFile(const std::string& directory, const char* text)
{
    std::string path = directory + "/machine.profile";
    std::ofstream(path) << text;
    return path;
}

// Where the driver's files cannot show what the SMC itself shows: the
// direct output with `dropped` taken out and `added` put at its end.
struct DriverView {
    const char* profile;
    const char* option;  // of smc
    const char* dropped;
    const char* added;
};
const DriverView kDriverViews[] = {
    // The driver keeps a key's name only with its information: a key whose
    // information the SMC refuses has no line through it.
    {"printers.profile", "-l", "  FINF  [    ]  no data\n", ""},
    {"fans_failing.profile", "-l", "  F1Sf  [    ]  no data\n", ""},
    // Every failure of the SMC is EIO in the driver's files, so the tool
    // cannot tell that the SMC is gone and goes on past the failed read.
    {"fans_gone.profile", "-l", "", "  F1Ac  [fpe2]  0 (bytes 00 00)\n  FS!   [ui16]  0 (bytes 00 00)\n"},
    {"fans_gone.profile", "-f", "",
     "    Actual speed : 0\n    Minimum speed: 0\n    Maximum speed: 0\n    Safe speed   : 0\n"
     "    Target speed : 0\n    Mode         : auto\n"},
    {"fnum_unreadable.profile", "-l", "", "  FNum  [ui8 ]  0 (bytes 00)\n"},
    {"gone.profile", "-l", "", "  TC0D  [sp78]  (bytes 00 00)\n  TC0H  [sp78]  (bytes 30 00)\n"},
};

TEST(AppleSMCThroughSmcfs, ProgramsPrintWhatTheyPrintOnTheSMCItself)
{
    REQUIRE_FUSE();
    std::vector<std::string> services{"builtin"};
    for (const auto& entry : std::filesystem::directory_iterator(kProfiles))
        services.push_back(entry.path().string());
    struct Program {
        const char* name;
        std::vector<std::string> arguments;
    } programs[] = {{"smc", {"-l"}}, {"smc", {"-f"}}, {"sensors-host", {}}};
    for (const std::string& service : services) {
        std::string profile = std::filesystem::path(service).filename();
        // Fan modes refused as unreadable belong to the Apple Silicon driver
        // alone; the Intel driver's files make any refusal EIO.
        if (service != "builtin" && slurp(service).find("! fail read e00002c3") != std::string::npos)
            continue;
        Mount mount(service);
        ASSERT_TRUE(mount.mounted()) << service << ": " << mount.log();
        for (const Program& program : programs) {
            auto direct = runProgram(kBin + "/" + program.name, program.arguments, {"SMC_SERVICE=" + service});
            auto driver = runProgram(kBin + "/" + program.name, program.arguments, {mount.service()});
            std::string expected = direct.output;
            for (const DriverView& view : kDriverViews) {
                if (profile != view.profile || program.arguments.empty() || program.arguments[0] != view.option)
                    continue;
                if (*view.dropped) {
                    size_t at = expected.find(view.dropped);
                    ASSERT_NE(at, std::string::npos) << service << ": the SMC itself no longer shows " << view.dropped;
                    expected.erase(at, std::strlen(view.dropped));
                }
                expected += view.added;
            }
            EXPECT_EQ(driver.output, expected) << service << " " << program.name;
            EXPECT_EQ(driver.status, direct.status) << service << " " << program.name;
        }
    }
}

// On a file system mounted read-only the cursor cannot be moved: the tool
// says so as for a user who may not move it, and lists nothing made up.
TEST(AppleSMCThroughSmcfs, AReadOnlyMountRefusesTheCursor)
{
    REQUIRE_FUSE();
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount";
    Mount mount("builtin");
    ASSERT_TRUE(mount.mounted()) << mount.log();
    std::string readOnly = temporaryDirectory();
    std::string script = "mount --bind " + mount.path() + " " + readOnly + " && mount -o remount,bind,ro " +
                         readOnly + " && exec env SMC_SERVICE=applesmc:" + readOnly + " " + kBin + "/smc -l";
    auto run = runProgram("/usr/bin/unshare", {"-m", "sh", "-c", script});
    rmdir(readOnly.c_str());
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "smc: key at position 0: lookup failed: e00002c1 (not permitted)\n"
                          "smc: keys at positions 1 to 191: lookup failed the same way\n");
    EXPECT_EQ(run.status, 1);
}

// The packaged unit leaves /run read-only to smcd but for its runtime
// directory: the cursor's lock must live there, for smcd and root's tools
// alike, and a process without it says why, once.
TEST(AppleSMCThroughSmcfs, TheCursorLockLivesInTheDaemonsRuntimeDirectory)
{
    REQUIRE_FUSE();
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount";
    std::string unit = slurp(CONTRIB_DIR "/systemd/smcd.service.in");
    size_t at = unit.find("\nRuntimeDirectory=");
    ASSERT_NE(at, std::string::npos) << "the unit gives smcd no runtime directory";
    at += std::strlen("\nRuntimeDirectory=");
    std::string runtime = "/run/" + unit.substr(at, unit.find('\n', at) - at);
    std::string profile = kProfiles + "/host.profile";
    Mount mount(profile);
    ASSERT_TRUE(mount.mounted()) << mount.log();
    std::string expected = runProgram(kBin + "/smc", {"-r", "-k", "TC0D"}, {"SMC_SERVICE=" + profile}).output;
    std::string lock = platform::applesmc::cursorLockPath(mount.path());
    ASSERT_EQ(lock.rfind(runtime + "/", 0), 0u) << lock << " is not in " << runtime;
    struct Case {
        const char* what;
        std::string setup;
        bool locked;
    } cases[] = {
        {"/run read-only", "mount -t tmpfs -o ro,mode=0755 tmpfs /run", false},
        {"its directory read-only", "mkdir -p " + runtime + " && mount -t tmpfs -o ro,mode=0755 tmpfs " + runtime, false},
        {"as the unit leaves it", "mount -t tmpfs -o mode=0755 tmpfs /run && mkdir " + runtime + " && mount -o remount,ro /run && " +
                                      "mount -t tmpfs -o mode=0755 tmpfs " + runtime, true},
    };
    const std::string said = "applesmc: no lock on the key cursor: cannot open " + lock + ": Read-only file system";
    for (const Case& c : cases) {
        std::string script = c.setup + " && env " + mount.service() + " " + kBin + "/smc -r -k TC0D; status=$?; " +
                             "test -e " + lock + " || echo no lock made >&2; exit $status";
        auto run = runProgram("/usr/bin/unshare", {"-m", "sh", "-c", script});
        EXPECT_EQ(run.output, expected) << c.what << ": " << run.errors;
        if (c.locked) {
            EXPECT_EQ(run.errors, "") << c.what;
        } else {
            EXPECT_EQ(run.errors, said + "; reads are still checked, but beside this project's other processes "
                                         "they are refused busy more often\nno lock made\n") << c.what;
        }
    }
}

TEST(AppleSMCThroughSmcfs, WithoutRootFanAndTemperatureKeysServe)
{
    REQUIRE_FUSE();
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run programs as another user";
    struct Case {
        const char* profile;
        std::vector<std::string> arguments;  // of smc; empty: sensors-host
        std::string expected;                // "=": what smc prints on the profile as root
        int status;
    } cases[] = {
        {"fans.profile", {"-f"}, "=", 0},
        {"fans.profile", {"-k", "FS! ", "-r"}, "=", 0},
        // The files give whole rpm and quarter degrees, not the SMC's bytes: the
        // raw tool refuses them, reports show them.
        {"fans.profile", {"-k", "F1Tg", "-r"}, "Error: SMCReadKey() = e00002c1\n", 1},
        {"host.profile", {"-k", "TC0D", "-r"}, "Error: SMCReadKey() = e00002c1\n", 1},
        {"host.profile", {"-k", "#KEY", "-r"}, "  #KEY  [ui32]  14 (bytes 00 00 00 0e)\n", 0},
        {"fans.profile", {"-l"}, "", 1},  // nothing listed, so not whole; the reason goes to stderr
        {"host.profile", {"-k", "F0ID", "-r"}, "Error: SMCReadKey() = e00002c1\n", 1},
        {"fans.profile", {"-k", "F0Mn", "-w", "2ee0"}, "Error: SMCWriteKey() = e00002c1\n", 1},
        // Fan names need F<n>ID, root's; temperatures and speeds come through.
        {"host.profile", {}, R"(Temperatures
  priority 1
    CPU Die                        50.5 °C
    GPU Die                        44.3 °C
  priority 2
    CPU A Heatsink                 48.0 °C
    Memory Proximity               39.3 °C
  priority 3
    Battery                        29.0 °C
  priority 4
    Palm Rest                      32.0 °C

Fans
  Fan 0                            2000 rpm  min     ?  max     ?  target     ?  auto
  Fan 1                            3000 rpm  min     ?  max     ?  target     ?  auto
  Fan 2                            2000 rpm  min     ?  max     ?  target     ?  auto
)", 0},
    };
    std::map<std::string, std::unique_ptr<Mount>> mounts;
    for (const Case& c : cases) {
        std::string profile = kProfiles + "/" + c.profile;
        auto& mount = mounts[profile];
        if (!mount)
            mount = std::make_unique<Mount>(profile);
        ASSERT_TRUE(mount->mounted()) << mount->log();
        std::string program = kBin + (c.arguments.empty() ? "/sensors-host" : "/smc");
        auto run = runProgram(program, c.arguments, {mount->service()}, kAsNobody);
        std::string expected = c.expected;
        if (expected == "=")
            expected = runProgram(program, c.arguments, {"SMC_SERVICE=" + profile}).output;
        EXPECT_EQ(run.output, expected) << c.profile << " " << (c.arguments.empty() ? "" : c.arguments[0]);
        EXPECT_EQ(run.status, c.status) << c.profile;
        if (!c.arguments.empty() && c.arguments[0] == "-l") {
            EXPECT_NE(run.errors.find("needs root or smcd"), std::string::npos) << run.errors;
            EXPECT_NE(run.errors.find("SMC_SERVICE=unix:/run/smcd.sock"), std::string::npos) << run.errors;
        }
    }
}

class AppleSMCBackEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fuseUsable())
            GTEST_SKIP() << "FUSE is not available here: /dev/fuse is missing";
        directory = temporaryDirectory();
        profile = profileFile(directory, kFanProfile);
    }
    void TearDown() override
    {
        if (connection)
            SMCClose(connection);
        mount.reset();
        platform::installSMCService(nullptr);
        std::filesystem::remove_all(directory);
    }
    // Mounts the fan profile and opens the back-end on it in this process.
    void open(const char* layout = "classic")
    {
        mount = std::make_unique<Mount>(profile, layout);
        ASSERT_TRUE(mount->mounted()) << mount->log();
        platform::installSMCService(platform::makeAppleSMCService(mount->path()));
        ASSERT_EQ(SMCOpen(&connection), 0);
    }
    // The key's bytes as this connection reads them, or "status X" on failure.
    std::string read(const char* key)
    {
        SMCVal val{};
        kern_return_t status = SMCReadKey2(key, &val, connection);
        if (status != KERN_SUCCESS)
            return "status " + testing::PrintToString(status);
        return std::string(val.bytes, val.dataSize);
    }
    kern_return_t write(const char* key, const char* hex, uint32_t size)
    {
        SMCKeyData request{}, response{};
        request.key = platform::fourCharCode(key);
        request.command = SMCCommandWriteKey;
        request.dataSize = size;
        for (uint32_t i = 0; i < size; ++i)
            request.bytes[i] = char(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
        return SMCCall2(kSMCUserClientCall, &request, &response, connection);
    }
    std::string file(const std::string& name, const char* layout = "classic")
    {
        std::string sensors = std::strcmp(layout, "hwmon") == 0 ? "/hwmon/hwmon0/" : "/";
        return slurp(mount->path() + sensors + name);
    }

    std::string directory, profile;
    std::unique_ptr<Mount> mount;
    io_connect_t connection = 0;
};

TEST_F(AppleSMCBackEnd, WritesLandBehindSmcfsAndOthersAreRefused)
{
    for (const char* layout : {"classic", "hwmon"}) {
        SCOPED_TRACE(layout);
        if (connection)
            SMCClose(connection);
        connection = 0;
        open(layout);
        bool classic = std::strcmp(layout, "classic") == 0;
        std::string output = classic ? "fan2_output" : "fan2_target";
        std::string manual2 = classic ? "fan2_manual" : "pwm2_enable";
        std::string manual1 = classic ? "fan1_manual" : "pwm1_enable";
        std::string on = "1\n", off = classic ? "0\n" : "2\n";
        struct Case {
            const char* key;
            const char* hex;
            uint32_t size;
            kern_return_t status;
            std::string file;
            std::string shows;
        } cases[] = {
            {"F0Mn", "2ee0", 2, KERN_SUCCESS, "fan1_min", "3000\n"},
            {"F1Tg", "0fa3", 2, KERN_SUCCESS, output, "1000\n"},  // the fraction bits cannot be written
            {"FS! ", "0003", 2, KERN_SUCCESS, manual2, on},
            {"FS! ", "0002", 2, KERN_SUCCESS, manual1, off},
            {"FS! ", "0006", 2, kIOReturnBadArgument, manual2, on},  // there is no fan 3
            {"F0Mn", "2e", 1, kIOReturnBadArgument, "fan1_min", "3000\n"},
            {"F0Ac", "1f40", 2, kIOReturnUnsupported, "fan1_input", "2000\n"},
            {"TC0D", "3000", 2, kIOReturnUnsupported, "temp1_input", "50500\n"},
            {"F2Mn", "1f40", 2, kIOReturnUnsupported, "fan1_min", "3000\n"},
        };
        for (const Case& c : cases) {
            EXPECT_EQ(write(c.key, c.hex, c.size), c.status) << c.key << " " << c.hex;
            EXPECT_EQ(file(c.file, layout), c.shows) << c.key << " " << c.hex;
        }
        // The key reads back as the SMC behind smcfs now holds it.
        SMCVal val;
        ASSERT_EQ(SMCReadKey2("F1Tg", &val, connection), KERN_SUCCESS);
        EXPECT_EQ(std::string(val.bytes, 2), "\x0f\xa0");
        mount.reset();
        platform::installSMCService(nullptr);
    }
}

// A listing takes each value in the pass that learns its key's name; that
// value may serve only the read that follows at once, never a later one.
TEST_F(AppleSMCBackEnd, AValueReadAheadServesOnlyTheReadStraightAfter)
{
    open();
    auto keyAt = [&](uint32_t index) {
        SMCKeyData request{}, response{};
        request.command = SMCCommandKeyAtIndex;
        request.index = index;
        EXPECT_EQ(SMCCall2(kSMCUserClientCall, &request, &response, connection), KERN_SUCCESS) << index;
        return platform::fourCharText(response.key);
    };
    auto read = [&](const std::string& key) {
        SMCVal val{};
        EXPECT_EQ(SMCReadKey2(key.c_str(), &val, connection), KERN_SUCCESS) << key;
        return std::string(val.bytes, val.dataSize);
    };
    struct Case {
        const char* between;  // what happens between naming F0Mn and reading it
        std::string shows;
    } cases[] = {
        {"nothing", "\x1f\x40"},
        {"a write by this process", "\x2e\xe0"},   // 3000 rpm
        {"a write by another, then a pause", "\x0f\xa0"},  // 1000 rpm
    };
    for (const Case& c : cases) {
        // A new process's view: names are learnt afresh, as a listing goes.
        SMCClose(connection);
        platform::installSMCService(platform::makeAppleSMCService(mount->path()));
        ASSERT_EQ(SMCOpen(&connection), 0);
        std::string key;
        for (uint32_t index = 0; (key = keyAt(index)) != "F0Mn"; ++index)
            read(key);
        if (std::strcmp(c.between, "a write by this process") == 0) {
            EXPECT_EQ(write("F0Mn", "2ee0", 2), KERN_SUCCESS);
        } else if (std::strcmp(c.between, "a write by another, then a pause") == 0) {
            std::ofstream(mount->path() + "/fan1_min") << "1000\n";
            usleep(50'000);
        }
        EXPECT_EQ(read("F0Mn"), c.shows) << c.between;
    }
}

TEST_F(AppleSMCBackEnd, ErrorsMapToStatusesInOnePlace)
{
    struct Case {
        int error;
        kern_return_t status;
    } cases[] = {
        {EACCES, kIOReturnNotPrivileged}, {EPERM, kIOReturnNotPrivileged}, {EINVAL, kIOReturnBadArgument},
        {EIO, kIOReturnIOError},          {ENODEV, kIOReturnNoDevice},     {ENXIO, kIOReturnNoDevice},
        {ENOENT, kIOReturnNoDevice},      {ENOTCONN, kIOReturnNoDevice},   {ESTALE, kIOReturnNoDevice},
        {EBUSY, kIOReturnError},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::statusFromErrno(c.error), c.status) << std::strerror(c.error);

    open();
    SMCVal val;
    EXPECT_EQ(SMCReadKey2("TN0P", &val, connection), kIOReturnIOError);  // EIO from the data file
    EXPECT_EQ(SMCReadKey2("TC0D", &val, connection), KERN_SUCCESS);
    SMCVal missing;
    EXPECT_EQ(SMCReadKey2("NONE", &missing, connection), KERN_SUCCESS);
    EXPECT_EQ(missing.dataSize, 0u);  // as the controller answers an unknown key
    // smcfs ends cleanly on SIGTERM and takes its mount down; the back-end's
    // open files then answer that the device is gone.
    EXPECT_EQ(mount->stop(), 0) << mount->log();
    EXPECT_FALSE(mount->mounted());
    EXPECT_EQ(SMCReadKey2("TC0D", &val, connection), kIOReturnNoDevice);
    // A directory without the driver's files is no service at all.
    platform::installSMCService(platform::makeAppleSMCService(mount->path()));
    io_connect_t none = 0;
    testing_support::captureStdout([&] { EXPECT_EQ(SMCOpen(&none), 1); });
}

// A sorted key table of `count` keys ("#KEY", then A000, A001, ...), each
// holding its position's low byte; with `halvesSwapped`, out of order.
std::string largeTable(int count, bool halvesSwapped)
{
    std::vector<std::string> lines;
    for (int i = 1; i < count; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "  %c%03d  [ui8 ]  (bytes %02x)\n", 'A' + (i - 1) / 1000, (i - 1) % 1000, i % 256);
        lines.push_back(line);
    }
    if (halvesSwapped)
        std::rotate(lines.begin(), lines.begin() + lines.size() / 2, lines.end());
    char count32[80];
    std::snprintf(count32, sizeof count32, "  #KEY  [ui32]  (bytes 00 00 %02x %02x)\n", count >> 8, count & 0xff);
    std::string text = count32;
    for (const std::string& line : lines)
        text += line;
    return text;
}

// The write system calls this thread made so far: each move of the cursor is one.
long writesSoFar()
{
    std::ifstream io("/proc/thread-self/io");
    std::string field;
    long value = 0;
    while (io >> field >> value)
        if (field == "syscw:")
            return value;
    return -1;
}

// A key the machine lacks is found missing by a search over the sorted
// table, not by walking it; a table out of order still answers right.
TEST_F(AppleSMCBackEnd, KeysAreFoundWithoutWalkingTheTable)
{
    constexpr int kKeys = 1200;
    const long searchMoves = long(std::ceil(std::log2(kKeys))) + 2;
    struct Case {
        const char* key;
        std::string bytes;  // "" for a key the machine lacks
    } cases[] = {
        {"A59z", ""}, {"0000", ""},      {"zzzz", ""},      {"B199", ""},
        {"#KEX", ""}, {"A000", "\x01"}, {"A599", "\x58"}, {"B198", "\xaf"},
    };
    for (bool halvesSwapped : {false, true}) {
        SCOPED_TRACE(halvesSwapped ? "halves swapped" : "sorted");
        if (connection)
            SMCClose(connection);
        connection = 0;
        profile = profileFile(directory, largeTable(kKeys, halvesSwapped).c_str());
        open();
        ASSERT_EQ(read("#KEY"), std::string("\x00\x00\x04\xb0", 4));
        for (const Case& c : cases) {
            long before = writesSoFar();
            EXPECT_EQ(read(c.key), c.bytes) << c.key;
            if (!halvesSwapped) {
                EXPECT_LE(writesSoFar() - before, searchMoves) << c.key << ": the cursor moved this often";
            }
        }
        mount.reset();
    }
}

// The table one process learnt serves the next: it finds a key and lists
// the keys with a few moves of the cursor (both ends of the count and two
// names), not by a search. Another table, as when a mount's device number
// comes back, never gives a wrong answer.
TEST_F(AppleSMCBackEnd, NamesLearntOnceServeTheNextProcessAndAreChecked)
{
    profile = profileFile(directory, largeTable(1200, false).c_str());
    open();
    std::string names = platform::applesmc::cursorLockPath(mount->path());
    if (geteuid() != 0 || names.empty())
        GTEST_SKIP() << "the names are kept beside root's lock in /run";
    names.replace(names.size() - 5, 5, ".table");
    std::filesystem::remove(names);
    auto reopen = [&] {
        SMCClose(connection);
        platform::installSMCService(platform::makeAppleSMCService(mount->path()));
        ASSERT_EQ(SMCOpen(&connection), 0);
    };
    ASSERT_EQ(read("A500"), "\xf5");
    ASSERT_TRUE(std::filesystem::exists(names)) << "the first lookup learns every name";

    reopen();
    long before = writesSoFar();
    EXPECT_EQ(read("A700"), "\xbd");
    // Four moves; a sanitizer's own writes may add a few, where a search
    // (the cursor's bound, then the key) makes about thirty.
    EXPECT_LT(writesSoFar() - before, 10) << "the next process searched anyway";

    // Another table of as many keys: the mount's table with a few positions
    // changed (the sampled last and middle positions kept), or with every
    // name changed. A key's type and length are checked with its name, before
    // any caller is told them.
    struct Change {
        int position;
        const char* name;
        uint32_t length = 1;
        const char* type = "ui8 ";
    };
    struct Case {
        const char* key;
        std::vector<Change> changes;  // position -1: every name starts with the name's letter
        std::string value;
    };
    const Case cases[] = {
        {"A700", {{701, "A700", 2}}, "\xbd"},              // its length wrong
        {"A700", {{701, "A700", 1, "sp78"}}, "\xbd"},      // its type wrong
        {"A700", {{701, "A69z"}, {702, "A700"}}, "\xbd"},  // a position late
        {"B100", {{1101, "B10/"}}, "\x4d"},                // absent by the table
        {"B10/", {{1101, "B10/"}}, ""},                    // present by the table
        {"B100", {{-1, "C"}}, "\x4d"},                     // another table altogether
    };
    for (const Case& c : cases) {
        std::string table("smctabl1", 8);
        for (int i = 0; i < 1200; ++i) {
            char name[8];
            std::snprintf(name, sizeof name, "%c%03d", 'A' + (i - 1) / 1000, (i - 1) % 1000);
            uint32_t record[3] = {platform::fourCharCode(i == 0 ? "#KEY" : name),
                                  platform::fourCharCode(i == 0 ? "ui32" : "ui8 "), i == 0 ? 4u : 1u};
            for (const Change& change : c.changes) {
                if (change.position < 0 && i > 0) {
                    name[0] = char(name[0] + change.name[0] - 'A');
                    record[0] = platform::fourCharCode(name);
                } else if (change.position == i) {
                    record[0] = platform::fourCharCode(change.name);
                    record[1] = platform::fourCharCode(change.type);
                    record[2] = change.length;
                }
            }
            table.append(reinterpret_cast<const char*>(record), sizeof record);
        }
        std::ofstream(names, std::ios::binary | std::ios::trunc) << table;
        std::filesystem::permissions(names, std::filesystem::perms(0644));
        reopen();
        SMCVal info{};
        EXPECT_EQ(SMCReadKey2(c.key, &info, connection), KERN_SUCCESS) << c.key;
        EXPECT_EQ(std::string(info.dataType), c.value.empty() ? "" : "ui8") << c.key << " with another table";
        EXPECT_EQ(read(c.key), c.value) << c.key << " with another table";
        EXPECT_EQ(read("A500"), "\xf5") << "after " << c.key;
    }
}

// Finding keys costs the SMC nothing: key_count, which reads #KEY from the
// SMC each time, is not read for it, nor in place of a read of #KEY.
TEST_F(AppleSMCBackEnd, FindingKeysReadsNoKeyCount)
{
    open();
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, mount->path().c_str(), IN_ACCESS), 0);
    for (const char* key : {"TC0D", "NONE", "F1Tg", "#KEY"})
        read(key);
    std::map<std::string, int> reads;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;)
        for (char* at = events; at < events + n; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
            ++reads[reinterpret_cast<inotify_event*>(at)->name];
    close(watch);
    EXPECT_EQ(reads["key_count"], 0);
    EXPECT_GT(reads["key_at_index_data"], 0) << "the reads never reached the SMC: inotify saw nothing";
}

TEST_F(AppleSMCBackEnd, AnotherProgramMovingTheCursorNeverYieldsAWrongValue)
{
    mount = std::make_unique<Mount>("builtin");
    ASSERT_TRUE(mount->mounted()) << mount->log();
    platform::installSMCService(platform::makeAppleSMCService(mount->path()));
    ASSERT_EQ(SMCOpen(&connection), 0);
    std::string error;
    auto reference = platform::loadEmulatedSMC(nullptr, error);
    ASSERT_TRUE(reference) << error;
    std::vector<platform::SMCKeyEntry> keys;
    for (const auto& entry : reference->keys())
        if (entry.size > 0 && entry.failures == decltype(entry.failures){})
            keys.push_back(entry);

    // The other program: enumerates keys in a tight loop as users' scripts
    // do (set the cursor, read name and value), in random order, counting its
    // moves where the test can see them.
    auto* moves = static_cast<std::atomic<long>*>(
        mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(moves, MAP_FAILED);
    new (moves) std::atomic<long>(0);
    std::string cursorPath = mount->path() + "/key_at_index";
    std::string namePath = mount->path() + "/key_at_index_name";
    std::string dataPath = mount->path() + "/key_at_index_data";
    size_t total = reference->keys().size();
    pid_t mover = fork();
    if (mover == 0) {
        int cursor = ::open(cursorPath.c_str(), O_WRONLY);
        int name = ::open(namePath.c_str(), O_RDONLY);
        int data = ::open(dataPath.c_str(), O_RDONLY);
        uint32_t state = 12345;
        char buffer[64];
        for (;;) {
            state = state * 1103515245 + 12345;
            int length = std::snprintf(buffer, sizeof buffer, "%zu", (state >> 8) % total);
            if (pwrite(cursor, buffer, size_t(length), 0) > 0)
                moves->fetch_add(1);
            pread(name, buffer, sizeof buffer, 0);
            pread(data, buffer, sizeof buffer, 0);
        }
    }
    ASSERT_GT(mover, 0);
    int wrong = 0, failed = 0;
    for (int i = 0; i < 10000; ++i) {
        const platform::SMCKeyEntry& entry = keys[size_t(i) * 7 % keys.size()];
        std::string key = platform::fourCharText(entry.key);
        SMCVal val;
        kern_return_t status = SMCReadKey2(key.c_str(), &val, connection);
        if (status != KERN_SUCCESS) {
            EXPECT_EQ(status, kIOReturnBusy) << key;  // bounded failure is the only other answer
            ++failed;
            continue;
        }
        if (val.dataSize != entry.size || std::memcmp(val.bytes, entry.bytes.data(), entry.size) != 0)
            ADD_FAILURE() << "wrong value #" << ++wrong << " for " << key << ": size " << val.dataSize << ", "
                          << testing::PrintToString(std::string(val.bytes, val.dataSize < 32 ? val.dataSize : 32));
        if (wrong >= 5)
            break;
    }
    // A listing in a new process's view, names learnt with their values.
    SMCClose(connection);
    platform::installSMCService(platform::makeAppleSMCService(mount->path()));
    ASSERT_EQ(SMCOpen(&connection), 0);
    std::map<std::string, std::string> truth;
    for (const auto& entry : keys)
        truth[platform::fourCharText(entry.key)] = std::string(entry.bytes.begin(), entry.bytes.begin() + entry.size);
    for (uint32_t index = 0; index < total && wrong < 5; ++index) {
        SMCKeyData request{}, response{};
        request.command = SMCCommandKeyAtIndex;
        request.index = index;
        if (SMCCall2(kSMCUserClientCall, &request, &response, connection) != KERN_SUCCESS)
            continue;
        std::string key = platform::fourCharText(response.key);
        SMCVal val;
        auto known = truth.find(key);
        if (known == truth.end() || SMCReadKey2(key.c_str(), &val, connection) != KERN_SUCCESS)
            continue;
        if (std::string(val.bytes, val.dataSize) != known->second)
            ADD_FAILURE() << "wrong value #" << ++wrong << " for " << key << " in a listing";
    }
    long moved = moves->load();
    kill(mover, SIGKILL);
    waitpid(mover, nullptr, 0);
    munmap(moves, sizeof(std::atomic<long>));
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(moved, 1000) << "the other program hardly moved the cursor";
    // Giving up is allowed (bounded); this is no test of speed, yet reads must get through.
    EXPECT_LT(failed, 10000);
    std::printf("cursor moved %ld times by the other program; %d of 10000 reads gave up\n", moved, failed);
}

// Any user may open the driver's files and lock them: a lock there must
// never stop this project's processes, nor one held on the project's own.
TEST_F(AppleSMCBackEnd, ReadsFinishWhileOtherProcessesHoldLocks)
{
    open();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        for (std::string path : {mount->path() + "/key_at_index", platform::applesmc::cursorLockPath(mount->path())}) {
            int fd = ::open(path.c_str(), O_RDONLY | O_CREAT, 0600);
            if (fd >= 0)
                flock(fd, LOCK_EX);
        }
        ::write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    auto reads = std::async(std::launch::async, [&] {
        std::vector<std::string> values;
        for (const char* key : {"TC0D", "F0Mn", "F1Tg", "TC0D"})
            values.push_back(read(key));
        return values;
    });
    bool finished = reads.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    kill(holder, SIGKILL);  // lets a read that hangs on a lock end
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_TRUE(finished) << "reads waited on a lock another process holds";
    EXPECT_EQ(reads.get(), (std::vector<std::string>{"\x32\x80", "\x1f\x40", "\x2e\xe0", "\x32\x80"}));
}

// While another program keeps moving the cursor, fan and temperature keys
// still read, as smcd reads them with the key table learnt: from the
// cursor, else from their own files, whose rounding these values survive.
TEST_F(AppleSMCBackEnd, FanKeysReadWhileAnotherProgramKeepsMovingTheCursor)
{
    open();
    std::map<std::string, std::string> expected;
    for (const char* key : {"F0Mn", "F1Tg", "FS! ", "TC0D"})
        expected[key] = read(key);
    CursorMover mover(mount->path() + "/key_at_index");
    for (int round = 0; round < 10; ++round)
        for (const auto& [key, bytes] : expected)
            EXPECT_EQ(read(key.c_str()), bytes) << key << " in round " << round;
}

// While another program keeps moving the cursor, the tool shows no byte
// that the SMC does not hold: a value the driver's files give only rounded
// (30.28 degrees as 30.25, 2000.75 rpm as 2000) is a read that failed.
TEST(AppleSMCThroughSmcfs, TheToolShowsNoRoundedValueAsTheSMCsBytes)
{
    REQUIRE_FUSE();
    std::string directory = temporaryDirectory();
    std::string profile = profileFile(directory, R"(
  #KEY  [ui32]  4 (bytes 00 00 00 04)
  F0Ac  [fpe2]  (bytes 1f 43)
  FNum  [ui8 ]  1 (bytes 01)
  TC0D  [sp78]  (bytes 1e 49)
)");
    Mount mount(profile);
    ASSERT_TRUE(mount.mounted()) << mount.log();
    CursorMover mover(mount.path() + "/key_at_index");
    const std::vector<std::string> runs[] = {{"-r", "-k", "TC0D"}, {"-r", "-k", "F0Ac"}, {"-l"}};
    for (const auto& arguments : runs) {
        std::string direct = runProgram(kBin + "/smc", arguments, {"SMC_SERVICE=" + profile}).output;
        auto run = runProgram(kBin + "/smc", arguments, {mount.service()});
        std::istringstream lines(run.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.find("(bytes") != std::string::npos) {
                EXPECT_NE(direct.find(line + "\n"), std::string::npos) << arguments[0] << ": " << line;
            }
        }
    }
    std::filesystem::remove_all(directory);
}

// A cursor that never stays where this process puts it: a plain directory
// whose name file keeps showing another key. The fan's file answers, in the
// key's own type, and a person is told once what is going on.
TEST(AppleSMCPlainFiles, AFanKeyComesFromItsFileWhileTheCursorStaysBusy)
{
    std::string directory = temporaryDirectory();
    struct {
        const char* name;
        std::string text;
    } files[] = {
        {"key_count", "1\n"}, {"key_at_index", "0\n"}, {"key_at_index_name", "F0Mn\n"},
        {"key_at_index_type", "flt \n"}, {"key_at_index_data_length", "4\n"},
        {"key_at_index_data", std::string("\x00\x10\x96\x44", 4)},  // 1200.5
        {"fan1_input", "2000\n"}, {"fan1_min", "1200\n"},
    };
    for (const auto& file : files)
        std::ofstream(directory + "/" + file.name) << file.text;
    platform::installSMCService(platform::makeAppleSMCService(directory));
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    auto read = [&] {
        SMCVal val{};
        kern_return_t status = SMCReadKey2("F0Mn", &val, connection);
        return status != KERN_SUCCESS ? "status " + testing::PrintToString(status) : std::string(val.bytes, val.dataSize);
    };
    EXPECT_EQ(read(), std::string("\x00\x10\x96\x44", 4));  // the cursor first: the exact bytes
    std::ofstream(directory + "/key_at_index_name") << "TC0P\n";  // another program moved it
    testing::internal::CaptureStderr();
    EXPECT_EQ(read(), std::string("\x00\x00\x96\x44", 4));  // 1200: the file's whole rpm
    EXPECT_EQ(read(), std::string("\x00\x00\x96\x44", 4));
    std::string errors = testing::internal::GetCapturedStderr();
    std::string said = "another program keeps moving the driver's key cursor (" + directory + "/key_at_index)";
    size_t note = errors.find(said);
    EXPECT_NE(note, std::string::npos) << errors;
    EXPECT_EQ(errors.find(said, note + 1), std::string::npos) << "said more than once: " << errors;
    SMCClose(connection);
    platform::installSMCService(nullptr);
    std::filesystem::remove_all(directory);
}

TEST_F(AppleSMCBackEnd, T2FanKeysAreFloatsAndTheModeIsPerFan)
{
    profile = kProfiles + "/t2.profile";
    open();
    EXPECT_EQ(read("F0Ac"), std::string("\x00\x4c\x03\x45", 4));  // the exact bytes, through the cursor
    struct Case {
        const char* key;
        const char* hex;
        uint32_t size;
        kern_return_t status;
        std::string file;
        std::string shows;
    } cases[] = {
        {"F0Tg", "00803b45", 4, KERN_SUCCESS, "fan1_output", "3000\n"},
        {"F0Tg", "004c1c45", 4, KERN_SUCCESS, "fan1_output", "2500\n"},  // 2500.75: whole rpm cross the file
        {"F0Tg", "0bb8", 2, kIOReturnBadArgument, "fan1_output", "2500\n"},
        {"F0Mn", "000080bf", 4, kIOReturnBadArgument, "fan1_min", "1200\n"},  // -1
        {"F0Mn", "0000c07f", 4, kIOReturnBadArgument, "fan1_min", "1200\n"},  // NaN
        {"F0Mn", "00008046", 4, kIOReturnBadArgument, "fan1_min", "1200\n"},  // 16384
        {"F0Mn", "00fe7f46", 4, KERN_SUCCESS, "fan1_min", "16383\n"},
        {"F0Md", "01", 1, KERN_SUCCESS, "fan1_manual", "1\n"},
        {"F1Md", "00", 1, KERN_SUCCESS, "fan2_manual", "0\n"},
        {"F1Md", "0100", 2, kIOReturnBadArgument, "fan2_manual", "0\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(write(c.key, c.hex, c.size), c.status) << c.key << " " << c.hex;
        EXPECT_EQ(file(c.file), c.shows) << c.key << " " << c.hex;
    }
    EXPECT_EQ(read("F0Tg"), std::string("\x00\x40\x1c\x45", 4));  // 2500.0
    EXPECT_EQ(read("F0Md"), "\x01");
}

// smcd keeps one connection for its whole life: when the files go away
// and come back (the driver reloaded, smcfs restarted), it works again.
TEST_F(AppleSMCBackEnd, ReadsWorkAgainOnTheSameConnectionOnceTheFilesAreBack)
{
    open();
    testing::internal::CaptureStderr();
    EXPECT_EQ(read("F0Mn"), "\x1f\x40");
    ASSERT_EQ(mount->stop(), 0) << mount->log();
    EXPECT_EQ(read("F0Mn"), "status " + testing::PrintToString(kIOReturnNoDevice));
    {
        Mount again(profile, "classic", mount->path());
        ASSERT_TRUE(again.mounted()) << again.log();
        std::string value;
        for (int tries = 0; tries < 50 && (value = read("F0Mn")) != "\x1f\x40"; ++tries)
            usleep(100'000);
        EXPECT_EQ(value, "\x1f\x40");
        EXPECT_EQ(read("TC0D"), "\x32\x80");
        EXPECT_EQ(again.stop(), 0);
    }
    std::string errors = testing::internal::GetCapturedStderr();
    for (const char* note : {"went away", "are back"}) {
        size_t at = errors.find(note);
        EXPECT_NE(at, std::string::npos) << note << ": " << errors;
        EXPECT_EQ(errors.find(note, at + 1), std::string::npos) << note << ": " << errors;
    }
}

// smcfs leaves its working directory when it starts; a relative mount point
// must still be found when it unmounts.
TEST(Smcfs, ARelativeMountPointIsUnmountedOnSigterm)
{
    REQUIRE_FUSE();
    std::string parent = temporaryDirectory();
    std::string directory = parent + "/mnt";
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    BackgroundProcess smcfs("/bin/sh", {"-c", "cd " + parent + " && SMC_SERVICE=builtin exec " + kBin + "/smcfs -f mnt"});
    for (int waited = 0; waited < 100 && !fuseMountedAt(directory); ++waited)
        usleep(50'000);
    ASSERT_TRUE(fuseMountedAt(directory)) << smcfs.output();
    smcfs.signal(SIGTERM);
    EXPECT_EQ(smcfs.wait(), 0) << smcfs.output();
    bool left = fuseMountedAt(directory) || access(directory.c_str(), F_OK) != 0;
    EXPECT_FALSE(left) << "the mount stayed behind: " << smcfs.output();
    if (left)
        umount2(directory.c_str(), MNT_DETACH);
    std::filesystem::remove_all(parent);
}

// Why /dev/fuse cannot be opened decides the advice: a module to load, or a
// permission that installing fuse3 would not give.
TEST(Smcfs, TheFuseHintFitsTheError)
{
    if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root, unshare and setpriv";
    std::string denied = temporaryDirectory() + "/fuse";
    std::ofstream{denied};
    chmod(denied.c_str(), 0);
    const struct {
        std::string setup, expected;
    } cases[] = {
        {"mount -t tmpfs none /dev; exec", "/dev/fuse: No such file or directory (load the fuse module"},
        {"mount --bind " + denied + " /dev/fuse; exec setpriv --reuid=65534 --regid=65534 --clear-groups",
         "/dev/fuse: Permission denied (this user may not open it"},
    };
    for (const auto& c : cases) {
        auto run = runProgram("/usr/bin/unshare", {"-m", "--propagation", "private", "sh", "-c",
                                                   c.setup + " " + kBin + "/smcfs /"});
        if (run.status != 0 && run.errors.find("unshare failed") != std::string::npos)
            GTEST_SKIP() << "no private mount namespace here: " << run.errors;
        EXPECT_EQ(run.status, 1) << c.setup << ": " << run.errors;
        EXPECT_NE(run.errors.find(c.expected), std::string::npos) << c.setup << ": " << run.errors;
    }
    std::filesystem::remove_all(std::filesystem::path(denied).parent_path());
}

TEST(AppleSMCDevice, FoundByItsFilesInEachLayout)
{
    struct Case {
        const char* name;
        std::vector<std::string> files;  // created under the root
        std::vector<std::pair<std::string, std::string>> texts;
        std::string expected;  // relative to the root; "" for none
    } cases[] = {
        {"classic", {"sys/devices/platform/applesmc.768/key_count"}, {}, "/sys/devices/platform/applesmc.768"},
        {"hwmon class",
         {"sys/class/hwmon/hwmon3/device/key_count", "sys/class/hwmon/hwmon1/temp1_input"},
         {{"sys/class/hwmon/hwmon3/name", "applesmc\n"}, {"sys/class/hwmon/hwmon1/name", "coretemp\n"}},
         "/sys/class/hwmon/hwmon3/device"},
        {"T2", {"sys/bus/acpi/drivers/applesmc/APP0001:00/key_count"}, {}, "/sys/bus/acpi/drivers/applesmc/APP0001:00"},
        {"other drivers only", {"sys/class/hwmon/hwmon0/temp1_input"}, {{"sys/class/hwmon/hwmon0/name", "k10temp\n"}}, ""},
        {"nothing", {}, {}, ""},
    };
    for (const Case& c : cases) {
        std::string root = temporaryDirectory();
        for (const std::string& file : c.files) {
            std::filesystem::create_directories(std::filesystem::path(root + "/" + file).parent_path());
            std::ofstream(root + "/" + file) << "1\n";
        }
        for (const auto& [file, text] : c.texts) {
            std::filesystem::create_directories(std::filesystem::path(root + "/" + file).parent_path());
            std::ofstream(root + "/" + file) << text;
        }
        EXPECT_EQ(platform::findAppleSMCDevice(root), c.expected.empty() ? "" : root + c.expected) << c.name;
        std::filesystem::remove_all(root);
    }
}

TEST(DefaultService, DaemonThenDriverThenNoSMC)
{
    if (!platform::findAppleSMCDevice().empty() || !platform::findMacSMCHwmon().empty() ||
        std::filesystem::exists("/run/smcd.sock"))
        GTEST_SKIP() << "this machine has the applesmc driver or a system daemon: the default is the real SMC";
    std::string runtime = temporaryDirectory();
    std::string profile = profileFile(runtime, "  FNum  [ui8 ]  7 (bytes 07)\n");
    auto withoutService = [&](const std::vector<std::string>& arguments) {
        return runProgram(kBin + "/smc", arguments, {}, {"env", "-u", "SMC_SERVICE", "XDG_RUNTIME_DIR=" + runtime});
    };
    // No daemon and no driver: no SMC, never the built-in machine in its place.
    auto none = withoutService({"-k", "FNum", "-r"});
    EXPECT_EQ(none.output, "Error: no SMC found\nError: SMCReadKey() = e00002cd\n");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.errors.find("SMC_SERVICE=builtin serves an emulated machine"), std::string::npos) << none.errors;
    auto named = runProgram(kBin + "/smc", {"-k", "F0Mn", "-w", "1f40"}, {"SMC_SERVICE=builtin"});
    EXPECT_EQ(named.errors, "");  // asked for by name: the user knows what it is
    {
        // A daemon at the default socket wins.
        BackgroundProcess daemon(kBin + "/smcd", {"--socket", runtime + "/smcd.sock", "--profile", profile});
        for (int waited = 0; waited < 100 && !std::filesystem::exists(runtime + "/smcd.sock"); ++waited)
            usleep(50'000);
        auto served = withoutService({"-k", "FNum", "-r"});
        EXPECT_EQ(served.output, "  FNum  [ui8 ]  7 (bytes 07)\n");
        // It serves an emulated machine: the tool says so, once.
        EXPECT_EQ(served.errors, "smc: using the emulated SMC of your own smcd at " + runtime +
                                     "/smcd.sock (SMC_SERVICE unset), not this machine's\n");
        auto named = runProgram(kBin + "/smc", {"-k", "FNum", "-r"}, {"SMC_SERVICE=unix:" + runtime + "/smcd.sock"});
        EXPECT_EQ(named.errors, "");
    }
    std::filesystem::remove_all(runtime);
}

TEST(DefaultService, NoSMCSaysWhatWasTried)
{
    if (!platform::findAppleSMCDevice().empty() || !platform::findMacSMCHwmon().empty() ||
        std::filesystem::exists("/run/smcd.sock"))
        GTEST_SKIP() << "this machine has the applesmc driver or a system daemon";
    std::string runtime = temporaryDirectory();
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    std::string cause;
    platform::installSMCService(platform::selectSMCService(nullptr, cause));
    io_connect_t connection = 0;
    testing::internal::CaptureStdout();
    EXPECT_NE(SMCOpen(&connection), KERN_SUCCESS);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: no SMC found\n");
    EXPECT_NE(cause.find("no daemon at " + runtime + "/smcd.sock; no daemon at /run/smcd.sock"), std::string::npos)
        << cause;
    platform::installSMCService(nullptr);
    unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(runtime);
}

// lm-sensors finds the double where it finds the driver: in a mount
// namespace of its own, smcfs stands at the driver's path and the hwmon class
// shows it.
TEST(LmSensors, ReadsTheDoubleAsTheDriver)
{
    REQUIRE_FUSE();
    if (geteuid() != 0 || access("/usr/bin/sensors", X_OK) != 0 || access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "needs root, unshare and lm-sensors (scripts/setup.sh installs it)";
    std::string script = R"(set -e
mount --make-rprivate /
# Empty stand-ins for the directories that sysfs will not let us add to.
mount -t tmpfs smcfs-test /sys/devices/platform
mount -t tmpfs smcfs-test /sys/class
mkdir /sys/devices/platform/applesmc.768 /sys/class/hwmon
SMC_SERVICE=builtin ")" + kBin + R"(/smcfs" -f /sys/devices/platform/applesmc.768 &
trap 'kill $!; wait' EXIT
for i in $(seq 100); do test -e /sys/devices/platform/applesmc.768/key_count && break; sleep 0.05; done
ln -s /sys/devices/platform/applesmc.768/hwmon/hwmon0 /sys/class/hwmon/hwmon0
sensors -u
)";
    auto run = runProgram("/usr/bin/unshare", {"-m", "sh", "-c", script});
    if (run.status != 0 && run.errors.find("unshare failed") != std::string::npos)
        GTEST_SKIP() << "no private mount namespace here: " << run.errors;
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.output.rfind("applesmc-isa-0300\nAdapter: ISA adapter\n", 0), 0u) << run.output;
    // The built-in machine: its fans by their labels (blanks kept), TC0D at 55.5 °C (0x3780).
    for (const char* line : {"Left :\n  fan1_input: 2160.000\n  fan1_min: 1200.000\n  fan1_max: 6156.000\n",
                             "Right :\n  fan2_input: 1996.000\n", "TC0D:\n  temp", "_input: 55.500\n"})
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
}

}  // namespace
