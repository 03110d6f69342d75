// Programs reading smcfs --macsmc as they read an Apple Silicon Mac's
// sysfs: lm-sensors through /sys/class/hwmon in a mount namespace of its
// own, node_exporter's hwmon collector through --path.sysfs, and this
// project's own through the macsmc back-end.
#include "support/Process.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <thread>
#include <unistd.h>

using testing_support::BackgroundProcess;
using testing_support::runProgram;

namespace {

const std::string kBin = BIN_DIR;
const std::string kProfiles = PROFILES_DIR;

// A machine standing still: its profile without the thermal model, so
// that every value is the profile's.
std::string stillProfile(const std::string& directory, const std::string& machine = "macbookpro14-m1pro")
{
    std::ifstream in(kProfiles + "/" + machine + ".profile");
    std::string path = directory + "/" + machine + ".profile";
    std::ofstream out(path);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("! thermal", 0) != 0 && line.rfind("! sensor", 0) != 0)
            out << line << "\n";
    return path;
}

// smcfs --macsmc serving `service` with `root` as the sysfs root.
class Mount {
public:
    Mount(const std::string& service, const std::string& root, bool fanControl = false)
        : root_(root), smcfs_("/usr/bin/env", arguments(service, root, fanControl))
    {
        for (int waited = 0; waited < 100 && !mounted(); ++waited)
            usleep(50'000);
    }
    bool mounted() const { return access((root_ + "/class/hwmon/hwmon0/name").c_str(), R_OK) == 0; }
    std::string log() const { return smcfs_.output(); }

private:
    static std::vector<std::string> arguments(const std::string& service, const std::string& root, bool fanControl)
    {
        mkdir(root.c_str(), 0755);
        std::vector<std::string> list{"SMC_SERVICE=" + service, kBin + "/smcfs", "-f", "--macsmc", root};
        if (fanControl)
            list.insert(list.end() - 1, "--fan-control");
        return list;
    }
    std::string root_;
    BackgroundProcess smcfs_;
};

struct Scratch {
    Scratch()
    {
        char name[] = "/tmp/macsmc-clients-XXXXXX";
        if (mkdtemp(name))
            path = name;
    }
    ~Scratch()
    {
        if (!path.empty())
            std::filesystem::remove_all(path);
    }
    std::string path;
};

#define REQUIRE_FUSE()                                                            \
    do {                                                                          \
        if (access("/dev/fuse", R_OK | W_OK) != 0)                                \
            GTEST_SKIP() << "FUSE is not available here: /dev/fuse is missing"; \
    } while (0)

class MacsmcClients : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_FUSE();
        ASSERT_FALSE(scratch.path.empty());
        root = scratch.path + "/sys";
        smcfs = std::make_unique<Mount>(stillProfile(scratch.path), root);
        ASSERT_TRUE(smcfs->mounted()) << smcfs->log();
    }

    Scratch scratch;
    std::string root;
    std::unique_ptr<Mount> smcfs;
};

TEST_F(MacsmcClients, LmSensorsShowsTheChipWithItsLabelsAndUnits)
{
    if (geteuid() != 0 || access("/usr/bin/sensors", X_OK) != 0 || access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "needs root, unshare and lm-sensors (scripts/setup.sh installs it)";
    // libsensors wants /sys itself to be sysfs: only its class directory is
    // stood in for.
    std::string script = "set -e\nmount --make-rprivate /\nmount -t tmpfs smcfs-test /sys/class\n"
                         "mkdir /sys/class/hwmon\nln -s " + root + "/class/hwmon/hwmon0 /sys/class/hwmon/hwmon0\n"
                         "sensors\n";
    auto run = runProgram("/usr/bin/unshare", {"-m", "sh", "-c", script});
    if (run.status != 0 && run.errors.find("unshare failed") != std::string::npos)
        GTEST_SKIP() << "no private mount namespace here: " << run.errors;
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.output.rfind("macsmc_hwmon-isa-0000\nAdapter: ISA adapter\n", 0), 0u) << run.output;
    // Each channel by its devicetree label; 0.53 W as flt is 529999 µW.
    for (const char* line : {"Total System Power:       7.71 W", "AC Input Power:           9.42 W",
                             "3.8 V Rail Power:       530.00 mW", "Heatpipe Power:           3.00 W",
                             "NAND Flash Temperature:  +36.4°C", "Battery Hotspot:         +30.1°C",
                             "Charge Regulator Temp:   +34.6°C" /* 34.599 */, "WiFi/BT Module Temp:     +39.2°C",
                             "Charger Input Voltage:   20.06 V", "Battery Voltage:         12.61 V",
                             "AC Input Current:       469.00 mA",
                             "Fan 1:                  1200 RPM  (min = 1200 RPM, max = 5700 RPM)",
                             "Fan 2:                  1200 RPM  (min = 1200 RPM, max = 6500 RPM)"})
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
}

TEST_F(MacsmcClients, NodeExporterReportsEveryChannel)
{
    const char* program = "/usr/bin/prometheus-node-exporter";
    if (access(program, X_OK) != 0)
        GTEST_SKIP() << "needs node_exporter (Debian's prometheus-node-exporter; scripts/setup.sh installs it)";
    int port = testing_support::freePort();
    BackgroundProcess exporter(program, {"--path.sysfs=" + root, "--collector.disable-defaults", "--collector.hwmon",
                                         "--web.listen-address=127.0.0.1:" + std::to_string(port)});
    httplib::Client client("127.0.0.1", port);
    auto response = client.Get("/metrics");
    for (int tries = 0; tries < 100 && !response; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        response = client.Get("/metrics");
    }
    ASSERT_TRUE(response) << exporter.output();

    // The profile's values through the driver's truncations: 34.6 as flt
    // is 34.5999985, 34599 m°C.
    struct Metric {
        const char* name;
        const char* sensor;
        double value;
    };
    const Metric kMetrics[] = {
        {"power_watt", "power1", 7.71},      {"power_watt", "power2", 9.42},   {"power_watt", "power3", 0.529999},
        {"power_watt", "power4", 3},         {"temp_celsius", "temp1", 36.4},  {"temp_celsius", "temp2", 30.1},
        {"temp_celsius", "temp3", 34.599},    {"temp_celsius", "temp4", 39.2},  {"in_volts", "in1", 20.059},
        {"in_volts", "in2", 12.609},         {"curr_amps", "curr1", 0.469},    {"fan_rpm", "fan1", 1200},
        {"fan_min_rpm", "fan1", 1200},       {"fan_max_rpm", "fan1", 5700},    {"fan_target_rpm", "fan1", 1200},
        {"fan_rpm", "fan2", 1200},           {"fan_min_rpm", "fan2", 1200},    {"fan_max_rpm", "fan2", 6500},
        {"fan_target_rpm", "fan2", 1200},
    };
    const std::string chip = "chip=\"290400000_smc_macsmc_hwmon\"";
    for (const Metric& metric : kMetrics) {
        std::regex line("\nnode_hwmon_" + std::string(metric.name) + "\\{" + chip + ",sensor=\"" + metric.sensor +
                        "\"\\} ([0-9.e+-]+)\n");
        std::smatch match;
        ASSERT_TRUE(std::regex_search(response->body, match, line)) << metric.name << " " << metric.sensor;
        EXPECT_NEAR(std::stod(match[1]), metric.value, 1e-9) << metric.name << " " << metric.sensor;
    }
    for (const char* label : {"Total System Power\",sensor=\"power1", "Heatpipe Power\",sensor=\"power4",
                              "WiFi/BT Module Temp\",sensor=\"temp4", "Fan 2\",sensor=\"fan2"})
        EXPECT_NE(response->body.find("node_hwmon_sensor_label{" + chip + ",label=\"" + label + "\"} 1\n"),
                  std::string::npos)
            << label;
}

// What the driver's files cannot show as the SMC itself shows it: `shown`
// in the direct output stands as `driver` through them. The driver keeps
// milli-units (micro for power) and drops what the devicetree names not;
// the back-end serves no fan mode to read, and counts its own keys.
struct DriverView {
    const char* profile;  // "": every machine with fans
    const char* program;
    const char* shown;
    const char* driver;
};
const DriverView kDriverViews[] = {
    {"", "smc -l", "  F0Md  [ui8 ]  0 (bytes 00)\n", ""},
    {"", "smc -l", "  F1Md  [ui8 ]  0 (bytes 00)\n", ""},
    {"", "smc -f", "Mode         : auto\n", "Mode         : unknown\n"},
    {"", "sensors-host", "  auto\n", "  ?\n"},
    {"", "sensors-host -j", "\"manual\": false", "\"manual\": null"},
    {"macbookpro14-m1pro", "smc -l", "23 (bytes 00 00 00 17)", "21 (bytes 00 00 00 15)"},
    {"macbookpro14-m1pro", "smc -l", "ID0R  [flt ]  (bytes d7 a3 f0 3e)", "ID0R  [flt ]  (bytes c5 20 f0 3e)"},
    {"macbookpro14-m1pro", "smc -l", "PMVR  [flt ]  (bytes 14 ae 07 3f)", "PMVR  [flt ]  (bytes 04 ae 07 3f)"},
    {"macbookpro14-m1pro", "smc -l", "SBAV  [flt ]  (bytes 8f c2 49 41)", "SBAV  [flt ]  (bytes 77 be 49 41)"},
    {"macbookpro14-m1pro", "smc -l", "TCHP  [flt ]  (bytes 66 66 0a 42)", "TCHP  [flt ]  (bytes 60 65 0a 42)"},
    {"macbookpro14-m1pro", "smc -l", "VD0R  [flt ]  (bytes e1 7a a0 41)", "VD0R  [flt ]  (bytes d5 78 a0 41)"},
    {"macbookpro14-m1pro", "sensors-host -j", "\"celsius\": 34.6\n", "\"celsius\": 34.599\n"},
    {"macbookpro14-m1pro", "sensors-host -j", "\"watts\": 0.53}", "\"watts\": 0.529999}"},
    {"macbookpro14-m1pro", "sensors-host -j", "\"volts\": 20.06}", "\"volts\": 20.059}"},
    {"macbookpro14-m1pro", "sensors-host -j", "\"volts\": 12.61}", "\"volts\": 12.609}"},
    {"macbookpro14-m1pro", "sensors-host -j", "\"amperes\": 0.47}", "\"amperes\": 0.469}"},
    {"macmini-m1", "smc -l", "14 (bytes 00 00 00 0e)", "13 (bytes 00 00 00 0d)"},
    {"macmini-m1", "smc -l", "PDTR  [flt ]  (bytes 66 66 fe 40)", "PDTR  [flt ]  (bytes 64 66 fe 40)"},
    {"macmini-m1", "smc -l", "PMVR  [flt ]  (bytes 85 eb d1 3e)", "PMVR  [flt ]  (bytes 64 eb d1 3e)"},
    {"macmini-m1", "smc -l", "PSTR  [flt ]  (bytes 5c 8f da 40)", "PSTR  [flt ]  (bytes 5a 8f da 40)"},
    {"macmini-m1", "smc -l", "TH0x  [flt ]  (bytes 66 66 18 42)", "TH0x  [flt ]  (bytes 60 65 18 42)"},
    {"macmini-m1", "sensors-host -j", "\"celsius\": 38.1\n", "\"celsius\": 38.099\n"},
    {"macmini-m1", "sensors-host -j", "\"watts\": 6.83}", "\"watts\": 6.829999}"},
    {"macmini-m1", "sensors-host -j", "\"watts\": 7.95}", "\"watts\": 7.949999}"},
    {"macmini-m1", "sensors-host -j", "\"watts\": 0.41}", "\"watts\": 0.409999}"},
    {"macbookair-m2", "smc -l", "PSTR  [flt ]  (bytes 8f c2 85 40)", "PSTR  [flt ]  (bytes 8d c2 85 40)"},
    {"macbookair-m2", "smc -l", "SBAV  [flt ]  (bytes ae 47 4d 41)", "SBAV  [flt ]  (bytes 96 43 4d 41)"},
    {"macbookair-m2", "smc -l", "TB0T  [flt ]  (bytes 33 33 eb 41)", "TB0T  [flt ]  (bytes 27 31 eb 41)"},
    {"macbookair-m2", "smc -l", "TH0x  [flt ]  (bytes 33 33 07 42)", "TH0x  [flt ]  (bytes 2d 32 07 42)"},
    {"macbookair-m2", "sensors-host -j", "\"celsius\": 29.4\n", "\"celsius\": 29.399\n"},
    {"macbookair-m2", "sensors-host -j", "\"celsius\": 33.8\n", "\"celsius\": 33.799\n"},
    {"macbookair-m2", "sensors-host -j", "\"watts\": 4.18}", "\"watts\": 4.179999}"},
    {"macbookair-m2", "sensors-host -j", "\"volts\": 12.83}", "\"volts\": 12.829}"},
    {"macstudio-m1max", "smc -l", "18 (bytes 00 00 00 12)", "15 (bytes 00 00 00 0f)"},
    {"macstudio-m1max", "smc -l", "  VD0R  [flt ]  (bytes 66 66 67 43)\n", ""},
    {"macstudio-m1max", "sensors-host", "    VD0R                         231.40 V\n", ""},
    {"macstudio-m1max", "sensors-host -j", "[\n    {\"key\": \"VD0R\", \"name\": null, \"volts\": 231.4}\n  ]", "[]"},
    {"macbookpro13-m1-asahi", "smc -l", "17 (bytes 00 00 00 11)", "16 (bytes 00 00 00 10)"},
    {"macbookpro13-m1-asahi", "smc -l", "PHPC  [flt ]  (bytes 66 66 06 40)", "PHPC  [flt ]  (bytes 62 66 06 40)"},
    {"macbookpro13-m1-asahi", "smc -l", "TB0T  [flt ]  (bytes 66 66 ee 41)", "TB0T  [flt ]  (bytes 5a 64 ee 41)"},
    {"macbookpro13-m1-asahi", "smc -l", "TW0P  [flt ]  (bytes 66 66 16 42)", "TW0P  [flt ]  (bytes 60 65 16 42)"},
    {"macbookpro13-m1-asahi", "sensors-host -j", "\"celsius\": 29.8\n", "\"celsius\": 29.799\n"},
    {"macbookpro13-m1-asahi", "sensors-host -j", "\"celsius\": 37.6\n", "\"celsius\": 37.599\n"},
    {"macbookpro13-m1-asahi", "sensors-host -j", "\"watts\": 2.1}", "\"watts\": 2.099999}"},
};

TEST(MacsmcThroughSmcfs, ProgramsShowWhatTheyShowOnTheSMCItself)
{
    REQUIRE_FUSE();
    const std::vector<std::string> programs[] = {
        {"smc", "-l"}, {"smc", "-f"}, {"sensors-host"}, {"sensors-host", "-j"}};
    for (const char* machine :
         {"macbookpro14-m1pro", "macmini-m1", "macbookair-m2", "macstudio-m1max", "macbookpro13-m1-asahi"}) {
        for (bool fanControl : {false, true}) {
            Scratch scratch;
            std::string profile = stillProfile(scratch.path, machine);
            Mount mount(profile, scratch.path + "/sys", fanControl);
            ASSERT_TRUE(mount.mounted()) << machine << ": " << mount.log();
            for (const auto& program : programs) {
                std::string name = program[0] + (program.size() > 1 ? " " + program[1] : "");
                std::vector<std::string> arguments(program.begin() + 1, program.end());
                auto direct = runProgram(kBin + "/" + program[0], arguments, {"SMC_SERVICE=" + profile});
                auto driver =
                    runProgram(kBin + "/" + program[0], arguments, {"SMC_SERVICE=macsmc:" + scratch.path + "/sys"});
                std::string expected = direct.output;
                for (const DriverView& view : kDriverViews) {
                    if (name != view.program || (*view.profile && machine != std::string(view.profile)))
                        continue;
                    size_t at = expected.find(view.shown);
                    EXPECT_TRUE(at != std::string::npos || !*view.profile)
                        << machine << ": the SMC itself no longer shows " << view.shown;
                    for (; at != std::string::npos; at = expected.find(view.shown, at + std::strlen(view.driver)))
                        expected.replace(at, std::strlen(view.shown), view.driver);
                }
                EXPECT_EQ(driver.output, expected) << machine << " " << name << " " << driver.errors;
                EXPECT_EQ(driver.status, direct.status) << machine << " " << name;
            }
        }
    }
}

// A fan change through the driver's files lands in the SMC behind them
// (smcd here, so that it can be asked), only with fan_control on, and
// never outside the fan's limits.
TEST(MacsmcThroughSmcfs, FanWritesReachTheSMCOnlyWithFanControl)
{
    REQUIRE_FUSE();
    Scratch scratch;
    std::string socket = scratch.path + "/smcd.sock";
    BackgroundProcess smcd(kBin + "/smcd", {"--socket", socket, "--service", stillProfile(scratch.path)});
    ASSERT_TRUE(testing_support::waitForSocket(socket)) << smcd.output();
    auto smc = [&](std::vector<std::string> arguments, const std::string& service) {
        return runProgram(kBin + "/smc", arguments, {"SMC_SERVICE=" + service});
    };
    auto smcfan = [&](std::vector<std::string> arguments) {
        return runProgram(kBin + "/smcfan", arguments, {"SMC_SERVICE=macsmc:" + scratch.path + "/sys"});
    };
    const std::string daemon = "unix:" + socket, files = "macsmc:" + scratch.path + "/sys";
    const std::string idle = "  F0Tg  [flt ]  (bytes 00 00 96 44)\n";  // 1200
    for (bool fanControl : {false, true}) {
        Mount mount(daemon, scratch.path + "/sys", fanControl);
        ASSERT_TRUE(mount.mounted()) << mount.log();
        auto set = smcfan({"set", "0", "target", "3000"});
        if (!fanControl) {
            EXPECT_EQ(set.status, 1);
            EXPECT_NE(set.errors.find("macsmc_hwmon.fan_control=1"), std::string::npos) << set.errors;
            EXPECT_NE(set.errors.find("F0Tg: not permitted: the driver's file is not writable"), std::string::npos)
                << set.errors;
            EXPECT_EQ(smc({"-r", "-k", "F0Tg"}, daemon).output, idle);
            continue;
        }
        EXPECT_EQ(set.status, 0) << set.errors;
        EXPECT_EQ(smc({"-r", "-k", "F0Tg"}, daemon).output, "  F0Tg  [flt ]  (bytes 00 80 3b 45)\n");
        EXPECT_EQ(smc({"-r", "-k", "F0Md"}, daemon).output, "  F0Md  [ui8 ]  1 (bytes 01)\n");
        // 6000 rpm lies above this fan's 5700: refused below smcfan's own check.
        auto outside = smc({"-k", "F0Tg", "-w", "0080bb45"}, files);
        EXPECT_NE(outside.status, 0) << outside.output;
        EXPECT_EQ(smc({"-r", "-k", "F0Tg"}, daemon).output, "  F0Tg  [flt ]  (bytes 00 80 3b 45)\n");
        EXPECT_EQ(smcfan({"auto"}).status, 0);
        EXPECT_EQ(smc({"-r", "-k", "F0Md"}, daemon).output, "  F0Md  [ui8 ]  0 (bytes 00)\n");
    }
}

TEST(MacsmcThroughSmcfs, FanProgramsOnAFanlessMachineSayThereAreNone)
{
    REQUIRE_FUSE();
    Scratch scratch;
    Mount mount(stillProfile(scratch.path, "macbookair-m2"), scratch.path + "/sys", true);
    ASSERT_TRUE(mount.mounted()) << mount.log();
    const std::string service = "SMC_SERVICE=macsmc:" + scratch.path + "/sys";
    for (const char* program : {"smcfan", "smcfand"}) {
        auto run = runProgram(kBin + "/" + program, {}, {service});
        EXPECT_EQ(run.status, 0) << program << ": " << run.errors;
        EXPECT_NE(run.errors.find("no fans"), std::string::npos) << program << ": " << run.errors;
    }
}

// The driver unloaded and loaded again under a long-running program: its
// calls fail meanwhile, then work again on the same connection.
TEST(MacsmcThroughSmcfs, ADaemonOutlivesTheDriversFiles)
{
    REQUIRE_FUSE();
    Scratch scratch;
    std::string profile = stillProfile(scratch.path), root = scratch.path + "/sys";
    auto mount = std::make_unique<Mount>(profile, root);
    ASSERT_TRUE(mount->mounted()) << mount->log();
    std::string socket = scratch.path + "/smcd.sock";
    BackgroundProcess smcd(kBin + "/smcd", {"--socket", socket, "--service", "macsmc:" + root});
    ASSERT_TRUE(testing_support::waitForSocket(socket)) << smcd.output();
    auto read = [&] { return runProgram(kBin + "/smc", {"-r", "-k", "TB0T"}, {"SMC_SERVICE=unix:" + socket}); };
    auto before = read();
    ASSERT_EQ(before.status, 0) << before.errors;
    mount.reset();
    EXPECT_NE(read().status, 0);
    mount = std::make_unique<Mount>(profile, root);
    ASSERT_TRUE(mount->mounted()) << mount->log();
    auto after = read();
    // Gone files are looked for again once a second.
    for (int tries = 0; tries < 30 && after.status != 0; ++tries) {
        usleep(100'000);
        after = read();
    }
    EXPECT_EQ(after.status, 0) << after.errors;
    EXPECT_EQ(after.output, before.output);
}

}  // namespace
