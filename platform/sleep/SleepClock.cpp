// The sleep clock: the kernel's two clocks, and the sleeps played by an
// emulated machine.
#include "SleepClock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

namespace platform {

namespace {

// Shorter gaps are the two clocks read a moment apart, not a sleep.
constexpr double kLeastSleep = 0.1;

std::atomic<double> playedHere{0};

double clockSeconds(clockid_t clock)
{
    timespec time{};
    clock_gettime(clock, &time);
    return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
}

const char* sharedFile()
{
    const char* path = std::getenv("SMC_SLEEP_FILE");
    return path && *path ? path : nullptr;
}

double playedIn(const char* path)
{
    std::ifstream file(path);
    double seconds = 0;
    return file >> seconds ? seconds : 0;
}

}  // namespace

double sleptSeconds()
{
    const char* path = sharedFile();
    double played = path ? playedIn(path) : playedHere.load();
    double monotonic = clockSeconds(CLOCK_MONOTONIC);
    return clockSeconds(CLOCK_BOOTTIME) - monotonic + played;
}

void playSleep(double seconds)
{
    playedHere.fetch_add(seconds);
    const char* path = sharedFile();
    if (path == nullptr)
        return;
    // Renamed into place: a reader never sees half a number.
    std::string next = std::string(path) + ".new";
    double total = playedIn(path) + seconds;
    if (std::ofstream(next) << std::to_string(total) << '\n')
        std::rename(next.c_str(), path);
}

ResumeWatch::ResumeWatch(Source source) : source_(std::move(source)), last_(source_()) {}

double ResumeWatch::check()
{
    double now = source_();
    double slept = now - last_;
    last_ = now;
    return slept >= kLeastSleep ? slept : 0;
}

}  // namespace platform
