// Real clients reading smcfs --macsmc as they read an Apple Silicon Mac's
// sysfs: lm-sensors through /sys/class/hwmon in a mount namespace of its
// own, node_exporter's hwmon collector through --path.sysfs.
#include "support/Process.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/statfs.h>
#include <thread>
#include <unistd.h>

using testing_support::BackgroundProcess;
using testing_support::runProgram;

namespace {

const std::string kBin = BIN_DIR;
const std::string kProfiles = PROFILES_DIR;

// The 14-inch MacBook Pro standing still: its profile without the thermal
// model, so that every value is the profile's.
std::string stillProfile(const std::string& directory)
{
    std::ifstream in(kProfiles + "/macbookpro14-m1pro.profile");
    std::ofstream out(directory + "/machine.profile");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("! thermal", 0) != 0 && line.rfind("! sensor", 0) != 0)
            out << line << "\n";
    return directory + "/machine.profile";
}

class MacsmcClients : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "FUSE is not available here: /dev/fuse is missing";
        char name[] = "/tmp/macsmc-clients-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        root = directory + "/sys";
        mkdir(root.c_str(), 0755);
        smcfs = std::make_unique<BackgroundProcess>(
            "/usr/bin/env",
            std::vector<std::string>{"SMC_SERVICE=" + stillProfile(directory), kBin + "/smcfs", "-f", "--macsmc", root});
        for (int waited = 0; waited < 100 && access((root + "/class/hwmon/hwmon0/name").c_str(), R_OK) != 0; ++waited)
            usleep(50'000);
        ASSERT_EQ(access((root + "/class/hwmon/hwmon0/name").c_str(), R_OK), 0) << smcfs->output();
    }
    void TearDown() override
    {
        smcfs.reset();
        if (!directory.empty())
            std::filesystem::remove_all(directory);
    }

    std::string directory, root;
    std::unique_ptr<BackgroundProcess> smcfs;
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

}  // namespace
