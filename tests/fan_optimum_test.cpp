// The fan benchmarks' heat model and optimum (bench/support/FanPlant):
// the very model the emulated SMC runs, and an optimum that is right where
// the answer is known.
#include "bench/support/FanPlant.h"
#include "backends/emulated/EmulatedSMC.h"
#include "encodings/Encodings.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

bench::Plant builtinPlant()
{
    std::string error;
    std::optional<bench::Plant> plant = bench::loadPlant("", error);
    EXPECT_TRUE(plant) << error;
    return *plant;
}

platform::LoadTrace traceOf(const char* text)
{
    platform::LoadTrace trace;
    std::string error;
    EXPECT_TRUE(platform::parseLoadTrace(text, trace, error)) << error;
    return trace;
}

// A load that stays where it starts needs no more than the fans' minimum
// at the steady state's die; a peak below what full speed reaches is out
// of reach; a constant speed's own peak is reached at no more than it.
TEST(FanOptimum, IsRightWhereTheAnswerIsKnown)
{
    bench::Plant plant = builtinPlant();
    platform::LoadTrace idle = traceOf("0 8\n60 8\n"), step = traceOf("0 8\n20 8\n20.1 45\n60 45\n");
    double resting = bench::startNodes(plant, idle).die;
    EXPECT_NEAR(bench::optimumAt(plant, idle, resting + 0.5)->meanRpm, 1200, 1);
    bench::Frontier frontier = bench::optimumFrontier(plant, step);
    EXPECT_FALSE(bench::optimumAt(plant, step, frontier.lowestPeak - 1));
    for (double rpm : {2000.0, 3500.0}) {
        std::vector<double> die =
            bench::replayDie(plant, step, 60, [&](double) { return std::vector<double>{rpm, rpm}; });
        double peak = *std::max_element(die.begin(), die.end());
        EXPECT_LE(frontier.at(peak), rpm * 1.01) << rpm << " rpm peaks at " << peak;
    }
}

// The emulated SMC with its fans gliding after targets, and the bench's
// replay of the fans it reports: the same die, step for step.
TEST(FanOptimum, ReplaysTheEmulatedSMC)
{
    bench::Plant plant = builtinPlant();
    const char* text = "0 10\n30 10\n30.1 45\n90 45\n90.1 8\n120 8\n";
    platform::LoadTrace trace = traceOf(text);
    std::string error;
    std::shared_ptr<platform::EmulatedSMC> smc = platform::loadEmulatedSMC(nullptr, error);
    ASSERT_TRUE(smc) << error;
    std::chrono::steady_clock::time_point now{};
    smc->setFanModelClock([&] { return now; });
    smc->setFanModel(1000);
    ASSERT_TRUE(smc->setThermalModel(plant.thermal));
    ASSERT_TRUE(smc->setLoadTrace(text, error)) << error;
    uint8_t manual[1] = {1}, target[2];
    for (const char* key : {"F0Md", "F1Md"})
        ASSERT_TRUE(smc->setValue(encodings::fourCharCode(key), manual, 1));
    std::vector<std::vector<double>> fans;
    std::vector<double> die;
    for (int step = 0; step < 2400; ++step) {
        double goal = step < 800 ? 5000 : step < 1600 ? 1500 : 3000;
        encodings::encode(encodings::fourCharCode("fpe2"), 2, goal, target);
        for (const char* key : {"F0Tg", "F1Tg"})
            smc->setValue(encodings::fourCharCode(key), target, 2);
        now += std::chrono::milliseconds(50);
        die.push_back(smc->nodeTemperature("die"));
        std::vector<double> rpm;
        for (const char* key : {"F0Ac", "F1Ac"}) {
            std::optional<platform::SMCKeyEntry> entry = smc->key(encodings::fourCharCode(key));
            rpm.push_back(*encodings::decode(entry->type, entry->bytes.data(), entry->size));
        }
        fans.push_back(rpm);
    }
    std::vector<double> replayed = bench::replayDie(plant, trace, 120, [&](double seconds) {
        return fans[std::min(fans.size() - 1, size_t(std::lround(seconds / bench::kHeatStep)))];
    });
    for (size_t step = 0; step < die.size(); step += 20)
        ASSERT_NEAR(replayed[step + 1], die[step], 0.5) << "at " << double(step + 1) * bench::kHeatStep << " s";
}

}  // namespace
