// The emulated SMC service: its answers to good and bad calls, profiles and
// the choice of back-end.
#include "backends/applesmc/AppleSMCService.h"
#include "backends/DaemonProtocol.h"
#include "backends/SMCService.h"
#include "smc/tool/smctool.h"
#include "support/TestSMC.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

using platform::fourCharCode;
using testing_support::captureStdout;
using testing_support::request;
using testing_support::TestSMC;

namespace {

constexpr const char* kProfile = R"(
  FNum  [ui8 ]  2 (bytes 02)
  TC0D  [sp78]  (bytes 32 80)
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
)";

struct ServiceCase {
    const char* name;
    uint32_t selector;
    size_t inputSize;
    size_t outputSize;
    SMCKeyData request;
    kern_return_t status;
};

TEST(EmulatedService, AnswersCalls)
{
    TestSMC smc{kProfile};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);

    SMCKeyData writeReadOnly = request(SMCCommandWriteKey, "TC0D", 2);
    SMCKeyData writeWrongSize = request(SMCCommandWriteKey, "F0Tg", 1);
    SMCKeyData badCommand = request(7, "FNum");
    const ServiceCase cases[] = {
        {"info of a key", 2, 80, 80, request(SMCCommandKeyInfo, "FNum"), 0},
        {"info of an unknown key", 2, 80, 80, request(SMCCommandKeyInfo, "XXXX"), 0},
        {"read of an unknown key", 2, 80, 80, request(SMCCommandReadKey, "XXXX", 4), 0},
        {"read of the wrong size", 2, 80, 80, request(SMCCommandReadKey, "TC0D", 1), kIOReturnBadArgument},
        {"key at the last index", 2, 80, 80, request(SMCCommandKeyAtIndex, nullptr, 0, 3), 0},
        {"key past the count", 2, 80, 80, request(SMCCommandKeyAtIndex, nullptr, 0, 4), kIOReturnBadArgument},
        {"unknown command", 2, 80, 80, badCommand, kIOReturnBadArgument},
        {"method 3", 3, 80, 80, request(SMCCommandKeyInfo, "FNum"), kIOReturnBadArgument},
        {"method 0", 0, 80, 80, request(SMCCommandKeyInfo, "FNum"), kIOReturnBadArgument},
        {"short input", 2, 79, 80, request(SMCCommandKeyInfo, "FNum"), kIOReturnBadArgument},
        {"long output", 2, 80, 81, request(SMCCommandKeyInfo, "FNum"), kIOReturnBadArgument},
        {"write of a read-only key", 2, 80, 80, writeReadOnly, kIOReturnNotWritable},
        {"write of the wrong size", 2, 80, 80, writeWrongSize, kIOReturnBadArgument},
        {"write of an unknown key", 2, 80, 80, request(SMCCommandWriteKey, "XXXX", 0), kIOReturnNotFound},
    };
    for (const auto& c : cases) {
        SMCKeyData input[2] = {c.request, {}};  // room for the short and long sizes
        SMCKeyData output[2];
        std::memset(output, 0xa5, sizeof output);
        size_t outputSize = c.outputSize;
        EXPECT_EQ(IOConnectCallStructMethod(connection, c.selector, input, c.inputSize, output, &outputSize),
                  c.status)
            << c.name;
    }
    auto keys = smc.smc().keys();
    EXPECT_EQ(keys[2].bytes[0], 0x32) << "no write reached the store";
    EXPECT_EQ(keys[3].bytes[0], 0x1f);
    SMCClose(connection);
}

TEST(EmulatedService, FillsResponses)
{
    TestSMC smc{kProfile};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    auto call = [&](SMCKeyData in) {
        SMCKeyData out;
        std::memset(&out, 0xa5, sizeof out);
        size_t size = 80;
        EXPECT_EQ(IOConnectCallStructMethod(connection, 2, &in, 80, &out, &size), 0);
        return out;
    };
    SMCKeyData info = call(request(SMCCommandKeyInfo, "TC0D"));
    EXPECT_EQ(info.dataSize, 2u);
    EXPECT_EQ(info.dataType, fourCharCode("sp78"));
    EXPECT_EQ(call(request(SMCCommandKeyInfo, "NoNe")).dataSize, 0u);
    SMCKeyData read = call(request(SMCCommandReadKey, "TC0D", 2));
    EXPECT_EQ(uint8_t(read.bytes[0]), 0x32);
    EXPECT_EQ(uint8_t(read.bytes[1]), 0x80);
    EXPECT_EQ(read.bytes[2], 0) << "bytes past the value are zero";
    SMCKeyData unknown = call(request(SMCCommandReadKey, "NoNe", 0));
    EXPECT_EQ(std::count(unknown.bytes, unknown.bytes + 32, 0), 32);
    EXPECT_EQ(call(request(SMCCommandKeyAtIndex, nullptr, 0, 0)).key, fourCharCode("#KEY"))
        << "a profile without #KEY gets one first";
    EXPECT_EQ(call(request(SMCCommandKeyAtIndex, nullptr, 0, 1)).key, fourCharCode("FNum"));
    SMCClose(connection);
}

struct ProfileErrorCase {
    const char* text;
    size_t line;
    const char* problem;
};

TEST(Profiles, ReportLineAndProblem)
{
    const ProfileErrorCase cases[] = {
        {"  FNum  [ui8 ]  2 (bytes 02)\nFNum [ui8 ] 2 (bytes 02)\n", 2, "expected a key line"},
        {"# comment\n\n  FNum  [ui8 ]  2 (bytes 2)\n", 3, "pairs of hex digits"},
        {"  FNum  [ui8 ]  2 (bytes 0g)\n", 1, "pairs of hex digits"},
        {"  FNum  [ui8 ]  2 (bytes 02\n", 1, "\"no data\" or \"(bytes"},
        {"  FNum  [ui8 ]  \n", 1, "\"no data\" or \"(bytes"},
        {"  FNum  [ui8]  2 (bytes 02)\n", 1, "expected a key line"},
        {"! writable\n", 1, "must follow a key line"},
        {"  FNum  [ui8 ]  2 (bytes 02)\n! writeable\n", 2, "unknown marker"},
        {"  FNum  [ui8 ]  2 (bytes 02)\n! fail info 0\n", 2, "nonzero"},
        {"  FNum  [ui8 ]  2 (bytes 02)\n! fail info xyz\n", 2, "nonzero"},
        {"  FNum  [ui8 ]  2 (bytes 02)\n! fail open e00002c2\n", 2, "unknown marker"},
        {"  FNum  [ui8 ]  2 (bytes 02)\n  TC0D  [sp78]  no data\n  FNum  [ui8 ]  no data\n", 3,
         "already on line 1"},
        {"  LONG  [ch8*]  (bytes 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17 "
         "18 19 1a 1b 1c 1d 1e 1f 20)\n",
         1, "at most 32 bytes"},
        {"! node power PSTR\n", 1, "must follow \"! devicetree\""},
        {"! devicetree upstream\n! devicetree grouped\n", 2, "given once"},
        {"! devicetree sideways\n", 1, "upstream|grouped"},
        {"! devicetree upstream 0x23e\n", 1, "nonzero hex number"},
        {"! devicetree upstream\n! node power PSTR \"Total\n", 2, "closing quote"},
        {"! devicetree upstream\n! node heat PSTR\n", 2, "expected \"! node"},
        {"! devicetree upstream\n! node power PST\n", 2, "four letters or digits"},
        {"! devicetree upstream\n! node power PSTR F0Mn\n", 2, "expected \"! node"},
        {"! devicetree upstream\n! node fan F0Ac \"Fan\" F0Mn F0Mx\n", 2, "expected \"! node"},
        {"! devicetree upstream\n! node power PSTR\n! node power PSTR \"again\"\n", 3, "already there"},
    };
    for (const auto& c : cases) {
        std::vector<platform::SMCKeyEntry> keys;
        std::optional<platform::ThermalParameters> thermal;
        std::optional<platform::SMCSensorTree> devicetree;
        auto error = platform::parseSMCProfile(c.text, keys, &thermal, &devicetree);
        ASSERT_TRUE(error) << c.text;
        EXPECT_EQ(error->line, c.line) << c.text;
        EXPECT_NE(error->problem.find(c.problem), std::string::npos) << c.text << " -> " << error->problem;
    }
}

TEST(Profiles, MarkersTakeEffect)
{
    TestSMC smc{R"(  FNum  [ui8 ]  2 (bytes 02)
! fail info e00002c2
  TC0D  [sp78]  (bytes 32 80)
! fail read e00002ed
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
! fail write E00002D8
  F1Tg  [fpe2]  2000 (bytes 1f 40)
! writable
! fail index 0xe00002c0
)"};
    conn = 0;
    ASSERT_EQ(smc_init(), 0);
    SMCVal val;
    EXPECT_EQ(SMCReadKey("FNum", &val), kIOReturnBadArgument);
    EXPECT_EQ(SMCReadKey("TC0D", &val), kIOReturnNotResponding);
    EXPECT_EQ(SMCWriteKey({"F0Tg", 2, "", {1, 2}}), kern_return_t(0xe00002d8));
    EXPECT_EQ(SMCWriteKey({"F1Tg", 2, "", {1, 2}}), 0);
    SMCKeyData in = request(SMCCommandKeyAtIndex, nullptr, 0, 4), out;
    EXPECT_EQ(SMCCall(kSMCUserClientCall, &in, &out), kern_return_t(0xe00002c0));
    smc_close();
}

// Listing a profile's keys gives back its key lines.
std::string keyLines(const std::string& profile)
{
    std::string lines;
    size_t start = 0;
    while (start < profile.size()) {
        size_t end = profile.find('\n', start);
        std::string line = profile.substr(start, end - start);
        if (line.starts_with("  "))
            lines += line + "\n";
        start = end == std::string::npos ? profile.size() : end + 1;
    }
    return lines;
}

TEST(Profiles, ListingReproducesProfile)
{
    const std::string handWritten = R"(# every printer branch
  #KEY  [ui32]  9 (bytes 00 00 00 09)
  FNum  [ui8 ]  2 (bytes 02)
  ui8   [ui8 ]  (bytes 07)
  F0Ac  [fpe2]  -8192 (bytes 80 00)
  BIG   [ui32]  500 (bytes 00 00 01 f4)
  EMTY  [    ]  no data
  EMT2  [ui16]  no data
  FS!   [ui16]  5 (bytes 00 05)
! writable
  ODD   [{fds]  (bytes 41 42 43 00 44)
)";
    for (const std::string& profile : {handWritten, std::string(platform::builtinSMCProfile())}) {
        TestSMC smc{profile};
        conn = 0;
        ASSERT_EQ(smc_init(), 0);
        EXPECT_EQ(captureStdout([] { SMCPrintAll(); }), keyLines(profile));
        smc_close();
    }
}

struct Listing {
    bool loads = false;     // the text parsed as a profile
    bool whole = false;     // the listing said it is the whole machine
    std::string text;
};

Listing listingOf(std::string_view profile)
{
    Listing listing;
    std::vector<platform::SMCKeyEntry> keys;
    if (platform::parseSMCProfile(profile, keys))
        return listing;
    listing.loads = true;
    TestSMC smc{profile};
    conn = 0;
    EXPECT_EQ(smc_init(), 0);
    ::testing::internal::CaptureStderr();
    listing.text = captureStdout([&] { listing.whole = smctool::listKeys(); });
    ::testing::internal::GetCapturedStderr();
    smc_close();
    return listing;
}

// A listing that says it is whole loads back as a profile that lists the
// same text; one that would not, says so.
TEST(Profiles, SavedListingListsTheSameText)
{
    using namespace std::string_literals;
    struct Case {
        std::string name;
        std::string profile;
        bool whole;
        bool reloadsOtherwise = false;  // shows why the listing said it is not whole
    };
    std::vector<Case> cases = {
        {"builtin", std::string(platform::builtinSMCProfile()), true},
        {"no keys", "", true},
        {"no #KEY", "  FNum  [ui8 ]  1 (bytes 01)\n", true},
        {"#KEY last", "  FNum  [ui8 ]  1 (bytes 01)\n  #KEY  [ui32]  2 (bytes 00 00 00 02)\n", true},
        {"#KEY short of the keys", "  #KEY  [ui32]  1 (bytes 00 00 00 01)\n  FNum  [ui8 ]  1 (bytes 01)\n", true},
        {"#KEY of 0", "  #KEY  [ui32]  0 (bytes 00 00 00 00)\n  FNum  [ui8 ]  1 (bytes 01)\n", false, true},
        {"#KEY left out", "  FNum  [ui8 ]  1 (bytes 01)\n  #KEY  [ui32]  1 (bytes 00 00 00 01)\n", false, true},
        {"#KEY of no size", "  #KEY  [ui32]  no data\n  FNum  [ui8 ]  1 (bytes 01)\n", false, true},
        {"keys that list alike", "  AB\0\0  [ui8 ]  1 (bytes 01)\n  AB    [ui8 ]  2 (bytes 02)\n"s, false, true},
        {"zero bytes in key and type", "  AB\0\0  [ab\0\0]  (bytes 01)\n  \0\0\0\0  [ui8\0]  (bytes 02)\n"s, true},
    };
    for (const auto& entry : std::filesystem::directory_iterator(GOLDEN_DIR "/profiles")) {
        std::ifstream in(entry.path());
        std::string text{std::istreambuf_iterator<char>(in), {}};
        // Whole unless a marker fails an exchange of the listing, or the
        // profile sets a count of its own (each of those is off on purpose).
        bool whole = true;
        for (const char* breaks : {"! fail info", "! fail read", "! fail index", "\n  #KEY"})
            whole = whole && text.find(breaks) == std::string::npos;
        cases.push_back({entry.path().filename().string(), text, whole});
    }
    for (const auto& c : cases) {
        Listing first = listingOf(c.profile);
        ASSERT_TRUE(first.loads) << c.name;
        EXPECT_EQ(first.whole, c.whole) << c.name;
        Listing again = listingOf(first.text);
        if (first.whole) {
            EXPECT_TRUE(again.loads && again.whole) << c.name;
            EXPECT_EQ(again.text, first.text) << c.name;
        }
        if (c.reloadsOtherwise) {
            EXPECT_FALSE(again.loads && again.text == first.text) << c.name;
        }
    }
}

TEST(Profiles, BuiltinIsARealMachine)
{
    std::vector<platform::SMCKeyEntry> keys;
    ASSERT_FALSE(platform::parseSMCProfile(platform::builtinSMCProfile(), keys));
    EXPECT_GE(keys.size(), 150u);
    platform::EmulatedSMC smc(keys);
    for (const char* key : {"#KEY", "TC0D", "TC0H", "TC0P", "TC1D", "TCAH", "TCBH", "TG0D", "TB0T", "TM0P",
                            "FNum", "FS! ", "F0Ac", "F0Mn", "F0Mx", "F0Sf", "F0Tg", "F1Ac", "F1Mn", "F1Mx",
                            "F1Sf", "F1Tg", "F0ID", "F1ID"})
        EXPECT_TRUE(smc.key(fourCharCode(key))) << key;
    for (const char* key : {"F0Mn", "F0Tg", "F1Mn", "F1Tg", "FS! "})
        EXPECT_TRUE(smc.key(fourCharCode(key))->writable) << key;
    EXPECT_FALSE(smc.key(fourCharCode("TC0D"))->writable);
    EXPECT_EQ(smc.key(fourCharCode("F0ID"))->size, 16);
    std::set<std::string> types;
    for (const auto& key : keys)
        types.insert(platform::fourCharText(key.type));
    for (const char* type : {"sp78", "fpe2", "ui8 ", "ui16", "ui32", "flag", "ch8*", "si16", "fp88", "sp4b"})
        EXPECT_TRUE(types.count(type)) << type;
}

TEST(Profiles, BuiltinKeysAreSortedAsTheDriverSearchesThem)
{
    TestSMC smc{platform::builtinSMCProfile()};
    io_connect_t connection = 0;
    ASSERT_EQ(SMCOpen(&connection), 0);
    SMCVal keys;
    ASSERT_EQ(SMCReadKey2("#KEY", &keys, connection), 0);
    uint32_t count = _strtoul(keys.bytes, 4, 16);
    ASSERT_GT(count, 150u);
    FourCharCode previous = 0;
    for (uint32_t index = 0; index < count; ++index) {
        SMCKeyData in = request(SMCCommandKeyAtIndex, nullptr, 0, index), out{};
        size_t size = sizeof out;
        ASSERT_EQ(IOConnectCallStructMethod(connection, 2, &in, sizeof in, &out, &size), 0) << index;
        // The code holds the first character in its top byte: byte order.
        EXPECT_GT(out.key, previous) << platform::fourCharText(out.key) << " at " << index;
        previous = out.key;
    }
    SMCClose(connection);
}

TEST(ServiceSelection, FromSetting)
{
    const std::string path = ::testing::TempDir() + "bad.profile";
    std::ofstream(path) << "  FNum  [ui8 ]  2 (bytes 02)\n\n  oops\n";

    // Unset, on a machine without daemon or driver: no SMC, never the
    // emulated one in its place.
    std::string runtime = ::testing::TempDir() + "no-daemon";
    std::filesystem::create_directories(runtime);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    bool bare =
        !std::filesystem::exists(platform::protocol::kSystemSocketPath) && platform::findAppleSMCDevice().empty() &&
        platform::findMacSMCHwmon().empty();

    struct Case {
        const char* setting;
        bool present;
        std::string diagnostic;
        std::string cause = {};
    } const cases[] = {
        {nullptr, false, "",
         "no daemon at " + runtime + "/smcd.sock; no daemon at /run/smcd.sock; no applesmc driver device; "
         "no macsmc_hwmon driver in /sys/class/hwmon; SMC_SERVICE=builtin serves an emulated machine"},
        {"builtin", true, ""},
        {"none", false, ""},
        {path.c_str(), false, "SMC_SERVICE: cannot load profile " + path + ":3: expected a key line"},
        {"/no/such/profile", false, "SMC_SERVICE: cannot load profile /no/such/profile: cannot read: No such file"},
    };
    for (const auto& c : cases) {
        if (c.setting == nullptr && !bare)
            continue;  // this machine has a daemon or the driver
        ::testing::internal::CaptureStderr();
        std::string cause;
        bool present = platform::selectSMCService(c.setting, cause) != nullptr;
        EXPECT_EQ(cause.empty(), c.present) << cause;
        std::string diagnostic = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(present, c.present) << (c.setting ? c.setting : "unset");
        EXPECT_EQ(diagnostic.substr(0, c.diagnostic.size()), c.diagnostic);
        EXPECT_EQ(diagnostic.empty(), c.diagnostic.empty()) << diagnostic;
        if (!c.cause.empty()) {
            EXPECT_EQ(cause, c.cause);
        }
    }
    unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
