// smcfand's loop over one SMC connection: each poll reads every sensor
// once, lets each fan's controller decide, and writes the targets that
// changed; fans held by a person's lease are left alone until a write goes
// through again.
#pragma once

#include "smcfand/Config.h"
#include "smcfand/FanControl.h"
#include "smcfand/Sensors.h"
#include "SleepClock.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace smcfand {

// The fans that `config` drives on the machine behind `connection`: its
// fans and their limits, the default sensors where the file names none,
// checked against the machine. Nothing when it cannot drive any, with the
// reasons in `errors` (file and line where the file is at fault); fans left
// to the SMC are said in `notes`.
std::optional<std::vector<FanPlan>> planFans(io_connect_t connection, const Config& config,
                                             std::vector<std::string>& errors, std::vector<std::string>& notes);

class FanLoop {
public:
    using Say = std::function<void(const std::string&)>;

    // Drives `plans` through `connection` (not owned). Log lines go to
    // `log`. With `dryRun`, nothing is written: each write it would make
    // goes to `decisions` instead. Sensor files are read by `readFile`.
    FanLoop(io_connect_t connection, const std::vector<FanPlan>& plans, const Tuning& tuning, Say log,
            bool dryRun = false, Say decisions = {}, FileSensor::ReadFile readFile = readTemperatureFile);

    enum class State { Running, Lost };

    // One poll at `now`; after the machine slept (its SMC forgets manual
    // mode and targets) every fan is taken again. Lost when the connection is gone (the daemon
    // stopped or restarted): nothing more is done on it, and the caller
    // opens another for reconnected().
    State poll(Clock::time_point now);

    // logind said the machine woke: the next poll takes every fan again,
    // unless a resume the clocks showed was taken in the seconds before
    // (the same one).
    void woke();

    // Carries on through a new connection (not owned): every fan is taken
    // again (target and manual mode) at the next poll.
    void reconnected(io_connect_t connection);

    // Drives `plans` with `tuning` from the next poll, keeping the fans it
    // holds and their targets as where glides start; a fan no longer
    // planned goes back to the SMC's automatic mode.
    void reconfigure(const std::vector<FanPlan>& plans, const Tuning& tuning);

    // Gives every fan it took back to the SMC's automatic mode.
    void release();

private:
    struct Fan {
        FanPlan plan;
        FanController controller;
        std::optional<FanController> limit;  // of a watt curve: its temperatures'
        std::optional<double> limitedAt;     // the limit's °C, when it set the last target
        std::optional<double> previous;  // the target before the last write said, for the log
        std::optional<double> said;      // the last target the log said
        bool taken = false;              // put into manual mode by this connection
        bool held = false;               // another lease holds it
        kern_return_t failed = KERN_SUCCESS;  // the last failure said, said once

        // What both controllers are told: the target written, or that it must be written again.
        void written(double rpm);
        void forgetWritten();
        // The target of this poll: the curve's, or the limit's when higher.
        Decision decide(Clock::time_point now, const std::map<std::string, Reading>& readings);
    };

    static FanController controllerFor(const FanPlan& plan, Tuning tuning);
    static std::optional<FanController> limitFor(const FanPlan& plan, Tuning tuning);
    void gatherSensors();  // every fan's sensors, each once
    // Marks the fans that another lease holds now, and takes those whose
    // hold ended again; false when the connection is gone.
    bool followHolds();
    void heldNow(Fan& fan);
    void resumed(Fan& fan);
    // Writes a fan's target (and, the first time, its mode); false when the
    // connection is gone.
    bool drive(Fan& fan, const Decision& decision);
    void failure(Fan& fan, const std::string& what, kern_return_t status);
    std::string where(const Fan& fan) const;
    // "fan 0: 72.0 °C → 3504 rpm (was 2000)"
    std::string targetLine(const Fan& fan, const Decision& decision) const;

    io_connect_t connection_;
    SensorReader reader_;
    std::vector<std::string> sensors_;  // every fan's, each once
    std::vector<Fan> fans_;
    Say log_;
    bool dryRun_;
    Say decisions_;
    bool holdsTold_ = false;  // the daemon said this poll which fans are held
    platform::ResumeWatch resumeWatch_;
    bool woke_ = false;                              // logind's word, for the next poll
    std::optional<Clock::time_point> lastResume_;   // the last resume taken
};

}  // namespace smcfand
