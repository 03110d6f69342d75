#include "smcfand/FanControl.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>

namespace smcfand {
namespace {

// The default curves, as shares of the fan's range (0: its minimum, 1: its
// maximum), chosen with bench/fan_sim against the offline optimum on every
// trace of the bench on both of its machines (docs/fan-control.md).
// Balanced rises in proportion from 66 °C, because the fan speed people
// hear grows faster than the cooling it buys: spread over the heat, a
// little early costs less than much late. It is at full speed from 91 °C,
// before the 95 °C where hot CPUs throttle. Quiet rises later and glides
// down slower, with hysteresis: fewer changes for a little more heat.
// Performance keeps the die within a degree or two of the coolest the fans
// can reach, at full speed from 48 °C.
struct DefaultPoint {
    double celsius;
    double share;
};
struct ProfileShape {
    const char* name;
    DefaultPoint curve[4];
    size_t points;
};
// Constant, not built at start: other files' constants are made from them.
constexpr ProfileShape kProfiles[] = {
    {"quiet", {{68, 0}, {82, 0.3}, {89, 0.6}, {90, 1}}, 4},
    {"balanced", {{66, 0}, {81, 0.3}, {90, 0.6}, {91, 1}}, 4},
    {"performance", {{38, 0}, {48, 1}}, 2},
};

const ProfileShape& shapeOf(Profile profile)
{
    return kProfiles[size_t(profile)];
}

// The default watt curves, balanced, as shares of the fan's range. A
// laptop's heat-pipe power is a few watts at rest and near 30 W with the CPU
// at full load: quiet below 10 W, at full speed from 38 W. The whole
// system's power of a desktop is 7 to 17 W at rest and near 100 W at full
// load: quiet below 20 W, at full speed from 100 W. Quiet moves the watts up
// by a quarter, performance down to three fifths.
struct PowerShape {
    const char* key;
    DefaultPoint curve[4];
};
constexpr PowerShape kPowerShapes[] = {
    {"PHPC", {{10, 0}, {20, 0.3}, {30, 0.6}, {38, 1}}},
    {"PSTR", {{20, 0}, {45, 0.3}, {75, 0.6}, {100, 1}}},
};
constexpr double kPowerScale[] = {1.25, 1, 0.6};  // by profile

}  // namespace

double Curve::at(double celsius) const
{
    if (points_.empty())
        return 0;
    if (celsius <= points_.front().celsius)
        return points_.front().rpm;
    for (size_t i = 1; i < points_.size(); ++i) {
        const CurvePoint &low = points_[i - 1], &high = points_[i];
        if (celsius <= high.celsius)
            return low.rpm + (high.rpm - low.rpm) * (celsius - low.celsius) / (high.celsius - low.celsius);
    }
    return points_.back().rpm;
}

std::optional<Profile> profileNamed(std::string_view name)
{
    for (size_t i = 0; i < std::size(kProfiles); ++i)
        if (name == kProfiles[i].name)
            return Profile(i);
    return std::nullopt;
}

const char* profileName(Profile profile)
{
    return shapeOf(profile).name;
}

Tuning profileTuning(Profile profile)
{
    Tuning tuning;
    if (profile == Profile::Quiet) {
        // Down slower, with hysteresis: fewer changes a person hears. Up
        // as fast: a slower rise lets a warm machine pass 95 °C.
        tuning.smoothing = 3;
        tuning.hysteresis = 2;
        tuning.rampDown = 90;
    }
    return tuning;
}

Curve defaultCurve(double minimum, double maximum, Profile profile)
{
    std::vector<CurvePoint> points;
    const ProfileShape& shape = shapeOf(profile);
    for (const DefaultPoint& point : std::span(shape.curve, shape.points))
        points.push_back({point.celsius, minimum + point.share * (maximum - minimum)});
    return Curve(std::move(points));
}

Curve defaultPowerCurve(const std::string& key, double minimum, double maximum, Profile profile)
{
    const PowerShape& shape = key == kPowerShapes[0].key ? kPowerShapes[0] : kPowerShapes[1];
    std::vector<CurvePoint> points;
    for (const DefaultPoint& point : shape.curve)
        points.push_back({point.celsius * kPowerScale[size_t(profile)], minimum + point.share * (maximum - minimum)});
    return Curve(std::move(points));
}

const char* unitText(Unit unit)
{
    return unit == Unit::Watts ? "W" : "°C";
}

double lowestPlausible(Unit unit)
{
    return unit == Unit::Watts ? -5 : kLowestPlausible;
}

double highestPlausible(Unit unit)
{
    return unit == Unit::Watts ? 1000 : kHighestPlausible;
}

std::string degrees(double celsius)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", celsius);
    return text;
}

FanController::FanController(std::vector<std::string> sensors, Combine combine, Curve curve, double minimum,
                             double maximum, Tuning tuning, Unit unit)
    : sensors_(std::move(sensors)), combine_(combine), curve_(std::move(curve)), minimum_(minimum),
      maximum_(std::max(minimum, maximum)), tuning_(tuning), unit_(unit), lost_(sensors_.size(), false)
{
    if (curve_.points().empty())
        curve_ = Curve({{0, maximum_}});
    const std::vector<CurvePoint>& points = curve_.points();
    steepFrom_ = points.size() > 1 ? points.back().celsius : HUGE_VAL;
    double steepest = 0;
    for (size_t i = 1; i < points.size(); ++i) {
        double slope = (points[i].rpm - points[i - 1].rpm) / (points[i].celsius - points[i - 1].celsius);
        if (slope > steepest) {
            steepest = slope;
            steepFrom_ = points[i - 1].celsius;
        }
    }
}

void FanController::continueFrom(const FanController& before)
{
    fanMinimum_ = before.fanMinimum_;
    last_ = before.last_;
    restingSince_ = before.restingSince_;
    gliding_ = before.gliding_;
    risingLast_ = before.risingLast_;
    target_ = before.target_;
    written_ = before.written_;
}

double FanController::outsideBands(double wanted, bool rising) const
{
    const double floor = std::clamp(fanMinimum_, minimum_, maximum_);
    for (const Band& band : tuning_.avoid) {
        if (!(wanted > band.low && wanted < band.high))
            continue;
        // Hysteresis: from above, or on the way up, it stays above until
        // the curve leaves the band below. Hotter, it never rests lower.
        bool upper = rising || *held_ >= steepFrom_ || band.low < floor ||
                     (target_ && (*target_ >= band.high || (*target_ > band.low && risingLast_)));
        return upper ? std::min(band.high, maximum_) : band.low;
    }
    return wanted;
}

Decision FanController::poll(Clock::time_point now, const std::vector<Reading>& readings)
{
    Decision decision;
    double elapsed = last_ ? std::max(0.0, std::chrono::duration<double>(now - *last_).count()) : 0;
    last_ = now;

    std::vector<double> plausible;
    for (size_t i = 0; i < sensors_.size(); ++i) {
        const Reading reading = i < readings.size() ? readings[i] : Reading{std::nullopt, "not read"};
        const std::string unit = std::string(" ") + unitText(unit_);
        bool good =
            reading.celsius && *reading.celsius >= lowestPlausible(unit_) && *reading.celsius <= highestPlausible(unit_);
        if (good)
            plausible.push_back(*reading.celsius);
        if (!good && !lost_[i])
            decision.notes.push_back("sensor " + sensors_[i] + " ignored: " +
                                     (reading.celsius ? "reads " + degrees(*reading.celsius) + unit + ", outside " +
                                                            degrees(lowestPlausible(unit_)) + " to " +
                                                            degrees(highestPlausible(unit_)) + unit
                                                      : reading.error));
        else if (good && lost_[i])
            decision.notes.push_back("sensor " + sensors_[i] + " back at " + degrees(*reading.celsius) + unit);
        lost_[i] = !good;
    }

    const double floor = std::clamp(fanMinimum_, minimum_, maximum_);
    const double lowest = std::clamp(curve_.points().front().rpm, floor, maximum_),
                 highest = std::clamp(curve_.points().back().rpm, floor, maximum_);
    auto shouldWrite = [&](double target) {
        if (!written_)
            return true;
        if (target == *written_)
            return false;
        // The curve's ends are reached exactly, however small the last step.
        return std::abs(target - *written_) >= tuning_.step || target == lowest || target == highest ||
               target == maximum_;
    };

    if (plausible.empty()) {
        if (!allLost_)
            decision.notes.push_back("no sensor left that reads plausibly; running the fan at its maximum");
        allLost_ = true;
        smoothed_.reset();
        held_.reset();
        target_ = maximum_;
        gliding_ = false;
        restingSince_ = now;
        decision.target = maximum_;
        decision.write = shouldWrite(maximum_);
        return decision;
    }
    if (allLost_)
        decision.notes.push_back("sensors readable again; following the curve");
    allLost_ = false;

    double raw = combine_ == Combine::Max ? *std::max_element(plausible.begin(), plausible.end())
                                          : [&] {
                                                double sum = 0;
                                                for (double value : plausible)
                                                    sum += value;
                                                return sum / double(plausible.size());
                                            }();
    if (!smoothed_ || tuning_.smoothing <= 0)
        smoothed_ = raw;
    else
        *smoothed_ += (raw - *smoothed_) * (1 - std::exp(-elapsed / tuning_.smoothing));
    decision.celsius = smoothed_;

    // Rising, the curve is read at the temperature; falling, only once it
    // left the band, and then at the temperature plus the band.
    const std::optional<double> heldBefore = held_;
    if (!held_ || *smoothed_ >= *held_)
        held_ = smoothed_;
    else if (*smoothed_ < *held_ - tuning_.hysteresis)
        held_ = *smoothed_ + tuning_.hysteresis;

    const bool overheat = *held_ >= curve_.points().back().celsius;
    double wanted = std::clamp(curve_.at(*held_), floor, maximum_);
    if (!overheat)
        wanted = outsideBands(wanted, heldBefore && *held_ > *heldBefore);
    // Past the curve's last point the fan goes to full speed at once: the
    // ramp and the rest between changes keep them gentle, never the die
    // hot. A raised minimum is someone's explicit wish: met at once too.
    if (target_ && *target_ < floor)
        target_ = floor;
    if (!target_ || overheat) {
        target_ = wanted;
        gliding_ = false;
        restingSince_ = now;
    } else if (wanted != *target_) {
        bool resting = !gliding_ && restingSince_ &&
                       std::chrono::duration<double>(now - *restingSince_).count() < tuning_.minInterval;
        if (!resting) {
            gliding_ = true;
            risingLast_ = wanted > *target_;
            if (wanted > *target_)
                target_ = std::min(wanted, *target_ + tuning_.rampUp * elapsed);
            else
                target_ = std::max(wanted, *target_ - tuning_.rampDown * elapsed);
        }
    }
    if (gliding_ && *target_ == wanted) {
        gliding_ = false;
        restingSince_ = now;
    }
    decision.target = *target_;
    decision.write = shouldWrite(*target_);
    return decision;
}

}  // namespace smcfand
