// smcfs's files, without FUSE: the exact text of each, the key cursor, the
// conversions both ways and the errors, over an emulated SMC in this process.
#include "smcfs/CoretempFiles.h"
#include "smcfs/DriverFiles.h"
#include "smcfs/MacsmcFiles.h"
#include "smcfs/PowercapFiles.h"
#include "support/TestSMC.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>

using testing_support::TestSMC;

namespace {

// Sorted as a real SMC's table is; fan 1 has no safe speed, fan 2's label is
// short, "Tzzz" is in the T range but not sp78, "UA0P" is sp78 but past it.
constexpr const char* kProfile = R"(
  #KEY  [ui32]  16 (bytes 00 00 00 10)
  F0Ac  [fpe2]  2000 (bytes 1f 43)
  F0ID  [{fds]  (bytes 00 12 00 00 4c 65 66 74 20 73 69 64 65 20 20 00)
  F0Mn  [fpe2]  2000 (bytes 1f 40)
! writable
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
  F1Ac  [fpe2]  3000 (bytes 2e e0)
  F1ID  [{fds]  (bytes 00 12 00 00 52 00 00 00 00 00 00 00 00 00 00 00)
  F1Sf  [fpe2]  3000 (bytes 2e e0)
  F1Tg  [fpe2]  (bytes 2e e0 00)
  FNum  [ui8 ]  2 (bytes 02)
  FS!   [ui16]  2 (bytes 00 02)
! writable
  TC0D  [sp78]  (bytes 32 bf)
  TN0P  [sp78]  (bytes fe 40)
! fail read e00002ed
  Tzzz  [ui16]  0 (bytes 00 00)
  UA0P  [sp78]  (bytes 10 00)
  ZZZZ  [ui8 ]  (bytes 07)
! fail info e00002c2
)";

// The text of the file at `path`, "errno N", or "missing".
std::string readFile(smcfs::FileTree& files, const std::string& path)
{
    const smcfs::Node* node = files.find(path);
    if (node == nullptr)
        return "missing";
    std::string content;
    int error = files.read(*node, content);
    return error ? "errno " + std::to_string(error) : content;
}

class DriverFilesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(SMCOpen(&connection), 0); }
    void TearDown() override { SMCClose(connection); }

    std::string read(smcfs::DriverFiles& files, const char* path) { return readFile(files, path); }
    int write(smcfs::DriverFiles& files, const char* path, std::string_view text)
    {
        const smcfs::Node* node = files.find(path);
        return node ? files.write(*node, text) : ENOENT;
    }
    std::vector<uint8_t> value(const char* key)
    {
        auto entry = smc.smc().key(platform::fourCharCode(key));
        return entry ? std::vector<uint8_t>(entry->bytes.begin(), entry->bytes.begin() + entry->size)
                     : std::vector<uint8_t>{};
    }

    TestSMC smc{kProfile};
    io_connect_t connection = 0;
};

TEST_F(DriverFilesTest, FilesReadAsTheDriverPrintsThem)
{
    smcfs::DriverFiles files(connection, smcfs::Layout::Classic);
    struct Case {
        const char* path;
        std::string expected;
    } cases[] = {
        {"/name", "applesmc\n"},
        {"/key_count", "16\n"},
        {"/key_at_index", "0\n"},
        {"/key_at_index_name", "#KEY\n"},
        {"/key_at_index_type", "ui32\n"},
        {"/key_at_index_data_length", "4\n"},
        {"/key_at_index_data", std::string("\0\0\0\x10", 4)},
        {"/fan1_label", "Left side  \n"},  // the trailing blanks stay
        {"/fan2_label", "R\n"},
        {"/fan1_input", "2000\n"},  // 0x1f43 >> 2: the fraction bits go
        {"/fan1_min", "2000\n"},
        {"/fan1_safe", "errno 22"},
        {"/fan2_safe", "3000\n"},
        {"/fan2_output", "errno 22"},  // three bytes, not the two expected
        {"/fan1_manual", "0\n"},
        {"/fan2_manual", "1\n"},
        {"/fan3_input", "missing"},
        {"/temp1_label", "TC0D\n"},
        {"/temp1_input", "50500\n"},  // 0x32bf: the six low bits never show
        {"/temp2_label", "TN0P\n"},
        {"/temp2_input", "errno 5"},  // the SMC does not answer
        {"/temp3_label", "missing"},  // Tzzz is not sp78, UA0P is past the T range
        {"/hwmon/hwmon0/name", "missing"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(read(files, c.path), c.expected) << c.path;
    EXPECT_EQ(files.fanCount(), 2);
}

TEST_F(DriverFilesTest, CursorIsOneForAllAndTakesOnlyKeyPositions)
{
    smcfs::DriverFiles files(connection, smcfs::Layout::Classic);
    struct Case {
        std::string_view written;
        int error;
        const char* cursorAfter;
    } cases[] = {
        {"11\n", 0, "11\n"},
        {"+12", 0, "12\n"},
        {"-1", EINVAL, "12\n"},
        {"3x", EINVAL, "12\n"},
        {"", EINVAL, "12\n"},
        {" 3", EINVAL, "12\n"},
        {"16", EINVAL, "12\n"},  // past the last key
        {"99999999999999999999999", EINVAL, "12\n"},
        {"15", 0, "15\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(write(files, "/key_at_index", c.written), c.error) << c.written;
        EXPECT_EQ(read(files, "/key_at_index"), c.cursorAfter) << c.written;
    }
    // Position 15: its information fails, so nothing about it can be told.
    EXPECT_EQ(read(files, "/key_at_index_name"), "errno 5");
    EXPECT_EQ(read(files, "/key_at_index_data"), "errno 5");
    ASSERT_EQ(write(files, "/key_at_index", "10"), 0);
    EXPECT_EQ(read(files, "/key_at_index_name"), "FS! \n");
    EXPECT_EQ(read(files, "/key_at_index_type"), "ui16\n");
    EXPECT_EQ(read(files, "/key_at_index_data"), std::string("\0\x02", 2));
    // A failing read becomes EIO; values are never served from the cache.
    ASSERT_EQ(write(files, "/key_at_index", "12"), 0);
    EXPECT_EQ(read(files, "/key_at_index_name"), "TN0P\n");
    EXPECT_EQ(read(files, "/key_at_index_data"), "errno 5");
}

TEST_F(DriverFilesTest, WritesConvertAndReachTheSMC)
{
    smcfs::DriverFiles files(connection, smcfs::Layout::Classic);
    struct Case {
        const char* path;
        std::string_view written;
        int error;
        const char* key;
        std::vector<uint8_t> after;
    } cases[] = {
        {"/fan1_min", "3000\n", 0, "F0Mn", {0x2e, 0xe0}},
        {"/fan1_output", "16383", 0, "F0Tg", {0xff, 0xfc}},
        {"/fan1_output", "16384", EINVAL, "F0Tg", {0xff, 0xfc}},
        {"/fan1_min", "-5", EINVAL, "F0Mn", {0x2e, 0xe0}},
        {"/fan1_min", "12.5", EINVAL, "F0Mn", {0x2e, 0xe0}},
        {"/fan1_manual", "7", 0, "FS! ", {0x00, 0x03}},  // any nonzero sets the bit
        {"/fan2_manual", "0", 0, "FS! ", {0x00, 0x01}},
        {"/fan2_output", "1000", EINVAL, "F1Tg", {0x2e, 0xe0, 0x00}},  // wrong length
        {"/fan2_min", "1000", EINVAL, "F1Ac", {0x2e, 0xe0}},           // no F1Mn
    };
    for (const Case& c : cases) {
        EXPECT_EQ(write(files, c.path, c.written), c.error) << c.path << " " << c.written;
        EXPECT_EQ(value(c.key), c.after) << c.path << " " << c.written;
    }
    // The SMC refuses: EIO.
    smc.fail("F0Mn", platform::SMCExchangeKind::Write, kIOReturnNotWritable);
    EXPECT_EQ(write(files, "/fan1_min", "1000"), EIO);
}

TEST_F(DriverFilesTest, HwmonLayoutMovesSensorsAndSpeaksPwmEnable)
{
    smcfs::DriverFiles files(connection, smcfs::Layout::Hwmon);
    EXPECT_EQ(read(files, "/fan1_input"), "missing");
    EXPECT_EQ(read(files, "/key_count"), "16\n");
    EXPECT_EQ(read(files, "/hwmon/hwmon0/name"), "applesmc\n");
    EXPECT_EQ(read(files, "/hwmon/hwmon0/fan1_target"), "2000\n");
    EXPECT_EQ(read(files, "/hwmon/hwmon0/fan1_output"), "missing");
    EXPECT_EQ(read(files, "/hwmon/hwmon0/pwm1_enable"), "2\n");
    EXPECT_EQ(read(files, "/hwmon/hwmon0/pwm2_enable"), "1\n");
    EXPECT_EQ(write(files, "/hwmon/hwmon0/pwm1_enable", "1"), 0);
    EXPECT_EQ(write(files, "/hwmon/hwmon0/pwm2_enable", "2"), 0);
    EXPECT_EQ(write(files, "/hwmon/hwmon0/pwm2_enable", "0"), EINVAL);
    EXPECT_EQ(value("FS! "), (std::vector<uint8_t>{0x00, 0x01}));
}

TEST(DriverFilesFans, AtMostTenFansAndT2ManualKeys)
{
    std::string profile = "  FNum  [ui8 ]  12 (bytes 0c)\n";
    for (int fan = 0; fan < 10; ++fan)
        profile += "  F" + std::to_string(fan) + "Md  [ui8 ]  0 (bytes 00)\n! writable\n";
    TestSMC smc{profile};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    smcfs::DriverFiles files(connection, smcfs::Layout::Classic);
    EXPECT_EQ(files.fanCount(), 10);
    EXPECT_NE(files.find("/fan10_manual"), nullptr);
    EXPECT_EQ(files.find("/fan11_manual"), nullptr);
    // Without "FS! ", manual mode is the fan's own key.
    const smcfs::Node* manual = files.find("/fan3_manual");
    ASSERT_NE(manual, nullptr);
    EXPECT_EQ(files.write(*manual, "1\n"), 0);
    EXPECT_EQ(smc.smc().key(platform::fourCharCode("F2Md"))->bytes[0], 1);
    std::string content;
    EXPECT_EQ(files.read(*manual, content), 0);
    EXPECT_EQ(content, "1\n");
    SMCClose(connection);
}

// A T2 machine: fan speeds are little-endian floats, manual mode is a key
// per fan even beside "FS! ", and fans have no names.
TEST(DriverFilesFans, T2FloatsAndModeKeysAsItsKernelsShowThem)
{
    TestSMC smc{R"(
  #KEY  [ui32]  9 (bytes 00 00 00 09)
  BCLM  [ui8 ]  100 (bytes 64)
! writable
  F0Ac  [flt ]  (bytes 00 4c 03 45)
  F0Md  [ui8 ]  2 (bytes 02)
! writable
  F0Mn  [flt ]  (bytes 00 00 96 44)
! writable
  F0Tg  [flt ]  (bytes 00 00 fa 44)
! writable
  F1Ac  [flt ]  (bytes 00 00 a0 c0)
  F1Md  [ui8 ]  0 (bytes 00)
  FNum  [ui8 ]  2 (bytes 02)
  FS!   [ui16]  0 (bytes 00 00)
)"};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    smcfs::DriverFiles files(connection, smcfs::Layout::Classic);
    auto value = [&](const char* key) {
        auto entry = smc.smc().key(platform::fourCharCode(key));
        return std::vector<uint8_t>(entry->bytes.begin(), entry->bytes.begin() + entry->size);
    };
    struct Case {
        const char* path;
        const char* written;  // null: read only
        std::string shows;    // the text read after, or "errno N"
        const char* key;      // and the key's bytes after
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"/fan1_input", nullptr, "2100\n", "F0Ac", {0x00, 0x4c, 0x03, 0x45}},  // 2100.75: the integer part
        {"/fan2_input", nullptr, "0\n", "F1Ac", {0x00, 0x00, 0xa0, 0xc0}},     // -5.0 shows 0
        {"/fan1_manual", nullptr, "2\n", "F0Md", {0x02}},                      // the byte as it is
        {"/fan1_output", "3000", "3000\n", "F0Tg", {0x00, 0x80, 0x3b, 0x45}},
        {"/fan1_min", "16384", "1200\n", "F0Mn", {0x00, 0x00, 0x96, 0x44}},
        {"/fan1_manual", "2", "0\n", "F0Md", {0x00}},  // only the low bit is written
        {"/fan1_manual", "3", "1\n", "F0Md", {0x01}},
        {"/fan1_label", nullptr, "errno 22", "FS! ", {0x00, 0x00}},  // no F0ID; "FS! " untouched
        {"/battery_charge_limit", "80", "80\n", "BCLM", {80}},
        {"/battery_charge_limit", "101", "80\n", "BCLM", {80}},
    };
    for (const Case& c : cases) {
        const smcfs::Node* node = files.find(c.path);
        ASSERT_NE(node, nullptr) << c.path;
        if (c.written)
            files.write(*node, c.written);
        std::string content;
        int error = files.read(*node, content);
        EXPECT_EQ(error ? "errno " + std::to_string(error) : content, c.shows) << c.path << " " << c.written;
        EXPECT_EQ(value(c.key), c.bytes) << c.path;
    }
    // Its kernels bind the driver to the ACPI device.
    EXPECT_EQ(files.find("/hwmon/hwmon0/device")->target, "../../../APP0001:00");
    EXPECT_EQ(files.find("/subsystem")->target, "../../../../../../bus/acpi");
    SMCClose(connection);
}

// The coretemp directory of the built-in machine, whose CPU keys read
// TC0C 52, TC0D 55.5, TC0E 54.25, TC0F 56, TC1C 53, TC2C 51, TC3C 52.5,
// TC4C 50.25 and TCXC 55 °C.
TEST(CoretempFiles, PackageIsTheHottestAnsweringKeyAndEachCoreItsOwn)
{
    TestSMC smc{platform::builtinSMCProfile()};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    smcfs::CoretempFiles files(connection);
    auto read = [&files](const std::string& path) { return readFile(files, path); };
    const std::pair<const char*, const char*> cases[] = {
        {"name", "coretemp\n"},
        {"temp1_label", "Package id 0\n"},
        {"temp1_input", "56000\n"},  // TC0F
        {"temp1_max", "100000\n"},
        {"temp1_crit", "100000\n"},
        {"temp1_crit_alarm", "0\n"},
        {"temp2_label", "Core 0\n"},
        {"temp2_input", "52000\n"},
        {"temp5_label", "Core 3\n"},
        {"temp5_input", "53000\n"},  // whole degrees, as the CPU's sensor reads
        {"temp6_label", "Core 4\n"},
        {"temp7_label", "missing"},
    };
    std::string directory(smcfs::CoretempFiles::kDirectory);
    for (auto [name, expected] : cases)
        EXPECT_EQ(read(directory + "/" + name), expected) << name;
    const smcfs::Node* device = files.find(directory + "/device");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->target, "../../../coretemp.0");

    // A key that does not answer is left out of the package, and fails its core.
    for (const char* key : {"TC0F", "TC0D", "TC1C"})
        smc.fail(key, platform::SMCExchangeKind::Read, kIOReturnNotResponding);
    EXPECT_EQ(read(directory + "/temp1_input"), "55000\n");  // TCXC
    EXPECT_EQ(read(directory + "/temp3_input"), "errno 5");
    const smcfs::Node* input = files.find(directory + "/temp1_input");
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(files.write(*input, "1"), EACCES);
    SMCClose(connection);
}

TEST(CoretempFiles, NothingToServeWithoutCPUKeys)
{
    TestSMC smc{kProfile};  // its only CPU key is TC0D
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    EXPECT_TRUE(smcfs::CoretempFiles(connection).hasSensors());
    smc.fail("TC0D", platform::SMCExchangeKind::KeyInfo, kIOReturnNotResponding);
    EXPECT_FALSE(smcfs::CoretempFiles(connection).hasSensors()) << "a key that cannot be described is not there";
    SMCClose(connection);
}

// The powercap directory of the built-in machine (PCPC 7 W, PC0C 7.25 W)
// on a clock stepped by hand: the counters integrate the power between
// readings and wrap at their range (here 100 J).
TEST(PowercapFiles, CountersIntegrateThePowerAndWrap)
{
    TestSMC smc{platform::builtinSMCProfile()};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    std::chrono::steady_clock::time_point now{};
    smcfs::PowercapFiles files(connection, [&now] { return now; }, 100'000'000);
    ASSERT_TRUE(files.hasPower());
    auto read = [&files](const std::string& path) { return readFile(files, path); };
    const std::string package = "/intel-rapl/intel-rapl:0", core = package + "/intel-rapl:0:0";
    const struct {
        int seconds;
        const char* packageWatts;  // PCPC from then on, sp96 bytes; "" as it is
        std::string path;
        const char* expected;
    } cases[] = {
        {0, "", package + "/name", "package-0\n"},
        {0, "", core + "/name", "core\n"},
        {0, "", package + "/max_energy_range_uj", "100000000\n"},
        {0, "", "/intel-rapl/enabled", "1\n"},
        {10, "", package + "/energy_uj", "70000000\n"},
        {10, "", core + "/energy_uj", "72500000\n"},
        {20, "\x02\x40", package + "/energy_uj", "40000000\n"},  // 140 J wrapped; 9 W from now
        {30, "", package + "/energy_uj", "20000000\n"},             // + 10 s of 7 W rising to 9 W
    };
    for (const auto& c : cases) {
        now = std::chrono::steady_clock::time_point{} + std::chrono::seconds(c.seconds);
        EXPECT_EQ(read(c.path), c.expected) << c.path << " at " << c.seconds << " s";
        if (*c.packageWatts) {
            ASSERT_TRUE(smc.smc().setValue(platform::fourCharCode("PCPC"),
                                           reinterpret_cast<const uint8_t*>(c.packageWatts), 2));
        }
    }
    EXPECT_EQ(files.find(package + "/energy_uj")->mode, 0400u) << "root's alone, as after CVE-2020-8694";
    smc.fail("PCPC", platform::SMCExchangeKind::Read, kIOReturnNotResponding);
    EXPECT_EQ(read(package + "/energy_uj"), "errno 5");
    SMCClose(connection);
}

TEST(PowercapFiles, NothingToServeWithoutAPackagePowerKey)
{
    TestSMC smc{kProfile};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    EXPECT_FALSE(smcfs::PowercapFiles(connection).hasPower());
    SMCClose(connection);
}

}  // namespace

namespace {

// A two-fan Apple Silicon machine: fan 2 has no mode key, TW0P's node no
// label, PMVR's key is missing (so PHPC is power2), TH0x is of a type the
// driver does not read, TB0T an ioft and PSTR an infinity.
constexpr const char* kAppleSilicon = R"(
  F0Ac  [flt ]  (bytes 00 4c 03 45)
  F0Md  [ui8 ]  0 (bytes 00)
! writable
  F0Mn  [flt ]  (bytes 00 00 96 44)
  F0Mx  [flt ]  (bytes 00 20 b2 45)
  F0Tg  [flt ]  (bytes 00 00 96 44)
! writable
  F1Ac  [flt ]  (bytes 00 00 96 44)
  F1Mn  [flt ]  (bytes 00 00 96 44)
  F1Mx  [flt ]  (bytes 00 20 b2 45)
  F1Tg  [flt ]  (bytes 00 00 96 44)
  FNum  [ui8 ]  2 (bytes 02)
  PHPC  [flt ]  (bytes 00 00 c0 bf)
  PSTR  [flt ]  (bytes 00 00 80 ff)
  SBAV  [flt ]  (bytes 8f c2 49 41)
  TB0T  [ioft]  (bytes 00 80 1e 00 00 00 00 00)
  TH0x  [ui16]  36 (bytes 00 24)
  TW0P  [flt ]  (bytes cd cc 1c 42)
)";
constexpr const char* kAppleSiliconTree = R"(
! devicetree upstream 290400000
! node power PSTR "Total System Power"
! node power PMVR "3.8 V Rail Power"
! node power PHPC "Heatpipe Power"
! node temperature TH0x "NAND Flash Temperature"
! node temperature TB0T "Battery Hotspot"
! node temperature TW0P
! node voltage SBAV "Battery Voltage"
! node fan F0Ac "Fan 1" F0Mn F0Mx F0Tg F0Md
! node fan F1Ac "Fan 2" F1Mn F1Mx F1Tg
)";

platform::SMCSensorTree appleSiliconTree()
{
    std::vector<platform::SMCKeyEntry> keys;
    std::optional<platform::ThermalParameters> thermal;
    std::optional<platform::SMCSensorTree> tree;
    EXPECT_FALSE(platform::parseSMCProfile(kAppleSiliconTree, keys, &thermal, &tree));
    return tree.value_or(platform::SMCSensorTree{});
}

const std::string kHwmon = "/devices/platform/soc/290400000.smc/macsmc-hwmon/hwmon/hwmon0";

}  // namespace

TEST(MacsmcFiles, ChannelsReadAsTheDriverConvertsThem)
{
    TestSMC smc{kAppleSilicon};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    smcfs::MacsmcFiles files(connection, appleSiliconTree(), false);
    struct Case {
        std::string file;
        std::string expected;
    } cases[] = {
        {"/power1_input", std::to_string(LONG_MIN) + "\n"},  // -Inf
        {"/power2_input", "-1500000\n"},                    // PHPC: PMVR's node has no key
        {"/power2_label", "Heatpipe Power\n"},
        {"/power3_input", "missing"},
        {"/temp1_input", "errno " + std::to_string(EOPNOTSUPP)},  // ui16
        {"/temp2_input", "30500\n"},                             // ioft 30.5
        {"/temp3_input", "39200\n"},
        {"/temp3_label", "missing"},
        {"/in1_input", "12609\n"},  // 12.61 as flt is 12.6099997
        {"/fan1_input", "2100\n"},
        {"/fan2_label", "Fan 2\n"},
        {"/name", "macsmc_hwmon\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(readFile(files, kHwmon + c.file), c.expected) << c.file;
    EXPECT_EQ(files.find(kHwmon + "/fan1_target")->mode, 0444u) << "fan_control was off at the start";
    SMCClose(connection);
}

TEST(MacsmcFiles, FanTargetWritesFollowTheDriversRules)
{
    TestSMC smc{kAppleSilicon};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    smcfs::MacsmcFiles files(connection, appleSiliconTree(), true);
    auto byte = [&](const char* key) { return smc.smc().key(platform::fourCharCode(key))->bytes[0]; };
    auto target = [&] { return readFile(files, kHwmon + "/fan1_target"); };
    const smcfs::Node* fan1 = files.find(kHwmon + "/fan1_target");
    const smcfs::Node* control = files.find("/module/macsmc_hwmon/parameters/fan_control");
    ASSERT_EQ(fan1->mode, 0644u);
    EXPECT_EQ(files.find(kHwmon + "/fan2_target")->mode, 0444u) << "no mode key";
    struct Step {
        const smcfs::Node* node;
        const char* written;
        int error;
        std::string target;  // fan1_target after
        uint8_t mode;        // F0Md after
    } steps[] = {
        {fan1, "0\n", 0, "1200\n", 0},        // not manual: nothing to give back
        {fan1, "1199", EINVAL, "1200\n", 0},  // below the minimum
        {fan1, "-3000", EINVAL, "1200\n", 0},
        {fan1, "5701", EINVAL, "1200\n", 0},
        {fan1, "3000\n", 0, "3000\n", 1},
        {fan1, "+5700", 0, "5700\n", 1},
        {fan1, "0", 0, "5700\n", 0},  // automatic; the target stays the SMC's
        {control, "N\n", 0, "5700\n", 0},
        {fan1, "3000", EOPNOTSUPP, "5700\n", 0},
        {control, "x", EINVAL, "5700\n", 0},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(files.write(*step.node, step.written), step.error) << step.written;
        EXPECT_EQ(target(), step.target) << step.written;
        EXPECT_EQ(byte("F0Md"), step.mode) << step.written;
    }
    EXPECT_EQ(readFile(files, "/module/macsmc_hwmon/parameters/fan_control"), "N\n");
    SMCClose(connection);
}

// Directories list as kernfs lists them, never in tree order; the blob
// keeps that order.
TEST(MacsmcFiles, DevicetreeListsOutOfOrderAndTheBlobKeepsIt)
{
    TestSMC smc{kAppleSilicon};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    platform::SMCSensorTree tree = appleSiliconTree();
    for (auto shape : {platform::SMCSensorTree::Shape::Upstream, platform::SMCSensorTree::Shape::Grouped}) {
        tree.shape = shape;
        smcfs::MacsmcFiles files(connection, tree, false);
        bool upstream = shape == platform::SMCSensorTree::Shape::Upstream;
        std::string hwmon = "/firmware/devicetree/base/soc/smc@290400000/hwmon";
        std::string temperatures = upstream ? hwmon : hwmon + "/apple,temp-keys";
        const char* prefix = upstream ? "temperature-" : "temp-";
        std::vector<std::string> listed;
        for (const std::string& child : files.find(temperatures)->children)
            if (child.rfind(prefix, 0) == 0)
                listed.push_back(child.substr(child.find('-') + 1));
        EXPECT_NE(listed, (std::vector<std::string>{"TH0x", "TB0T", "TW0P"}));
        EXPECT_EQ(readFile(files, temperatures + "/" + prefix + "TB0T/apple,key-id"), std::string("TB0T\0", 5));
        // The older driver names every channel, TW0P by its key.
        EXPECT_EQ(readFile(files, kHwmon + "/temp3_label"), upstream ? "missing" : "TW0P\n");

        // The blob: big-endian header, version 17, the nodes in tree order.
        std::string blob = readFile(files, "/firmware/fdt");
        EXPECT_EQ(files.find("/firmware/fdt")->mode, 0400u);
        ASSERT_GT(blob.size(), 40u);
        auto word = [&](size_t at) {
            return uint32_t(uint8_t(blob[at])) << 24 | uint32_t(uint8_t(blob[at + 1])) << 16 |
                   uint32_t(uint8_t(blob[at + 2])) << 8 | uint8_t(blob[at + 3]);
        };
        EXPECT_EQ(word(0), 0xd00dfeedu);
        EXPECT_EQ(word(4), blob.size());
        EXPECT_EQ(word(20), 17u);
        size_t th = blob.find(std::string(prefix) + "TH0x"), tb = blob.find(std::string(prefix) + "TB0T"),
               tw = blob.find(std::string(prefix) + "TW0P");
        EXPECT_TRUE(th < tb && tb < tw) << th << " " << tb << " " << tw;
    }
    SMCClose(connection);
}
