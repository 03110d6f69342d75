// Fans that move on the emulated machine: the actual speed follows the
// target in manual mode and the minimum otherwise, at a bounded rate, by a
// clock the test steps by hand.
#include "smc/smc.h"
#include "backends/emulated/EmulatedSMC.h"
#include "support/FanMachine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

using namespace platform;
using namespace std::chrono_literals;

namespace {

const std::string kProfile = testing_support::fanProfile(2) + R"(  F1Ac  [fpe2]  2000 (bytes 1f 40)
  F1Mn  [fpe2]  1000 (bytes 0f a0)
  F1Tg  [fpe2]  5000 (bytes 4e 20)
  F1Md  [ui8 ]  0 (bytes 00)
! writable
)";

class FanModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<SMCKeyEntry> keys;
        ASSERT_FALSE(parseSMCProfile(kProfile, keys));
        smc = std::make_shared<EmulatedSMC>(std::move(keys));
        smc->setFanModelClock([this] { return now; });
    }

    // The actual speed as a read through the call record sees it.
    double actual(const char* key)
    {
        SMCKeyData request{}, reply{};
        request.key = fourCharCode(key);
        request.dataSize = 2;
        request.command = SMCCommandReadKey;
        size_t size = sizeof reply;
        EXPECT_EQ(smc->call(kSMCUserClientCall, &request, sizeof request, &reply, &size), KERN_SUCCESS);
        return double(uint8_t(reply.bytes[0]) << 8 | uint8_t(reply.bytes[1])) / 4;
    }
    void set(const char* key, std::vector<uint8_t> bytes)
    {
        ASSERT_TRUE(smc->setValue(fourCharCode(key), bytes.data(), bytes.size())) << key;
    }

    std::shared_ptr<EmulatedSMC> smc;
    std::chrono::steady_clock::time_point now{};
};

TEST_F(FanModelTest, OffByDefaultSoAProfileReadsAsItWas)
{
    set("FS! ", {0, 1});
    set("F0Tg", {0x5d, 0xc0});
    now += 60s;
    EXPECT_EQ(actual("F0Ac"), 2000);
}

TEST_F(FanModelTest, ActualSpeedsMoveTowardTheirGoalAtABoundedRate)
{
    smc->setFanModel(1000);
    struct Step {
        const char* name;
        std::chrono::milliseconds after;
        std::vector<std::pair<const char*, std::vector<uint8_t>>> writes;  // applied before the time passes
        double fan0, fan1;
    };
    const Step steps[] = {
        {"auto: both go down to their minimum", 500ms, {}, 1500, 1500},
        {"and stop there", 2000ms, {}, 1200, 1000},
        {"manual by FS!: fan 0 goes up to its target", 250ms, {{"FS! ", {0, 1}}, {"F0Tg", {0x4e, 0x20}}}, 1450, 1000},
        {"manual by F1Md: fan 1 too", 1000ms, {{"F1Md", {1}}}, 2450, 2000},
        {"a target below the actual speed", 100ms, {{"F0Tg", {0x1f, 0x40}}}, 2350, 2100},
        {"reached, not passed", 10s, {}, 2000, 5000},
        {"back to auto", 1s, {{"FS! ", {0, 0}}, {"F1Md", {0}}}, 1200, 4000},
    };
    for (const auto& step : steps) {
        for (const auto& [key, bytes] : step.writes)
            set(key, bytes);
        now += step.after;
        EXPECT_EQ(actual("F0Ac"), step.fan0) << step.name;
        EXPECT_EQ(actual("F1Ac"), step.fan1) << step.name;
    }
}

TEST_F(FanModelTest, ReadingOftenDoesNotSpeedAFanUp)
{
    smc->setFanModel(1000);
    set("FS! ", {0, 1});
    set("F0Tg", {0x5d, 0xc0});  // 6000
    for (int i = 0; i < 100; ++i) {
        now += 10ms;
        actual("F0Ac");
    }
    EXPECT_EQ(actual("F0Ac"), 3000);
}

}  // namespace
