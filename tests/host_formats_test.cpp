// sensors-host's readings and output formats on reports made by hand: exact
// decoding of the temperature types, valid JSON and exposition text for any
// name, and the live view's memory of the last minute.
#include "host/Formats.h"
#include "host/ModuleReader.h"
#include "host/Watch.h"
#include "support/Promtool.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>

namespace {

TEST(HostReadings, DecodesTemperatureTypesExactly)
{
    const std::tuple<const char*, uint8_t, uint8_t, double> cases[] = {
        {"sp78", 0x32, 0x80, 50.5},
        {"sp78", 0x32, 0xc0, 50.75},
        {"sp78", 0x00, 0x01, 1.0 / 256},
        {"sp78", 0xfe, 0x80, -1.5},   // the first byte is signed
        {"sp78", 0xff, 0xc0, -0.25},  // not truncated to -1 or 0
        {"sp78", 0x7f, 0xff, 127.99609375},
        {"sp78", 0x80, 0x00, -128},
        {"spb4", 0x02, 0xd4, 45.25},
        {"sp5a", 0x0c, 0x40, 3.0625},
        {"sp87", 0x5a, 0x80, 181},
        {"spf0", 0x00, 0x2d, 45},
        {"sp1e", 0x40, 0x00, 1},
        // Not a signed fixed-point type: the module's rule, the bytes as sp78.
        {"fp88", 0x30, 0x40, 48.25},
        {"sp79", 0x30, 0x40, 48.25},
        {"ui16", 0x30, 0x40, 48.25},
    };
    for (const auto& [type, high, low, celsius] : cases) {
        const uint8_t bytes[2] = {high, low};
        EXPECT_EQ(decodeTemperature(type, bytes), celsius) << type << " " << int(high) << " " << int(low);
    }
    const std::pair<const char*, int> fractions[] = {{"sp78", 8}, {"spb4", 4}, {"sp96", 6}, {"spf0", 0},
                                                     {"sp0f", 15}, {"sp79", -1}, {"spA5", -1}, {"SP78", -1},
                                                     {"fp88", -1}, {"sp7", -1}, {"", -1}};
    for (const auto& [type, fraction] : fractions)
        EXPECT_EQ(signedFixedPointFraction(type), fraction) << type;
}

TEST(HostFormats, ReplacesWhatIsNotUtf8)
{
    const std::string replacement = "\xef\xbf\xbd";
    const std::pair<std::string, std::string> cases[] = {
        {"CPU Die", "CPU Die"},
        {"B\xc3\xa4ttery", "B\xc3\xa4ttery"},
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        {"a\xff" "b", "a" + replacement + "b"},
        {"\xc0\xaf", replacement + replacement},                       // overlong '/'
        {"\xed\xa0\x80", replacement + replacement + replacement},     // a UTF-16 surrogate
        {"\xe2\x82", replacement + replacement},                       // cut short at the end
        {"\xf4\x90\x80\x80", replacement + replacement + replacement + replacement},  // past U+10FFFF
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(validUtf8(in), out) << testing::PrintToString(in);
}

// Names that every format must carry whole: quotes, backslashes, control
// characters, UTF-8, and bytes that are not UTF-8.
Report awkwardReport()
{
    Report report;
    report.smcUp = true;
    const std::string names[] = {"CPU \"Die\"", "C:\\temp\\", "two\nlines", "tab\there", "bell\x07",
                                 "B\xc3\xa4ttery", "bad \xff byte", ""};
    int index = 0;
    for (const std::string& name : names) {
        std::string key = "T00" + std::to_string(index++);
        report.temperatures.push_back({key, name, 1, 40.25 + index});
    }
    report.temperatures.push_back({"T\"\\\xff", "", std::nullopt, -3.5});
    report.fans.push_back({0, "Fan \"A\"\\", 2000, 1200, 6000, 2000, true});
    report.fans.push_back({1, "Fan 1", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false});
    report.errors = {"TX0P: the read failed", "\"quoted\" \xfe"};
    report.readErrorsTotal = 7;
    return report;
}

TEST(HostFormats, JsonParsesBackWithEveryName)
{
    Report report = awkwardReport();
    nlohmann::json document = nlohmann::json::parse(formatJson(report));  // throws on invalid JSON
    EXPECT_EQ(document["schema"], 1);
    EXPECT_EQ(document["smc_up"], true);
    ASSERT_EQ(document["temperatures"].size(), report.temperatures.size());
    for (size_t i = 0; i < report.temperatures.size(); ++i) {
        const TemperatureReading& reading = report.temperatures[i];
        const nlohmann::json& parsed = document["temperatures"][i];
        EXPECT_EQ(parsed["key"], validUtf8(reading.key)) << i;
        if (reading.name.empty())
            EXPECT_TRUE(parsed["name"].is_null()) << i;
        else
            EXPECT_EQ(parsed["name"], validUtf8(reading.name)) << i;
        EXPECT_EQ(parsed["celsius"].get<double>(), reading.celsius) << i;
    }
    EXPECT_TRUE(document["temperatures"].back()["priority"].is_null());
    EXPECT_EQ(document["fans"][0]["name"], "Fan \"A\"\\");
    EXPECT_EQ(document["fans"][0]["manual"], true);
    EXPECT_EQ(document["fans"][0]["max"], 6000);
    EXPECT_TRUE(document["fans"][1]["rpm"].is_null());
    EXPECT_EQ(document["errors"][1], "\"quoted\" \xef\xbf\xbd");
}

TEST(HostFormats, ExpositionEscapesLabelValues)
{
    std::string exposition = formatPrometheus(awkwardReport());
    const char* expected[] = {
        "smc_temperature_celsius{key=\"T000\",name=\"CPU \\\"Die\\\"\"} 41.25\n",
        "smc_temperature_celsius{key=\"T001\",name=\"C:\\\\temp\\\\\"} 42.25\n",
        "smc_temperature_celsius{key=\"T002\",name=\"two\\nlines\"} 43.25\n",
        "smc_temperature_celsius{key=\"T007\",name=\"T007\"} 48.25\n",  // no name: the key
        "smc_temperature_celsius{key=\"T\\\"\\\\\xef\xbf\xbd\",name=\"T\\\"\\\\\xef\xbf\xbd\"} -3.5\n",
        "smc_fan_speed_rpm{fan=\"0\",name=\"Fan \\\"A\\\"\\\\\"} 2000\n",
        "smc_fan_manual{fan=\"0\",name=\"Fan \\\"A\\\"\\\\\"} 1\n",
        "smc_fan_manual{fan=\"1\",name=\"Fan 1\"} 0\n",
        "smc_up 1\n",
        "smc_read_errors_total 7\n",
    };
    for (const char* line : expected)
        EXPECT_NE(exposition.find(line), std::string::npos) << line << "\nin:\n" << exposition;
    EXPECT_EQ(exposition.find("smc_fan_speed_rpm{fan=\"1\""), std::string::npos) << "an unreadable speed has no sample";
    if (!testing_support::havePromtool())
        GTEST_SKIP() << "promtool is not installed (scripts/setup.sh installs it)";
    auto checked = testing_support::checkMetrics(exposition);
    EXPECT_EQ(checked.status, 0) << checked.output << checked.errors << "\n" << exposition;
}

TEST(HostFormats, TextShowsWhatIsKnownAndNothingElse)
{
    Report report = awkwardReport();
    std::string text = formatText(report, false);
    const char* expected[] = {
        "  priority 1\n    CPU \"Die\"                      41.3 °C\n",  // halves away from zero
        "    two?lines                      43.3 °C\n",                  // no control character reaches the terminal
        "    bell?                          45.3 °C\n",
        "    T007                           48.3 °C\n",
        "  other sensors\n",
        "  Fan \"A\"\\                         2000 rpm  min  1200  max  6000  target  2000  manual\n",
        "  Fan 1                               ? rpm  min     ?  max     ?  target     ?  auto\n",
    };
    for (const char* line : expected)
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    EXPECT_NE(formatText(report, true).find("CPU \"Die\"                     106.3 °F\n"), std::string::npos);

    Report empty;
    empty.fanCountReadable = false;
    EXPECT_EQ(formatText(empty, false), "Temperatures\n  none of the keys reads a temperature on this machine\n\n"
                                        "Fans\n  the fan count cannot be read\n");
}

TEST(HostFormats, TheFanControllerShowsOnlyForFansItDrives)
{
    struct Case {
        const char* name;
        std::string controller;
        bool driven;
        std::optional<double> target;
        const char* said;   // after the fan's mode, in the text and the live view
        const char* gauge;  // the exposition's sample; "" for none
    };
    const Case cases[] = {
        {"no controller", "", false, std::nullopt, "", ""},
        {"a fan it does not drive", "smcfand", false, 2000, "", ""},
        {"a fan it drives", "smcfand", true, 2400.5, ", driven by smcfand, target 2400",
         "smc_fan_controller_target_rpm{fan=\"0\",name=\"Left\"} 2400\n"},
        {"before its first target", "smc\"fand", true, std::nullopt, ", driven by smc\"fand", ""},
    };
    for (const Case& c : cases) {
        Report report;
        report.smcUp = true;
        report.fans.push_back({0, "Left", 2000, 1200, 6000, 2400, true});
        report.fans[0].driven = c.driven;
        report.fans[0].controllerTarget = c.target;
        report.controller = c.controller;
        report.controllerPid = 42;
        std::string exposition = formatPrometheus(report);
        if (*c.gauge)
            EXPECT_NE(exposition.find("# TYPE smc_fan_controller_target_rpm gauge\n" + std::string(c.gauge)),
                      std::string::npos)
                << c.name << "\n" << exposition;
        else
            EXPECT_EQ(exposition.find("smc_fan_controller_target_rpm"), std::string::npos) << c.name;
        EXPECT_NE(formatText(report, false).find(std::string("  manual") + c.said + "\n"), std::string::npos)
            << c.name << "\n" << formatText(report, false);
        WatchHistory history;
        std::vector<std::string> lines = history.render(report, false, 24);
        EXPECT_EQ(lines[5], std::string("Left                             2000  manual") + c.said) << c.name;
        nlohmann::json fan = nlohmann::json::parse(formatJson(report))["fans"][0];
        EXPECT_EQ(fan.contains("controller"), c.driven && !c.controller.empty()) << c.name;
        if (fan.contains("controller")) {
            EXPECT_EQ(fan["controller"]["name"], c.controller) << c.name;
            EXPECT_EQ(fan["controller"]["pid"], 42) << c.name;
            EXPECT_EQ(fan["controller"]["target"].is_null(), !c.target) << c.name;
        }
    }
}

TEST(HostWatch, SparklineScalesToTheSpread)
{
    const std::pair<std::vector<double>, std::string> cases[] = {
        {{}, ""},
        {{50, 50, 50}, "▁▁▁"},
        {{50, 50.4}, "▁▄"},  // under a degree of spread: no alarm from noise
        {{40, 41, 42, 43, 44, 45, 46, 47}, "▁▂▃▄▅▆▇█"},
        {{47, 40}, "█▁"},
    };
    for (const auto& [values, line] : cases)
        EXPECT_EQ(sparkline(values), line) << testing::PrintToString(values);
}

TEST(HostWatch, KeepsExtremesSinceStartAndSamplesOfTheLastMinute)
{
    WatchHistory history;
    auto reportOf = [](double celsius) {
        Report report;
        report.temperatures.push_back({"TC0D", "CPU Die", 1, celsius});
        return report;
    };
    const std::pair<double, double> readings[] = {{0, 50}, {10, 70}, {30, 40}, {65, 55}, {80, 60}};
    for (const auto& [seconds, celsius] : readings)
        history.add(reportOf(celsius), seconds);
    const WatchHistory::Sensor& sensor = history.sensors().at("TC0D");
    EXPECT_EQ(sensor.low, 40);
    EXPECT_EQ(sensor.high, 70) << "the highest since start, though older than a minute";
    ASSERT_EQ(sensor.samples.size(), 3u) << "readings from 20 s to 80 s";
    EXPECT_EQ(sensor.samples.front().second, 40);

    std::vector<std::string> lines = history.render(reportOf(60), false, 24);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "CPU Die                          60.0    40.0    70.0  ▁▆█");
}

TEST(HostWatch, FitsTheScreen)
{
    WatchHistory history;
    Report report;
    for (int i = 0; i < 40; ++i)
        report.temperatures.push_back({"T" + std::to_string(100 + i), "", 1, 40.0 + i});
    report.fans.push_back({0, "Left", 2000, {}, {}, {}, false});
    history.add(report, 0);
    std::vector<std::string> lines = history.render(report, false, 12);
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[8], "  ... 34 more");
    EXPECT_EQ(lines[11], "Left                             2000  auto");
}

}  // namespace
