// smcfand's decisions, free of any SMC or clock: a fan's curve, and the
// controller that turns timed sensor readings into the targets to write.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smcfand {

using Clock = std::chrono::steady_clock;

// Readings outside this range are absent or broken sensors (-127, +249,
// +255.8 on real machines), never a temperature.
inline constexpr double kLowestPlausible = 0;
inline constexpr double kHighestPlausible = 130;

// What a curve follows: temperatures, or on machines without a CPU die
// temperature the power the SoC turns into heat. Every reading, curve point
// and hysteresis of a fan is in its unit; the fields named `celsius` hold
// watts for a watt curve.
enum class Unit { Celsius, Watts };
// "°C", "W".
const char* unitText(Unit unit);
// The range of plausible readings in `unit`. No machine with these keys
// draws a kilowatt; a power sensor's offset reads a few watts below zero at
// rest, which is no power rather than a broken sensor.
double lowestPlausible(Unit unit);
double highestPlausible(Unit unit);

// Power moves in steps that the heatsink evens out over tens of seconds: a
// watt curve averages over at least this many seconds, so that a burst of a
// second does not spin the fans up and down.
inline constexpr double kPowerSmoothing = 10;

struct CurvePoint {
    double celsius;
    double rpm;
};

// Points in °C (or W) and rpm, linear between them and flat beyond the ends.
class Curve {
public:
    Curve() = default;
    // `points` in rising temperature, at least one.
    explicit Curve(std::vector<CurvePoint> points) : points_(std::move(points)) {}

    // The speed at `celsius`.
    double at(double celsius) const;
    const std::vector<CurvePoint>& points() const { return points_; }

private:
    std::vector<CurvePoint> points_;
};

// Named sets of the tuning and the default curve's shape. Every one
// reaches full speed by the same temperature or sooner: how hot the die may
// get is not a matter of taste.
enum class Profile { Quiet, Balanced, Performance };

// "quiet", "balanced", "performance"; nothing for another word.
std::optional<Profile> profileNamed(std::string_view name);
const char* profileName(Profile profile);

// The default curve of `profile` for a fan that runs from `minimum` to
// `maximum` rpm.
Curve defaultCurve(double minimum, double maximum, Profile profile = Profile::Balanced);

// The default watt curve of `profile` over the power key `key`: the heat
// pipe's ("PHPC", a laptop's SoC) or else the whole system's ("PSTR").
Curve defaultPowerCurve(const std::string& key, double minimum, double maximum, Profile profile = Profile::Balanced);

// A range of speeds the fan must not rest in (a resonance), low < high.
struct Band {
    double low, high;
};

// How eagerly a fan follows its curve. The defaults are the program's.
struct Tuning {
    double poll = 0.5;         // seconds between readings
    double smoothing = 1;      // time constant of the readings' average, seconds
    double hysteresis = 1;     // °C a temperature must fall before the speed does
    // The target glides, by less than the 100 rpm in half a second that
    // people hear as a step; past the curve's last point it goes to full
    // speed at once.
    double rampUp = 190;       // rpm per second at most, rising
    double rampDown = 190;     // rpm per second at most, falling
    double step = 50;          // rpm: smaller changes are not written
    // Seconds the target rests after a change before the next one begins;
    // a glide is one change. Overheat and lost sensors do not wait.
    double minInterval = 0;
    std::vector<Band> avoid;   // sorted, not overlapping
};

// The tuning of `profile`; Balanced is Tuning{}.
Tuning profileTuning(Profile profile);

enum class Combine { Max, Mean };

// One sensor's reading: degrees, or the reason there are none.
struct Reading {
    std::optional<double> celsius;
    std::string error;  // why it could not be read, when it could not
};

// What one poll decided for a fan.
struct Decision {
    std::optional<double> celsius;  // the smoothed temperature; none when every sensor is lost
    double target = 0;              // the speed the fan should have now
    bool write = false;             // whether `target` differs enough from the last written one
    std::vector<std::string> notes; // changes worth a log line: sensors lost or back
};

// One fan's controller. It smooths the combined plausible readings with an
// average over time, keeps the temperature the curve is read at from
// falling until the reading is `hysteresis` below it (so a fan that sped up
// for 70 °C slows only below 67 °C, and then for the reading + 3 °C),
// limits how fast the target moves, and asks for a write only when the
// target moved by `step` from the last one written or reached the curve's
// lowest or highest speed. A target that falls in a band to avoid rests at
// one of its edges: the upper one while the temperature rises or stands on
// the curve's steepest part, or when the target is already above the band;
// else the lower one. Time comes only from the arguments.
class FanController {
public:
    // `sensors` names the readings that poll() is given, in order; the
    // curve's speeds are clamped to `minimum`..`maximum`.
    FanController(std::vector<std::string> sensors, Combine combine, Curve curve, double minimum, double maximum,
                  Tuning tuning, Unit unit = Unit::Celsius);

    // Decides the target at `now` from one reading per sensor. The first
    // poll (and the first after every sensor came back) takes the curve's
    // value at once; every sensor lost takes the fan's maximum at once.
    Decision poll(Clock::time_point now, const std::vector<Reading>& readings);

    // Records that `rpm` was written; until then, poll() keeps asking.
    void written(double rpm) { written_ = rpm; }
    // Forgets what was written, so that the next poll writes again (the fan
    // was changed by another, or the connection is new).
    void forgetWritten() { written_.reset(); }
    // The fan's minimum as the SMC holds it now: from the next poll no
    // target lies below it (nor below `minimum`), up to `maximum`. A person
    // who raises it (smcfan set N min RPM) raises the fan at once.
    void setFanMinimum(double rpm) { fanMinimum_ = rpm; }
    // Carries on from `before` (a configuration read again): its target is
    // where glides start, what it wrote stays written, and its rest goes on.
    void continueFrom(const FanController& before);

    const std::vector<std::string>& sensors() const { return sensors_; }
    Combine combine() const { return combine_; }
    Unit unit() const { return unit_; }
    const Curve& curve() const { return curve_; }
    double minimum() const { return minimum_; }
    double maximum() const { return maximum_; }

private:
    std::vector<std::string> sensors_;
    Combine combine_;
    Curve curve_;
    double minimum_, maximum_;
    double fanMinimum_ = 0;
    Tuning tuning_;
    Unit unit_;
    std::vector<bool> lost_;  // per sensor: reported lost
    bool allLost_ = false;
    double steepFrom_;  // °C where the curve's steepest segment begins
    std::optional<Clock::time_point> last_, restingSince_;
    bool gliding_ = false;
    bool risingLast_ = false;  // the last glide went up
    std::optional<double> smoothed_, held_, target_, written_;

    // Where the target rests for the curve's `wanted` speed: outside every
    // band. `rising` says the temperature rose this poll.
    double outsideBands(double wanted, bool rising) const;
};

// "58.5", a temperature as the log shows it.
std::string degrees(double celsius);

}  // namespace smcfand
