// The daemon's fan broker in this process: write policy, speed limits, fans
// put back at the end or at the next start, and leases.
#include "smc/smc.h"
#include "smcd/FanBroker.h"
#include "smcd/StateFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;
using smcd::BrokerOptions;
using smcd::FanBroker;
using smcd::WritePolicy;

namespace {

// Two fans: fan 0 of 1200 to 6000 rpm, fan 1 without a maximum.
constexpr const char* kProfile = R"(
  FNum  [ui8 ]  2 (bytes 02)
  FS!   [ui16]  0 (bytes 00 00)
! writable
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0Mn  [fpe2]  1200 (bytes 12 c0)
! writable
  F0Mx  [fpe2]  6000 (bytes 5d c0)
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
  F0Md  [ui8 ]  0 (bytes 00)
! writable
  F1Mn  [fpe2]  1000 (bytes 0f a0)
! writable
  F1Tg  [fpe2]  1000 (bytes 0f a0)
! writable
  TC0D  [sp78]  (bytes 32 80)
  LKSB  [ui16]  0 (bytes 00 00)
! writable
)";

std::shared_ptr<EmulatedSMC> machine()
{
    std::vector<SMCKeyEntry> keys;
    EXPECT_FALSE(parseSMCProfile(kProfile, keys));
    return std::make_shared<EmulatedSMC>(std::move(keys));
}

smcd::Request writeRequest(const char* key, std::vector<uint8_t> bytes)
{
    SMCKeyData record{};
    record.key = fourCharCode(key);
    record.dataSize = uint32_t(bytes.size());
    record.command = SMCCommandWriteKey;
    std::copy(bytes.begin(), bytes.end(), record.bytes);
    smcd::Request request{kSMCUserClientCall, {}};
    std::memcpy(request.record, &record, sizeof record);
    return request;
}

// The two fpe2 bytes of a speed.
std::vector<uint8_t> rpm(unsigned speed)
{
    return {uint8_t(speed * 4 >> 8), uint8_t(speed * 4)};
}

std::string valueOf(EmulatedSMC& smc, const char* key)
{
    std::optional<SMCKeyEntry> entry = smc.key(fourCharCode(key));
    std::string text;
    for (size_t i = 0; entry && i < entry->size; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", entry->bytes[i]);
        text += byte;
    }
    return text;
}

class Broker {
public:
    explicit Broker(std::shared_ptr<EmulatedSMC> smc, BrokerOptions options = {}, smcd::StateFile* state = nullptr,
                    std::vector<smcd::FanRecord> earlier = {})
    {
        std::unique_ptr<SMCConnection> connection;
        smc->open(connection);
        broker = std::make_unique<FanBroker>(std::move(connection), std::move(options), state, smc);
        std::string error;
        EXPECT_TRUE(broker->start(std::move(earlier), error, notes)) << error;
    }
    kern_return_t write(smcd::ClientId client, const char* key, std::vector<uint8_t> bytes)
    {
        smcd::Request request = writeRequest(key, std::move(bytes));
        return broker->handle(client, reinterpret_cast<const uint8_t*>(&request), sizeof request).status;
    }
    kern_return_t lease(smcd::ClientId client)
    {
        smcd::Request request{smcd::kLeaseMethod, {}};
        return broker->handle(client, reinterpret_cast<const uint8_t*>(&request), sizeof request).status;
    }
    void close(smcd::ClientId client) { broker->closed(client, notes); }

    std::unique_ptr<FanBroker> broker;
    std::vector<std::string> notes;
};

TEST(WritePolicy, Parses)
{
    struct Case {
        const char* text;
        bool valid;
        WritePolicy::Kind kind;
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {"fans", true, WritePolicy::Kind::Fans, {}},
        {"all", true, WritePolicy::Kind::All, {}},
        {"none", true, WritePolicy::Kind::None, {}},
        {"F0Mn", true, WritePolicy::Kind::Keys, {"F0Mn"}},
        {"F0Mn,FS! ,LKSB", true, WritePolicy::Kind::Keys, {"F0Mn", "FS! ", "LKSB"}},
        {"FS!", false, {}, {}},
        {"F0Mn,", false, {}, {}},
        {",F0Mn", false, {}, {}},
        {"", false, {}, {}},
        {"F0Mnx", false, {}, {}},
        {"F0Mn;F1Mn", false, {}, {}},
    };
    for (const auto& c : cases) {
        std::string problem;
        std::optional<WritePolicy> policy = smcd::parseWritePolicy(c.text, problem);
        ASSERT_EQ(policy.has_value(), c.valid) << '"' << c.text << '"';
        if (!policy) {
            EXPECT_NE(problem, "") << c.text;
            continue;
        }
        EXPECT_EQ(policy->kind, c.kind) << c.text;
        std::vector<FourCharCode> keys;
        for (const std::string& key : c.keys)
            keys.push_back(fourCharCode(key));
        EXPECT_EQ(policy->keys, keys) << c.text;
    }
}

TEST(FanBroker, PolicyDecidesWhichWritesGoThrough)
{
    struct Case {
        const char* policy;
        const char* key;
        std::vector<uint8_t> bytes;
        kern_return_t status;
    };
    const Case cases[] = {
        {"fans", "F0Mn", rpm(1500), KERN_SUCCESS},
        {"fans", "F0Tg", rpm(3000), KERN_SUCCESS},
        {"fans", "F0Md", {1}, KERN_SUCCESS},
        {"fans", "FS! ", {0, 1}, KERN_SUCCESS},
        {"fans", "LKSB", {0, 1}, kIOReturnNotPrivileged},
        {"fans", "F0Ac", rpm(3000), kIOReturnNotPrivileged},
        {"fans", "F0Mx", rpm(3000), kIOReturnNotPrivileged},
        {"none", "F0Tg", rpm(3000), kIOReturnNotPrivileged},
        {"all", "LKSB", {0, 1}, KERN_SUCCESS},
        {"all", "TC0D", {0, 1}, kIOReturnNotWritable},  // the profile still decides
        {"LKSB", "LKSB", {0, 1}, KERN_SUCCESS},
        {"LKSB", "F0Tg", rpm(3000), kIOReturnNotPrivileged},
    };
    for (const auto& c : cases) {
        auto smc = machine();
        std::string before = valueOf(*smc, c.key), problem;
        Broker broker(smc, {*smcd::parseWritePolicy(c.policy, problem)});
        EXPECT_EQ(broker.write(1, c.key, c.bytes), c.status) << c.policy << " " << c.key;
        if (c.status != KERN_SUCCESS) {
            EXPECT_EQ(valueOf(*smc, c.key), before) << c.policy << " " << c.key << ": unchanged";
        }
    }
}

TEST(FanBroker, SpeedsStayBetweenTheFloorAndTheMaximum)
{
    struct Case {
        const char* name;
        std::optional<double> floor;
        bool strict;
        const char* key;
        std::vector<uint8_t> bytes;
        kern_return_t status;
    };
    const Case cases[] = {
        {"at the maximum", {}, false, "F0Tg", rpm(6000), KERN_SUCCESS},
        {"a quarter above the maximum", {}, false, "F0Tg", {0x5d, 0xc1}, kIOReturnBadArgument},
        {"above the maximum", {}, false, "F0Mn", rpm(7000), kIOReturnBadArgument},
        {"at the starting minimum", {}, false, "F0Tg", rpm(1200), KERN_SUCCESS},
        {"below the starting minimum", {}, false, "F0Tg", rpm(1199), kIOReturnBadArgument},
        {"a minimum below itself", {}, false, "F0Mn", rpm(1000), kIOReturnBadArgument},
        {"below a floor given", 2500.0, false, "F0Tg", rpm(2000), kIOReturnBadArgument},
        {"above a floor given", 2500.0, false, "F0Tg", rpm(2500), KERN_SUCCESS},
        {"a floor below the minimum", 500.0, false, "F0Mn", rpm(600), KERN_SUCCESS},
        {"a wrong size is the SMC's to refuse", {}, false, "F0Tg", {0x5d, 0xc1, 0}, kIOReturnBadArgument},
        {"no maximum, emulated", {}, false, "F1Tg", rpm(9000), KERN_SUCCESS},
        {"no maximum, real hardware", {}, true, "F1Tg", rpm(1500), kIOReturnBadArgument},
        {"the mode has no limits", {}, true, "F0Md", {1}, KERN_SUCCESS},
    };
    for (const auto& c : cases) {
        auto smc = machine();
        std::string before = valueOf(*smc, c.key);
        Broker broker(smc, {{WritePolicy::Kind::Fans, {}}, c.floor, false, c.strict});
        EXPECT_EQ(broker.write(1, c.key, c.bytes), c.status) << c.name;
        if (c.status != KERN_SUCCESS) {
            EXPECT_EQ(valueOf(*smc, c.key), before) << c.name << ": unchanged";
        }
    }
}

TEST(FanBroker, StoppingPutsBackWhatWasChangedThroughIt)
{
    for (bool keep : {false, true}) {
        auto smc = machine();
        Broker broker(smc, {{WritePolicy::Kind::Fans, {}}, {}, keep});
        ASSERT_EQ(broker.write(1, "F0Tg", rpm(5000)), KERN_SUCCESS);
        ASSERT_EQ(broker.write(2, "F0Tg", rpm(5500)), KERN_SUCCESS);  // the first value before any change counts
        ASSERT_EQ(broker.write(1, "F0Mn", rpm(2000)), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "FS! ", {0, 3}), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "F0Md", {1}), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "LKSB", {0, 0}), kIOReturnNotPrivileged);
        broker.broker->stop(broker.notes);
        EXPECT_EQ(broker.notes, std::vector<std::string>{});
        if (keep) {
            EXPECT_EQ(valueOf(*smc, "F0Tg"), "55 f0");
            EXPECT_EQ(valueOf(*smc, "FS! "), "00 03");
            continue;
        }
        EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
        EXPECT_EQ(valueOf(*smc, "F0Mn"), "12 c0");
        EXPECT_EQ(valueOf(*smc, "F0Md"), "00");
        EXPECT_EQ(valueOf(*smc, "FS! "), "00 00") << "both fans' bits";
        EXPECT_TRUE(broker.broker->recorded().empty());
    }
}

TEST(FanBroker, AFanAlreadyManualStaysManual)
{
    auto smc = machine();
    uint8_t forced[] = {0, 1};
    smc->setValue(fourCharCode("FS! "), forced, 2);
    Broker broker(smc);
    ASSERT_EQ(broker.write(1, "FS! ", {0, 2}), KERN_SUCCESS);  // fan 0 to auto, fan 1 to manual
    broker.broker->stop(broker.notes);
    EXPECT_EQ(valueOf(*smc, "FS! "), "00 01");
}

class BrokerStateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/fan-broker-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        statePath = directory + "/state";
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    std::unique_ptr<smcd::StateFile> openState()
    {
        std::string error;
        auto state = smcd::StateFile::open(statePath, error);
        EXPECT_NE(state, nullptr) << error;
        return state;
    }

    std::string directory, statePath;
};

TEST_F(BrokerStateTest, ARunThatNeverStoppedIsPutBackAtTheNextStart)
{
    {
        auto smc = machine();
        auto state = openState();
        Broker broker(smc, {}, state.get());
        ASSERT_EQ(broker.write(1, "F0Tg", rpm(5000)), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "FS! ", {0, 1}), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "LKSB", {0, 7}), KERN_SUCCESS);
        // Gone without stop(), as after kill -9.
    }
    auto smc = machine();
    auto state = openState();
    std::vector<smcd::FanRecord> earlier;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(state->load(smc.get(), earlier, error, warnings)) << error;
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "4e 20") << "the value saved";
    ASSERT_EQ(earlier.size(), 1u);
    Broker broker(smc, {}, state.get(), earlier);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
    EXPECT_EQ(valueOf(*smc, "FS! "), "00 00");
    EXPECT_EQ(valueOf(*smc, "LKSB"), "00 07") << "not a fan: kept";

    // Put back for good: a third start finds nothing to do.
    auto again = machine();
    earlier.clear();
    ASSERT_TRUE(state->load(again.get(), earlier, error, warnings)) << error;
    EXPECT_TRUE(earlier.empty());
    EXPECT_EQ(valueOf(*again, "F0Tg"), "1f 40");
}

TEST_F(BrokerStateTest, AChangeWhoseRecordCannotBeSavedIsRefused)
{
    auto smc = machine();
    std::string stateDirectory = directory + "/gone";
    std::filesystem::create_directory(stateDirectory);
    statePath = stateDirectory + "/state";
    auto state = openState();
    Broker broker(smc, {}, state.get());
    std::filesystem::remove_all(stateDirectory);
    EXPECT_EQ(broker.write(1, "F0Tg", rpm(5000)), kern_return_t(0xe00002ca));
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
    EXPECT_TRUE(broker.broker->recorded().empty());
}

TEST(FanBroker, RecordsFromAStateFilePutBackOnlyTheirOwnFansKeys)
{
    auto smc = machine();
    smcd::FanRecord planted{0, false, {}};
    planted.values.push_back({fourCharCode("LKSB"), 2, {0xaa, 0xbb}});  // not fan 0's
    planted.values.push_back({fourCharCode("F1Tg"), 2, {0x00, 0x10}});  // another fan's
    planted.values.push_back({fourCharCode("F0Tg"), 2, {0x2e, 0xe0}});
    Broker broker(smc, {}, nullptr, {planted});
    EXPECT_EQ(valueOf(*smc, "LKSB"), "00 00");
    EXPECT_EQ(valueOf(*smc, "F1Tg"), "0f a0");
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "2e e0");
}

TEST(FanBroker, ALaterLeaseOnTheSameFanWins)
{
    auto smc = machine();
    Broker broker(smc);
    broker.lease(1);
    broker.lease(2);
    ASSERT_EQ(broker.write(1, "F0Tg", rpm(4000)), KERN_SUCCESS);
    ASSERT_EQ(broker.write(2, "F0Tg", rpm(5000)), KERN_SUCCESS);
    broker.close(1);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "4e 20") << "the later lease still holds it";
    broker.close(2);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40") << "back to before the first lease, not to the first lease's speed";
}

TEST(FanBroker, AOneShotWriteToAHeldFanOutlastsTheLease)
{
    auto smc = machine();
    Broker broker(smc);
    broker.lease(1);
    ASSERT_EQ(broker.write(1, "F0Tg", rpm(4000)), KERN_SUCCESS);
    ASSERT_EQ(broker.write(1, "FS! ", {0, 1}), KERN_SUCCESS);
    ASSERT_EQ(broker.write(2, "F0Mn", rpm(1500)), KERN_SUCCESS);
    ASSERT_EQ(broker.write(2, "FS! ", {0, 3}), KERN_SUCCESS);  // fan 1 manual by hand; fan 0 unchanged
    broker.close(1);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
    EXPECT_EQ(valueOf(*smc, "F0Mn"), "17 70");
    EXPECT_EQ(valueOf(*smc, "FS! "), "00 02");
}

TEST(FanBroker, StoppingEndsLeasesEvenWhenFansAreKept)
{
    auto smc = machine();
    Broker broker(smc, {{}, {}, /*keepFans=*/true});
    broker.lease(1);
    ASSERT_EQ(broker.write(1, "F0Tg", rpm(4000)), KERN_SUCCESS);
    ASSERT_EQ(broker.write(2, "F0Mn", rpm(1500)), KERN_SUCCESS);
    broker.broker->stop(broker.notes);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
    EXPECT_EQ(valueOf(*smc, "F0Mn"), "17 70") << "kept";
}

TEST(StateText, FansToPutBackComeBackExactly)
{
    smcd::FanRecord zero{0, true, {{fourCharCode("F0Tg"), 2, {0x1f, 0x40}}}};
    smcd::FanRecord three{3, std::nullopt, {{fourCharCode("F3Md"), 1, {0x01}}, {fourCharCode("F3Mn"), 2, {0, 1}}}};
    std::string text = smcd::stateText({}, {zero, three});
    std::vector<smcd::SavedValue> values;
    std::vector<smcd::FanRecord> fans;
    ASSERT_FALSE(smcd::parseStateText(text, values, &fans)) << text;
    EXPECT_TRUE(values.empty());
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_EQ(fans[0].fan, 0u);
    EXPECT_EQ(fans[0].forced, true);
    ASSERT_EQ(fans[0].values.size(), 1u);
    EXPECT_EQ(fans[0].values[0].key, fourCharCode("F0Tg"));
    EXPECT_EQ(fans[1].fan, 3u);
    EXPECT_EQ(fans[1].forced, std::nullopt);
    ASSERT_EQ(fans[1].values.size(), 2u);
    EXPECT_EQ(fans[1].values[1].bytes[1], 1);

    const char* broken[] = {"fan\n", "fan x forced 1\n", "fan 1 forced 2\n", "fan 1234 forced 1\n",
                            "fan 1 46305467 1f4\n"};
    for (const char* line : broken) {
        values.clear();
        fans.clear();
        auto failed = smcd::parseStateText(std::string("# smcd state 3\n") + line, values, &fans);
        ASSERT_TRUE(failed) << line;
        EXPECT_EQ(failed->line, 2u) << line;
    }
}

}  // namespace
