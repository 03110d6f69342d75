#include "smcfand/FanLoop.h"

#include "fanclient/FanClient.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace smcfand {
namespace {

// The change in rpm since the last line that is worth another.
constexpr double kWorthALine = 500;
// How long after a resume logind's word of it is taken as the same resume.
constexpr auto kSameResume = std::chrono::seconds(10);

std::string rpm(double value)
{
    return std::to_string(std::lround(value));
}

// Whether the connection still answers. A sensor that stops answering reads
// kIOReturnNotResponding as a daemon that went away does: only a question
// that no sensor takes part in tells them apart.
bool answers(io_connect_t connection)
{
    fanclient::ControllerState controller;
    kern_return_t status = fanclient::readController(connection, controller);
    if (status == kIOReturnUnsupported) {  // no daemon, asked without an exchange
        SMCKeyData record{};
        status = fanclient::call(connection, SMCCommandKeyInfo, "#KEY", record);
    }
    return !connectionLost(status);
}

}  // namespace

std::optional<std::vector<FanPlan>> planFans(io_connect_t connection, const Config& config,
                                             std::vector<std::string>& errors, std::vector<std::string>& notes)
{
    kern_return_t status;
    std::vector<MachineFan> fans = readMachineFans(connection, status, notes);
    if (status != KERN_SUCCESS) {
        errors.push_back("the fan count (FNum) cannot be read: " + fanclient::statusWords(status));
        return std::nullopt;
    }
    // Asked only where needed: without a die temperature it lists every key.
    bool needed = config.fans.empty() || std::any_of(config.fans.begin(), config.fans.end(), [](const FanSpec& fan) {
                      return fan.sensors.empty() || fan.unit == Unit::Watts;
                  });
    DefaultInputs defaults = needed ? defaultInputs(connection) : DefaultInputs{};
    SensorReader reader(connection);
    std::optional<std::vector<FanPlan>> plans = resolveConfig(
        config, fans, defaults, [&](const std::string& sensor) { return reader.problem(sensor); }, errors);
    if (plans && plans->empty()) {
        errors.push_back("no fan to drive: the SMC has none whose limits read");
        return std::nullopt;
    }
    return plans;
}

FanLoop::FanLoop(io_connect_t connection, const std::vector<FanPlan>& plans, const Tuning& tuning, Say log,
                 bool dryRun, Say decisions, FileSensor::ReadFile readFile)
    : connection_(connection), reader_(connection, std::move(readFile)), log_(std::move(log)), dryRun_(dryRun),
      decisions_(std::move(decisions))
{
    for (const FanPlan& plan : plans)
        fans_.push_back(Fan{plan, controllerFor(plan, tuning), limitFor(plan, tuning), std::nullopt,
                            dryRun ? fanclient::readSpeed(connection, plan.index, "Tg") : std::nullopt});
    gatherSensors();
}

FanController FanLoop::controllerFor(const FanPlan& plan, Tuning tuning)
{
    tuning.avoid = plan.avoid;
    if (plan.unit == Unit::Watts)
        tuning.smoothing = std::max(tuning.smoothing, kPowerSmoothing);
    return FanController(plan.sensors, plan.combine, plan.curve, plan.minimum, plan.maximum, std::move(tuning),
                         plan.unit);
}

std::optional<FanController> FanLoop::limitFor(const FanPlan& plan, Tuning tuning)
{
    if (plan.limits.empty())
        return std::nullopt;
    tuning.avoid = plan.avoid;
    return FanController(plan.limits, Combine::Max, plan.limitCurve, plan.minimum, plan.maximum, std::move(tuning));
}

void FanLoop::Fan::written(double rpm)
{
    controller.written(rpm);
    if (limit)
        limit->written(rpm);
}

void FanLoop::Fan::forgetWritten()
{
    controller.forgetWritten();
    if (limit)
        limit->forgetWritten();
}

Decision FanLoop::Fan::decide(Clock::time_point now, const std::map<std::string, Reading>& readings)
{
    auto poll = [&](FanController& which) {
        std::vector<Reading> chosen;
        for (const std::string& sensor : which.sensors())
            chosen.push_back(readings.at(sensor));
        return which.poll(now, chosen);
    };
    Decision decision = poll(controller);
    limitedAt.reset();
    if (!limit)
        return decision;
    // Each decides as if it drove the fan alone; the faster wins, and
    // asks for the write when its own target moved enough from the last.
    Decision bound = poll(*limit);
    for (std::string& note : bound.notes)
        decision.notes.push_back("limit " + std::move(note));
    if (bound.target > decision.target) {
        decision.target = bound.target;
        decision.write = bound.write;
        limitedAt = bound.celsius;
    }
    return decision;
}

void FanLoop::gatherSensors()
{
    sensors_.clear();
    for (const Fan& fan : fans_)
        for (const auto* sensors : {&fan.plan.sensors, &fan.plan.limits})
            for (const std::string& sensor : *sensors)
                if (std::find(sensors_.begin(), sensors_.end(), sensor) == sensors_.end())
                    sensors_.push_back(sensor);
}

void FanLoop::reconfigure(const std::vector<FanPlan>& plans, const Tuning& tuning)
{
    std::vector<Fan> fans;
    for (const FanPlan& plan : plans) {
        auto same = [&](const Fan& fan) { return fan.plan.index == plan.index; };
        auto before = std::find_if(fans_.begin(), fans_.end(), same);
        Fan fan{plan, controllerFor(plan, tuning), limitFor(plan, tuning)};
        if (before != fans_.end()) {
            // The same fan, still taken: it glides on from where it is.
            fan.controller.continueFrom(before->controller);
            if (fan.limit)
                fan.limit->continueFrom(before->limit ? *before->limit : before->controller);
            fan.previous = before->previous;
            fan.said = before->said;
            fan.taken = before->taken;
            fan.held = before->held;
            fan.failed = before->failed;
        }
        fans.push_back(std::move(fan));
    }
    // A fan the configuration no longer names goes back to the SMC.
    for (Fan& fan : fans_) {
        auto kept = std::find_if(fans.begin(), fans.end(),
                                 [&](const Fan& other) { return other.plan.index == fan.plan.index; });
        if (kept != fans.end() || !fan.taken || dryRun_)
            continue;
        fanclient::setManual(connection_, fan.plan.index, false);
        log_(where(fan) + ": no longer in the configuration; back to the SMC's automatic mode");
    }
    fans_ = std::move(fans);
    gatherSensors();
}

void FanLoop::woke()
{
    woke_ = true;
}

FanLoop::State FanLoop::poll(Clock::time_point now)
{
    // logind and the clocks may both tell one resume, in either order.
    double slept = resumeWatch_.check();
    bool told = std::exchange(woke_, false) && (!lastResume_ || now - *lastResume_ > kSameResume);
    if ((slept > 0 || told) && !dryRun_) {
        lastResume_ = now;
        log_((slept > 0 ? "the machine woke after " + std::to_string(std::lround(slept)) + " s asleep"
                        : std::string("logind says the machine woke")) +
             "; taking the fans again");
        for (Fan& fan : fans_) {
            fan.taken = false;
            fan.forgetWritten();
        }
    }
    if (!dryRun_ && !followHolds())
        return State::Lost;
    // Each sensor once, however many fans follow it; the files are read
    // meanwhile, so that one that hangs cannot hold the loop.
    reader_.ask(sensors_);
    std::map<std::string, Reading> readings;
    for (const std::string& sensor : sensors_) {
        kern_return_t status;
        readings[sensor] = reader_.read(sensor, status);
        if (status != KERN_SUCCESS && !answers(connection_))
            return State::Lost;
    }
    for (Fan& fan : fans_) {
        // The minimum as it is now, which a person may have raised; one
        // that cannot be read keeps the last.
        if (std::optional<double> minimum = fanclient::readSpeed(connection_, fan.plan.index, "Mn")) {
            fan.controller.setFanMinimum(*minimum);
            if (fan.limit)
                fan.limit->setFanMinimum(*minimum);
        }
        Decision decision = fan.decide(now, readings);
        for (const std::string& note : decision.notes)
            log_(where(fan) + ": " + note);
        // While the daemon tells holds, a held fan waits for its word;
        // otherwise each poll tries again, and the refusal changes nothing.
        if ((fan.held && holdsTold_) || (!decision.write && !fan.held))
            continue;
        if (dryRun_) {
            // Marked on every line: a dry run's output is read beside real logs.
            if (decisions_)
                decisions_("dry run: " + targetLine(fan, decision));
            fan.previous = decision.target;
            fan.written(decision.target);
            continue;
        }
        if (!drive(fan, decision))
            return State::Lost;
    }
    return State::Running;
}

bool FanLoop::followHolds()
{
    // A fan whose target stays the same is not written, so a hold would go
    // unseen by writes alone: the daemon tells which fans are held. When a
    // hold ends the daemon puts back what the fan had before it, not what
    // this loop wrote: the fan is taken again.
    holdsTold_ = false;
    fanclient::ControllerState controller;
    kern_return_t status = fanclient::readController(connection_, controller);
    if (connectionLost(status))
        return false;
    if (status != KERN_SUCCESS)
        return true;
    holdsTold_ = true;
    for (Fan& fan : fans_) {
        if (controller.holds(fan.plan.index))
            heldNow(fan);
        else if (fan.held)
            resumed(fan);
    }
    return true;
}

void FanLoop::heldNow(Fan& fan)
{
    if (!fan.held)
        log_(where(fan) + ": held by another client of smcd (a person's hold); leaving it alone until it ends");
    fan.held = true;
    fan.forgetWritten();
}

void FanLoop::resumed(Fan& fan)
{
    log_(where(fan) + ": the hold ended; driving it again");
    fan.held = false;
    fan.taken = false;
    fan.forgetWritten();
}

bool FanLoop::drive(Fan& fan, const Decision& decision)
{
    // What the fan had before it is taken, for the log.
    if (!fan.taken) {
        fan.previous = fanclient::readSpeed(connection_, fan.plan.index, "Tg");
        fan.said.reset();
    }
    // A refused write leaves the fan for the next poll: held by a person,
    // or failed (said once).
    auto refused = [&](kern_return_t status, const std::string& what) {
        if (status == kIOReturnExclusiveAccess)
            heldNow(fan);
        else if (status != KERN_SUCCESS)
            failure(fan, what, status);
        return status != KERN_SUCCESS;
    };
    kern_return_t status = fanclient::writeSpeed(connection_, fan.plan.index, fanclient::Speed::Target, decision.target);
    if (connectionLost(status))
        return false;
    if (refused(status, fanclient::speedKey(fan.plan.index, fanclient::Speed::Target)))
        return true;
    bool wasHeld = fan.held;
    if (!fan.taken || wasHeld) {
        std::string key;
        status = fanclient::setManual(connection_, fan.plan.index, true, &key);
        if (connectionLost(status))
            return false;
        if (refused(status, key.empty() ? "its manual mode" : key))
            return true;
        fan.taken = true;
    }
    if (wasHeld)
        log_(where(fan) + ": driving it again");
    fan.held = false;
    fan.failed = KERN_SUCCESS;
    // A glide is many small writes: the log says where it starts, every
    // 500 rpm on the way, and where it reaches the fan's limits.
    bool atLimit = decision.target <= fan.plan.minimum || decision.target >= fan.plan.maximum;
    if (!fan.said || std::abs(decision.target - *fan.said) >= kWorthALine ||
        (atLimit && decision.target != *fan.said)) {
        log_(targetLine(fan, decision));
        fan.previous = fan.said = decision.target;
    }
    fan.written(decision.target);
    return true;
}

void FanLoop::failure(Fan& fan, const std::string& what, kern_return_t status)
{
    // Tried again each poll; said once, until it changes.
    if (status != fan.failed)
        log_(where(fan) + ": " + what + ": " + fanclient::statusWords(status) + "; trying again each poll");
    fan.failed = status;
    fan.forgetWritten();
}

void FanLoop::reconnected(io_connect_t connection)
{
    connection_ = connection;
    reader_.reconnected(connection);
    for (Fan& fan : fans_) {
        fan.taken = false;
        fan.held = false;
        fan.failed = KERN_SUCCESS;
        fan.forgetWritten();
    }
}

void FanLoop::release()
{
    for (Fan& fan : fans_)
        if (fan.taken && !dryRun_)
            fanclient::setManual(connection_, fan.plan.index, false);
    for (Fan& fan : fans_)
        fan.taken = false;
}

std::string FanLoop::targetLine(const Fan& fan, const Decision& decision) const
{
    return where(fan) + ": " +
           (decision.celsius ? degrees(*decision.celsius) + " " + unitText(fan.plan.unit) : std::string("no sensor")) +
           (fan.limitedAt ? ", held up by " + degrees(*fan.limitedAt) + " °C" : "") + " → " + rpm(decision.target) + " rpm" +
           (fan.previous ? " (was " + rpm(*fan.previous) + ")" : "");
}

std::string FanLoop::where(const Fan& fan) const
{
    return "fan " + std::to_string(fan.plan.index);
}

}  // namespace smcfand
