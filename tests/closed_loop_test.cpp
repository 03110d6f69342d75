// smcfand with its defaults driving the emulated built-in machine, whose
// temperatures follow its load and its fans, on a clock stepped by hand:
// minutes of the machine's life in milliseconds of the test's.
#include "encodings/Encodings.h"
#include "smcfand/FanLoop.h"
#include "support/TestSMC.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace smcfand;
using namespace std::chrono_literals;

namespace {

class ClosedLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        smc = std::make_unique<testing_support::TestSMC>(platform::builtinSMCProfile());
        smc->smc().setFanModelClock([this] { return now; });
        smc->smc().setFanModel(1000);  // as smcd moves the built-in machine's fans
        ASSERT_TRUE(smc->smc().setThermalModel(platform::ThermalParameters{}));
        ASSERT_EQ(SMCOpen(&connection), 0);
        std::vector<std::string> errors, notes;
        std::optional<std::vector<FanPlan>> found = planFans(connection, Config{}, errors, notes);
        ASSERT_TRUE(found) << errors.at(0);
        plans = *found;
        loop = std::make_unique<FanLoop>(connection, plans, Tuning{}, [this](const std::string&) { ++lines; });
    }
    void TearDown() override
    {
        loop.reset();
        SMCClose(connection);
    }

    // Runs the loop once a second for `seconds`; the targets it wrote on
    // fan 0, in order.
    std::vector<double> run(int seconds)
    {
        std::vector<double> targets;
        for (int i = 0; i < seconds; ++i) {
            now += 1s;
            smc->clearExchanges();
            EXPECT_EQ(loop->poll(now), FanLoop::State::Running);
            for (const auto& exchange : smc->exchanges())
                if (exchange.request.command == SMCCommandWriteKey && exchange.status == KERN_SUCCESS &&
                    exchange.request.key == platform::fourCharCode("F0Tg"))
                    targets.push_back(speed(reinterpret_cast<const uint8_t*>(exchange.request.bytes)));
            peak = std::max(peak, die());
        }
        return targets;
    }
    double die() const { return smc->smc().nodeTemperature("die"); }
    static double speed(const uint8_t* bytes)
    {
        return encodings::speedFromBytes(platform::fourCharCode("fpe2"), bytes, 2).value_or(-1);
    }
    double target() const { return speed(smc->smc().key(platform::fourCharCode("F0Tg"))->bytes.data()); }

    std::chrono::steady_clock::time_point now{};
    std::unique_ptr<testing_support::TestSMC> smc;
    io_connect_t connection = 0;
    std::vector<FanPlan> plans;
    std::unique_ptr<FanLoop> loop;
    double peak = 0;
    size_t lines = 0;  // of the log
};

// From idle to full load and back: the fans rise without coming back down
// on the way (no overshoot past the curve), the die stays below 95 °C, and
// once the load is gone they settle at the minimum, slowly, in few steps.
// The log says the glides in a few lines, not a line a write.
TEST_F(ClosedLoop, ALoadStepIsFollowedWithoutOvershootAndWithoutHunting)
{
    smc->smc().setLoad(8);
    run(120);
    EXPECT_EQ(target(), plans[0].curve.at(die())) << "idle: the fan at the curve's speed";

    smc->smc().setLoad(platform::kFullLoadWatts);
    lines = 0;
    std::vector<double> rising = run(300);
    EXPECT_LE(lines, 12 * plans.size()) << rising.size() << " writes";
    ASSERT_FALSE(rising.empty());
    // Up to the curve, and back by no more than the hysteresis allows.
    const double hysteresis = Tuning{}.hysteresis;
    double highest = 0;
    for (double written : rising) {
        EXPECT_GT(written, highest - (plans[0].curve.at(die() + hysteresis) - plans[0].curve.at(die())) - 150)
            << "the target came down while the load stood";
        highest = std::max(highest, written);
    }
    EXPECT_LT(peak, 95);
    EXPECT_GE(target(), plans[0].curve.at(die()) - 150) << "settled on the curve at " << die() << " °C";
    EXPECT_LE(target(), plans[0].curve.at(die() + hysteresis) + 150) << "settled on the curve at " << die() << " °C";
    EXPECT_TRUE(run(300).empty()) << "a steady load, yet the target was written again";

    smc->smc().setLoad(8);
    std::vector<double> falling = run(600);
    EXPECT_TRUE(std::is_sorted(falling.rbegin(), falling.rend())) << "the target rose again while cooling";
    EXPECT_EQ(target(), plans[0].minimum);
    EXPECT_LE(falling.size(), 60u);
}

// The fan's sensors fail one by one: while one answers the fan follows it;
// with none left it runs at its maximum at once, and follows the curve
// again once they answer.
TEST_F(ClosedLoop, LosingEverySensorRunsTheFanAtItsMaximum)
{
    smc->smc().setLoad(8);
    run(60);
    const std::vector<std::string>& sensors = plans[0].sensors;
    ASSERT_GT(sensors.size(), 1u);
    for (size_t i = 0; i + 1 < sensors.size(); ++i)
        smc->fail(sensors[i].c_str(), platform::SMCExchangeKind::Read, kIOReturnNotResponding);
    run(10);
    EXPECT_LT(target(), plans[0].maximum) << "one sensor still answers";
    smc->fail(sensors.back().c_str(), platform::SMCExchangeKind::Read, kIOReturnNotResponding);
    run(1);
    EXPECT_EQ(target(), plans[0].maximum);
    for (const std::string& sensor : sensors)
        smc->fail(sensor.c_str(), platform::SMCExchangeKind::Read, KERN_SUCCESS);
    run(120);
    EXPECT_LT(target(), plans[0].maximum) << "the sensors are back, the machine idles";
}

}  // namespace
