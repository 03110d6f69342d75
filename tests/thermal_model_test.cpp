// The emulated machine that heats up: the built-in machine's calibration,
// keys that read their nodes, the firmware's curve, T2 fans, the profile
// directive and the load trace, all on a clock stepped by hand.
#include "smc/smc.h"
#include "backends/emulated/EmulatedSMC.h"
#include "SleepClock.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace platform;
using namespace std::chrono_literals;

namespace {

class ThermalModelTest : public ::testing::Test {
protected:
    // The built-in machine with moving fans and, unless `thermal` is
    // false, its thermal model at idle.
    void start(bool thermal = true)
    {
        std::string error;
        smc = loadEmulatedSMC(nullptr, error);
        ASSERT_TRUE(smc) << error;
        smc->setFanModelClock([this] { return now; });
        smc->setFanModel(1000);
        if (thermal) {
            ASSERT_TRUE(smc->setThermalModel({}));
        }
    }

    // A read through the call record: its status, and its bytes in `bytes`.
    kern_return_t read(const char* key, uint8_t size, uint8_t* bytes)
    {
        SMCKeyData request{}, reply{};
        request.key = fourCharCode(key);
        request.dataSize = size;
        request.command = SMCCommandReadKey;
        size_t replySize = sizeof reply;
        kern_return_t status = smc->call(kSMCUserClientCall, &request, sizeof request, &reply, &replySize);
        std::memcpy(bytes, reply.bytes, size);
        return status;
    }
    double sp78(const char* key)
    {
        uint8_t bytes[2];
        EXPECT_EQ(read(key, 2, bytes), KERN_SUCCESS) << key;
        return double(int16_t(bytes[0] << 8 | bytes[1])) / 256;
    }
    double fpe2(const char* key)
    {
        uint8_t bytes[2];
        EXPECT_EQ(read(key, 2, bytes), KERN_SUCCESS) << key;
        return double(bytes[0] << 8 | bytes[1]) / 4;
    }
    void set(const char* key, std::vector<uint8_t> bytes)
    {
        ASSERT_TRUE(smc->setValue(fourCharCode(key), bytes.data(), bytes.size())) << key;
    }
    // Both fans in manual mode at their minimum (1200) or maximum.
    void holdFans(bool maximum)
    {
        set("FS! ", {0, 3});
        set("F0Tg", maximum ? std::vector<uint8_t>{0x60, 0x30} : std::vector<uint8_t>{0x12, 0xc0});
        set("F1Tg", maximum ? std::vector<uint8_t>{0x59, 0x10} : std::vector<uint8_t>{0x12, 0xc0});
    }
    void pass(std::chrono::seconds time)
    {
        // Read now and then, as a controller would: the result must not
        // depend on it, but the steps cross every path.
        for (auto end = now + time; now < end; now += 1s)
            sp78("TC0D");
    }

    std::shared_ptr<EmulatedSMC> smc;
    std::chrono::steady_clock::time_point now{};
};

TEST_F(ThermalModelTest, BuiltinMachineMeetsItsCalibration)
{
    struct Case {
        const char* name;
        double watts;
        bool maximumFans;
        std::chrono::seconds after;
        double low, high;  // the die's range then
    };
    const Case cases[] = {
        {"idle at minimum fan speed settles at 45-50", 8, false, 1800s, 45, 50},
        {"full load at minimum passes 100 within a minute", kFullLoadWatts, false, 60s, 100, 130},
        {"full load at maximum settles in the low 80s", kFullLoadWatts, true, 1800s, 80, 85},
    };
    for (const Case& c : cases) {
        start();
        holdFans(c.maximumFans);
        smc->setLoad(c.watts);
        pass(c.after);
        double die = smc->nodeTemperature("die");
        EXPECT_GE(die, c.low) << c.name;
        EXPECT_LE(die, c.high) << c.name;
    }
}

TEST_F(ThermalModelTest, KeysReadTheirPlaceAndAbsentSensorsStay)
{
    start();
    smc->setLoad(kFullLoadWatts);
    pass(120s);
    double die = smc->nodeTemperature("die"), heatsink = smc->nodeTemperature("heatsink");
    ASSERT_GT(die - heatsink, 20);
    struct Case {
        const char* key;
        double expected;
        double tolerance;
    };
    const Case cases[] = {
        {"TC0D", die, 0.26},                        // the die
        {"TC0C", die - 1, 0.26},                    // a core
        {"TC0P", (die + heatsink) / 2, 0.26},       // proximity: halfway
        {"TA0P", 30, 0.26},                         // air: ambient + 5
        {"TB0T", heatsink - 5, 0.26},               // the rest: the heatsink
        {"TCMX", 100, 0},                           // a limit, not a sensor
        {"TPHC", -2, 0},                            // an absent sensor's reading
        {"TCFC", 0, 0},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(sp78(c.key), c.expected, c.tolerance) << c.key;
}

TEST_F(ThermalModelTest, PlainMachineKeepsItsTemperatures)
{
    start(false);
    std::vector<SMCKeyEntry> before = smc->keys();
    holdFans(true);
    pass(300s);
    std::vector<SMCKeyEntry> after = smc->keys();
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); ++i)
        if (fourCharText(before[i].key)[0] == 'T') {
            EXPECT_EQ(before[i].bytes, after[i].bytes) << fourCharText(before[i].key);
        }
    EXPECT_TRUE(std::isnan(smc->nodeTemperature("die")));
}

TEST_F(ThermalModelTest, AutomaticModeFollowsTheFirmwareCurve)
{
    start();
    // Minimum 1200 and maximum 6156 for fan 0, between 65 and 95 °C at the die.
    smc->setLoad(8);
    pass(600s);
    EXPECT_EQ(fpe2("F0Ac"), 1200) << "idle: below the curve";
    smc->setLoad(kFullLoadWatts);
    pass(1200s);
    double die = smc->nodeTemperature("die");
    ASSERT_GT(die, 65);
    ASSERT_LT(die, 95);
    EXPECT_NEAR(fpe2("F0Ac"), 1200 + (6156 - 1200) * (die - 65) / 30, 25);
}

constexpr const char* kT2Profile = R"(
! thermal
! thermal idle 10
  F0Ac  [flt ]  (bytes 00 00 96 44)
  F0Md  [ui8 ]  0 (bytes 00)
! writable
  F0Mn  [flt ]  (bytes 00 00 96 44)
  F0Mx  [flt ]  (bytes 00 80 bb 45)
  F0Tg  [flt ]  (bytes 00 00 96 44)
! writable
  TC0D  [flt ]  (bytes 00 00 48 42)
! sensor die 2
  Tp01  [flt ]  (bytes 00 00 48 42)
)";

float floatAt(const uint8_t* bytes)
{
    uint32_t raw = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    float value;
    std::memcpy(&value, &raw, 4);
    return value;
}

TEST_F(ThermalModelTest, T2FloatFansMoveAndProfileDirectiveSwitchesOn)
{
    char path[] = "/tmp/thermal-t2-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, kT2Profile, std::strlen(kT2Profile)), ssize_t(std::strlen(kT2Profile)));
    close(fd);
    std::string error;
    smc = loadEmulatedSMC(path, error);
    unlink(path);
    ASSERT_TRUE(smc) << error;
    ASSERT_TRUE(smc->thermalModel());
    smc->setFanModelClock([this] { return now; });
    smc->setFanModel(1000);

    uint8_t bytes[4];
    ASSERT_EQ(read("TC0D", 4, bytes), KERN_SUCCESS);
    EXPECT_NEAR(floatAt(bytes), smc->nodeTemperature("die") + 2, 0.26) << "placed by \"! sensor die 2\"";
    ASSERT_EQ(read("Tp01", 4, bytes), KERN_SUCCESS);
    EXPECT_EQ(floatAt(bytes), 50) << "placed keys only";

    const float target = 3000;
    uint8_t targetBytes[4];
    std::memcpy(targetBytes, &target, 4);  // little-endian, as the T2 SMC keeps it
    set("F0Md", {1});
    ASSERT_TRUE(smc->setValue(fourCharCode("F0Tg"), targetBytes, 4));
    now += 1s;
    ASSERT_EQ(read("F0Ac", 4, bytes), KERN_SUCCESS);
    EXPECT_EQ(floatAt(bytes), 2200);
    set("F0Md", {0});
    now += 2s;
    ASSERT_EQ(read("F0Ac", 4, bytes), KERN_SUCCESS);
    EXPECT_EQ(floatAt(bytes), 1200) << "automatic and cool: back to the minimum";
}

TEST(ThermalProfile, DirectiveErrorsNameTheLine)
{
    struct Case {
        const char* text;
        size_t line;
        const char* problem;  // a part of it
    };
    const Case cases[] = {
        {"! thermal\n! thermal fans 3\n", 2, "unknown thermal parameter \"fans\""},
        {"! thermal die-capacity 0\n", 1, "must be above 0"},
        {"! thermal idle warm\n", 1, "is a number"},
        {"! sensor die\n", 1, "must follow the key line"},
        {"  FNum  [ui8 ]  2 (bytes 02)\n! sensor die\n", 2, "cannot hold a temperature"},
        {"  TC0D  [sp78]  (bytes 32 80)\n! sensor die:1.5\n", 2, "WEIGHT from 0 to 1"},
        {"  TC0D  [sp78]  (bytes 32 80)\n! sensor heatsink hot\n", 2, "offset is a number"},
    };
    for (const Case& c : cases) {
        std::vector<SMCKeyEntry> keys;
        std::optional<ThermalParameters> thermal;
        std::optional<ProfileError> error = parseSMCProfile(c.text, keys, &thermal);
        ASSERT_TRUE(error) << c.text;
        EXPECT_EQ(error->line, c.line) << c.text;
        EXPECT_NE(error->problem.find(c.problem), std::string::npos) << error->problem;
    }
    std::vector<SMCKeyEntry> keys;
    EXPECT_TRUE(parseSMCProfile("! thermal\n", keys)) << "not in the daemon's state file";
}

TEST(LoadTraceParsing, ErrorsNameTheLineAndTheProblem)
{
    struct Case {
        const char* text;
        const char* error;  // its start
    };
    const Case cases[] = {
        {"# nothing\n\n", "2: no load"},
        {"0 8\nabc 45\n", "2: expected a time in seconds"},
        {"-1 8\n", "1: expected a time in seconds, 0 or more"},
        {"0 8\n10 -3\n", "2: expected \"SECONDS WATTS\""},
        {"0 8\n10 45 extra\n", "2: expected \"SECONDS WATTS\""},
        {"0 8\n10 45\n10 20\n", "3: times of the load must go forward"},
        {"0 8\n5 fail TC0\n", "2: expected \"SECONDS fail KEY\""},
        {"0 8\n5 stuck TC0P\n", "2: expected \"SECONDS stuck KEY CELSIUS\""},
        {"start core 80\n0 8\n", "1: expected \"start die|heatsink CELSIUS\""},
        {"0 8\n5 suspend\n", "2: expected \"SECONDS suspend SECONDS\""},
        {"0 8\n5 suspend 0\n", "2: expected \"SECONDS suspend SECONDS\""},
    };
    for (const Case& c : cases) {
        LoadTrace trace;
        std::string error;
        EXPECT_FALSE(parseLoadTrace(c.text, trace, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " said " << error;
    }
}

TEST(LoadTraceParsing, LoadIsLinearBetweenPointsAndHeldOutside)
{
    LoadTrace trace;
    std::string error;
    ASSERT_TRUE(parseLoadTrace("5 8  # idle\n15 48\n20 10\n", trace, error)) << error;
    const std::pair<double, double> cases[] = {{0, 8}, {5, 8}, {10, 28}, {15, 48}, {17.5, 29}, {60, 10}};
    for (auto [seconds, watts] : cases)
        EXPECT_DOUBLE_EQ(trace.watts(seconds), watts) << seconds;
}

TEST_F(ThermalModelTest, TraceFaultsAndStartTakeEffectAtTheirTime)
{
    start();
    std::string error;
    EXPECT_FALSE(smc->setLoadTrace("0 8\n5 fail ZZZZ\n", error));
    EXPECT_EQ(error, "2: no key \"ZZZZ\" in this SMC");
    EXPECT_FALSE(smc->setLoadTrace("0 8\n5 stuck FNum 3\n", error));
    EXPECT_EQ(error, "2: key \"FNum\" cannot hold a temperature");

    ASSERT_TRUE(smc->setLoadTrace("0 20\n", error)) << error;
    EXPECT_DOUBLE_EQ(smc->nodeTemperature("die") - smc->nodeTemperature("heatsink"), 20 * 0.6)
        << "a fresh model starts at the first load's steady state";
    EXPECT_GT(smc->nodeTemperature("heatsink"), 60);
    ASSERT_TRUE(smc->setLoadTrace("start die 90\n0 8\n10 fail TC0D\n20 stuck TC0P -127\n", error)) << error;
    EXPECT_EQ(smc->nodeTemperature("die"), 90);
    EXPECT_DOUBLE_EQ(smc->nodeTemperature("heatsink"), 90 - 8 * 0.6) << "as in a steady state of 8 W";
    uint8_t bytes[2];
    now += 9s;
    EXPECT_EQ(read("TC0D", 2, bytes), KERN_SUCCESS);
    EXPECT_GT(sp78("TC0P"), 0);
    now += 1s;
    EXPECT_EQ(read("TC0D", 2, bytes), kIOReturnNotResponding);
    now += 10s;
    EXPECT_EQ(sp78("TC0P"), -127);

    // A trace without start lines, once the model has run, keeps the temperatures.
    double die = smc->nodeTemperature("die");
    ASSERT_TRUE(smc->setLoadTrace("0 45\n", error)) << error;
    EXPECT_EQ(smc->nodeTemperature("die"), die);
    EXPECT_EQ(read("TC0D", 2, bytes), KERN_SUCCESS) << "the faults went with the old trace";
}

TEST_F(ThermalModelTest, ASuspendForgetsManualModeAndTargetsAndTheMachineCools)
{
    start();
    holdFans(true);
    set("F0Md", {1});
    std::string error;
    ASSERT_TRUE(smc->setLoadTrace("0 45\n10 suspend 600\n", error)) << error;
    double slept = sleptSeconds();
    pass(9s);
    double hot = smc->nodeTemperature("die");
    EXPECT_EQ(fpe2("F0Tg"), 6156) << "still the holder's";
    pass(2s);
    uint8_t mask[2], mode[1];
    ASSERT_EQ(read("FS! ", 2, mask), KERN_SUCCESS);
    ASSERT_EQ(read("F0Md", 1, mode), KERN_SUCCESS);
    EXPECT_EQ(mask[0] << 8 | mask[1], 0);
    EXPECT_EQ(mode[0], 0);
    EXPECT_EQ(fpe2("F0Tg"), 2160) << "the firmware's";
    EXPECT_LT(smc->nodeTemperature("die"), hot - 20) << "cooled while asleep";
    EXPECT_NEAR(sleptSeconds() - slept, 600, 1) << "a resume as the daemons see one";
}

// The CPU's power keys read the load at the model's time, with the
// sensors' noise; the system's keys keep the profile's values.
TEST_F(ThermalModelTest, PowerKeysReadTheLoadNow)
{
    auto sp96 = [this](const char* key) {
        uint8_t bytes[2];
        EXPECT_EQ(read(key, 2, bytes), KERN_SUCCESS) << key;
        return double(int16_t(bytes[0] << 8 | bytes[1])) / 64;
    };
    start();
    double system = sp96("PSTR");
    std::string error;
    ASSERT_TRUE(smc->setLoadTrace("0 8\n10 8\n20 40\n", error)) << error;
    const struct {
        std::chrono::seconds at;
        double package;
    } cases[] = {{0s, 8}, {10s, 8}, {15s, 24}, {20s, 40}, {60s, 40}};
    for (const auto& c : cases) {
        now = std::chrono::steady_clock::time_point{} + c.at;
        EXPECT_NEAR(sp96("PCPC"), c.package, 0.25 + 1.0 / 64) << c.at.count();
        EXPECT_NEAR(sp96("PCPT"), c.package, 0.25 + 1.0 / 64) << c.at.count();
        EXPECT_NEAR(sp96("PC0C"), 0.85 * c.package, 0.25 + 1.0 / 64) << c.at.count();
        EXPECT_EQ(sp96("PSTR"), system) << c.at.count();
    }
}

// smcd's side: a trace it cannot use stops it at start; SIGUSR1 reads the
// file again, its start lines included.
TEST(SmcdLoadTrace, RefusedWhenWrongAndReadAgainOnSIGUSR1)
{
    std::filesystem::path directory = std::filesystem::temp_directory_path() / ("smcd-load-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    std::string trace = directory / "load", socket = directory / "smcd.sock";
    auto writeTrace = [&trace](const char* text) { std::ofstream(trace) << text; };
    // The die key's reading through a client, in °C.
    auto die = [&socket] {
        auto read = testing_support::runProgram(BIN_DIR "/smc", {"-k", "TC0D", "-r"}, {"SMC_SERVICE=unix:" + socket});
        unsigned high = 0, low = 0;
        std::sscanf(read.output.c_str(), "  TC0D  [sp78]  (bytes %x %x)", &high, &low);
        return double(int16_t(high << 8 | low)) / 256;
    };

    writeTrace("0 8\n10 fail TC0\n");
    auto refused = testing_support::runProgram(BIN_DIR "/smcd", {"--service", "builtin", "-s", socket, "--load", trace});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.errors.find(trace + ":2: expected \"SECONDS fail KEY\""), std::string::npos) << refused.errors;

    writeTrace("start die 95\n0 45\n");
    {
        testing_support::BackgroundProcess smcd(BIN_DIR "/smcd", {"--service", "builtin", "-s", socket, "--load", trace});
        ASSERT_TRUE(testing_support::waitForSocket(socket)) << smcd.output();
        EXPECT_NEAR(die(), 95, 3);
        writeTrace("start die 40\n0 8\n");
        smcd.signal(SIGUSR1);
        for (int i = 0; i < 100 && smcd.output().find("read again") == std::string::npos; ++i)
            std::this_thread::sleep_for(20ms);
        EXPECT_NEAR(die(), 40, 3);
        smcd.signal(SIGTERM);
        EXPECT_EQ(smcd.wait(), 0) << smcd.output();
    }
    std::filesystem::remove_all(directory);
}

}  // namespace
