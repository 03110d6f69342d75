// The emulated controller's answers to the four commands of the call record.
#include "backends/emulated/EmulatedSMC.h"

#include "backends/CallRecord.h"
#include "SleepClock.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

namespace {

class EmulatedConnection final : public SMCConnection, public SMCKeyLabels {
public:
    explicit EmulatedConnection(std::shared_ptr<EmulatedSMC> smc) : smc_(std::move(smc)) {}
    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize) override
    {
        return smc_->call(selector, input, inputSize, output, outputSize);
    }
    // Labels only where the machine describes its sensors.
    void* findCapability(SMCCapability which) override
    {
        return smc_->capability<SMCDevicetree>() ? offer<SMCKeyLabels>(which, this) : nullptr;
    }
    kern_return_t keyLabel(FourCharCode key, std::string& label) override { return smc_->keyLabel(key, label); }

private:
    std::shared_ptr<EmulatedSMC> smc_;
};

}  // namespace

EmulatedSMC::EmulatedSMC(std::vector<SMCKeyEntry> keys, std::optional<SMCSensorTree> devicetree)
    : entries_(std::move(keys)), devicetree_(std::move(devicetree))
{
    constexpr FourCharCode countKey = fourCharCode("#KEY");
    bool hasCount = false;
    for (const SMCKeyEntry& entry : entries_)
        hasCount = hasCount || entry.key == countKey;
    if (!hasCount) {
        SMCKeyEntry count{.key = countKey, .type = fourCharCode("ui32"), .size = 4};
        encodings::encode(count.type, count.size, double(entries_.size() + 1), count.bytes.data());
        entries_.insert(entries_.begin(), count);
    }
    positions_.reserve(entries_.size());
    for (uint32_t i = 0; i < entries_.size(); ++i)
        positions_.emplace(entries_[i].key, i);
    seedFans();
    rememberFirmware();
}

kern_return_t EmulatedSMC::open(std::unique_ptr<SMCConnection>& connection)
{
    connection = std::make_unique<EmulatedConnection>(shared_from_this());
    return KERN_SUCCESS;
}

kern_return_t EmulatedSMC::keyLabel(FourCharCode key, std::string& label) const
{
    if (devicetree_)
        for (const SMCSensorNode& node : devicetree_->nodes)
            if (node.key == key && node.label) {
                label = *node.label;
                return KERN_SUCCESS;
            }
    return kIOReturnNotFound;
}

SMCKeyEntry* EmulatedSMC::find(FourCharCode code)
{
    auto found = positions_.find(code);
    return found == positions_.end() ? nullptr : &entries_[found->second];
}

kern_return_t EmulatedSMC::call(uint32_t selector, const void* input, size_t inputSize,
                                void* output, size_t* outputSize)
{
    if (!isRecordCall(selector, inputSize, *outputSize))
        return kIOReturnBadArgument;
    CallRecord request;
    std::memcpy(&request, input, sizeof request);
    CallRecord reply{};
    kern_return_t status;
    {
        std::lock_guard lock(mutex_);
        status = execute(request, reply);
    }
    // A failed call leaves the caller's output as it was, as the kernel does.
    if (status == KERN_SUCCESS)
        std::memcpy(output, &reply, sizeof reply);
    return status;
}

kern_return_t EmulatedSMC::execute(const CallRecord& request, CallRecord& reply)
{
    if (request.command == kKeyAtIndex) {
        if (request.index >= entries_.size())
            return kIOReturnBadArgument;
        const SMCKeyEntry& entry = entries_[request.index];
        if (kern_return_t failure = entry.failure(SMCExchangeKind::KeyAtIndex))
            return failure;
        reply.key = entry.key;
        return KERN_SUCCESS;
    }

    reply.key = request.key;
    SMCKeyEntry* entry = find(request.key);
    switch (request.command) {
    case kKeyInfo:
        // An unknown key is answered with size 0: callers test the size.
        if (entry == nullptr)
            return KERN_SUCCESS;
        if (kern_return_t failure = entry->failure(SMCExchangeKind::KeyInfo))
            return failure;
        reply.dataSize = entry->size;
        reply.dataType = entry->type;
        return KERN_SUCCESS;
    case kReadKey:
        if (entry == nullptr)
            return KERN_SUCCESS;
        if (kern_return_t failure = entry->failure(SMCExchangeKind::Read))
            return failure;
        if (request.dataSize != entry->size)
            return kIOReturnBadArgument;
        advance();
        if (const LoadTrace::Fault* fault = thermal_ ? load_.fault(entry->key, loadSeconds_) : nullptr;
            fault && fault->fails)
            return kIOReturnNotResponding;  // as a sensor that stopped answering
        std::memcpy(reply.bytes, entry->bytes.data(), entry->size);
        return KERN_SUCCESS;
    case kWriteKey:
        if (entry == nullptr)
            return kIOReturnNotFound;
        if (kern_return_t failure = entry->failure(SMCExchangeKind::Write))
            return failure;
        if (!entry->writable)
            return kIOReturnNotWritable;
        if (request.dataSize != entry->size)
            return kIOReturnBadArgument;
        // The time until now went by under the old value.
        advance();
        std::memcpy(entry->bytes.data(), request.bytes, entry->size);
        return KERN_SUCCESS;
    default:
        return kIOReturnBadArgument;
    }
}

bool EmulatedSMC::injectFailure(FourCharCode key, SMCExchangeKind kind, kern_return_t status)
{
    std::lock_guard lock(mutex_);
    SMCKeyEntry* entry = find(key);
    if (entry == nullptr)
        return false;
    entry->failure(kind) = status;
    return true;
}

bool EmulatedSMC::setValue(FourCharCode key, const uint8_t* bytes, size_t size)
{
    std::lock_guard lock(mutex_);
    SMCKeyEntry* entry = find(key);
    if (entry == nullptr || entry->size != size)
        return false;
    advance();
    std::memcpy(entry->bytes.data(), bytes, size);
    return true;
}

namespace {

// A fan number from a key "F<n>xx", or -1.
int fanOf(FourCharCode key, std::string_view suffix)
{
    std::string text = fourCharText(key);
    if (text[0] != 'F' || text[1] < '0' || text[1] > '9' || text.substr(2) != suffix)
        return -1;
    return text[1] - '0';
}

// A fan speed as the fan keys hold it: unsigned fpe2, or a T2 machine's
// little-endian float; nothing for another type.
std::optional<double> speed(const SMCKeyEntry& entry)
{
    if (entry.type != fourCharCode("fpe2") && entry.type != fourCharCode("flt "))
        return std::nullopt;
    std::optional<double> rpm = encodings::decode(entry.type, entry.bytes.data(), entry.size);
    if (!rpm || !std::isfinite(*rpm))
        return std::nullopt;
    return *rpm;
}

void setSpeed(SMCKeyEntry& entry, double rpm)
{
    encodings::encode(entry.type, entry.size, rpm, entry.bytes.data(), encodings::Fit::Clamp);
}

// A key's value as a temperature, for the types the model can write.
std::optional<double> temperature(const SMCKeyEntry& entry)
{
    uint8_t probe[4];
    if (!encodeTemperature(entry.type, entry.size, 0, probe))
        return std::nullopt;
    std::optional<double> celsius = encodings::decode(entry.type, entry.bytes.data(), entry.size);
    if (!celsius || !std::isfinite(*celsius))
        return std::nullopt;
    return *celsius;
}

constexpr double kStepSeconds = 0.05;
// A trace given within the model's first second starts it afresh: smcd
// gives its trace a moment after it switched the model on.
constexpr double kFreshSeconds = 1;

}  // namespace

std::chrono::steady_clock::time_point EmulatedSMC::now() const
{
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void EmulatedSMC::setFanModel(double rpmPerSecond)
{
    std::lock_guard lock(mutex_);
    advance();
    fanRate_ = std::max(rpmPerSecond, 0.0);
    seedFans();
}

void EmulatedSMC::seedFans()
{
    // Fans start moving from where they stand now, not from their first read.
    movingFans_.clear();
    modelAt_ = now();
    for (uint32_t i = 0; i < entries_.size(); ++i) {
        int fan = fanOf(entries_[i].key, "Ac");
        if (std::optional<double> rpm = speed(entries_[i]); fan >= 0 && rpm)
            movingFans_.push_back({fan, i, *rpm});
    }
}

void EmulatedSMC::rememberFirmware()
{
    for (uint32_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].key == fourCharCode("FS! ") || fanOf(entries_[i].key, "Md") >= 0 ||
            fanOf(entries_[i].key, "Tg") >= 0)
            firmware_.emplace_back(i, entries_[i]);
}

void EmulatedSMC::sleepFor(double seconds)
{
    for (const auto& [position, entry] : firmware_)
        entries_[position].bytes = entry.bytes;
    if (fanRate_ > 0)
        for (MovingFan& fan : movingFans_)
            fan.rpm = 0;
    // Unloaded and in still air; long sleeps in longer steps, which the
    // implicit step takes as well.
    double step = std::max(kStepSeconds, seconds / 10'000);
    for (double left = seconds; left > 1e-9; left -= step)
        nodes_ = stepHeat(*thermal_, nodes_, 0, airConductance(*thermal_, {}), std::min(step, left));
    playSleep(seconds);
}

void EmulatedSMC::setFanModelClock(Clock clock)
{
    std::lock_guard lock(mutex_);
    clock_ = std::move(clock);
    seedFans();
}

double EmulatedSMC::fanGoal(int fan)
{
    auto fanKey = [fan](char a, char b) { return fourCharCode(std::string{'F', char('0' + fan), a, b}); };
    const SMCKeyEntry* forced = find(fourCharCode("FS! "));
    const SMCKeyEntry* mode = find(fanKey('M', 'd'));
    bool manual = (forced && forced->size >= 2 && encodings::unsignedFromBytes(forced->bytes.data(), 2) >> fan & 1) ||
                  (mode && mode->size >= 1 && mode->bytes[0] != 0);
    const SMCKeyEntry* target = find(fanKey('T', 'g'));
    const SMCKeyEntry* minimum = find(fanKey('M', 'n'));
    const SMCKeyEntry* maximum = find(fanKey('M', 'x'));
    std::optional<double> goal = manual ? (target ? speed(*target) : std::nullopt)
                                        : (minimum ? speed(*minimum) : std::nullopt);
    std::optional<double> top = maximum ? speed(*maximum) : std::nullopt;
    if (!manual && thermal_ && goal && top) {
        // The firmware's curve: conservative, the minimum until the die is warm.
        double span = std::max(thermal_->curveHigh - thermal_->curveLow, 1e-9);
        double share = std::clamp((nodes_.die - thermal_->curveLow) / span, 0.0, 1.0);
        goal = *goal + share * std::max(*top - *goal, 0.0);
    }
    return goal.value_or(-1);
}

void EmulatedSMC::moveFans(double seconds)
{
    double step = fanRate_ * seconds;
    for (MovingFan& fan : movingFans_) {
        double goal = fanGoal(fan.number);
        if (goal < 0)
            continue;  // no goal to go to: the fan stays
        fan.rpm = goal > fan.rpm ? std::min(goal, fan.rpm + step) : std::max(goal, fan.rpm - step);
    }
}

std::vector<double> EmulatedSMC::fanFractions(bool atMinimum)
{
    std::vector<double> fractions;
    for (const MovingFan& fan : movingFans_) {
        auto fanKey = [&fan](char a, char b) { return fourCharCode(std::string{'F', char('0' + fan.number), a, b}); };
        // Without the fan model the profile's speed stands, whatever was set.
        std::optional<double> rpm = fanRate_ > 0 ? fan.rpm : speed(entries_[fan.position]);
        const SMCKeyEntry* minimum = find(fanKey('M', 'n'));
        const SMCKeyEntry* maximum = find(fanKey('M', 'x'));
        double top = maximum ? speed(*maximum).value_or(0) : 0;
        if (atMinimum && minimum && speed(*minimum))
            rpm = speed(*minimum);
        fractions.push_back(top > 0 ? rpm.value_or(0) / top : 0);
    }
    return fractions;
}

void EmulatedSMC::advance()
{
    if (fanRate_ <= 0 && !thermal_)
        return;
    auto at = now();
    double seconds = std::chrono::duration<double>(at - modelAt_).count();
    if (seconds <= 0)
        return;
    modelAt_ = at;
    // Fans and heat go together, airflow following the fans' speeds as
    // they change. Heat moves in whole steps only, the rest of a step
    // waiting for the next call: so a reader's pace changes nothing, and
    // a reader asking thousands of times a second costs the model nothing.
    bool heated = false;
    while (seconds > 1e-9) {
        double step = std::min(kStepSeconds - heatWaiting_, seconds);
        seconds -= step;
        if (fanRate_ > 0)
            moveFans(step);
        if (!thermal_)
            continue;
        heatWaiting_ += step;
        if (heatWaiting_ < kStepSeconds - 1e-9)
            continue;
        heatWaiting_ = 0;
        double conductance = airConductance(*thermal_, fanFractions(false));
        nodes_ = stepHeat(*thermal_, nodes_, load_.watts(loadSeconds_), conductance, kStepSeconds);
        loadSeconds_ += kStepSeconds;
        modelSeconds_ += kStepSeconds;
        heated = true;
        for (; nextSuspend_ < load_.suspends.size() && load_.suspends[nextSuspend_].seconds <= loadSeconds_ + 1e-9;
             ++nextSuspend_)
            sleepFor(load_.suspends[nextSuspend_].duration);
    }
    for (const MovingFan& fan : movingFans_)
        if (fanRate_ > 0)
            setSpeed(entries_[fan.position], fan.rpm);
    if (heated)
        showTemperatures();
}

void EmulatedSMC::showTemperatures()
{
    // The noise changes with the model's time, not with how often it is read.
    auto step = uint64_t(modelSeconds_ / kStepSeconds);
    for (const auto& [position, place] : sensors_) {
        SMCKeyEntry& entry = entries_[position];
        double node = place.ambient ? thermal_->ambient
                                    : place.dieWeight * nodes_.die + (1 - place.dieWeight) * nodes_.heatsink;
        double celsius = node + place.offset + sensorNoise(entry.key, step, thermal_->noise);
        encodeTemperature(entry.type, entry.size, celsius, entry.bytes.data());
    }
    // The CPU draws the load now: its power keys lead the temperatures.
    for (const auto& [position, share, rest] : powers_) {
        SMCKeyEntry& entry = entries_[position];
        double watts = share * load_.watts(loadSeconds_) + rest + sensorNoise(entry.key, step, thermal_->noise);
        encodings::encode(entry.type, entry.size, std::max(watts, 0.0), entry.bytes.data(), encodings::Fit::Clamp);
    }
    for (const LoadTrace::Fault& fault : load_.faults)
        if (SMCKeyEntry* entry = find(fault.key); entry && !fault.fails && load_.fault(fault.key, loadSeconds_) == &fault)
            encodeTemperature(entry->type, entry->size, fault.celsius, entry->bytes.data());
}

bool EmulatedSMC::setThermalModel(ThermalParameters parameters)
{
    std::lock_guard lock(mutex_);
    std::vector<std::pair<uint32_t, SensorPlace>> sensors;
    for (const auto& [key, place] : parameters.sensors) {
        auto found = positions_.find(key);
        if (found == positions_.end() || !temperature(entries_[found->second]))
            return false;
        sensors.emplace_back(found->second, place);
    }
    if (parameters.sensors.empty()) {
        for (uint32_t i = 0; i < entries_.size(); ++i) {
            // Absent sensors (-127, 0) and limits (100) keep their values.
            std::optional<double> value = temperature(entries_[i]);
            std::optional<SensorPlace> place = defaultSensorPlace(entries_[i].key);
            if (value && place && *value > 0 && *value < 90)
                sensors.emplace_back(i, *place);
        }
    }
    // Where the SMC measures the CPU's package, the load is the CPU's and
    // the system's power stays; without (Apple Silicon) it is the SoC's.
    bool package = positions_.contains(fourCharCode("PCPC")) || positions_.contains(fourCharCode("PCPT"));
    std::vector<PowerKey> powers;
    for (uint32_t i = 0; i < entries_.size(); ++i) {
        uint8_t probe[32];
        std::optional<double> share = cpuPowerShare(entries_[i].key);
        if (!share || !encodings::encode(entries_[i].type, entries_[i].size, 0, probe) ||
            (package && entries_[i].key == fourCharCode("PSTR")))
            continue;
        // The whole system's power is the load and what the profile gives
        // it above the idle load: the display, the storage, the rest.
        double rest = 0;
        if (entries_[i].key == fourCharCode("PSTR"))
            if (std::optional<double> given = encodings::decode(entries_[i].type, entries_[i].bytes.data(),
                                                                entries_[i].size);
                given && std::isfinite(*given))
                rest = std::max(*given - parameters.idle, 0.0);
        powers.push_back({i, *share, rest});
    }
    advance();
    sensors_ = std::move(sensors);
    powers_ = std::move(powers);
    thermal_ = std::move(parameters);
    load_ = {.points = {{0, thermal_->idle}}};
    loadSeconds_ = 0;
    nextSuspend_ = 0;
    modelSeconds_ = 0;
    heatWaiting_ = 0;
    modelAt_ = now();
    nodes_ = steadyHeat(*thermal_, thermal_->idle, airConductance(*thermal_, fanFractions(true)));
    showTemperatures();
    return true;
}

std::optional<ThermalParameters> EmulatedSMC::thermalModel() const
{
    std::lock_guard lock(mutex_);
    return thermal_;
}

void EmulatedSMC::stopThermalModel()
{
    std::lock_guard lock(mutex_);
    advance();
    thermal_.reset();
    sensors_.clear();
    powers_.clear();
    load_ = {};
}

void EmulatedSMC::setLoad(double watts)
{
    std::lock_guard lock(mutex_);
    advance();
    load_ = {.points = {{0, std::max(watts, 0.0)}}};
    loadSeconds_ = 0;
    nextSuspend_ = 0;
}

bool EmulatedSMC::setLoadTrace(std::string_view text, std::string& error)
{
    LoadTrace trace;
    if (!parseLoadTrace(text, trace, error))
        return false;
    std::lock_guard lock(mutex_);
    for (const LoadTrace::Fault& fault : trace.faults) {
        const SMCKeyEntry* entry = find(fault.key);
        if (entry == nullptr || (!fault.fails && !temperature(*entry))) {
            error = std::to_string(fault.line) + ": " +
                    (entry ? "key \"" + fourCharText(fault.key) + "\" cannot hold a temperature"
                           : "no key \"" + fourCharText(fault.key) + "\" in this SMC");
            return false;
        }
    }
    if (!thermal_) {
        error = "1: the thermal model is off";
        return false;
    }
    advance();
    // A node the trace does not start stands where the first load's
    // steady state puts it next to the other: a hot die, a hot heatsink.
    double first = trace.points.front().watts, drop = first * thermal_->dieToHeatsink;
    if (modelSeconds_ < kFreshSeconds && !trace.startDie && !trace.startHeatsink)
        nodes_ = steadyHeat(*thermal_, first, airConductance(*thermal_, fanFractions(true)));
    if (trace.startDie || trace.startHeatsink) {
        nodes_.die = trace.startDie.value_or(*trace.startHeatsink + drop);
        nodes_.heatsink = trace.startHeatsink.value_or(*trace.startDie - drop);
    }
    load_ = std::move(trace);
    loadSeconds_ = 0;
    nextSuspend_ = 0;
    showTemperatures();
    return true;
}

double EmulatedSMC::nodeTemperature(std::string_view node) const
{
    std::lock_guard lock(mutex_);
    advanceFromReader();
    if (!thermal_)
        return std::nan("");
    if (node == "die")
        return nodes_.die;
    if (node == "heatsink")
        return nodes_.heatsink;
    return node == "ambient" ? thermal_->ambient : std::nan("");
}

std::vector<SMCKeyEntry> EmulatedSMC::keys() const
{
    std::lock_guard lock(mutex_);
    advanceFromReader();
    return entries_;
}

std::optional<SMCKeyEntry> EmulatedSMC::key(FourCharCode code) const
{
    std::lock_guard lock(mutex_);
    advanceFromReader();
    auto found = positions_.find(code);
    if (found == positions_.end())
        return std::nullopt;
    return entries_[found->second];
}

}  // namespace platform
