// The fan and temperature files, readable by everyone: they stand in for
// the keys they show without root or while the cursor stays busy, and carry
// every write the driver accepts.
#include "backends/applesmc/Driver.h"

#include "encodings/Encodings.h"

namespace platform::applesmc {

// The cursor stays busy: the key's own file, if the driver has one,
// still answers, rounded as the file shows it.
kern_return_t Driver::fromFilesWhileBusy(FourCharCode key, FourCharCode type, KeyValue& value)
{
    // Before the cursor showed it, a manual-mode key may not exist: the
    // file stands for "FS! " or for the fan's own key alike.
    if (type == 0 && (key == fourCharCode("FS! ") || fanOfKey(key, "Md")))
        return kIOReturnBusy;
    kern_return_t status = valueFromFiles(key, type, value);
    if (status == kIOReturnUnsupported)
        return kIOReturnBusy;
    if (status == KERN_SUCCESS && !busyNoted_) {
        busyNoted_ = true;
        std::fprintf(stderr,
                     "applesmc: another program keeps moving the driver's key cursor (%s/key_at_index); "
                     "fan and temperature keys are read from their own files meanwhile, rounded to whole "
                     "rpm and quarter degrees; exact values come back once that program stops\n",
                     layout_.keyDirectory.c_str());
    }
    return status;
}

// A number from a fan or temperature file, kept open; EINVAL when the
// driver has no such file.
int Driver::readSensorFile(const std::string& path, long long& value)
{
    auto [slot, added] = sensorFiles_.try_emplace(path);
    if (added) {
        if (int error = slot->second.open(path, O_RDONLY)) {
            sensorFiles_.erase(slot);
            return error == ENOENT ? EINVAL : error;
        }
    }
    return slot->second.readNumber(value);
}

std::string Driver::fanPath(int fan, const char* suffix) const
{
    return layout_.sensorDirectory + "/fan" + std::to_string(fan) + "_" + suffix;
}

// Which fan (from 1) a key "F<digit>xx" names with that ending; 0 for none.
int Driver::fanOfKey(FourCharCode key, std::string_view ending) const
{
    std::string c = encodings::fourCharText(key);
    if (c[0] != 'F' || c[1] < '0' || c[1] > '9' || c[2] != ending[0] || c[3] != ending[1])
        return 0;
    int fan = c[1] - '0' + 1;
    return fan <= fanCount_ ? fan : 0;
}

// Whether fan `fan` (from 1) is in manual mode; 0 or the errno.
int Driver::manualOf(int fan, bool& manual)
{
    long long value;
    if (int error = readSensorFile(fans_[fan - 1].manual, value))
        return error;
    manual = fans_[fan - 1].pwmEnable ? value == 1 : value != 0;
    return 0;
}

// The manual-mode bits of every fan; 0 or the errno of the first fan that fails.
int Driver::manualBits(uint32_t& bits)
{
    bits = 0;
    for (int fan = 1; fan <= fanCount_; ++fan) {
        bool manual;
        if (int error = manualOf(fan, manual))
            return error;
        bits |= uint32_t(manual) << (fan - 1);
    }
    return 0;
}

void Driver::loadTemperatureLabels()
{
    if (labelsLoaded_)
        return;
    labelsLoaded_ = true;
    for (int n = 1;; ++n) {
        std::string text;
        std::string base = layout_.sensorDirectory + "/temp" + std::to_string(n);
        if (!readSmallFile(base + "_label", text))
            break;
        temperatures_.try_emplace(codeFromText(text), base + "_input");
    }
}

// What the files readable by everyone give for `key`.
kern_return_t Driver::readFromSensorFiles(FourCharCode key, KeyValue& value)
{
    kern_return_t status = valueFromFiles(key, 0, value);
    if (status == kIOReturnUnsupported && exact_ && (cursorError_ == EACCES || cursorError_ == EPERM))
        noteNoPrivilege();
    return status == kIOReturnUnsupported ? refusal() : status;
}

// The type of the fan speed keys when the cursor cannot tell: that of
// one learnt; else fpe2 without root, whose files give whole rpm only,
// or where the driver is bound to the platform device: only mainline
// kernels bind it so, and they do not run on the T2 machines, whose fan
// keys are flt. 0 when it cannot be told.
FourCharCode Driver::guessedFanType() const
{
    if (fanType_ != 0)
        return fanType_;
    return cursorError_ != 0 || layout_.platformDevice ? fourCharCode("fpe2") : 0;
}

// What the driver's own file for `key` gives, as a value of `type` (0:
// guessed). The files round: fan speeds to whole rpm, temperatures to
// quarter degrees. kIOReturnUnsupported when no file shows the key, or
// only rounded where the call asks for exact values.
kern_return_t Driver::valueFromFiles(FourCharCode key, FourCharCode type, KeyValue& value)
{
    value = KeyValue{};  // a key the file says the SMC lacks has no bytes
    long long number = 0;
    auto answer = [&](FourCharCode type, uint32_t size, uint32_t raw) {
        value.type = type;
        value.size = size;
        for (uint32_t i = 0; i < size; ++i)
            value.bytes[i] = uint8_t(raw >> (8 * (size - 1 - i)));
        return KERN_SUCCESS;
    };
    // EINVAL from a fan file is the driver's word for a key the SMC lacks.
    auto unknownOr = [](int error) { return error == EINVAL ? KERN_SUCCESS : statusFromErrno(error); };

    if (key == fourCharCode("#KEY")) {
        // EINVAL: #KEY is not in the driver's table, a key it lacks.
        if (int error = keyCount_.readNumber(number))
            return unknownOr(error);
        return answer(fourCharCode("ui32"), 4, uint32_t(number));
    }
    if (key == fourCharCode("FNum"))
        return answer(fourCharCode("ui8 "), 1, uint32_t(fanCount_));
    if (key == fourCharCode("FS! ")) {
        if (fanCount_ == 0)
            return kIOReturnUnsupported;
        uint32_t bits;
        if (int error = manualBits(bits))
            return unknownOr(error);
        return answer(fourCharCode("ui16"), 2, bits);
    }
    // Only where the cursor showed the key: without it, a machine with
    // one manual bit for all fans would seem to have a key per fan.
    if (int fan = fanOfKey(key, "Md"); fan && type != 0) {
        bool manual;
        if (int error = manualOf(fan, manual))
            return unknownOr(error);
        return answer(fourCharCode("ui8 "), 1, manual);
    }
    static constexpr std::pair<const char*, const char*> fanKeys[] = {
        {"Ac", "input"}, {"Mn", "min"}, {"Mx", "max"}, {"Sf", "safe"}, {"Tg", nullptr}};
    for (auto [ending, suffix] : fanKeys) {
        if (int fan = fanOfKey(key, ending)) {
            if (exact_)
                return kIOReturnUnsupported;  // whole rpm only
            if (type == 0)
                type = guessedFanType();
            if (type != fourCharCode("fpe2") && type != fourCharCode("flt "))
                return kIOReturnUnsupported;  // unknown, or no conversion from whole rpm is known
            std::string path = suffix ? fanPath(fan, suffix) : fans_[fan - 1].output;
            if (int error = readSensorFile(path, number))
                return unknownOr(error);
            answer(type, type == fourCharCode("fpe2") ? 2 : 4, 0);
            encodings::encode(type, value.size, double(number), value.bytes, encodings::Fit::Wrap);
            return KERN_SUCCESS;
        }
    }
    if ((key >> 24) == 'T' && !exact_) {  // quarter degrees only
        loadTemperatureLabels();
        if (auto found = temperatures_.find(key); found != temperatures_.end()) {
            if (int error = readSensorFile(found->second, number))
                return unknownOr(error);
            // Millidegrees of quarter degrees back to sp78, whose low six bits the driver drops.
            answer(fourCharCode("sp78"), 2, 0);
            encodings::encode(value.type, 2, double(number / 250) / 4, value.bytes, encodings::Fit::Wrap);
            return KERN_SUCCESS;
        }
    }
    return kIOReturnUnsupported;
}

int Driver::writeFile(const std::string& path, long long value)
{
    SysfsFile file;
    if (int error = file.open(path, O_WRONLY))
        return error;
    return file.writeNumber(value);
}

// The driver's files offer fan minimum, target and manual mode, nothing else.
kern_return_t Driver::write(const CallRecord& request)
{
    uint32_t word = request.dataSize >= 2 ? encodings::unsignedFromBytes(valueBytes(request), 2) : 0;
    int minimumFan = fanOfKey(request.key, "Mn");
    int targetFan = fanOfKey(request.key, "Tg");
    if (minimumFan || targetFan) {
        FourCharCode type = guessedFanType();
        if (cursorError_ == 0) {
            long long position;
            kern_return_t status = find(request.key, position);
            if (status == KERN_SUCCESS && position >= 0)
                type = entries_[position].type;
            else if (status != KERN_SUCCESS && (status != kIOReturnBusy || type == 0))
                return status;
        }
        // Only whole rpm cross the file: fractions are lost.
        // Any type but flt is taken as fpe2.
        FourCharCode taken = type == fourCharCode("flt ") ? type : fourCharCode("fpe2");
        std::optional<double> speed = encodings::decode(taken, valueBytes(request), request.dataSize);
        // The file takes rpm below 16384; NaN fails the first test.
        if (!speed || !(*speed >= 0) || *speed >= 16384)
            return kIOReturnBadArgument;
        auto rpm = (long long)*speed;
        std::string path = minimumFan ? fanPath(minimumFan, "min") : fans_[targetFan - 1].output;
        return statusFromErrno(writeFile(path, rpm));
    }
    if (request.key == fourCharCode("FS! ")) {
        if (request.dataSize != 2)
            return kIOReturnBadArgument;
        if (fanCount_ < 16 && word >> fanCount_ != 0)
            return kIOReturnBadArgument;  // a bit for a fan the machine does not have
        uint32_t current;
        if (int error = manualBits(current))
            return statusFromErrno(error);
        uint32_t changed = word ^ current;
        for (int fan = 1; fan <= fanCount_; ++fan) {
            uint32_t bit = 1u << (fan - 1);
            if ((changed & bit) == 0)
                continue;
            bool manual = (word & bit) != 0;
            const FanFiles& files = fans_[fan - 1];
            if (int error = writeFile(files.manual, files.pwmEnable ? (manual ? 1 : 2) : manual))
                return statusFromErrno(error);
        }
        return KERN_SUCCESS;
    }
    if (int fan = fanOfKey(request.key, "Md")) {
        if (request.dataSize != 1)
            return kIOReturnBadArgument;
        const FanFiles& files = fans_[fan - 1];
        bool manual = request.bytes[0] != 0;
        return statusFromErrno(writeFile(files.manual, files.pwmEnable ? (manual ? 1 : 2) : manual));
    }
    return kIOReturnUnsupported;
}

}  // namespace platform::applesmc
