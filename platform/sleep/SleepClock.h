// How the daemons see the machine wake: CLOCK_BOOTTIME runs on through a
// suspend while CLOCK_MONOTONIC stops, so their difference grows by each
// sleep. An emulated machine that plays a suspend adds it to that
// difference, for the process that runs it and, through the file that
// SMC_SLEEP_FILE names, for every process of a test that shares the file.
#pragma once

#include <functional>

namespace platform {

// The seconds the machine has slept since it booted, played sleeps included.
double sleptSeconds();

// Adds `seconds` of sleep, as an emulated machine's suspend shows it.
void playSleep(double seconds);

// Tells a resume from a sleep clock: each check answers the seconds slept
// since the check before (or since it was made), 0 when there was no sleep.
class ResumeWatch {
public:
    using Source = std::function<double()>;
    explicit ResumeWatch(Source source = sleptSeconds);
    double check();

private:
    Source source_;
    double last_;
};

}  // namespace platform
