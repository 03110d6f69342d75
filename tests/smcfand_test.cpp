// smcfand: the controller's decisions on a stepped clock, its configuration
// errors, its loop over an emulated SMC, and the program as a process.
#include "encodings/Encodings.h"
#include "smcfand/Config.h"
#include "smcfand/FanControl.h"
#include "smcfand/FanLoop.h"
#include "support/Process.h"
#include "support/TestSMC.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

using namespace smcfand;
using namespace std::chrono_literals;
using testing_support::runProgram;

namespace {

const std::string kBin = BIN_DIR;
// Every run names its configuration: never the machine's /etc/smcfand.toml.
const std::vector<std::string> kNoConfig = {"--config", "/dev/null"};
std::vector<std::string> smcfandWith(const std::vector<std::string>& environment,
                                     std::vector<std::string> arguments = {})
{
    std::vector<std::string> command = environment;
    command.push_back(kBin + "/smcfand");
    command.insert(command.end(), kNoConfig.begin(), kNoConfig.end());
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}
const Curve kCurve({{60, 1200}, {85, 6000}});  // 192 rpm a degree
// The default curve on a fan of 1200 to 6000 rpm at 72 °C, as the test
// machines' CPU reads: what smcfand writes there first, in whole rpm and as
// the key's bytes (fpe2) read by smc -r.
const double kAt72 = defaultCurve(1200, 6000).at(72);
const std::string kAt72Text = "fan 0: 72.0 °C → " + std::to_string(std::lround(kAt72)) + " rpm";
std::string fpe2Bytes(double rpm)
{
    char text[8];
    long raw = std::lround(rpm * 4);
    std::snprintf(text, sizeof text, "%02lx %02lx", raw >> 8 & 0xff, raw & 0xff);
    return text;
}

Reading celsius(double value)
{
    return {value, {}};
}

// Round numbers for the mechanisms under test, whatever the defaults are.
Tuning roundTuning(double smoothing = 3)
{
    Tuning tuning;
    tuning.smoothing = smoothing;
    tuning.hysteresis = 3;
    tuning.rampUp = 500;
    tuning.rampDown = 100;
    tuning.step = 100;
    return tuning;
}

// A controller of one fan, 1200 to 6000 rpm, on kCurve, with a clock the
// test steps a second a poll.
struct Stepped {
    explicit Stepped(Tuning tuning = roundTuning(), size_t sensors = 1, Curve curve = kCurve)
        : controller(std::vector<std::string>(sensors, "T"), Combine::Max, std::move(curve), 1200, 6000, tuning)
    {
    }
    // A poll a second later; what it decided is taken as written.
    Decision poll(std::vector<Reading> readings)
    {
        Decision decision = controller.poll(now, readings);
        now += 1s;
        if (decision.write) {
            controller.written(decision.target);
            ++writes;
        }
        return decision;
    }
    Decision poll(double value) { return poll(std::vector<Reading>{celsius(value)}); }

    FanController controller;
    Clock::time_point now{};
    int writes = 0;
};

Tuning unsmoothed()
{
    return roundTuning(0);
}

TEST(SmcfandCurve, InterpolatesStaysFlatBeyondItsEndsAndKeepsToTheFansLimits)
{
    struct Case {
        Curve curve;
        double celsius, rpm;
    };
    const Curve stepped({{50, 1000}, {70, 3000}, {80, 3000}, {90, 7000}});
    const Case cases[] = {
        {kCurve, 20, 1200},  {kCurve, 60, 1200},   {kCurve, 72.5, 3600}, {kCurve, 85, 6000},
        {kCurve, 120, 6000}, {stepped, 40, 1200},  {stepped, 60, 2000},  {stepped, 75, 3000},
        {stepped, 85, 5000}, {stepped, 89, 6000},  {stepped, 100, 6000},
    };
    for (const Case& c : cases) {
        // The first poll takes the curve's value at once: no ramp from idle.
        Stepped fan(Tuning{}, 1, c.curve);
        Decision decision = fan.poll(c.celsius);
        EXPECT_DOUBLE_EQ(decision.target, c.rpm) << c.celsius << " °C";
        EXPECT_TRUE(decision.write);
    }
}

TEST(SmcfandController, CombinesThePlausibleReadingsByMaxOrMean)
{
    struct Case {
        Combine combine;
        std::vector<Reading> readings;
        double rpm;
    };
    const Case cases[] = {
        {Combine::Max, {celsius(60), celsius(70)}, 3120},
        {Combine::Mean, {celsius(60), celsius(70)}, 2160},
        {Combine::Mean, {celsius(60), celsius(70), celsius(-127)}, 2160},
        {Combine::Max, {celsius(60), celsius(70), celsius(255.8)}, 3120},
    };
    for (const Case& c : cases) {
        FanController fan(std::vector<std::string>(c.readings.size(), "T"), c.combine, kCurve, 1200, 6000, Tuning{});
        EXPECT_DOUBLE_EQ(fan.poll(Clock::time_point{}, c.readings).target, c.rpm);
    }
}

TEST(SmcfandController, FallingWithinTheBandKeepsTheTargetThenFollowsAboveTheReading)
{
    Stepped fan(unsmoothed());
    EXPECT_DOUBLE_EQ(fan.poll(72).target, 3504);
    for (int second = 0; second < 60; ++second)
        EXPECT_DOUBLE_EQ(fan.poll(69.5).target, 3504) << second;
    // Out of the band: read at 66 + 3 °C, reached at the ramp's pace.
    for (int second = 0; second < 10; ++second)
        fan.poll(66);
    EXPECT_DOUBLE_EQ(fan.poll(66).target, 2928);
    // Rising again within the band changes nothing either.
    EXPECT_DOUBLE_EQ(fan.poll(68.5).target, 2928);
    EXPECT_EQ(fan.writes, 1 + 5);  // five 100 rpm steps down; the last 76 rpm are not worth a write
}

TEST(SmcfandController, RampsUpFastAndDownSlowlyButPastTheCurveAtOnce)
{
    Stepped fan(unsmoothed());
    fan.poll(60);
    const double rising[] = {1700, 2200, 2700, 3200};
    for (double expected : rising)
        EXPECT_DOUBLE_EQ(fan.poll(84).target, expected);
    for (int second = 0; second < 10; ++second)
        fan.poll(84);
    EXPECT_DOUBLE_EQ(fan.poll(84).target, 5808);
    Stepped hot(unsmoothed());
    hot.poll(60);
    EXPECT_DOUBLE_EQ(hot.poll(85).target, 6000) << "past the curve's last point, no ramp";
    fan.poll(85);
    const double falling[] = {5900, 5800, 5700};
    for (double expected : falling)
        EXPECT_DOUBLE_EQ(fan.poll(40).target, expected);
}

TEST(SmcfandController, SmoothsByTimeNotByPolls)
{
    // From 50 to 80 °C: after 3 s (one time constant) 63% of the way, polled
    // every quarter second or every second.
    for (auto interval : {250ms, 1000ms}) {
        FanController fan({"T"}, Combine::Max, kCurve, 1200, 6000, roundTuning(3));
        Clock::time_point now{};
        fan.poll(now, {celsius(50)});
        Decision decision;
        for (auto elapsed = interval; elapsed <= 3s; elapsed += interval)
            decision = fan.poll(now + elapsed, {celsius(80)});
        EXPECT_NEAR(*decision.celsius, 50 + 30 * (1 - std::exp(-1.0)), 0.01) << interval.count() << " ms";
    }
}

TEST(SmcfandController, SteadyNoiseIsNeverWritten)
{
    for (double base : {55.0, 64.0, 72.0, 84.8}) {
        Stepped fan;
        unsigned seed = 1;
        for (int second = 0; second < 600; ++second) {
            seed = seed * 1103515245 + 12345;
            fan.poll(base + (double(seed >> 16 & 0x7fff) / 0x7fff - 0.5) * 0.6);
        }
        EXPECT_EQ(fan.writes, 1) << base << " °C";
    }
}

TEST(SmcfandController, SmallStepsAreNotWrittenButTheCurvesEndsAre)
{
    Stepped fan(unsmoothed());
    EXPECT_DOUBLE_EQ(fan.poll(61).target, 1392);
    Decision decision;
    for (int second = 0; second < 5; ++second)
        decision = fan.poll(50);
    EXPECT_DOUBLE_EQ(decision.target, 1200);
    EXPECT_EQ(fan.writes, 3);  // 1392, 1292, then 1200: 92 rpm, but the lowest speed
    Stepped slow(unsmoothed());
    slow.poll(70);
    slow.poll(70.3);  // 58 rpm more: not written
    EXPECT_EQ(slow.writes, 1);
}

TEST(SmcfandController, ImplausibleOrFailedReadingsAreIgnoredAndSaidOnce)
{
    const Reading bad[] = {celsius(-127), celsius(249), celsius(255.8), celsius(-0.5), {std::nullopt, "TX0P gone"}};
    for (const Reading& reading : bad) {
        std::string shown = reading.celsius ? degrees(*reading.celsius) : reading.error;
        Stepped fan(unsmoothed(), 2);
        std::vector<std::string> notes;
        for (int second = 0; second < 5; ++second) {
            Decision decision = fan.poll({celsius(70), reading});
            EXPECT_DOUBLE_EQ(decision.target, 3120) << shown;
            notes.insert(notes.end(), decision.notes.begin(), decision.notes.end());
        }
        notes.push_back(fan.poll({celsius(70), celsius(71)}).notes.at(0));
        ASSERT_EQ(notes.size(), 2u) << shown;
        EXPECT_NE(notes[0].find("ignored"), std::string::npos) << notes[0];
        EXPECT_NE(notes[1].find("back at 71.0 °C"), std::string::npos) << notes[1];
    }
}

TEST(SmcfandController, AWattCurveTakesAPowerJustBelowZeroAsNoneAndAKilowattAsBroken)
{
    struct Case {
        double watts;
        double target;
        const char* note;  // empty: none
    };
    const Case cases[] = {
        {24, 3500, ""},
        {-0.3, 1200, ""},
        {-6, 5800, "sensor PHPC ignored: reads -6.0 W, outside -5.0 to 1000.0 W"},
        {1500, 5800, "sensor PHPC ignored: reads 1500.0 W, outside -5.0 to 1000.0 W"},
    };
    for (const Case& c : cases) {
        FanController fan({"PHPC"}, Combine::Max, Curve({{10, 1200}, {38, 5800}}), 1200, 5800, Tuning{}, Unit::Watts);
        Decision decision = fan.poll(Clock::time_point{}, {Reading{c.watts, {}}});
        EXPECT_NEAR(decision.target, c.target, 0.5) << c.watts;
        EXPECT_EQ(decision.notes.empty() ? "" : decision.notes[0], c.note) << c.watts;
    }
}

TEST(SmcfandController, EverySensorLostRunsTheFanAtItsMaximumAtOnce)
{
    Stepped fan(roundTuning(), 2);
    fan.poll({celsius(50), celsius(52)});
    Decision lost = fan.poll({celsius(-127), {std::nullopt, "gone"}});
    EXPECT_DOUBLE_EQ(lost.target, 6000);
    EXPECT_TRUE(lost.write);
    EXPECT_FALSE(lost.celsius);
    ASSERT_EQ(lost.notes.size(), 3u);
    EXPECT_NE(lost.notes[2].find("maximum"), std::string::npos);
    Decision still = fan.poll({celsius(-127), {std::nullopt, "gone"}});
    EXPECT_TRUE(still.notes.empty());
    EXPECT_FALSE(still.write);
    // Back: the curve again, down from the maximum at the ramp's pace.
    Decision back = fan.poll({celsius(50), {std::nullopt, "gone"}});
    EXPECT_DOUBLE_EQ(back.target, 5900);
}

TEST(SmcfandController, TheFansMinimumAsItIsNowIsTheTargetsFloor)
{
    struct Step {
        double minimum;  // F0Mn as the SMC holds it
        double celsius;
        double target;
    };
    const Step steps[] = {
        {1200, 60, 1200},
        {3500, 60, 3500},  // raised: at once, not by the ramp
        {3500, 84, 4000},  // above it the curve ramps as ever
        {1000, 40, 3900},  // lowered below the plan's own: down by the ramp, to 1200 at most
        {9000, 60, 6000},  // past the maximum: the maximum
    };
    Stepped fan(unsmoothed());
    for (const Step& step : steps) {
        fan.controller.setFanMinimum(step.minimum);
        EXPECT_DOUBLE_EQ(fan.poll(step.celsius).target, step.target) << step.minimum << " rpm, " << step.celsius;
    }
}

// Two segments, the steeper from 75 °C; a band on each.
const Curve kBent({{60, 1200}, {75, 3000}, {85, 6000}});
Tuning withBands()
{
    Tuning tuning = unsmoothed();
    tuning.avoid = {{2000, 2400}, {4000, 4500}};
    return tuning;
}
bool inBand(const Tuning& tuning, double rpm)
{
    return std::any_of(tuning.avoid.begin(), tuning.avoid.end(),
                       [&](const Band& band) { return rpm > band.low && rpm < band.high; });
}

TEST(SmcfandController, ATargetInABandRestsAtTheEdgeTheTemperatureCallsFor)
{
    struct Case {
        std::vector<double> celsius;  // each for 30 s
        double target;
    };
    const Case cases[] = {
        {{68}, 2000},        // steady, below the steep part: the lower edge
        {{68, 69}, 2400},    // rising: the upper edge
        {{68, 69, 68}, 2400}, // and there while the curve stays in the band
        {{80, 66}, 2400},    // from above: the upper edge, no flip
        {{80, 60}, 1560},    // out of the band below: for 63 °C
        {{79}, 4500},        // on the steep part: never the lower edge
    };
    for (const Case& c : cases) {
        Stepped fan(withBands(), 1, kBent);
        for (double celsius : c.celsius)
            for (int second = 0; second < 30; ++second)
                fan.poll(celsius);
        EXPECT_DOUBLE_EQ(fan.poll(c.celsius.back()).target, c.target) << c.celsius.size() << " " << c.celsius.back();
    }
    // Swept slowly up and down, smoothed, it never rests inside a band.
    Tuning tuning = withBands();
    tuning.smoothing = 3;
    Stepped fan(tuning, 1, kBent);
    double celsius = 60;
    for (double end : {88.0, 60.0})
        while (std::abs(celsius - end) > 0.05) {
            celsius += end > celsius ? 0.1 : -0.1;
            for (int second = 0; second < 20; ++second)
                fan.poll(celsius);
            double rested = fan.poll(celsius).target;
            EXPECT_FALSE(inBand(tuning, rested)) << celsius << " °C: " << rested;
        }
}

TEST(SmcfandController, AMinimumIntervalHoldsChangesButNotOverheatOrLostSensors)
{
    struct Step {
        std::optional<double> celsius;  // none: the sensor lost
        double target;
    };
    // 10 s between changes; 3120 rpm wanted at 70 °C.
    const Step steps[] = {
        {60, 1200}, {70, 1200}, {70, 1200}, {70, 1200}, {70, 1200},
        {70, 1200}, {70, 1200}, {70, 1200}, {70, 1200}, {70, 1200},  // 10 s from the first target
        {70, 1700}, {70, 2200}, {70, 2700}, {70, 3120},              // a glide runs to its end
        {76, 3120},                                                  // rested 1 s: waits
        {90, 6000},                                                  // overheat: at once
    };
    Tuning tuning = unsmoothed();
    tuning.minInterval = 10;
    Stepped fan(tuning);
    int second = 0;
    for (const Step& step : steps) {
        std::vector<Reading> readings{step.celsius ? celsius(*step.celsius) : Reading{std::nullopt, "gone"}};
        EXPECT_DOUBLE_EQ(fan.poll(readings).target, step.target) << "second " << second;
        ++second;
    }
    Stepped lost(tuning);
    lost.poll(60);
    EXPECT_DOUBLE_EQ(lost.poll(std::vector<Reading>{Reading{std::nullopt, "gone"}}).target, 6000);
}

TEST(SmcfandProfiles, QuietBelowBalancedBelowPerformanceThroughWorkAllFullBeforeThrottling)
{
    for (double celsius = 30; celsius <= 100; celsius += 0.5) {
        double quiet = defaultCurve(1200, 6000, Profile::Quiet).at(celsius),
               balanced = defaultCurve(1200, 6000, Profile::Balanced).at(celsius),
               performance = defaultCurve(1200, 6000, Profile::Performance).at(celsius);
        if (celsius <= 85) {
            EXPECT_LE(quiet, balanced) << celsius;
        }
        EXPECT_GE(performance, balanced) << celsius;
        // Hot CPUs throttle from 95 °C: how hot the die may get is not a
        // matter of taste.
        if (celsius >= 91) {
            EXPECT_EQ(quiet, 6000) << celsius;
            EXPECT_EQ(balanced, 6000) << celsius;
        }
    }
    Tuning defaults = profileTuning(Profile::Balanced);
    EXPECT_EQ(std::vector<double>({defaults.poll, defaults.smoothing, defaults.hysteresis, defaults.rampUp,
                                   defaults.rampDown, defaults.step, defaults.minInterval}),
              std::vector<double>({0.5, 1, 1, 190, 190, 50, 0}));
    EXPECT_TRUE(defaults.avoid.empty());
    // The file's own settings win over its profile's, wherever they stand.
    std::vector<std::string> errors;
    std::optional<Config> config = parseConfig("ramp_up = 80\nprofile = \"quiet\"\n", "fans.toml", errors);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->tuning.rampUp, 80);
    EXPECT_EQ(config->tuning.rampDown, profileTuning(Profile::Quiet).rampDown);
    chooseProfile(*config, Profile::Performance);
    EXPECT_EQ(config->tuning.rampUp, 80);
    EXPECT_EQ(config->tuning.rampDown, profileTuning(Profile::Performance).rampDown);
}

TEST(SmcfandConfig, ErrorsNameTheFileTheLineAndTheProblem)
{
    struct Case {
        const char* text;
        const char* error;  // after "fans.toml:"
    };
    const Case cases[] = {
        {"poll = \"1s\"\n", "1: poll must be a number of seconds"},
        {"\npoll = 0\n", "2: poll = 0 is outside 0.1 to 60 seconds"},
        {"pol = 1\n", "1: unknown key \"pol\""},
        {"poll = \n", "1: "},
        {"[fan]\nfan = 0\n", "1: fan must be a list of tables"},
        {"[[fan]]\nsensors = [\"TC0P\"]\n", "1: [[fan]] without fan"},
        {"[[fan]]\nfan = -1\n", "2: fan must be a fan's number"},
        {"[[fan]]\nfan = 0\n[[fan]]\nfan = 0\n", "4: fan 0 is configured twice (first on line 2)"},
        {"[[fan]]\nfan = 0\nsensor = [\"TC0P\"]\n", "3: unknown key \"sensor\" in [[fan]]"},
        {"[[fan]]\nfan = 0\nsensors = [\"TC0\"]\n", "3: a sensor is an SMC key"},
        {"[[fan]]\nfan = 0\nsensors = []\n", "3: sensors must be a list"},
        {"[[fan]]\nfan = 0\ncombine = \"min\"\n", "3: combine must be"},
        {"[[fan]]\nfan = 0\ncurve = [\n  [70, 3000],\n  [60, 4000],\n]\n", "5: the curve's temperatures must rise"},
        {"[[fan]]\nfan = 0\ncurve = [[50, 3000], [60, 2000]]\n", "3: the curve's speed falls from 3000 to 2000"},
        {"[[fan]]\nfan = 0\ncurve = [[50, \"fast\"]]\n", "3: a curve point is [°C, rpm]"},
        {"[[fan]]\nfan = 0\ncurve = [[150, 3000]]\n", "3: the curve's temperature 150 °C is outside"},
        {"[[fan]]\nfan = 0\nunit = \"W\"\ncurve = [[1200, 3000]]\n", "4: the curve's power 1200 W is outside 0 to 1000 W"},
        {"[[fan]]\ncurve = [[20, 3000], [10, 4000]]\nfan = 0\nunit = \"W\"\n", "2: the curve's watts must rise"},
        {"[[fan]]\nfan = 0\nunit = \"K\"\n", "3: unit must be"},
        {"profile = \"loud\"\n", "1: profile must be"},
        {"avoid = [[2400, 2000]]\n", "1: a band to avoid from 2400 to 2000 rpm is not a range"},
        {"[[fan]]\nfan = 0\navoid = [2000, 2400]\n", "3: a band to avoid is [low, high]"},
        {"min_interval = -1\n", "1: min_interval = -1 is outside 0 to 600 seconds"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> errors;
        EXPECT_FALSE(parseConfig(c.text, "fans.toml", errors)) << c.text;
        ASSERT_FALSE(errors.empty()) << c.text;
        EXPECT_EQ(errors[0].rfind(std::string("fans.toml:") + c.error, 0), 0u) << errors[0];
    }
}

TEST(SmcfandConfig, ResolvedAgainstTheMachinesFansAndSensors)
{
    const std::vector<MachineFan> fans = {{0, "Left", 1200, 6000, std::nullopt}, {1, "Right", 1000, 5000, 1500}};
    auto sensorProblem = [](const std::string& sensor) {
        return sensor == "TC0P" ? std::string() : "the SMC has no key " + sensor;
    };
    struct Case {
        const char* text;
        const char* error;  // empty: resolves
    };
    const Case cases[] = {
        {"avoid = [[3000, 3500]]\n[[fan]]\nfan = \"right\"\ncurve = [[50, \"min\"], [70, 3000], [85, \"max\"]]\n"
         "avoid = [[2000, 2200], [3400, 3600]]\n",
         ""},
        {"[[fan]]\nfan = 2\n", "fans.toml:2: no fan 2 on this machine (its fans: 0 \"Left\", 1 \"Right\")"},
        {"[[fan]]\nfan = 0\nsensors = [\"TC0P\",\n  \"TX9Z\"]\n", "fans.toml:3: sensor TX9Z: the SMC has no key TX9Z"},
        {"[[fan]]\nfan = 0\ncurve = [[50, 1000]]\n", "fans.toml:3: 1000 rpm is outside fan 0 (Left)'s range, 1200 to 6000"},
        {"[[fan]]\nfan = 1\ncurve = [[50, 5200]]\n", "fans.toml:3: 5200 rpm is outside fan 1 (Right)'s range"},
        {"[[fan]]\nfan = 1\ncurve = [[50, 4000], [60, \"min\"]]\n", "fans.toml:3: the curve's speed falls"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> errors;
        std::optional<Config> config = parseConfig(c.text, "fans.toml", errors);
        ASSERT_TRUE(config) << c.text << errors.at(0);
        auto plans = resolveConfig(*config, fans, DefaultInputs{{"TC0P"}}, sensorProblem, errors);
        if (*c.error) {
            EXPECT_FALSE(plans) << c.text;
            ASSERT_FALSE(errors.empty()) << c.text;
            EXPECT_EQ(errors[0].rfind(c.error, 0), 0u) << errors[0];
            continue;
        }
        ASSERT_TRUE(plans) << errors.at(0);
        ASSERT_EQ(plans->size(), 1u);
        // "min" is the daemon's floor where it is higher than F1Mn.
        const std::vector<CurvePoint>& points = plans->front().curve.points();
        ASSERT_EQ(points.size(), 3u);
        EXPECT_EQ(points[0].rpm, 1500);
        EXPECT_EQ(points[2].rpm, 5000);
        EXPECT_EQ(plans->front().sensors, std::vector<std::string>{"TC0P"});
        // Every fan's bands and its own, sorted, the overlapping made one.
        ASSERT_EQ(plans->front().avoid.size(), 2u);
        EXPECT_EQ(plans->front().avoid[0].high, 2200);
        EXPECT_EQ(plans->front().avoid[1].low, 3000);
        EXPECT_EQ(plans->front().avoid[1].high, 3600);
    }
}

TEST(SmcfandConfig, WithoutADieTemperatureTheSoCsPowerLeadsAndTheTemperaturesLimit)
{
    const std::vector<MachineFan> fans = {{0, "", 1200, 5800, std::nullopt}};
    const DefaultInputs laptop{{"TB0T", "TW0P"}, false, {"PHPC"}}, desktop{{"TW0P"}, false, {"PSTR"}},
        intel{{"TC0P"}, true, {}};
    struct Case {
        const char* name;
        const char* text;
        const DefaultInputs& defaults;
        Unit unit;
        std::vector<std::string> sensors, limits;
        double first;  // the curve's first point, °C or W
    };
    const Case cases[] = {
        {"a laptop", "", laptop, Unit::Watts, {"PHPC"}, {"TB0T", "TW0P"}, 10},
        {"a desktop", "[[fan]]\nfan = 0\n", desktop, Unit::Watts, {"PSTR"}, {"TW0P"}, 20},
        {"quieter", "profile = \"quiet\"\n", laptop, Unit::Watts, {"PHPC"}, {"TB0T", "TW0P"}, 12.5},
        {"a die temperature", "", intel, Unit::Celsius, {"TC0P"}, {}, 66},
        {"a curve as written before watts", "[[fan]]\nfan = 0\ncurve = [[50, 1200], [80, 5800]]\n", laptop,
         Unit::Celsius, {"TB0T", "TW0P"}, {}, 50},
        {"a watt curve of the file", "[[fan]]\nfan = 0\nunit = \"W\"\nsensors = [\"PSTR\"]\ncurve = [[15, 1200], "
         "[40, 5800]]\n", laptop, Unit::Watts, {"PSTR"}, {"TB0T", "TW0P"}, 15},
    };
    for (const Case& c : cases) {
        std::vector<std::string> errors;
        std::optional<Config> config = parseConfig(c.text, "fans.toml", errors);
        ASSERT_TRUE(config) << c.name << errors.at(0);
        auto plans = resolveConfig(*config, fans, c.defaults, [](const std::string&) { return std::string(); }, errors);
        ASSERT_TRUE(plans && plans->size() == 1) << c.name << (errors.empty() ? "" : errors[0]);
        const FanPlan& plan = plans->front();
        EXPECT_EQ(plan.unit, c.unit) << c.name;
        EXPECT_EQ(plan.sensors, c.sensors) << c.name;
        EXPECT_EQ(plan.limits, c.limits) << c.name;
        EXPECT_DOUBLE_EQ(plan.curve.points().front().celsius, c.first) << c.name;
        EXPECT_EQ(plan.curve.points().back().rpm, 5800) << c.name;
    }
    std::vector<std::string> errors;
    auto none = resolveConfig(Config{}, fans, DefaultInputs{{}, false, {}}, {}, errors);
    EXPECT_FALSE(none);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].rfind("fan 0: no temperature key of this SMC reads plausibly", 0), 0u) << errors[0];
}

TEST(SmcfandSensors, HwmonFilesReadInMillidegreesAndPowerFilesInMicrowatts)
{
    struct Case {
        const char* text;  // nullptr: no file
        std::optional<double> celsius;
        const char* name = "temp1_input";
    };
    const Case cases[] = {
        {"45000\n", 45}, {"-1500", -1.5}, {"", std::nullopt}, {"45.5\n", std::nullopt}, {nullptr, std::nullopt},
        {"12500000\n", 12.5, "power4_input"},
    };
    std::string directory = std::filesystem::temp_directory_path() / ("smcfand-temp-" + std::to_string(getpid()));
    std::filesystem::create_directory(directory);
    for (const Case& c : cases) {
        std::string path = directory + "/" + c.name;
        std::filesystem::remove(path);
        if (c.text)
            std::ofstream(path) << c.text;
        Reading reading = readTemperatureFile(path);
        EXPECT_EQ(reading.celsius, c.celsius) << (c.text ? c.text : "no file");
        EXPECT_EQ(reading.error.empty(), c.celsius.has_value()) << reading.error;
    }
    std::filesystem::remove_all(directory);
}

constexpr const char* kMachine = R"(
  FNum  [ui8 ]  1 (bytes 01)
  FS!   [ui16]  0 (bytes 00 00)
! writable
  F0Mn  [fpe2]  1200 (bytes 12 c0)
! writable
  F0Mx  [fpe2]  6000 (bytes 5d c0)
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
  TC0P  [sp78]  (bytes 48 00)
)";

// A T2 machine: speeds and the temperature as little-endian floats, the
// mode a key per fan, no FS! mask.
constexpr const char* kT2Machine = R"(
  F0Md  [ui8 ]  0 (bytes 00)
! writable
  F0Mn  [flt ]  (bytes 00 00 96 44)
  F0Mx  [flt ]  (bytes 00 80 bb 45)
  F0Tg  [flt ]  (bytes 00 00 fa 44)
! writable
  FNum  [ui8 ]  1 (bytes 01)
  TC0P  [flt ]  (bytes 00 00 90 42)
)";

class SmcfandLoop : public ::testing::Test {
protected:
    void SetUp() override { open(kMachine); }
    void TearDown() override { SMCClose(connection); }

    void open(const char* profile)
    {
        if (connection)
            SMCClose(connection);
        smc.reset();  // its end uninstalls the service: before the next one
        smc = std::make_unique<testing_support::TestSMC>(profile);
        t2 = profile == kT2Machine;
        ASSERT_EQ(SMCOpen(&connection), 0);
    }
    std::vector<std::string> writes()
    {
        std::vector<std::string> keys;
        for (const auto& exchange : smc->exchanges())
            if (exchange.request.command == SMCCommandWriteKey && exchange.status == KERN_SUCCESS)
                keys.push_back(platform::fourCharText(exchange.request.key));
        smc->clearExchanges();
        return keys;
    }
    double read(const char* speedKey)
    {
        SMCVal val;
        EXPECT_EQ(SMCReadKey2(speedKey, &val, connection), 0);
        auto bytes = reinterpret_cast<const uint8_t*>(val.bytes);
        return t2 ? encodings::floatFromBytes(bytes) : double(bytes[0] << 8 | bytes[1]) / 4;
    }
    const char* modeKey() const { return t2 ? "F0Md" : "FS! "; }
    void setTemperature(double celsius)
    {
        uint8_t bytes[4];
        int16_t raw = int16_t(celsius * 256);
        if (t2)
            encodings::floatToBytes(float(celsius), bytes);
        else
            bytes[0] = uint8_t(raw >> 8), bytes[1] = uint8_t(raw);
        ASSERT_TRUE(smc->smc().setValue(platform::fourCharCode("TC0P"), bytes, t2 ? 4 : 2));
    }

    std::unique_ptr<testing_support::TestSMC> smc;
    bool t2 = false;
    io_connect_t connection = 0;
    std::vector<std::string> log;
    FanPlan plan{0, "", {"TC0P"}, Combine::Max, kCurve, 1200, 6000};
};

TEST_F(SmcfandLoop, TakesTheFanWritesOnlyChangesAndGivesItBack)
{
    for (const char* profile : {kMachine, kT2Machine}) {
        open(profile);
        log.clear();
        // No configuration: the CPU's key found, the default curve.
        std::vector<std::string> errors, notes;
        std::optional<std::vector<FanPlan>> plans = planFans(connection, Config{}, errors, notes);
        ASSERT_TRUE(plans) << errors.at(0);
        ASSERT_EQ(plans->size(), 1u);
        EXPECT_EQ(plans->front().sensors, std::vector<std::string>{"TC0P"});
        FanLoop loop(connection, *plans, Tuning{}, [&](const std::string& line) { log.push_back(line); });
        Clock::time_point now{};
        smc->clearExchanges();
        ASSERT_EQ(loop.poll(now), FanLoop::State::Running);
        EXPECT_EQ(writes(), (std::vector<std::string>{"F0Tg", modeKey()}));
        EXPECT_NEAR(read("F0Tg"), kAt72, 0.25);
        SMCVal mode;
        ASSERT_EQ(SMCReadKey2(modeKey(), &mode, connection), 0);
        EXPECT_EQ(mode.bytes[mode.dataSize - 1], 1);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0], kAt72Text + " (was 2000)");
        smc->clearExchanges();
        for (int second = 1; second <= 30; ++second)
            loop.poll(now + second * 1s);
        EXPECT_TRUE(writes().empty());
        setTemperature(80);
        for (int second = 31; second <= 60; ++second)
            loop.poll(now + second * 1s);
        EXPECT_NEAR(read("F0Tg"), defaultCurve(1200, 6000).at(80), 100);
        loop.release();
        ASSERT_EQ(SMCReadKey2(modeKey(), &mode, connection), 0);
        EXPECT_EQ(mode.bytes[mode.dataSize - 1], 0) << profile;
    }
}

TEST_F(SmcfandLoop, ADryRunWritesNothingAndSaysWhatItWould)
{
    std::vector<std::string> decisions;
    FanLoop loop(connection, {plan}, Tuning{}, [&](const std::string& line) { log.push_back(line); }, true,
                 [&](const std::string& line) { decisions.push_back(line); });
    smc->clearExchanges();
    loop.poll(Clock::time_point{});
    loop.poll(Clock::time_point{} + 1s);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(decisions, std::vector<std::string>{"dry run: fan 0: 72.0 °C → 3504 rpm (was 2000)"});
}

TEST_F(SmcfandLoop, AGoneConnectionStopsThePollAndANewOneTakesTheFanAgain)
{
    FanLoop loop(connection, {plan}, Tuning{}, [&](const std::string& line) { log.push_back(line); });
    loop.poll(Clock::time_point{});
    // A sensor alone that stops answering is a sensor lost, not the connection.
    smc->fail("TC0P", platform::SMCExchangeKind::Read, kIOReturnNotResponding);
    EXPECT_EQ(loop.poll(Clock::time_point{} + 1s), FanLoop::State::Running);
    smc->fail("#KEY", platform::SMCExchangeKind::KeyInfo, kIOReturnNotResponding);
    smc->clearExchanges();
    EXPECT_EQ(loop.poll(Clock::time_point{} + 1s), FanLoop::State::Lost);
    EXPECT_TRUE(writes().empty());
    smc->fail("TC0P", platform::SMCExchangeKind::Read, KERN_SUCCESS);
    smc->fail("#KEY", platform::SMCExchangeKind::KeyInfo, KERN_SUCCESS);
    uint8_t automatic[2] = {0, 0};
    smc->smc().setValue(platform::fourCharCode("FS! "), automatic, 2);
    loop.reconnected(connection);
    EXPECT_EQ(loop.poll(Clock::time_point{} + 2s), FanLoop::State::Running);
    EXPECT_EQ(writes(), (std::vector<std::string>{"F0Tg", "FS! "}));
}

TEST_F(SmcfandLoop, AFileWhoseReadHangsHoldsNoPollAndIsLostAfterAFewPolls)
{
    // The read hangs as on a stopped FUSE server: in an open of a FIFO that
    // nobody writes, until the test opens its other end.
    std::string fifo = std::filesystem::temp_directory_path() / ("smcfand-hang-" + std::to_string(getpid()));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto hang = std::make_shared<std::atomic<bool>>(false);
    auto readFile = [fifo, hang](const std::string&) {
        if (*hang)
            close(::open(fifo.c_str(), O_RDONLY));
        return celsius(50);
    };
    FanPlan byFile{0, "", {"/sys/class/hwmon/hwmon9/temp1_input"}, Combine::Max, kCurve, 1200, 6000};
    FanLoop loop(connection, {byFile}, unsmoothed(), [&](const std::string& line) { log.push_back(line); }, false, {},
                 readFile);
    Clock::time_point now{};
    loop.poll(now);
    EXPECT_EQ(read("F0Tg"), 1200);
    *hang = true;
    for (unsigned poll = 1; poll <= kStalePolls + 1; ++poll) {
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(loop.poll(now + poll * 1s), FanLoop::State::Running);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms) << poll;
        EXPECT_EQ(read("F0Tg"), poll < kStalePolls ? 1200 : 6000) << poll;
    }
    EXPECT_NE(log.at(1).find("has not answered for 3 polls"), std::string::npos) << log.at(1);
    *hang = false;
    int writer = -1;
    for (int tries = 0; tries < 100 && writer < 0; ++tries, usleep(10'000))
        writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    close(writer);
    for (unsigned poll = kStalePolls + 2; poll < 10 && log.back().find("following the curve") == std::string::npos; ++poll)
        loop.poll(now + poll * 1s);
    EXPECT_NE(log.back().find("following the curve"), std::string::npos) << log.back();
    std::filesystem::remove(fifo);
}

TEST(SmcfandProgram, RefusesToDriveFansWithoutSmcdButDryRunsAnywhere)
{
    auto result = runProgram(kBin + "/smcfand", kNoConfig, {"SMC_SERVICE=builtin"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.errors.find("smcfand: needs smcd"), std::string::npos) << result.errors;

    testing_support::BackgroundProcess dry("/usr/bin/env", smcfandWith({"SMC_SERVICE=builtin"}, {"--dry-run", "--poll", "0.1"}));
    for (int tries = 0; tries < 300 && dry.output().find("fan 1:") == std::string::npos; ++tries)
        usleep(10'000);
    dry.signal(SIGTERM);
    EXPECT_EQ(dry.wait(), 0);
    EXPECT_NE(dry.output().find("dry run: fan 0: 56.0 °C → 1200 rpm (was 2160)"), std::string::npos) << dry.output();
    EXPECT_NE(dry.output().find("dry run, writing nothing: driving fan 0"), std::string::npos) << dry.output();
    EXPECT_NE(dry.output().find("stopping (SIGTERM)"), std::string::npos) << dry.output();
}

TEST(SmcfandProgram, AMachineWithoutFansIsNothingToDriveAndNoFailure)
{
    const std::string service = "SMC_SERVICE=" + std::string(GOLDEN_DIR) + "/profiles/fnum_zero.profile";
    for (std::vector<std::string> arguments : {kNoConfig, std::vector<std::string>{"--dry-run", "--config", "/dev/null"},
                                               std::vector<std::string>{"--check", "/dev/null"}}) {
        auto result = runProgram(kBin + "/smcfand", arguments, {service});
        EXPECT_EQ(result.status, 0) << arguments[0] << ": " << result.errors;
        EXPECT_NE(result.errors.find("this machine has no fans (FNum is 0): nothing to drive"), std::string::npos)
            << arguments[0] << ": " << result.errors;
    }
}

// A laptop without a die temperature: the heat-pipe power leads, and a hot
// temperature holds the fan up.
TEST(SmcfandProgram, ADryRunWithoutADieTemperatureFollowsThePowerAndItsLimits)
{
    struct Case {
        const char* name;
        const char* wifi;  // TW0P's bytes
        const char* line;
    };
    const Case cases[] = {
        {"cool", "00 00 20 42", "dry run: fan 0: 8.5 W → 1200 rpm (was 2000)"},
        {"85 °C", "00 00 aa 42", "dry run: fan 0: 8.5 W, held up by 85.0 °C → 3193 rpm (was 2000)"},
    };
    std::ifstream file(std::string(GOLDEN_DIR) + "/profiles/soc_laptop.profile");
    const std::string laptop((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const Case& c : cases) {
        std::string profile = std::filesystem::temp_directory_path() / ("smcfand-soc-" + std::to_string(getpid()));
        std::string text = laptop;
        text.replace(text.find("00 00 20 42"), 11, c.wifi);
        std::ofstream(profile) << text;
        testing_support::BackgroundProcess dry(
            "/usr/bin/env", smcfandWith({"SMC_SERVICE=" + profile}, {"--dry-run", "--poll", "0.1"}));
        for (int tries = 0; tries < 300 && dry.output().find("dry run: fan 0") == std::string::npos; ++tries)
            usleep(10'000);
        dry.signal(SIGTERM);
        EXPECT_EQ(dry.wait(), 0) << c.name;
        EXPECT_NE(dry.output().find(c.line), std::string::npos) << c.name << "\n" << dry.output();
        EXPECT_NE(dry.output().find("by the max of PHPC: 10.0 W 1200 rpm"), std::string::npos) << dry.output();
        std::filesystem::remove(profile);
    }
}

TEST(SmcfandProgram, HelpNamesEverySignalThatStopsIt)
{
    std::string help = runProgram(kBin + "/smcfand", {"--help"}).output;
    for (const char* signal : {"SIGINT", "SIGTERM", "SIGHUP reads the configuration"})
        EXPECT_NE(help.find(signal), std::string::npos) << signal;
}

TEST(SmcfandProgram, ChecksAFileAgainstTheMachine)
{
    char name[] = "/tmp/smcfand-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string good = std::string(name) + "/good.toml", bad = std::string(name) + "/bad.toml";
    std::ofstream(good) << "[[fan]]\nfan = \"Right\"\nsensors = [\"TC0P\"]\ncurve = [[50, \"min\"], [80, 4000]]\n";
    std::ofstream(bad) << "poll = 2\n[[fan]]\nfan = 0\ncurve = [[50, 9000]]\n";
    auto checked = runProgram(kBin + "/smcfand", {"--check", good}, {"SMC_SERVICE=builtin"});
    EXPECT_EQ(checked.status, 0) << checked.errors;
    EXPECT_EQ(checked.output, "fan 1 (Right): 1200 to 5700 rpm, max of TC0P\n"
                              "    50.0 °C  1200 rpm\n"
                              "    80.0 °C  4000 rpm\n");
    auto refused = runProgram(kBin + "/smcfand", {"--config", bad, "--check"}, {"SMC_SERVICE=builtin"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.errors, "smcfand: " + bad + ":4: 9000 rpm is outside fan 0 (Left)'s range, 1200 to 6156 rpm\n");
    std::filesystem::remove_all(name);
}

TEST(SmcfandProgram, ChecksRefuseFilesThatAreNotWhatTheyShouldBeAndNeverQuoteThem)
{
    char name[] = "/tmp/smcfand-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    std::string secret = std::string(name) + "/shadow", fifo = std::string(name) + "/fifo",
                config = std::string(name) + "/sensors.toml";
    std::ofstream(secret) << "root:$6$SECRET:19000:0:99999:7:::\n";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(config) << "[[fan]]\nfan = 0\nsensors = [\"" << secret << "\", \"" << fifo << "\", \"/dev/zero\"]\n";
    struct Case {
        std::string file;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {config,
         {secret + " does not hold a temperature in millidegrees", fifo + " is a FIFO", "/dev/zero is a character device"}},
        {"/dev/zero", {"/dev/zero: is not a regular file"}},
        {fifo, {fifo + ": is not a regular file"}},
        {secret, {secret + ":1: "}},
    };
    for (const Case& c : cases) {
        // A read that waits or never ends is a timeout here, not a hung test.
        auto checked = runProgram("/usr/bin/timeout", {"10", kBin + "/smcfand", "--check", c.file},
                                  {"SMC_SERVICE=builtin"});
        EXPECT_EQ(checked.status, 1) << c.file;
        for (const std::string& words : c.said)
            EXPECT_NE(checked.errors.find(words), std::string::npos) << checked.errors;
        EXPECT_EQ((checked.output + checked.errors).find("SECRET"), std::string::npos) << checked.errors;
    }
    std::filesystem::remove_all(name);
}

}  // namespace

// smcfand beside a real smcd serving kMachine, fan 0 at 72 °C: kAt72.
class SmcfandBroker : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/smcfand-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        std::ofstream(directory + "/machine.profile") << kMachine;
        service = "SMC_SERVICE=unix:" + directory + "/smcd.sock";
        startDaemon();
    }
    void TearDown() override
    {
        controllers.clear();
        daemon.reset();
        std::filesystem::remove_all(directory);
    }
    void startDaemon(std::vector<std::string> before = {}, std::vector<std::string> service = {})
    {
        if (service.empty())
            service = {"--service", directory + "/machine.profile"};
        before.insert(before.end(), {kBin + "/smcd", "--socket", directory + "/smcd.sock"});
        before.insert(before.end(), service.begin(), service.end());
        daemon = std::make_unique<testing_support::BackgroundProcess>("/usr/bin/env", before);
        ASSERT_TRUE(testing_support::waitForSocket(directory + "/smcd.sock")) << daemon->output();
    }
    // smcfand in the background, once it has written its first target.
    testing_support::BackgroundProcess& start()
    {
        controllers.push_back(std::make_unique<testing_support::BackgroundProcess>(
            "/usr/bin/env", smcfandWith({service}, {"--poll", "0.1"})));
        EXPECT_TRUE(said(*controllers.back(), kAt72Text)) << controllers.back()->output();
        return *controllers.back();
    }
    static bool said(const testing_support::BackgroundProcess& process, const std::string& text, int tries = 300)
    {
        for (; tries > 0 && process.output().find(text) == std::string::npos; --tries)
            usleep(10'000);
        return process.output().find(text) != std::string::npos;
    }
    // Whether `key` reads `bytes` (as smc -r shows them) within `limit`.
    bool reads(const char* key, const std::string& bytes, std::chrono::milliseconds limit = 2000ms)
    {
        auto until = std::chrono::steady_clock::now() + limit;
        do {
            if (runProgram(kBin + "/smc", {"-k", key, "-r"}, {service}).output.find("(bytes " + bytes + ")") !=
                std::string::npos)
                return true;
            usleep(20'000);
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }

    std::string directory, service;
    std::unique_ptr<testing_support::BackgroundProcess> daemon;
    std::vector<std::unique_ptr<testing_support::BackgroundProcess>> controllers;
};

TEST_F(SmcfandBroker, TheSecondWaitsSayingWhyOnceAndTakesOverWhenTheFirstIsKilled)
{
    testing_support::BackgroundProcess& first = start();
    EXPECT_TRUE(reads("F0Tg", fpe2Bytes(kAt72)));
    EXPECT_TRUE(reads("FS! ", "00 01"));
    testing_support::BackgroundProcess second("/usr/bin/env", smcfandWith({service}, {"--poll", "0.1"}));
    std::string refusal = "smcfand: fans are already driven by smcfand (pid " + std::to_string(first.pid()) +
                          ", uid " + std::to_string(getuid()) + "); trying again every few seconds\n";
    EXPECT_TRUE(said(second, refusal)) << second.output();
    usleep(1'500'000);  // past its first try again
    std::string output = second.output();
    EXPECT_EQ(output.find(refusal), output.rfind(refusal)) << "said once:\n" << output;
    first.signal(SIGKILL);  // its fans go back to the SMC at once (daemon_test), then the second takes them
    EXPECT_TRUE(said(second, kAt72Text, 1000)) << second.output();
    EXPECT_TRUE(reads("FS! ", "00 01"));
}

TEST_F(SmcfandBroker, ARaisedMinimumIsTheTargetsFloorFromTheNextPoll)
{
    start();
    auto set = runProgram(kBin + "/smcfan", {"set", "0", "min", "3500"}, {service});
    EXPECT_EQ(set.status, 0) << set.errors;
    EXPECT_NE(set.errors.find("keeps the fan at or above this minimum"), std::string::npos) << set.errors;
    EXPECT_TRUE(reads("F0Tg", "36 b0"));  // 3500 rpm
    EXPECT_TRUE(reads("FS! ", "00 01")) << "still the controller's";
}

TEST_F(SmcfandBroker, AHoldWinsAndTheControllerResumesAfter)
{
    testing_support::BackgroundProcess& controller = start();
    {
        testing_support::BackgroundProcess hold("/usr/bin/env",
                                                {service, kBin + "/smcfan", "hold", "0", "4000"});
        EXPECT_TRUE(said(controller, "fan 0: held by another client of smcd")) << controller.output();
        EXPECT_TRUE(reads("F0Tg", "3e 80"));  // 4000 rpm
    }
    EXPECT_TRUE(said(controller, "fan 0: the hold ended; driving it again")) << controller.output();
    EXPECT_TRUE(reads("F0Tg", fpe2Bytes(kAt72)));
    EXPECT_TRUE(reads("FS! ", "00 01"));
}

TEST_F(SmcfandBroker, ADaemonRestartedIsFoundAgainAndASignalGivesTheFansBack)
{
    testing_support::BackgroundProcess& controller = start();
    daemon.reset();
    EXPECT_TRUE(said(controller, "lost smcd")) << controller.output();
    startDaemon();
    EXPECT_TRUE(said(controller, "smcd is back; taking the fans again")) << controller.output();
    EXPECT_TRUE(reads("F0Tg", fpe2Bytes(kAt72), 3000ms));
    controller.signal(SIGTERM);
    EXPECT_EQ(controller.wait(), 0) << controller.output();
    EXPECT_TRUE(reads("FS! ", "00 00"));
}

TEST_F(SmcfandBroker, SIGHUPReadsTheFileAgainKeepingTheFansAndAnInvalidOneIsReportedAndKept)
{
    std::string file = directory + "/fans.toml";
    std::ofstream(file) << "";
    controllers.push_back(std::make_unique<testing_support::BackgroundProcess>(
        "/usr/bin/env", smcfandWith({service}, {"--poll", "0.1", "--config", file})));
    testing_support::BackgroundProcess& controller = *controllers.back();
    ASSERT_TRUE(said(controller, kAt72Text)) << controller.output();
    std::ofstream(file) << "ramp_up = 100000\n[[fan]]\nfan = 0\ncurve = [[50, 3000]]\n";
    controller.signal(SIGHUP);
    EXPECT_TRUE(said(controller, "configuration read again (SIGHUP)")) << controller.output();
    EXPECT_TRUE(reads("F0Tg", fpe2Bytes(3000)));
    EXPECT_TRUE(reads("FS! ", "00 01")) << "fan 0 never given back";
    std::ofstream(file) << "poll = \"often\"\n";
    controller.signal(SIGHUP);
    EXPECT_TRUE(said(controller, "configuration not reloaded; running on the one before")) << controller.output();
    EXPECT_NE(controller.output().find(file + ":1: poll must be a number"), std::string::npos) << controller.output();
    EXPECT_TRUE(reads("F0Tg", fpe2Bytes(3000)));
    EXPECT_TRUE(reads("FS! ", "00 01"));
    EXPECT_EQ(controller.output().find("stopping"), std::string::npos) << controller.output();
    controller.signal(SIGTERM);
    EXPECT_EQ(controller.wait(), 0) << controller.output();
}

TEST_F(SmcfandBroker, AfterASleepTheControllersFansAndAHoldAreTakenAgain)
{
    // The built-in machine sleeps at 4 s and forgets manual mode and
    // targets; both daemons see the sleep through one shared file.
    std::string slept = "SMC_SLEEP_FILE=" + directory + "/slept";
    std::ofstream(directory + "/sleep.trace") << "0 8\n4 suspend 30\n";
    daemon.reset();
    startDaemon({slept}, {"--service", "builtin", "--load", directory + "/sleep.trace"});
    testing_support::BackgroundProcess controller("/usr/bin/env", smcfandWith({service, slept}, {"--poll", "0.1"}));
    EXPECT_TRUE(said(controller, "fan 0: ")) << controller.output();
    testing_support::BackgroundProcess hold("/usr/bin/env", {service, kBin + "/smcfan", "hold", "1", "4000"});
    EXPECT_TRUE(said(controller, "fan 1: held by another client of smcd")) << controller.output();
    EXPECT_TRUE(said(*daemon, "the machine woke after 30.0 s asleep", 600)) << daemon->output();
    EXPECT_TRUE(reads("F0Tg", "12 c0"));  // 1200 rpm: the controller's, not the firmware's 2160
    EXPECT_TRUE(reads("F1Tg", "3e 80"));  // the hold's 4000 rpm
    EXPECT_TRUE(reads("FS! ", "00 03"));
    EXPECT_TRUE(said(*daemon, "fan 1: taken again after the sleep: F1Tg 4000 rpm")) << daemon->output();
    EXPECT_TRUE(said(controller, "the machine woke after 30 s asleep; taking the fans again")) << controller.output();
}

TEST_F(SmcfandBroker, LogindsWordOfAResumeTakesTheFansAgainWithoutAClockJump)
{
    if (access("/usr/bin/dbus-daemon", X_OK) != 0)
        GTEST_SKIP() << "no dbus-daemon";
    // A private system bus on which this test plays logind.
    std::string socket = directory + "/system_bus_socket";
    std::ofstream(directory + "/bus.conf")
        << "<busconfig><type>system</type><listen>unix:path=" << socket
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    testing_support::BackgroundProcess bus("/usr/bin/dbus-daemon",
                                           {"--config-file=" + directory + "/bus.conf", "--nofork", "--nopidfile"});
    for (int tries = 0; tries < 200 && !std::filesystem::is_socket(socket); ++tries)
        usleep(10'000);
    ASSERT_TRUE(std::filesystem::is_socket(socket)) << bus.output();
    std::string address = "unix:path=" + socket;
    // The SMC forgets the fans at 4 s; a sleep file no one can write hides
    // that sleep from both daemons' clocks.
    std::string hidden = "SMC_SLEEP_FILE=" + directory + "/missing/slept";
    std::ofstream(directory + "/sleep.trace") << "0 8\n4 suspend 30\n";
    daemon.reset();
    startDaemon({hidden, "DBUS_SYSTEM_BUS_ADDRESS=" + address},
                {"--service", "builtin", "--load", directory + "/sleep.trace"});
    testing_support::BackgroundProcess controller(
        "/usr/bin/env", smcfandWith({service, hidden, "DBUS_SYSTEM_BUS_ADDRESS=" + address}, {"--poll", "0.1"}));
    EXPECT_TRUE(said(controller, "fan 0: ")) << controller.output();
    testing_support::BackgroundProcess hold("/usr/bin/env", {service, kBin + "/smcfan", "hold", "1", "4000"});
    EXPECT_TRUE(said(controller, "fan 1: held by another client of smcd")) << controller.output();
    ASSERT_TRUE(reads("FS! ", "00 00", 6000ms)) << daemon->output();

    sd_bus* logind = nullptr;
    ASSERT_GE(sd_bus_new(&logind), 0);
    sd_bus_set_address(logind, address.c_str());
    sd_bus_set_bus_client(logind, 1);
    ASSERT_GE(sd_bus_start(logind), 0);
    ASSERT_GE(sd_bus_request_name(logind, "org.freedesktop.login1", 0), 0);
    ASSERT_GE(sd_bus_emit_signal(logind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 "PrepareForSleep", "b", 0),
              0);
    sd_bus_flush(logind);
    EXPECT_TRUE(reads("FS! ", "00 03"));  // within 2 s
    EXPECT_TRUE(reads("F1Tg", "3e 80"));  // the hold's 4000 rpm
    EXPECT_TRUE(said(*daemon, "logind says the machine woke; taking again the held fans")) << daemon->output();
    EXPECT_TRUE(said(controller, "logind says the machine woke; taking the fans again")) << controller.output();
    EXPECT_EQ(daemon->output().find("the machine woke after"), std::string::npos) << daemon->output();
    sd_bus_flush_close_unref(logind);
}
