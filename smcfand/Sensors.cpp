#include "smcfand/Sensors.h"

#include "encodings/Encodings.h"
#include "fanclient/FanClient.h"

#if __has_include(<IOKit/IOKitSMCLease.h>)
#include <IOKit/IOKitSMCLease.h>
#endif

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace smcfand {
namespace {

// A millidegrees file holds a few characters; anything longer is not one,
// and is not read further.
constexpr size_t kMostBytes = 32;

// How long a poll waits for a file's answer: a sysfs read takes far less;
// one slower is taken at a later poll. The first answer may take longer,
// so that a slow sensor is not lost at start.
constexpr auto kAnswerWait = std::chrono::milliseconds(50);
constexpr auto kFirstAnswerWait = std::chrono::seconds(1);

std::string notRegular(mode_t mode)
{
    const char* kind = S_ISDIR(mode)    ? "a directory"
                       : S_ISFIFO(mode) ? "a FIFO"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "not a regular file";
    return std::string("is ") + kind +
           "; a sensor file is a regular file of millidegrees, as /sys/class/hwmon/hwmon1/temp1_input";
}

// A key's value in its own unit: floats and ioft hold it as it is (°C, W),
// other types by the temperature rule.
double quantity(FourCharCode type, const uint8_t* bytes, size_t size)
{
    if (type == encodings::fourCharCode("flt ") || type == encodings::fourCharCode("ioft"))
        if (std::optional<double> number = encodings::decode(type, bytes, size))
            return *number;
    return encodings::temperature(type, bytes, size);
}

// The value of `key` read in full (its information, then its value), when
// it reads plausibly in `unit`.
std::optional<double> plausibleKey(io_connect_t connection, const std::string& key, Unit unit = Unit::Celsius)
{
    SMCVal val;
    if (SMCReadKey2(key.c_str(), &val, connection) != KERN_SUCCESS || val.dataSize < 2 ||
        val.dataSize > sizeof val.bytes)
        return std::nullopt;
    FourCharCode type = encodings::fourCharCode(std::string_view(val.dataType, 4));
    // Watts only of the types that keep them as they are: the temperature
    // rule would misread another type's power.
    if (unit == Unit::Watts && type != encodings::fourCharCode("flt ") && type != encodings::fourCharCode("ioft"))
        return std::nullopt;
    double value = quantity(type, reinterpret_cast<const uint8_t*>(val.bytes), val.dataSize);
    if (!(value >= lowestPlausible(unit) && value <= highestPlausible(unit)))
        return std::nullopt;
    return value;
}

}  // namespace

bool connectionLost(kern_return_t status)
{
    return status == kIOReturnNotResponding || status == kIOReturnNotOpen;
}

Reading readTemperatureFile(const std::string& path)
{
    auto failed = [&](const std::string& what) { return Reading{std::nullopt, path + " " + what}; };
    auto unreadable = [&] { return failed(std::string("cannot be read: ") + std::strerror(errno)); };
    // The type is known before opening: opening a device can act (a
    // watchdog starts, a tape rewinds), and one opened as a FIFO waits.
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return unreadable();
    if (!S_ISREG(status.st_mode))
        return failed(notRegular(status.st_mode));
    int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return unreadable();
    // Again on what was opened: the path may name another file by now.
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        Reading reading = failed(notRegular(status.st_mode));
        close(descriptor);
        return reading;
    }
    char text[kMostBytes + 1];
    ssize_t length;
    do
        length = ::read(descriptor, text, kMostBytes);
    while (length < 0 && errno == EINTR);
    int error = errno;
    close(descriptor);
    if (length < 0) {
        errno = error;
        return unreadable();
    }
    text[length] = '\0';
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(text, &end, 10);
    bool power = path.compare(path.rfind('/') + 1, 5, "power") == 0;
    if (end == text || errno != 0 || (*end != '\0' && std::strcmp(end, "\n") != 0))
        return failed(power ? "does not hold a power in microwatts" : "does not hold a temperature in millidegrees");
    return {double(number) / (power ? 1e6 : 1e3), {}};
}

struct FileSensor::State {
    std::string path;
    ReadFile read;
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t asked = 0;     // asks so far
    uint64_t started = 0;   // the ask the reading under way (or the last) answers
    uint64_t answered = 0;  // the ask `latest` answers; 0: none yet
    Reading latest;
    bool stop = false;

    void serve()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stop || started < asked; });
            if (stop)
                return;
            started = asked;
            lock.unlock();
            Reading reading = read(path);
            lock.lock();
            latest = std::move(reading);
            answered = started;
            changed.notify_all();
        }
    }
};

FileSensor::FileSensor(std::string path, ReadFile read)
    : state_(std::make_shared<State>())
{
    state_->path = std::move(path);
    state_->read = std::move(read);
    // Signals stay with the thread that waits for them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([state = state_] { state->serve(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

FileSensor::~FileSensor()
{
    bool reading;
    {
        std::lock_guard lock(state_->mutex);
        state_->stop = true;
        reading = state_->started != state_->answered;
    }
    state_->changed.notify_all();
    if (reading)
        thread_.detach();  // it keeps the state alive until its read returns
    else
        thread_.join();
}

void FileSensor::ask()
{
    {
        std::lock_guard lock(state_->mutex);
        ++state_->asked;
    }
    state_->changed.notify_all();
}

Reading FileSensor::take(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_until(lock, deadline, [&] { return state_->answered == state_->asked; });
    uint64_t behind = state_->asked - state_->answered;
    if (state_->answered != 0 && behind < kStalePolls)
        return state_->latest;
    if (state_->asked == 1)
        return {std::nullopt, state_->path + " did not answer within a second (its read does not return)"};
    return {std::nullopt,
            state_->path + " has not answered for " + std::to_string(behind) + " polls (its read does not return)"};
}

FileSensor& SensorReader::file(const std::string& path)
{
    std::unique_ptr<FileSensor>& sensor = files_[path];
    if (!sensor) {
        sensor = std::make_unique<FileSensor>(path, readFile_);
        sensor->ask();
        deadline_ = std::max(deadline_, std::chrono::steady_clock::now() + kFirstAnswerWait);
    }
    return *sensor;
}

void SensorReader::ask(const std::vector<std::string>& sensors)
{
    // One wait for all of them: files that hang cost a poll one wait, not one each.
    deadline_ = std::chrono::steady_clock::now() + kAnswerWait;
    for (const std::string& sensor : sensors)
        if (isFile(sensor)) {
            bool known = files_.contains(sensor);
            FileSensor& reader = file(sensor);
            if (known)
                reader.ask();
        }
}

void SensorReader::reconnected(io_connect_t connection)
{
    connection_ = connection;
    keys_.clear();
}

Reading SensorReader::read(const std::string& sensor, kern_return_t& status)
{
    status = KERN_SUCCESS;
    if (isFile(sensor))
        return file(sensor).take(deadline_);
    auto known = keys_.find(sensor);
    if (known == keys_.end()) {
        SMCKeyData info{};
        kern_return_t answer = fanclient::call(connection_, SMCCommandKeyInfo, sensor, info);
        if (connectionLost(answer))
            status = answer;
        if (answer != KERN_SUCCESS || info.dataSize == 0)
            return {std::nullopt, "the SMC has no key " + sensor +
                                      (answer == KERN_SUCCESS ? "" : " (" + fanclient::statusWords(answer) + ")")};
        if (info.dataSize < 2 || info.dataSize > sizeof info.bytes)
            return {std::nullopt, sensor + " is not a temperature (" + std::to_string(info.dataSize) + " bytes)"};
        known = keys_.emplace(sensor, KeyInfo{info.dataSize, info.dataType}).first;
    }
    uint8_t bytes[sizeof(SMCBytes)];
    kern_return_t answer = fanclient::readKnown(connection_, sensor, known->second.size, bytes);
    if (answer != KERN_SUCCESS) {
        if (connectionLost(answer))
            status = answer;
        return {std::nullopt, sensor + " cannot be read: " + fanclient::statusWords(answer)};
    }
    return {quantity(known->second.type, bytes, known->second.size), {}};
}

std::string SensorReader::problem(const std::string& sensor)
{
    ask({sensor});
    kern_return_t status;
    Reading reading = read(sensor, status);
    return reading.celsius ? std::string() : reading.error;
}

// The CPU die's temperature keys (`die`), else every T key that reads.
static std::vector<std::string> temperatureKeys(io_connect_t connection, bool& die)
{
    std::vector<std::string> candidates = {"TC0D", "TC0E", "TC0F", "TC0P", "TCXC"};
    for (char core = '0'; core <= '9'; ++core)
        candidates.push_back(std::string("TC") + core + "C");
    std::vector<std::string> found;
    for (const std::string& key : candidates)
        if (plausibleKey(connection, key))
            found.push_back(key);
    die = !found.empty();
    if (die)
        return found;
    // No CPU key known by name: every temperature key that reads plausibly.
    uint32_t count = 0;
    if (SMCVal val; SMCReadKey2("#KEY", &val, connection) == KERN_SUCCESS)
        count = std::min<uint32_t>(_strtoul(val.bytes, int(std::min<uint32_t>(val.dataSize, 4)), 16), kSMCMaxKeys);
    for (uint32_t index = 0; index < count; ++index) {
        SMCKeyData record{};
        record.index = index;
        if (fanclient::call(connection, SMCCommandKeyAtIndex, {}, record) != KERN_SUCCESS)
            break;
        std::string key = encodings::fourCharText(record.key);
        if (key[0] == 'T' && plausibleKey(connection, key))
            found.push_back(key);
    }
    return found;
}

DefaultInputs defaultInputs(io_connect_t connection)
{
    DefaultInputs inputs;
    inputs.temperatures = temperatureKeys(connection, inputs.die);
    if (!inputs.die)
        for (const char* key : {"PHPC", "PSTR"})
            if (plausibleKey(connection, key, Unit::Watts)) {
                inputs.power = {key};
                break;
            }
    return inputs;
}

std::vector<MachineFan> readMachineFans(io_connect_t connection, kern_return_t& status,
                                        std::vector<std::string>& skipped)
{
    std::vector<MachineFan> fans;
    for (const fanclient::Fan& fan : fanclient::readFanNames(connection, status)) {
        std::optional<double> minimum = fanclient::readSpeed(connection, fan.index, "Mn"),
                              maximum = fanclient::readSpeed(connection, fan.index, "Mx");
        if (!minimum || !maximum || *maximum <= 0 || *minimum > *maximum) {
            skipped.push_back("fan " + std::to_string(fan.index) +
                              ": its minimum and maximum (F" + std::to_string(fan.index) + "Mn, F" +
                              std::to_string(fan.index) + "Mx) do not read as a range; leaving it to the SMC");
            continue;
        }
        MachineFan machineFan{fan.index, fan.name, *minimum, *maximum, std::nullopt};
#if __has_include(<IOKit/IOKitSMCLease.h>)
        if (double floor; IOSMCConnectionCopyFanFloor(connection, fan.index, &floor) == KERN_SUCCESS)
            machineFan.floor = floor;
#endif
        fans.push_back(machineFan);
    }
    return fans;
}

}  // namespace smcfand
