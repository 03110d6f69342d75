#include "bench/support/FanPlant.h"

#include "backends/emulated/EmulatedSMC.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

namespace bench {

using platform::LoadTrace;
using platform::NodeTemperatures;
using platform::ThermalParameters;

namespace {

bool readFile(const std::string& path, std::string& text)
{
    std::ifstream file(path);
    if (!file)
        return false;
    std::ostringstream all;
    all << file.rdbuf();
    text = all.str();
    return true;
}

// The fractions of their maximum speeds that give the fans a mean speed
// of `meanRpm` with the most airflow: with an airflow exponent below 1 the
// faster fan should run at the lower share (equal marginal airflow per rpm).
std::vector<double> cheapestFractions(const Plant& plant, double meanRpm)
{
    const std::vector<FanRange>& fans = plant.fans;
    double exponent = plant.thermal.airflowExponent, total = meanRpm * double(fans.size());
    auto fractionsAt = [&](double multiplier) {
        std::vector<double> fractions;
        for (const FanRange& fan : fans) {
            double share = exponent < 1 ? std::pow(multiplier * fan.maximum, 1 / (exponent - 1)) : multiplier;
            fractions.push_back(std::clamp(share, fan.minimum / fan.maximum, 1.0));
        }
        return fractions;
    };
    auto rpmOf = [&](const std::vector<double>& fractions) {
        double sum = 0;
        for (size_t i = 0; i < fans.size(); ++i)
            sum += fractions[i] * fans[i].maximum;
        return sum;
    };
    // Every fan's share rises with the multiplier's inverse (exponent < 1)
    // or with it (otherwise, equal shares): bisect on it in log space.
    double low = 1e-12, high = 1e12;
    for (int i = 0; i < 200; ++i) {
        double middle = std::sqrt(low * high);
        bool tooFast = rpmOf(fractionsAt(middle)) > total;
        if ((exponent < 1) == tooFast)
            low = middle;
        else
            high = middle;
    }
    return fractionsAt(std::sqrt(low * high));
}

double minimumMean(const Plant& plant)
{
    double sum = 0;
    for (const FanRange& fan : plant.fans)
        sum += fan.minimum;
    return sum / double(plant.fans.size());
}

double maximumMean(const Plant& plant)
{
    double sum = 0;
    for (const FanRange& fan : plant.fans)
        sum += fan.maximum;
    return sum / double(plant.fans.size());
}

// The die's highest value with constant fan fractions throughout, as the
// emulated SMC steps it.
double constantPeak(const Plant& plant, const LoadTrace& trace, double conductance)
{
    NodeTemperatures nodes = startNodes(plant, trace);
    double peak = nodes.die, seconds = traceSeconds(trace);
    for (int step = 0; step * kHeatStep < seconds - 1e-9; ++step) {
        nodes = platform::stepHeat(plant.thermal, nodes, trace.watts(step * kHeatStep), conductance, kHeatStep);
        peak = std::max(peak, nodes.die);
    }
    return peak;
}

double fractionsConductance(const Plant& plant, bool maximum)
{
    std::vector<double> fractions;
    for (const FanRange& fan : plant.fans)
        fractions.push_back(maximum ? 1 : fan.minimum / fan.maximum);
    return platform::airConductance(plant.thermal, fractions);
}

}  // namespace

std::optional<Plant> loadPlant(const std::string& path, std::string& error)
{
    Plant plant;
    if (path.empty()) {
        plant.profile = std::string(platform::builtinSMCProfile());
    } else if (!readFile(path, plant.profile)) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    std::vector<platform::SMCKeyEntry> keys;
    std::optional<ThermalParameters> thermal;
    if (std::optional<platform::ProfileError> failed = platform::parseSMCProfile(plant.profile, keys, &thermal)) {
        error = (path.empty() ? std::string("builtin") : path) + ":" + std::to_string(failed->line) + ": " +
                failed->problem;
        return std::nullopt;
    }
    plant.thermal = thermal.value_or(ThermalParameters{});
    auto speedOf = [&](int fan, const char* suffix) -> std::optional<double> {
        std::string name = "F" + std::to_string(fan) + suffix;
        for (const platform::SMCKeyEntry& entry : keys)
            if (entry.key == encodings::fourCharCode(name))
                return encodings::decode(entry.type, entry.bytes.data(), entry.size);
        return std::nullopt;
    };
    for (int fan = 0; fan < 10; ++fan) {
        std::optional<double> minimum = speedOf(fan, "Mn"), maximum = speedOf(fan, "Mx");
        if (minimum && maximum && *maximum > 0 && *minimum <= *maximum)
            plant.fans.push_back({*minimum, *maximum});
    }
    if (plant.fans.empty()) {
        error = (path.empty() ? std::string("builtin") : path) + ": no fan with F<n>Mn and F<n>Mx";
        return std::nullopt;
    }
    return plant;
}

bool loadTrace(const std::string& path, LoadTrace& trace, std::string& text, std::string& error)
{
    if (!readFile(path, text)) {
        error = path + ": cannot be read";
        return false;
    }
    if (!platform::parseLoadTrace(text, trace, error)) {
        error = path + ":" + error;
        return false;
    }
    return true;
}

NodeTemperatures startNodes(const Plant& plant, const LoadTrace& trace)
{
    const ThermalParameters& thermal = plant.thermal;
    double first = trace.points.front().watts, drop = first * thermal.dieToHeatsink;
    NodeTemperatures nodes = platform::steadyHeat(thermal, first, fractionsConductance(plant, false));
    if (trace.startDie || trace.startHeatsink) {
        nodes.die = trace.startDie.value_or(*trace.startHeatsink + drop);
        nodes.heatsink = trace.startHeatsink.value_or(*trace.startDie - drop);
    }
    return nodes;
}

double traceSeconds(const LoadTrace& trace)
{
    return std::round(trace.points.back().seconds);
}

std::vector<double> replayDie(const Plant& plant, const LoadTrace& trace, double seconds,
                              const std::function<std::vector<double>(double seconds)>& fans)
{
    NodeTemperatures nodes = startNodes(plant, trace);
    std::vector<double> die{nodes.die};
    for (int step = 0; step * kHeatStep < seconds - 1e-9; ++step) {
        double at = step * kHeatStep;
        std::vector<double> rpm = fans(at), fractions;
        for (size_t i = 0; i < plant.fans.size(); ++i)
            fractions.push_back(i < rpm.size() ? rpm[i] / plant.fans[i].maximum : 0);
        nodes = platform::stepHeat(plant.thermal, nodes, trace.watts(at),
                                   platform::airConductance(plant.thermal, fractions), kHeatStep);
        die.push_back(nodes.die);
    }
    return die;
}

double Frontier::at(double peak) const
{
    if (points.empty())
        return std::nan("");
    if (peak <= points.front().peak)
        return points.front().meanRpm;
    for (size_t i = 1; i < points.size(); ++i) {
        const Point &low = points[i - 1], &high = points[i];
        if (peak <= high.peak)
            return low.meanRpm + (high.meanRpm - low.meanRpm) * (peak - low.peak) / (high.peak - low.peak);
    }
    return points.back().meanRpm;
}

// The dynamic programme. State: the heatsink and the die's height above it
// (never below: the load only heats the die), on a grid; decision: one
// mean fan speed held for `grid.decision` seconds, each a level of the
// speed range with the fans split for the most airflow; cost: that mean
// speed for that time. Backward from the trace's end, the cost-to-go
// between grid points interpolated bilinearly; then forward from the
// trace's start, the schedule that the tables choose is run through the
// model in its own 50 ms steps, and what that schedule really does (its
// peak at every step, its mean speed) is the answer.
//
// So every answer is a schedule the emulated SMC would follow, its peak
// measured, never a value of the grid: the optimum is never lower than
// the truth, and a controller's ratio to it can only be flattered by what
// the programme misses. What it could miss, kept small: the fans reach
// any level at once (no 1000 rpm/s slew, which favours the schedule); the
// levels are ~150 rpm apart; the grid's interpolation (0.5 °C) steers it
// slightly off the best schedule, which the forward run then pays for.
std::optional<Schedule> optimumAt(const Plant& plant, const LoadTrace& trace, double peak, const OptimumGrid& grid)
{
    const ThermalParameters& thermal = plant.thermal;
    const double seconds = traceSeconds(trace);
    const int substeps = std::max(1, int(std::lround(grid.decision / kHeatStep)));
    const int decisions = int(std::ceil(seconds / (substeps * kHeatStep) - 1e-9));
    const int levels = std::max(2, grid.levels);
    const double lowMean = minimumMean(plant), highMean = maximumMean(plant);

    // Per level: its cost, and the linear part of the decision's map of
    // (heatsink, die), which does not depend on the load.
    struct Level {
        double rpm, conductance;
        double a[2][2];  // die' = a[0]·(die, heatsink), heatsink' = a[1]·(...)
    };
    std::vector<Level> level(levels);
    for (int k = 0; k < levels; ++k) {
        double rpm = lowMean + (highMean - lowMean) * k / (levels - 1);
        level[k].rpm = rpm;
        level[k].conductance = platform::airConductance(thermal, cheapestFractions(plant, rpm));
        auto run = [&](NodeTemperatures nodes, double ambient) {
            ThermalParameters cold = thermal;
            cold.ambient = ambient;
            for (int s = 0; s < substeps; ++s)
                nodes = platform::stepHeat(cold, nodes, 0, level[k].conductance, kHeatStep);
            return nodes;
        };
        NodeTemperatures die = run({1, 0}, 0), sink = run({0, 1}, 0);
        level[k].a[0][0] = die.die, level[k].a[0][1] = sink.die;
        level[k].a[1][0] = die.heatsink, level[k].a[1][1] = sink.heatsink;
    }
    // The load's and the ambient's part, per decision and level.
    std::vector<NodeTemperatures> offset(size_t(decisions) * levels);
    for (int t = 0; t < decisions; ++t)
        for (int k = 0; k < levels; ++k) {
            NodeTemperatures nodes{0, 0};
            for (int s = 0; s < substeps; ++s)
                nodes = platform::stepHeat(thermal, nodes, trace.watts((t * substeps + s) * kHeatStep),
                                           level[k].conductance, kHeatStep);
            offset[size_t(t) * levels + k] = nodes;
        }

    const NodeTemperatures start = startNodes(plant, trace);
    if (start.die > peak)
        return std::nullopt;
    double highestWatts = 0;
    for (const LoadTrace::Point& point : trace.points)
        highestWatts = std::max(highestWatts, point.watts);
    const double gapTop = std::max(start.die - start.heatsink, highestWatts * thermal.dieToHeatsink) + grid.gap;
    const int sinks = int(std::ceil((peak - thermal.ambient) / grid.heatsink)) + 1;
    const int gaps = int(std::ceil(gapTop / grid.gap)) + 1;
    const size_t cells = size_t(sinks) * gaps;
    constexpr float kNever = std::numeric_limits<float>::infinity();
    // Every decision's table, for the forward run; the last is the end's.
    std::vector<float> tables(cells * size_t(decisions + 1), 0);
    for (int i = 0; i < sinks; ++i)
        for (int j = 0; j < gaps; ++j)
            if (thermal.ambient + i * grid.heatsink + j * grid.gap > peak)
                tables[size_t(decisions) * cells + size_t(i) * gaps + j] = kNever;

    auto costToGo = [&](const float* value, double heatsink, double gap) -> float {
        double x = (heatsink - thermal.ambient) / grid.heatsink, y = std::max(gap, 0.0) / grid.gap;
        x = std::clamp(x, 0.0, double(sinks - 1)), y = std::min(y, double(gaps - 1));
        int i = std::min(int(x), sinks - 2), j = std::min(int(y), gaps - 2);
        double u = x - i, v = y - j;
        const float* row = &value[size_t(i) * gaps + j];
        float corner[4] = {row[0], row[1], row[gaps], row[gaps + 1]};
        // Corners that cannot keep the peak leave the others' weighted
        // mean, while those carry at least half the weight: the edge is
        // placed to within half a cell. The forward run measures where the
        // schedule really goes, so this steers, it never decides a result.
        double weight[4] = {(1 - u) * (1 - v), (1 - u) * v, u * (1 - v), u * v}, sum = 0, kept = 0;
        for (int c = 0; c < 4; ++c)
            if (!std::isinf(corner[c]))
                sum += weight[c] * corner[c], kept += weight[c];
        return kept < 0.5 ? kNever : float(sum / kept);
    };
    auto next = [&](const Level& l, const NodeTemperatures& load, double die, double heatsink) {
        return NodeTemperatures{l.a[0][0] * die + l.a[0][1] * heatsink + load.die,
                                l.a[1][0] * die + l.a[1][1] * heatsink + load.heatsink};
    };

    const double hold = substeps * kHeatStep;
    for (int t = decisions - 1; t >= 0; --t) {
        const NodeTemperatures* load = &offset[size_t(t) * levels];
        const float* after = &tables[size_t(t + 1) * cells];
        float* now = &tables[size_t(t) * cells];
        for (int i = 0; i < sinks; ++i) {
            double heatsink = thermal.ambient + i * grid.heatsink;
            for (int j = 0; j < gaps; ++j) {
                double die = heatsink + j * grid.gap;
                float best = kNever;
                if (die <= peak) {
                    for (int k = 0; k < levels; ++k) {
                        NodeTemperatures to = next(level[k], load[k], die, heatsink);
                        if (to.die > peak)
                            continue;
                        best = std::min(best, float(level[k].rpm * hold) +
                                                  costToGo(after, to.heatsink, to.die - to.heatsink));
                    }
                }
                now[size_t(i) * gaps + j] = best;
            }
        }
    }
    // Forward: at each decision the level the tables choose from where the
    // model really is, run in 50 ms steps. Where no level is left that the
    // tables deem able, full speed: the schedule then shows what it costs.
    NodeTemperatures nodes = start;
    Schedule schedule{start.die, 0};
    for (int t = 0; t < decisions; ++t) {
        const NodeTemperatures* load = &offset[size_t(t) * levels];
        const float* after = &tables[size_t(t + 1) * cells];
        int chosen = levels - 1;
        float best = kNever;
        for (int k = 0; k < levels; ++k) {
            NodeTemperatures to = next(level[k], load[k], nodes.die, nodes.heatsink);
            float value = float(level[k].rpm * hold) + costToGo(after, to.heatsink, to.die - to.heatsink);
            if (value < best)
                best = value, chosen = k;
        }
        for (int s = 0; s < substeps; ++s) {
            nodes = platform::stepHeat(thermal, nodes, trace.watts((t * substeps + s) * kHeatStep),
                                       level[chosen].conductance, kHeatStep);
            schedule.peak = std::max(schedule.peak, nodes.die);
        }
        schedule.meanRpm += level[chosen].rpm / decisions;
    }
    if (std::isinf(costToGo(tables.data(), start.heatsink, start.die - start.heatsink)))
        return std::nullopt;
    return schedule;
}

Frontier optimumFrontier(const Plant& plant, const LoadTrace& trace, const OptimumGrid& grid)
{
    Frontier frontier;
    frontier.lowestPeak = constantPeak(plant, trace, fractionsConductance(plant, true));
    frontier.restingPeak = constantPeak(plant, trace, fractionsConductance(plant, false));
    // Schedules aimed at every half degree, and closely just above the
    // lowest peak; each lands at its own measured peak. The frontier is
    // their lower envelope, with full speed throughout as its first point
    // and the fans at rest as its last.
    std::vector<Frontier::Point> found{{frontier.lowestPeak, maximumMean(plant)},
                                       {frontier.restingPeak, minimumMean(plant)}};
    const double top = std::min(frontier.restingPeak, kHighestPeakOfInterest);
    std::vector<double> aims;
    // Just above the lowest peak the frontier is steepest: aimed at closely.
    for (double above : {0.05, 0.15, 0.3, 0.5, 0.75})
        aims.push_back(frontier.lowestPeak + above);
    for (double aim = std::floor(frontier.lowestPeak) + 1; aim < top + 1; aim += 0.5)
        aims.push_back(aim);
    for (double aim : aims)
        if (std::optional<Schedule> schedule = optimumAt(plant, trace, aim, grid))
            found.push_back({schedule->peak, schedule->meanRpm});
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.peak < b.peak; });
    for (const Frontier::Point& point : found)
        if (frontier.points.empty() || point.meanRpm < frontier.points.back().meanRpm)
            frontier.points.push_back(point);
    return frontier;
}

std::optional<Frontier> readFrontier(const std::string& path, std::string& error)
{
    std::string text;
    if (!readFile(path, text)) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    Frontier frontier;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        double peak, mean;
        char comma;
        std::istringstream fields(line);
        if (fields >> peak >> comma >> mean && comma == ',')
            frontier.points.push_back({peak, mean});
    }
    if (frontier.points.empty()) {
        error = path + ": no line \"peak_c,mean_rpm\"";
        return std::nullopt;
    }
    frontier.lowestPeak = frontier.points.front().peak;
    frontier.restingPeak = frontier.points.back().peak;
    return frontier;
}

}  // namespace bench
