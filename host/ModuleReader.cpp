#include "host/ModuleReader.h"
#include "smc/CallRecords.h"

#include <IOKit/IOKitLib.h>
#include <IOKit/IOKitSMCLease.h>
#if __has_include(<IOKit/IOKitDiagnostics.h>)
#include <IOKit/IOKitDiagnostics.h>
#define SMC_HAVE_KEY_LABELS 1
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <set>
#include <strings.h>
#include <unistd.h>
#include <utility>

namespace {

Ref<NSString> string(const std::string& text)
{
    return NSString::stringWithCString(text.c_str());
}

// Whole degrees, truncated toward zero, as the module reads them.
int wholeDegrees(FourCharCode type, const uint8_t* bytes, size_t size)
{
    return encodings::wholeDegrees(encodings::temperatureSixtyFourths(type, bytes, size));
}

// Types a temperature sensor has: signed fixed point, or a T2 machine's flt.
bool temperatureType(FourCharCode type, size_t size)
{
    return (size == 2 && signedFixedPointFraction(encodings::fourCharText(type).c_str()) >= 0) ||
           (size == 4 && type == encodings::fourCharCode("flt "));
}

// The key as text, up to its first zero byte.
std::string keyText(FourCharCode code)
{
    return encodings::fourCharText(code).c_str();
}

// Answers that say a key is not there for this process: the SMC lacks it,
// or serves it to root alone. Neither changes from one report to the next,
// so neither is a failed read.
bool notThere(kern_return_t status)
{
    return status == kIOReturnNotFound || status == kIOReturnNotPrivileged;
}

// Answers that say the SMC is gone: a loop that meets one stops rather than
// wait for each of thousands more to fail.
bool smcGone(kern_return_t status)
{
    return status == kIOReturnNotOpen || status == kIOReturnNotResponding || status == kIOReturnNoDevice;
}

// The key count of a "#KEY" value, at most what an SMC holds.
uint32_t keyCountOf(const SMCVal& val)
{
    return std::min<uint32_t>(
        encodings::unsignedFromBytes(reinterpret_cast<const uint8_t*>(val.bytes), std::min<size_t>(val.dataSize, sizeof val.bytes)),
        kSMCMaxKeys);
}

std::string fanKey(const char* pattern, int fan)
{
    char text[16];
    std::snprintf(text, sizeof text, pattern, fan);
    return text;
}

// Display order: priority 1 to 4, then sensors the table does not show; by
// name ignoring case (a sensor without a name by key), then the hotter
// first. All but the last is known before any reading, so sensors are kept
// in that order and a report only orders readings of the same name.
int compareNames(int leftRank, const std::string& leftName, int rightRank, const std::string& rightName)
{
    if (leftRank != rightRank)
        return leftRank < rightRank ? -1 : 1;
    return strcasecmp(leftName.c_str(), rightName.c_str());
}

// How long the read that chose a sensor stands for its value: long enough
// for the report that follows choosing, too short to show a stale reading.
constexpr std::chrono::milliseconds kChosenValueLife{250};

}  // namespace

std::unique_ptr<ModuleReader> ModuleReader::load(const std::string& modulePath, bool quietStdout, std::string& error)
{
    void* plugin = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        error = std::string("cannot load the module: ") + dlerror();
        return nullptr;
    }
    auto alloc = reinterpret_cast<SensorsModuleAllocFunction>(dlsym(plugin, kSensorsModuleEntryPoint));
    if (alloc == nullptr) {
        error = modulePath + " is not a sensors module: it has no entry point " + kSensorsModuleEntryPoint;
        dlclose(plugin);
        return nullptr;
    }
    SensorsModule* fresh = alloc();
    if (fresh == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    std::unique_ptr<ModuleReader> machine(new ModuleReader);
    machine->plugin_ = plugin;
    int savedStdout = -1;
    if (quietStdout) {
        std::fflush(stdout);
        savedStdout = dup(STDOUT_FILENO);
        if (savedStdout >= 0)
            dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    machine->module_ = Ref<SensorsModule>(kAdopt, fresh->init());
    if (savedStdout >= 0) {
        std::fflush(stdout);
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
    }
    return machine;
}

ModuleReader::~ModuleReader()
{
    module_ = nullptr;
    // The module stays loaded: objects it made may still be released late.
}

bool ModuleReader::isSupported()
{
    return module_->isSupported();
}

void ModuleReader::configure(const std::vector<KeyEntry>& table, bool all)
{
    all_ = all;
    sensors_.clear();
    pending_.clear();
    electrical_.clear();
    floatPending_.clear();
    pendingIndexes_.clear();
    seen_.clear();
    known_.clear();
    for (const KeyEntry& entry : table)
        known_.emplace(entry.key, entry);
    keyCount_ = enumerated_ = 0;
    keyCountPending_ = false;
    // Only a listing needs the key count.
    if (all) {
        SMCVal val{};
        keyCountPending_ = readKey("#KEY", val) != kIOReturnSuccess;
        if (!keyCountPending_) {
            keyCount_ = keyCountOf(val);
            enumerateTemperatureKeys();
        }
    }
    for (const KeyEntry& entry : table) {
        if (all || entry.priority < 1 || entry.priority > 4)
            continue;
        Candidate candidate{entry.key, entry.name, entry.priority};
        if (choose(candidate) == Choice::Failed)
            pending_.push_back(std::move(candidate));
    }
    for (const FloatSensorKey& row : floatSensorKeys())
        if (chooseFloatSensor(row) == Choice::Failed)
            floatPending_.push_back(&row);
    prepare();
}

std::string ModuleReader::labelled(const std::string& key, const std::string& fallback)
{
#ifdef SMC_HAVE_KEY_LABELS
    if (labels_) {
        char label[128];
        kern_return_t status = IOSMCConnectionCopyKeyLabel(module_->connection(), encodings::fourCharCode(key), label,
                                                           sizeof label);
        // An SMC that names no keys says so once; asking again is no use.
        labels_ = status != kIOReturnUnsupported;
        if (status == kIOReturnSuccess && label[0] != '\0')
            return label;
    }
#else
    (void)key;
#endif
    return fallback;
}

ModuleReader::Choice ModuleReader::chooseFloatSensor(const FloatSensorKey& row)
{
    // A temperature --all lists anyway, or one the table decides on.
    if (row.quantity == Quantity::Temperature && (all_ || known_.count(row.key) != 0))
        return Choice::NotSensor;
    uint32_t size = 0;
    FourCharCode type = 0;
    kern_return_t status = keyInfo(row.key, size, type);
    if (notThere(status))
        return Choice::NotSensor;
    if (status != kIOReturnSuccess)
        return Choice::Failed;
    if (type != encodings::fourCharCode("flt ") || size != 4)
        return Choice::NotSensor;
    if (row.quantity == Quantity::Temperature)
        return choose({row.key, "", std::nullopt});
    electrical_.push_back({row.key, labelled(row.key, ""), row.quantity});
    return Choice::Sensor;
}

void ModuleReader::readElectrical(Report& report)
{
    report.electrical = !electrical_.empty();
    report.dieTemperature = std::any_of(sensors_.begin(), sensors_.end(),
                                        [](const Sensor& sensor) { return isCpuDieKey(sensor.key); });
    for (const Electrical& sensor : electrical_) {
        SMCVal val{};
        if (readKey(sensor.key, val) != kIOReturnSuccess || val.dataSize != 4) {
            report.errors.push_back(sensor.key + ": the read failed");
            ++failedReads_;
            continue;
        }
        ++goodReads_;
        float value = encodings::floatFromBytes(reinterpret_cast<const uint8_t*>(val.bytes));
        if (!std::isnan(value))  // no reading
            report.readings.push_back({sensor.key, sensor.name, sensor.quantity, double(value)});
    }
}

// The access layer's read, less the read exchange for a key the SMC
// describes as holding no bytes: the table's keys a machine lacks would
// otherwise cost one exchange each.
kern_return_t ModuleReader::readKey(const std::string& key, SMCVal& val)
{
    val = SMCVal{};
    std::strncpy(val.key, key.c_str(), 4);
    FourCharCode type = 0;
    kern_return_t status = keyInfo(key, val.dataSize, type);
    if (status != kIOReturnSuccess)
        return status;
    _ultostr(val.dataType, type);
    if (val.dataSize == 0)
        return kIOReturnSuccess;
    SMCKeyData output;
    status = smc::call(module_->connection(), smc::readRequest(encodings::fourCharCode(key), val.dataSize), output);
    if (status == kIOReturnSuccess)
        std::memcpy(val.bytes, output.bytes, sizeof val.bytes);
    return status;
}

ModuleReader::Choice ModuleReader::choose(const Candidate& candidate)
{
    if (all_) {
        // Size and type decide; the report reads the value, once.
        uint32_t size = 0;
        FourCharCode type = 0;
        kern_return_t status = keyInfo(candidate.key, size, type);
        if (notThere(status))
            return Choice::NotSensor;
        if (status != kIOReturnSuccess)
            return Choice::Failed;
        if (!temperatureType(type, size))
            return Choice::NotSensor;
        sensors_.push_back({candidate.key, labelled(candidate.key, candidate.name), candidate.priority, size});
        return Choice::Sensor;
    }
    SMCVal val{};
    kern_return_t status = readKey(candidate.key, val);
    if (notThere(status))
        return Choice::NotSensor;
    if (status != kIOReturnSuccess)
        return Choice::Failed;
    // As the module's discovery: a key counts when it reads at least one
    // whole degree now.
    if (val.dataSize == 0 || val.dataSize > sizeof val.bytes)
        return Choice::NotSensor;
    if (wholeDegrees(encodings::fourCharCode(val.dataType), reinterpret_cast<const uint8_t*>(val.bytes),
                     val.dataSize) < 1)
        return Choice::NotSensor;
    Sensor sensor{candidate.key, labelled(candidate.key, candidate.name), candidate.priority, val.dataSize};
    sensor.chosenWith.read = true;
    sensor.chosenAt = std::chrono::steady_clock::now();
    std::memcpy(sensor.chosenWith.type, val.dataType, 4);
    std::memcpy(sensor.chosenWith.bytes, val.bytes, sizeof sensor.chosenWith.bytes);
    sensors_.push_back(std::move(sensor));
    return Choice::Sensor;
}

kern_return_t ModuleReader::keyInfo(const std::string& key, uint32_t& size, FourCharCode& type)
{
    SMCKeyData output;
    kern_return_t status = smc::call(module_->connection(), smc::keyInfoRequest(encodings::fourCharCode(key)), output);
    size = output.dataSize;
    type = output.dataType;
    return status;
}

kern_return_t ModuleReader::keyAtIndex(uint32_t index, std::string& key)
{
    SMCKeyData output;
    kern_return_t status = smc::call(module_->connection(), smc::keyAtIndexRequest(index), output);
    key = status == kIOReturnSuccess ? keyText(output.key) : std::string();
    return status;
}

ModuleReader::Choice ModuleReader::chooseListed(const std::string& key, uint32_t index)
{
    // Every key counts here, not only T keys: a sensor's position misread
    // as a fan key leaves the sensor out just the same.
    auto [first, added] = seen_.try_emplace(key, index);
    if (!added)
        return first->second == index ? Choice::NotSensor : Choice::Twice;
    if (key.empty() || key[0] != 'T')
        return Choice::NotSensor;
    Candidate candidate{key, "", std::nullopt};
    if (auto entry = known_.find(key); entry != known_.end()) {
        candidate.name = entry->second.name;
        candidate.priority = entry->second.priority;
    }
    Choice choice = choose(candidate);
    if (choice == Choice::Failed)
        pending_.push_back(std::move(candidate));
    return choice;
}

void ModuleReader::prepare()
{
    auto shown = [](const Sensor& sensor) -> const std::string& { return sensor.name.empty() ? sensor.key : sensor.name; };
    std::stable_sort(sensors_.begin(), sensors_.end(), [&](const Sensor& left, const Sensor& right) {
        int order = compareNames(displayGroup(left.priority), shown(left), displayGroup(right.priority), shown(right));
        return order != 0 ? order < 0 : left.key < right.key;
    });
    for (size_t i = 0; i < sensors_.size(); ++i) {
        bool same = i > 0 && compareNames(displayGroup(sensors_[i - 1].priority), shown(sensors_[i - 1]),
                                          displayGroup(sensors_[i].priority), shown(sensors_[i])) == 0;
        sensors_[i].nameRun = same ? sensors_[i - 1].nameRun : i;
    }
    groups_ = groupsToRead({});
}

std::vector<ModuleReader::SizeGroup> ModuleReader::groupsToRead(const std::vector<Value>& values) const
{
    std::vector<SizeGroup> groups;
    for (size_t i = 0; i < sensors_.size(); ++i) {
        if (i < values.size() && values[i].read)
            continue;
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const SizeGroup& g) { return g.size == sensors_[i].size; });
        if (group == groups.end())
            group = groups.insert(groups.end(), {sensors_[i].size, NSMutableArray::array(), {}});
        group->keys->addObject(string(sensors_[i].key).get());
        group->sensors.push_back(i);
    }
    return groups;
}

// The module has no method that lists keys: the key-at-index exchange goes
// through the module's own connection. A position or a key that fails to
// read is kept to be tried again at each report, where it counts as an
// error until it reads: a busy SMC must not quietly shrink the list.
bool ModuleReader::enumerateTemperatureKeys()
{
    for (; enumerated_ < keyCount_; ++enumerated_) {
        std::string key;
        kern_return_t status = keyAtIndex(enumerated_, key);
        if (smcGone(status))
            return false;  // the rest when it answers again
        if (status != kIOReturnSuccess || chooseListed(key, enumerated_) == Choice::Twice)
            pendingIndexes_.push_back(enumerated_);
    }
    return true;
}

void ModuleReader::retryPending(Report& report)
{
    size_t before = sensors_.size();
    if (keyCountPending_) {
        SMCVal val{};
        keyCountPending_ = readKey("#KEY", val) != kIOReturnSuccess;
        if (keyCountPending_) {
            report.errors.push_back("#KEY: the read failed");
            ++failedReads_;
        } else {
            keyCount_ = keyCountOf(val);
        }
    }
    if (enumerated_ < keyCount_ && !enumerateTemperatureKeys())
        report.errors.push_back("the key at position " + std::to_string(enumerated_) + " cannot be read");
    bool added = sensors_.size() != before;
    std::vector<Candidate> candidates;
    candidates.swap(pending_);
    for (Candidate& candidate : candidates) {
        Choice choice = choose(candidate);
        added |= choice == Choice::Sensor;
        if (choice == Choice::Failed) {
            report.errors.push_back(candidate.key + ": the read failed");
            ++failedReads_;
            pending_.push_back(std::move(candidate));
        }
    }
    std::vector<const FloatSensorKey*> rows;
    rows.swap(floatPending_);
    for (const FloatSensorKey* row : rows) {
        Choice choice = chooseFloatSensor(*row);
        added |= choice == Choice::Sensor;
        if (choice == Choice::Failed) {
            report.errors.push_back(std::string(row->key) + ": the read failed");
            ++failedReads_;
            floatPending_.push_back(row);
        }
    }
    std::vector<uint32_t> indexes;
    indexes.swap(pendingIndexes_);
    for (uint32_t index : indexes) {
        std::string key;
        Choice choice = Choice::Failed;
        if (keyAtIndex(index, key) != kIOReturnSuccess)
            pendingIndexes_.push_back(index);
        else
            choice = chooseListed(key, index);
        added |= choice == Choice::Sensor;
        std::string position = "the key at position " + std::to_string(index);
        if (choice == Choice::Twice) {
            pendingIndexes_.push_back(index);
            report.errors.push_back(position + " shows " + key + ", as position " + std::to_string(seen_[key]) +
                                    " does: the key it holds is left out");
        } else if (choice == Choice::Failed) {
            report.errors.push_back(key.empty() ? position + " cannot be read" : key + ": the read failed");
        }
    }
    if (added)
        prepare();
}

Report ModuleReader::read()
{
    Report report;
    report.all = all_;
    if (!module_->isSupported()) {
        report.errors.push_back("no SMC on this machine");
        report.readErrorsTotal = ++readErrors_;
        return report;
    }
    NSAutoreleasePool pool;
    goodReads_ = failedReads_ = 0;

    // Up unless every read this report asked for failed: asking the key
    // count as well would cost every report one more exchange.
    report.smcUp = true;
    retryPending(report);

    // A sensor chosen just before this report (not a first scrape long
    // after the start) shows the value that chose it; the others are read
    // with one getValuesForKeys per value size: it keeps a key only when its
    // read worked at exactly that size, in the order asked and with the very
    // key object asked for, so a key it skips is a read that failed.
    std::vector<Value> values(sensors_.size());
    bool chosenNow = false;
    auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < sensors_.size(); ++i) {
        Value chosen = std::exchange(sensors_[i].chosenWith, Value{});
        if (chosen.read && now - sensors_[i].chosenAt < kChosenValueLife) {
            values[i] = chosen;
            chosenNow = true;
        }
    }
    for (const SizeGroup& group : chosenNow ? groupsToRead(values) : groups_) {
        Ref<NSArray> entries = module_->getValuesForKeys(group.keys.get(), int32_t(group.size));
        size_t next = 0;
        for (size_t i = 0; i < msgSend(entries, &NSArray::count); ++i) {
            const NSArray* entry = entries->objectAtIndex(i)->asArray();
            if (entry == nullptr || entry->count() != 2 + group.size)
                continue;
            while (next < group.sensors.size() && group.keys->objectAtIndex(next) != entry->objectAtIndex(0))
                ++next;
            if (next == group.sensors.size())
                break;
            Value& value = values[group.sensors[next++]];
            const NSString* type = entry->objectAtIndex(1)->asString();
            value.read = true;
            std::strncpy(value.type, type ? type->cString() : "", 4);
            for (size_t j = 0; j < std::min<size_t>(group.size, sizeof value.bytes); ++j)
                value.bytes[j] = uint8_t(entry->objectAtIndex(2 + j)->intValue());
        }
    }

    report.temperatures.reserve(sensors_.size());
    std::vector<size_t> runs;  // the name run of each reading
    runs.reserve(sensors_.size());
    for (size_t i = 0; i < sensors_.size(); ++i) {
        const Sensor& sensor = sensors_[i];
        const Value& value = values[i];
        if (!value.read) {
            report.errors.push_back(sensor.key + ": the read failed");
            ++failedReads_;
            continue;
        }
        ++goodReads_;
        FourCharCode type = encodings::fourCharCode(std::string_view(value.type, 4));
        double celsius = encodings::temperature(type, value.bytes, sensor.size);
        if (all_) {
            // What absent sensors read on real machines (and a flt's NaN).
            if (!(celsius > 0 && celsius < 127)) {
                ++report.absent;
                continue;
            }
        } else if (wholeDegrees(type, value.bytes, sensor.size) == 0) {
            continue;  // as the module's report: under one whole degree either way
        }
        bool single = type == encodings::fourCharCode("flt ") && sensor.size == 4;
        report.temperatures.push_back({sensor.key, sensor.name, sensor.priority, celsius, single});
        runs.push_back(sensor.nameRun);
    }
    for (size_t start = 0, end; start < runs.size(); start = end) {
        for (end = start + 1; end < runs.size() && runs[end] == runs[start];)
            ++end;
        if (end - start > 1)
            std::stable_sort(report.temperatures.begin() + ptrdiff_t(start), report.temperatures.begin() + ptrdiff_t(end),
                             [](const TemperatureReading& left, const TemperatureReading& right) {
                                 return left.celsius > right.celsius;
                             });
    }

    readElectrical(report);
    readFans(report);
    if (!report.fanCountReadable)
        report.errors.push_back("the fan count cannot be read");
    // An SMC that answers its key count but fails every value it is asked
    // for has not answered the report.
    if (failedReads_ > 0 && goodReads_ == 0)
        report.smcUp = false;
    if (!report.smcUp)
        report.errors.push_back("the SMC does not answer");
    readErrors_ += report.errors.size();
    report.readErrorsTotal = readErrors_;
    return report;
}

// Each fan is read by its index: the speed report getFanValues is keyed by
// name, so fans that share a name would all show the last one's speed.
void ModuleReader::readFans(Report& report)
{
    // The count as the module's fanKeys takes it (at most kSMCMaxFans, none
    // when negative), read here once: the module's empty list would not tell
    // an unreadable count from none.
    SMCVal count{};
    report.fanCountReadable = readKey("FNum", count) == kIOReturnSuccess;
    int32_t claimed = int32_t(_strtoul(count.bytes, int(std::min<size_t>(count.dataSize, sizeof count.bytes)), 10));
    size_t fans = report.fanCountReadable ? size_t(std::clamp<int32_t>(claimed, 0, kSMCMaxFans)) : 0;
    if (!report.fanCountReadable) {
        // An SMC that still describes the key answers, though it fails the
        // value; one that does neither may be gone.
        uint32_t size = 0;
        FourCharCode type = 0;
        if (keyInfo("FNum", size, type) != kIOReturnSuccess)
            ++failedReads_;
    }
    if (fans == 0)
        return;
    // A failed read is no value: left out and named, never taken as 0.
    auto failed = [&](const std::string& key, kern_return_t status) {
        if (status == kIOReturnSuccess || notThere(status))
            return false;
        report.errors.push_back(key + ": the read failed");
        ++failedReads_;
        return true;
    };
    auto speed = [&](const std::string& key) -> std::optional<int32_t> {
        SMCVal val{};
        kern_return_t status = readKey(key, val);
        if (failed(key, status) || status != kIOReturnSuccess || val.dataSize == 0)
            return std::nullopt;
        ++goodReads_;
        return module_->convertFanValue(val);
    };
    // The forced-mode mask, one bit a fan, as `smc -f` reads it.
    SMCVal modes{};
    kern_return_t maskStatus = readKey("FS! ", modes);
    bool maskFailed = failed("FS! ", maskStatus);
    bool haveMask = maskStatus == kIOReturnSuccess && modes.dataSize != 0;
    uint32_t modeWord = haveMask ? encodings::unsignedFromBytes(reinterpret_cast<const uint8_t*>(modes.bytes), 2) : 0;

    while (fanKeys_.size() < fans) {
        int fan = int(fanKeys_.size());
        fanKeys_.push_back({fanKey("F%dAc", fan), fanKey("F%dMn", fan), fanKey("F%dMx", fan), fanKey("F%dTg", fan), fanKey("F%dMd", fan)});
    }
    for (size_t fan = 0; fan < fans; ++fan) {
        FanKeys& keys = fanKeys_[fan];
        FanReading reading;
        reading.index = int(fan);
        if (keys.name.empty())
            keys.name = labelled(keys.actual, "");
        if (keys.name.empty()) {
            Ref<NSString> name = module_->getFanName(int32_t(fan));
            reading.name = msgSend(name, &NSString::cString) ? name->cString() : "";
            // The module names a fan whose name did not read "Fan N": asked
            // again next time, as the read may have failed.
            if (reading.name != "Fan " + std::to_string(fan))
                keys.name = reading.name;
        } else {
            reading.name = keys.name;
        }
        reading.rpm = speed(keys.actual);
        reading.minimum = speed(keys.minimum);
        reading.maximum = speed(keys.maximum);
        reading.target = speed(keys.target);
        // Newer machines keep each fan's mode in its own key instead.
        SMCVal mode{};
        kern_return_t modeStatus = readKey(keys.mode, mode);
        // Where the driver keeps the flag to itself, the mode cannot be
        // known: no value, and no failure either.
        bool modeUnknown = modeStatus == kIOReturnNotReadable;
        bool modeFailed = !modeUnknown && failed(keys.mode, modeStatus);
        bool haveMode = modeStatus == kIOReturnSuccess && mode.dataSize != 0;
        reading.hasModeKey = haveMask || haveMode || maskFailed || modeFailed || modeUnknown;
        if (maskFailed || modeFailed || modeUnknown)
            reading.manual = std::nullopt;
        else
            reading.manual = (fan < 16 && (modeWord >> fan & 1)) || (haveMode && mode.bytes[0] != 0);
        report.fans.push_back(std::move(reading));
    }
    // Which fans the daemon's fan controller drives: one question to the
    // daemon, not the SMC, and none where no daemon serves.
    IOSMCFanController controller;
    if (IOSMCConnectionIsBrokered(module_->connection()) &&
        IOSMCConnectionCopyFanController(module_->connection(), &controller) == kIOReturnSuccess) {
        controller.name[sizeof controller.name - 1] = '\0';
        report.controller = controller.name;
        report.controllerPid = controller.pid;
        for (FanReading& reading : report.fans) {
            reading.driven = reading.index < 32 && (controller.drivenFans >> reading.index & 1);
            if (reading.driven && size_t(reading.index) < std::size(controller.targets) &&
                !std::isnan(controller.targets[reading.index]))
                reading.controllerTarget = controller.targets[reading.index];
        }
    }
}
