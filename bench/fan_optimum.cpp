// The offline optimum of fan control on a load trace: for every peak die
// temperature on a 1 °C grid, the lowest mean fan speed any controller
// could reach, knowing the whole load in advance, over the heat model
// smcd's emulated SMC runs. With --validate, how closely that model
// follows a closed-loop run (bench/closed_loop.sh) given its fans.
// Usage: fan_optimum [--profile FILE] TRACE
//        fan_optimum [--profile FILE] --validate CSV TRACE
#include "bench/support/FanPlant.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

struct Sample {
    double seconds, die;  // die NaN when the run could not read it
    double fan[2];
};

bool readRun(const char* path, std::vector<Sample>& samples)
{
    std::ifstream file(path);
    if (!file)
        return false;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string ms, die, fan1, fan2;
        if (!(fields >> ms >> die >> fan1 >> fan2))
            continue;
        auto number = [](const std::string& text) { return text == "nan" ? std::nan("") : std::atof(text.c_str()); };
        samples.push_back({number(ms) / 1000, number(die) / 1000, {number(fan1), number(fan2)}});
    }
    return !samples.empty();
}

// Replays the run's fan speeds (linear between its half-second samples)
// and compares the model's die with the run's. The run's clock starts a
// moment after the trace's (smcd loads it before the controller and the
// sampling start): the offset that fits best is taken, up to 5 s.
int validate(const bench::Plant& plant, const platform::LoadTrace& trace, const char* path)
{
    std::vector<Sample> samples;
    if (!readRun(path, samples)) {
        std::fprintf(stderr, "fan_optimum: %s: no samples \"ms die fan1 fan2 ...\"\n", path);
        return 1;
    }
    auto fansAt = [&](double seconds) {
        size_t i = 0;
        while (i + 1 < samples.size() && samples[i + 1].seconds <= seconds)
            ++i;
        const Sample &a = samples[i], &b = samples[std::min(i + 1, samples.size() - 1)];
        double share = b.seconds > a.seconds ? std::clamp((seconds - a.seconds) / (b.seconds - a.seconds), 0.0, 1.0) : 0;
        std::vector<double> rpm;
        for (int f = 0; f < 2; ++f) {
            double x = a.fan[f], y = std::isnan(b.fan[f]) ? x : b.fan[f];
            rpm.push_back(std::isnan(x) ? y : x + share * (y - x));
        }
        return rpm;
    };
    double bestOffset = 0, bestWorst = HUGE_VAL, bestMean = 0;
    for (double offset = 0; offset <= 5 + 1e-9; offset += 0.05) {
        std::vector<double> die = bench::replayDie(plant, trace, samples.back().seconds + offset + 1,
                                                   [&](double at) { return fansAt(at - offset); });
        double worst = 0, sum = 0;
        size_t count = 0;
        for (const Sample& sample : samples) {
            // A reading shows the model after its last whole step.
            auto step = size_t(std::floor((sample.seconds + offset) / bench::kHeatStep + 1e-9));
            if (std::isnan(sample.die) || step >= die.size())
                continue;
            double difference = sample.die - die[step];
            worst = std::max(worst, std::abs(difference));
            sum += difference;
            ++count;
        }
        if (count > 0 && worst < bestWorst)
            bestWorst = worst, bestOffset = offset, bestMean = sum / double(count);
    }
    std::printf("largest difference %.2f °C, mean %+.2f °C (the run's die minus the model's), run started %.2f s "
                "into the trace\n",
                bestWorst, bestMean, bestOffset);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string profile;
    const char* run = nullptr;
    int argument = 1;
    for (; argument < argc && argv[argument][0] == '-'; ++argument) {
        if (std::strcmp(argv[argument], "--profile") == 0 && argument + 1 < argc)
            profile = argv[++argument];
        else if (std::strcmp(argv[argument], "--validate") == 0 && argument + 1 < argc)
            run = argv[++argument];
        else
            break;
    }
    if (argument + 1 != argc) {
        std::fprintf(stderr, "usage: fan_optimum [--profile FILE] [--validate CSV] TRACE\n");
        return 2;
    }
    std::string error, text;
    std::optional<bench::Plant> plant = bench::loadPlant(profile, error);
    platform::LoadTrace trace;
    if (!plant || !bench::loadTrace(argv[argument], trace, text, error)) {
        std::fprintf(stderr, "fan_optimum: %s\n", error.c_str());
        return 1;
    }
    if (run)
        return validate(*plant, trace, run);
    auto began = std::chrono::steady_clock::now();
    bench::Frontier frontier = bench::optimumFrontier(*plant, trace);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("peak_c,mean_rpm\n");
    for (const bench::Frontier::Point& point : frontier.points)
        std::printf("%.2f,%.0f\n", point.peak, point.meanRpm);
    std::fprintf(stderr, "lowest reachable peak %.2f °C; the fans rest at their minimum from %.2f °C (%.1f s)\n",
                 frontier.lowestPeak, frontier.restingPeak, took);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
