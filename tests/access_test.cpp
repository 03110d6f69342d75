// The access layer against a recording emulated SMC: request bytes, the
// read's two exchanges, writes, counting, and connections.
#include "smc/tool/smctool.h"
#include "support/TestSMC.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

using platform::SMCExchangeKind;
using testing_support::captureStdout;
using testing_support::request;
using testing_support::TestSMC;

namespace {

constexpr const char* kProfile = R"(
  #KEY  [ui32]  6 (bytes 00 00 00 06)
  FNum  [ui8 ]  2 (bytes 02)
  F0Mn  [fpe2]  2000 (bytes 1f 40)
! writable
  TC0D  [sp78]  (bytes 32 80)
  ABC   [ui16]  513 (bytes 02 01)
! writable
  LONG  [ch8*]  (bytes 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f)
! writable
)";

class AccessLayer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(captureStdout([&] { ASSERT_EQ(SMCOpen(&connection), 0); }), "");
        conn = connection;
        smc.clearExchanges();
    }
    void TearDown() override { SMCClose(connection); }

    bool sameBytes(const SMCKeyData& a, const SMCKeyData& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
    std::vector<SMCKeyData> requests()
    {
        std::vector<SMCKeyData> sent;
        for (const auto& exchange : smc.exchanges()) {
            EXPECT_EQ(exchange.selector, uint32_t(kSMCUserClientCall));
            EXPECT_EQ(exchange.inputSize, sizeof(SMCKeyData));
            EXPECT_EQ(exchange.connection, connection);
            sent.push_back(exchange.request);
        }
        return sent;
    }

    TestSMC smc{kProfile};
    io_connect_t connection = 0;
};

SMCKeyData withBytes(SMCKeyData record, std::initializer_list<uint8_t> bytes)
{
    size_t i = 0;
    for (uint8_t b : bytes)
        record.bytes[i++] = char(b);
    return record;
}

TEST_F(AccessLayer, RequestRecordsAreZeroButForTheirFields)
{
    SMCVal all32{};
    std::strcpy(all32.key, "LONG");
    all32.dataSize = 32;
    for (int i = 0; i < 32; ++i)
        all32.bytes[i] = char(0xa0 + i);
    SMCKeyData writeAll = request(SMCCommandWriteKey, "LONG", 32);
    std::memcpy(writeAll.bytes, all32.bytes, 32);

    SMCVal pastSize{};
    std::strcpy(pastSize.key, "F0Mn");
    pastSize.dataSize = 2;
    std::memset(pastSize.bytes, 0xee, sizeof pastSize.bytes);  // bytes past dataSize travel too
    SMCKeyData writePast = request(SMCCommandWriteKey, "F0Mn", 2);
    std::memset(writePast.bytes, 0xee, sizeof writePast.bytes);

    SMCKeyData shortKey = request(SMCCommandKeyInfo);
    shortKey.key = 0x41424300;  // "ABC": a zero byte in the missing place

    struct Case {
        const char* name;
        std::function<kern_return_t()> action;
        kern_return_t status;
        std::vector<SMCKeyData> expected;
    } const cases[] = {
        {"read", [] { SMCVal v; return SMCReadKey("FNum", &v); }, 0,
         {request(SMCCommandKeyInfo, "FNum"), request(SMCCommandReadKey, "FNum", 1)}},
        {"read on a given connection", [this] { SMCVal v; return SMCReadKey2("TC0D", &v, connection); }, 0,
         {request(SMCCommandKeyInfo, "TC0D"), request(SMCCommandReadKey, "TC0D", 2)}},
        {"read of a five-character text packs four", [] { SMCVal v; return SMCReadKey("FNumX", &v); }, 0,
         {request(SMCCommandKeyInfo, "FNum"), request(SMCCommandReadKey, "FNum", 1)}},
        {"read of a three-character text", [] { SMCVal v; return SMCReadKey("ABC", &v); }, 0,
         {shortKey, [&] { auto r = shortKey; r.command = SMCCommandReadKey; return r; }()}},
        {"write of all 32 bytes", [&] { return SMCWriteKey(all32); }, 0,
         {request(SMCCommandKeyInfo, "LONG"), request(SMCCommandReadKey, "LONG", 32), writeAll}},
        {"write carries bytes past dataSize", [&] { return SMCWriteKey(pastSize); }, 0,
         {request(SMCCommandKeyInfo, "F0Mn"), request(SMCCommandReadKey, "F0Mn", 2), writePast}},
        {"write of the wrong size sends no write", [] {
             SMCVal v{"F0Mn", 1, "", {}};
             return SMCWriteKey(v); }, kSMCSizeMismatch,
         {request(SMCCommandKeyInfo, "F0Mn"), request(SMCCommandReadKey, "F0Mn", 2)}},
        {"write simple", [this] { return SMCWriteSimple("F0Mn", "2ee0", connection); }, 0,
         {request(SMCCommandKeyInfo, "F0Mn"), request(SMCCommandReadKey, "F0Mn", 2),
          withBytes(request(SMCCommandWriteKey, "F0Mn", 2), {0x2e, 0xe0})}},
        {"count", [] { return kern_return_t(SMCReadIndexCount()); }, 6,
         {request(SMCCommandKeyInfo, "#KEY"), request(SMCCommandReadKey, "#KEY", 4)}},
    };
    for (const auto& c : cases) {
        smc.clearExchanges();
        EXPECT_EQ(c.action(), c.status) << c.name;
        std::vector<SMCKeyData> sent = requests();
        ASSERT_EQ(sent.size(), c.expected.size()) << c.name;
        for (size_t i = 0; i < sent.size(); ++i)
            EXPECT_TRUE(sameBytes(sent[i], c.expected[i])) << c.name << ", exchange " << i;
    }
}

TEST_F(AccessLayer, ListingAsksForEachPositionThenReadsItsKey)
{
    captureStdout([] { SMCPrintAll(); });
    std::vector<SMCKeyData> expected{request(SMCCommandKeyInfo, "#KEY"), request(SMCCommandReadKey, "#KEY", 4)};
    const std::pair<const char*, uint32_t> keys[] = {{"#KEY", 4}, {"FNum", 1}, {"F0Mn", 2}, {"TC0D", 2}, {"ABC ", 2}, {"LONG", 32}};
    for (uint32_t index = 0; index < std::size(keys); ++index) {
        expected.push_back(request(SMCCommandKeyAtIndex, nullptr, 0, index));
        expected.push_back(request(SMCCommandKeyInfo, keys[index].first));
        expected.push_back(request(SMCCommandReadKey, keys[index].first, keys[index].second));
    }
    std::vector<SMCKeyData> sent = requests();
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_TRUE(sameBytes(sent[i], expected[i])) << "exchange " << i;
}

TEST_F(AccessLayer, CallFlushesStandardOutputAlsoOnFailure)
{
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    std::printf("pending");
    SMCKeyData in = request(SMCCommandKeyInfo, "FNum"), out;
    EXPECT_EQ(SMCCall2(kSMCUserClientCall, &in, &out, 0xdeadbeef), kIOReturnNotOpen);
    struct stat written;
    fstat(STDOUT_FILENO, &written);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(written.st_size, 7) << "flushed before the call returned";
}

TEST_F(AccessLayer, ReadRecordAfterEachFailurePoint)
{
    const uint8_t value[] = {0x32, 0x80};
    struct Case {
        const char* name;
        std::optional<SMCExchangeKind> failing;
        kern_return_t status;
        uint32_t dataSize;
        const char* dataType;
        bool hasValue;
        size_t exchanges;
    } const cases[] = {
        {"success", std::nullopt, 0, 2, "sp78", true, 2},
        {"key information fails", SMCExchangeKind::KeyInfo, kIOReturnBadArgument, 0, "", false, 1},
        {"read fails", SMCExchangeKind::Read, kIOReturnNotResponding, 2, "sp78", false, 2},
    };
    for (const auto& c : cases) {
        if (c.failing)
            smc.fail("TC0D", *c.failing, c.status);
        smc.clearExchanges();
        SMCVal val;
        std::memset(&val, 0x5a, sizeof val);  // any state: the read clears it
        EXPECT_EQ(SMCReadKey("TC0D", &val), c.status) << c.name;
        EXPECT_STREQ(val.key, "TC0D") << c.name;
        EXPECT_EQ(val.dataSize, c.dataSize) << c.name;
        EXPECT_STREQ(val.dataType, c.dataType) << c.name;
        SMCBytes expected{};
        if (c.hasValue)
            std::memcpy(expected, value, sizeof value);
        EXPECT_EQ(std::memcmp(val.bytes, expected, sizeof expected), 0) << c.name;
        EXPECT_EQ(smc.exchanges().size(), c.exchanges) << c.name;
        if (c.failing)
            smc.fail("TC0D", *c.failing, 0);
    }
}

TEST_F(AccessLayer, ReadOfUnknownKeySucceedsWithSizeZero)
{
    SMCVal val;
    EXPECT_EQ(SMCReadKey("NoPe", &val), 0);
    EXPECT_STREQ(val.key, "NoPe");
    EXPECT_EQ(val.dataSize, 0u);
}

TEST_F(AccessLayer, ReadKeepsTypeBlankAndAll32Bytes)
{
    SMCVal val;
    ASSERT_EQ(SMCReadKey("FNum", &val), 0);
    EXPECT_STREQ(val.dataType, "ui8 ");
    EXPECT_EQ(val.bytes[0], 2);
    ASSERT_EQ(SMCReadKey("LONG", &val), 0);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(val.bytes[i], char(i));
}

TEST_F(AccessLayer, WriteSimpleRefusesAndReports)
{
    const std::string tooLong(65, '0');
    struct Case {
        const char* key;
        std::string value;
        kern_return_t status;
        const char* printed;
        size_t exchanges;
    } const cases[] = {
        {"F0Mn", "0102", 0, "", 3},
        {"F0Mn", "01023", 0, "", 3},  // last digit ignored
        {"F0Mn", "", kSMCSizeMismatch, "Error: SMCWriteKey() = e00002bc\n", 2},
        {"F0Mn", "zz", kIOReturnBadArgument, "Error: SMCWriteKey() = e00002c2\n", 0},
        {"F0Mn", "01 2", kIOReturnBadArgument, "Error: SMCWriteKey() = e00002c2\n", 0},
        {"LONG", tooLong, kIOReturnBadArgument, "Error: SMCWriteKey() = e00002c2\n", 0},
        {"TC0D", "0000", kIOReturnNotWritable, "Error: SMCWriteKey() = e00002cf\n", 3},
    };
    for (const auto& c : cases) {
        smc.clearExchanges();
        kern_return_t status = 0;
        std::string printed = captureStdout([&] { status = SMCWriteSimple(c.key, c.value.c_str(), connection); });
        EXPECT_EQ(status, c.status) << c.value;
        EXPECT_EQ(printed, c.printed) << c.value;
        EXPECT_EQ(smc.exchanges().size(), c.exchanges) << c.value;
    }
    EXPECT_EQ(smc.smc().key(platform::fourCharCode("F0Mn"))->bytes[0], 0x01);
    EXPECT_EQ(smc.smc().key(platform::fourCharCode("TC0D"))->bytes[0], 0x32) << "read-only key unchanged";
}

TEST_F(AccessLayer, CountFollowsKeyAndFailsToZero)
{
    EXPECT_EQ(SMCReadIndexCount(), 6u);
    const uint8_t count[] = {0x00, 0x00, 0x03, 0xa5};
    smc.smc().setValue(platform::fourCharCode("#KEY"), count, 4);
    EXPECT_EQ(SMCReadIndexCount(), 933u);
    uint32_t counted = 1;
    EXPECT_EQ(smc_read_index_count(&counted), kIOReturnSuccess);
    EXPECT_EQ(counted, 933u);
    for (SMCExchangeKind kind : {SMCExchangeKind::KeyInfo, SMCExchangeKind::Read}) {
        smc.fail("#KEY", kind, kIOReturnNotResponding);
        EXPECT_EQ(SMCReadIndexCount(), 0u);
        EXPECT_EQ(smc_read_index_count(&counted), kIOReturnNotResponding) << "a failed count is not a count of 0";
        EXPECT_EQ(counted, 0u);
        smc.fail("#KEY", kind, 0);
    }
}

TEST(Connections, CountOfTheBuiltinMachine)
{
    std::string error;
    platform::installSMCService(platform::loadEmulatedSMC(nullptr, error));
    ASSERT_EQ(smc_init(), 0);
    size_t keyLines = 0;
    std::string_view profile = platform::builtinSMCProfile();
    for (size_t at = 0; (at = profile.find("\n  ", at)) != std::string_view::npos; ++at)
        ++keyLines;
    EXPECT_EQ(SMCReadIndexCount(), keyLines);
    EXPECT_EQ(SMCReadIndexCount(), 192u);
    smc_close();
    platform::installSMCService(nullptr);
}

TEST(Connections, OpenWithoutServiceLeavesHandle)
{
    platform::installSMCService(nullptr);
    io_connect_t handle = 0x1234;
    kern_return_t result = 0;
    EXPECT_EQ(captureStdout([&] { result = SMCOpen(&handle); }), "Error: no SMC found\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(handle, 0x1234u);
}

TEST(Connections, StaleAndUnopenedHandlesAnswerNotOpen)
{
    TestSMC smc{"  FNum  [ui8 ]  1 (bytes 01)\n"};
    io_connect_t first = 0, second = 0;
    ASSERT_EQ(SMCOpen(&first), 0);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(SMCClose(first), 0);
    ASSERT_EQ(SMCOpen(&second), 0);
    EXPECT_NE(second, first) << "handles are never reused";

    SMCVal val;
    for (io_connect_t handle : {first, io_connect_t(0), io_connect_t(0xdeadbeef)}) {
        EXPECT_EQ(SMCReadKey2("FNum", &val, handle), kIOReturnNotOpen);
        EXPECT_EQ(val.dataSize, 0u);
        EXPECT_EQ(SMCClose(handle), kIOReturnNotOpen);
    }
    EXPECT_EQ(SMCReadKey2("FNum", &val, second), 0);
    EXPECT_EQ(SMCClose(second), 0);
}

TEST(Connections, ProcessWideConnection)
{
    TestSMC smc{"  FNum  [ui8 ]  1 (bytes 01)\n"};
    conn = 0;
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(smc_close(), kIOReturnNotOpen); }), "") << "close of 0 prints nothing";
    ASSERT_EQ(smc_init(), 0);
    io_connect_t first = conn;
    ASSERT_EQ(smc_init(), 0);
    EXPECT_NE(conn, first) << "a second init replaces the handle";
    SMCVal val;
    EXPECT_EQ(SMCReadKey("FNum", &val), 0);
    EXPECT_EQ(smc_close(), 0);
    EXPECT_NE(conn, 0u) << "the stale handle stays";
    EXPECT_EQ(SMCReadKey("FNum", &val), kIOReturnNotOpen);
    EXPECT_EQ(SMCReadKey2("FNum", &val, first), 0) << "the replaced connection was left open";
    SMCClose(first);
}

}  // namespace
