// One controller in closed loop on the emulated SMC in simulated time: the
// very EmulatedSMC smcd runs (its heat model, sensors and their noise, fan
// glides, firmware curve, power keys) on a clock this program steps, and
// smcfand's own loop on it, polling as smcfand does. Ten minutes of a
// trace take well under a second, so defaults can be chosen on every trace
// and plant (bench/closed_loop.sh then checks them in real time).
// Usage: fan_sim [--profile FILE] [--controller auto|smcfand] [--smcfand-profile NAME]
//                [--config FILE] [--frontier CSV] [--csv OUT] TRACE
// Prints "peak_c mean_rpm changes [ratio]"; the CSV has the closed-loop
// bench's columns: ms, die in m°C, both fans' speeds, both fans' goals.
#include "bench/support/FanPlant.h"
#include "backends/SMCService.h"
#include "backends/emulated/EmulatedSMC.h"
#include "encodings/Encodings.h"
#include "smcfand/FanLoop.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct Run {
    double peak = 0, mean = 0;
    int changes = 0;
};

double speedOf(platform::EmulatedSMC& smc, const std::string& key)
{
    std::optional<platform::SMCKeyEntry> entry = smc.key(encodings::fourCharCode(key));
    return entry ? encodings::decode(entry->type, entry->bytes.data(), entry->size).value_or(NAN) : NAN;
}

// A fan's goal as the real bench samples it: its target in manual mode,
// its minimum otherwise.
double goalOf(platform::EmulatedSMC& smc, int fan)
{
    // Manual by the older machines' bit mask or by the fan's own mode key.
    std::string prefix = "F" + std::to_string(fan);
    std::optional<platform::SMCKeyEntry> mode = smc.key(encodings::fourCharCode(prefix + "Md"));
    std::optional<platform::SMCKeyEntry> forced = smc.key(encodings::fourCharCode("FS! "));
    bool manual = (mode && mode->size >= 1 && mode->bytes[0] != 0) ||
                  (forced && forced->size >= 2 && (encodings::unsignedFromBytes(forced->bytes.data(), 2) >> fan & 1));
    return speedOf(smc, prefix + (manual ? "Tg" : "Mn"));
}

}  // namespace

int main(int argc, char* argv[])
{
    const char *profile = nullptr, *frontierPath = nullptr, *csvPath = nullptr, *configPath = nullptr;
    std::string controller = "smcfand", smcfandProfile = "balanced";
    int argument = 1;
    for (; argument + 1 < argc && std::strncmp(argv[argument], "--", 2) == 0; argument += 2) {
        std::string option = argv[argument];
        const char* value = argv[argument + 1];
        if (option == "--profile")
            profile = value;
        else if (option == "--controller")
            controller = value;
        else if (option == "--smcfand-profile")
            smcfandProfile = value;
        else if (option == "--config")
            configPath = value;
        else if (option == "--frontier")
            frontierPath = value;
        else if (option == "--csv")
            csvPath = value;
        else
            break;
    }
    if (argument + 1 != argc || (controller != "auto" && controller != "smcfand") ||
        !smcfand::profileNamed(smcfandProfile)) {
        std::fprintf(stderr, "usage: fan_sim [--profile FILE] [--controller auto|smcfand] [--smcfand-profile NAME] "
                             "[--config FILE] [--frontier CSV] [--csv OUT] TRACE\n");
        return 2;
    }
    std::string error, text;
    std::optional<bench::Plant> plant = bench::loadPlant(profile ? profile : "", error);
    platform::LoadTrace trace;
    if (!plant || !bench::loadTrace(argv[argument], trace, text, error)) {
        std::fprintf(stderr, "fan_sim: %s\n", error.c_str());
        return 1;
    }
    std::shared_ptr<platform::EmulatedSMC> smc = platform::loadEmulatedSMC(profile, error);
    if (!smc) {
        std::fprintf(stderr, "fan_sim: %s\n", error.c_str());
        return 1;
    }
    std::chrono::steady_clock::time_point now{};
    smc->setFanModelClock([&] { return now; });
    smc->setFanModel(1000);  // as smcd moves an emulated machine's fans
    if (!smc->setThermalModel(plant->thermal) || !smc->setLoadTrace(text, error)) {
        std::fprintf(stderr, "fan_sim: %s\n", error.c_str());
        return 1;
    }
    platform::installSMCService(smc);

    io_connect_t connection = 0;
    std::unique_ptr<smcfand::FanLoop> loop;
    smcfand::Tuning tuning;
    if (controller == "smcfand") {
        std::vector<std::string> errors, notes;
        std::optional<smcfand::Config> config =
            configPath ? smcfand::loadConfig(configPath, errors) : std::optional<smcfand::Config>(smcfand::Config{});
        if (!config) {
            std::fprintf(stderr, "fan_sim: %s\n", errors.at(0).c_str());
            return 1;
        }
        if (!configPath)
            smcfand::chooseProfile(*config, *smcfand::profileNamed(smcfandProfile));
        tuning = config->tuning;
        if (SMCOpen(&connection) != 0)
            return 1;
        std::optional<std::vector<smcfand::FanPlan>> plans = smcfand::planFans(connection, *config, errors, notes);
        if (!plans) {
            std::fprintf(stderr, "fan_sim: %s\n", errors.empty() ? "no fans" : errors.at(0).c_str());
            return 1;
        }
        loop = std::make_unique<smcfand::FanLoop>(connection, *plans, tuning, [](const std::string&) {});
    }

    std::FILE* csv = csvPath ? std::fopen(csvPath, "w") : nullptr;
    const auto poll = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(tuning.poll));
    const auto sample = std::chrono::milliseconds(500);
    const auto end = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(bench::traceSeconds(trace)));
    const auto start = now;
    auto nextPoll = now, nextSample = now;
    Run run;
    double speeds = 0;
    int samples = 0;
    std::optional<double> lastGoal[2];
    while (now - start < end) {
        if (loop && now >= nextPoll) {
            loop->poll(now);
            nextPoll += poll;
        }
        if (now >= nextSample) {
            double die = smc->nodeTemperature("die");
            double fan[2] = {speedOf(*smc, "F0Ac"), speedOf(*smc, "F1Ac")};
            double goal[2] = {goalOf(*smc, 0), goalOf(*smc, 1)};
            run.peak = std::max(run.peak, die);
            speeds += (fan[0] + fan[1]) / 2, ++samples;
            for (int f = 0; f < 2; ++f) {
                if (lastGoal[f] && std::abs(goal[f] - *lastGoal[f]) >= 100)
                    ++run.changes;
                lastGoal[f] = goal[f];
            }
            if (csv)
                std::fprintf(csv, "%lld %.0f %.0f %.0f %.0f %.0f\n",
                             (long long)std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count(),
                             die * 1000, fan[0], fan[1], goal[0], goal[1]);
            nextSample += sample;
        }
        now = std::min(nextPoll, nextSample);
        if (!loop)
            now = nextSample;
        smc->nodeTemperature("die");  // the model advances to now
    }
    if (csv)
        std::fclose(csv);
    run.mean = samples ? speeds / samples : 0;
    std::printf("%.2f %.0f %d", run.peak, run.mean, run.changes);
    if (frontierPath) {
        std::optional<bench::Frontier> frontier = bench::readFrontier(frontierPath, error);
        if (!frontier) {
            std::fprintf(stderr, "\nfan_sim: %s\n", error.c_str());
            return 1;
        }
        std::printf(" %.3f", run.mean / frontier->at(run.peak));
    }
    std::printf("\n");
    if (loop)
        loop->release();
    loop.reset();
    if (connection)
        SMCClose(connection);
    platform::installSMCService(nullptr);
    return 0;
}
