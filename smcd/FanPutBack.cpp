// The broker's put-back and persistence: fans an earlier run left changed,
// records from the state checked as a client's writes are, fans put back at
// stop, and every change saved before it is answered.
#include "smcd/FanBroker.h"
#include "smcd/FanBrokerSupport.h"
#include "encodings/Encodings.h"

#include <algorithm>

namespace smcd {

bool FanBroker::start(std::vector<FanRecord> earlier, std::string& error, std::vector<std::string>& notes)
{
    for (FanRecord& record : earlier) {
        std::string problem;
        Verdict verdict = check(record, problem);
        if (verdict == Verdict::Unsound) {
            notes.push_back(fanName(record.fan) + ": not put back: " + problem + "; its record is dropped");
            continue;
        }
        if (verdict == Verdict::Sound) {
            putBack(record, "after an earlier run", notes);
        } else {
            notes.push_back(fanName(record.fan) + ": not put back yet: " + problem + "; kept for the next start");
            unchecked_.insert(record.fan);
        }
        if (!record.empty())
            records_[record.fan] = std::move(record);  // tried again at the next start
    }
    if (!earlier.empty() && state_ && !persist(error))
        return false;

    // Limits as the fans are now that the earlier run is undone; one that
    // cannot be read now is learnt at the first write.
    floors_.clear();
    SavedValue count;
    uint32_t fans = read(platform::fourCharCode("FNum"), count) == KERN_SUCCESS ? count.bytes[0] : 0;
    KeyInfo info;
    keyInfo(encodings::kForcedMaskKey, info);
    for (uint32_t fan = 0; fan < std::min(fans, encodings::kNamedFans); ++fan) {
        for (FourCharCode key :
             {encodings::fanKey(fan, "Mn"), encodings::fanKey(fan, "Tg"), encodings::fanKey(fan, "Md")})
            keyInfo(key, info);
        // A driver that keeps the mode to itself refuses its read: such a
        // fan is put back by writing automatic while its target is smcd's.
        SavedValue mode;
        if (info.size != 0 && read(encodings::fanKey(fan, "Md"), mode) == kIOReturnNotReadable &&
            hiddenModes_.insert(fan).second)
            notes.push_back(fanName(fan) + ": its mode cannot be read; smcd puts it back by writing " +
                            keyText(encodings::fanKey(fan, "Md")) + " 0 while its target " +
                            keyText(encodings::fanKey(fan, "Tg")) + " holds what smcd last wrote");
        std::optional<double> limit;
        std::string problem;
        maximumOf(fan, limit, problem);
        if (!options_.fanFloor)
            floorOf(fan, limit, problem);
    }
    return true;
}

FanBroker::Verdict FanBroker::check(FanRecord& record, std::string& problem)
{
    // Only this fan's own keys: the record comes from a file.
    std::erase_if(record.values, [&](const SavedValue& v) {
        auto role = fanKeyRole(v.key);
        return !role || role->part == FanKeyRole::Part::ForcedMask || role->fan != record.fan;
    });
    if (record.forced && record.fan >= 16) {
        problem = "FS! has no bit for it";
        return Verdict::Unsound;
    }
    // A key this run may not write is left for a run that may: the record may be sound.
    if (record.forced && !allowed(encodings::kForcedMaskKey)) {
        problem = "FS! bit: not a key this run may write";
        return Verdict::Unknown;
    }
    std::vector<RecordSpeed> speeds;
    std::optional<double> minimum;  // the one this record leaves the fan with
    Verdict verdict = checkValues(record, speeds, minimum, problem);
    return verdict == Verdict::Sound ? checkSpeeds(record.fan, speeds, minimum, problem) : verdict;
}

FanBroker::Verdict FanBroker::checkValues(const FanRecord& record, std::vector<RecordSpeed>& speeds,
                                          std::optional<double>& minimum, std::string& problem)
{
    for (const SavedValue& value : record.values) {
        FanKeyRole role = *fanKeyRole(value.key);
        std::string name = keyText(value.key) + ": ";
        KeyInfo info;
        if (!allowed(value.key)) {
            problem = name + "not a key this run may write";
            return Verdict::Unknown;
        }
        if (kern_return_t status = keyInfo(value.key, info)) {
            problem = name + "cannot read what the key holds (" + statusText(status) + ")";
            return Verdict::Unknown;
        }
        if (info.size != value.size) {
            problem = name + (info.size == 0 ? std::string("the SMC has no such key")
                                             : "the record holds " + std::to_string(value.size) + " bytes, the key " +
                                                   std::to_string(info.size));
            return Verdict::Unsound;
        }
        if (role.part == FanKeyRole::Part::Mode && value.bytes[0] > 1) {
            problem = name + "mode " + std::to_string(value.bytes[0]) + " is neither 0 nor 1";
            return Verdict::Unsound;
        }
        if (!isSpeed(role.part))
            continue;
        std::optional<double> rpm = encodings::speedFromBytes(info.type, value.bytes.data(), value.size);
        if (!rpm) {
            problem = name + "not a speed of type " + fourCharText(info.type);
            return Verdict::Unsound;
        }
        speeds.push_back({value.key, role.part, *rpm});
        if (role.part == FanKeyRole::Part::Minimum)
            minimum = rpm;
    }
    return Verdict::Sound;
}

FanBroker::Verdict FanBroker::checkSpeeds(uint32_t fan, const std::vector<RecordSpeed>& speeds,
                                          std::optional<double> minimum, std::string& problem)
{
    // A read that failed says nothing of the record: it waits for the next start.
    auto failed = [](kern_return_t status) {
        return status == kIOReturnBadArgument || status == kIOReturnNotFound ? Verdict::Unsound : Verdict::Unknown;
    };
    for (const RecordSpeed& speed : speeds) {
        std::string name = keyText(speed.key) + ": ";
        std::optional<double> maximum, floor = options_.fanFloor;
        if (kern_return_t status = maximumOf(fan, maximum, problem)) {
            problem = name + problem;
            return failed(status);
        }
        if (maximum && speed.rpm > *maximum) {
            problem = name + rpmText(speed.rpm) + " is above the maximum of " + rpmText(*maximum);
            return Verdict::Unsound;
        }
        // A minimum put back may lie below today's, which the daemon's own
        // writes may have raised: only --fan-floor bounds it. A target must
        // not fall below the minimum the fan is left with.
        if (!floor && speed.part == FanKeyRole::Part::Target) {
            floor = minimum;
            if (kern_return_t status = floor ? KERN_SUCCESS : floorOf(fan, floor, problem)) {
                problem = name + problem;
                return failed(status);
            }
        }
        if (floor && speed.rpm < *floor) {
            problem = name + rpmText(speed.rpm) + " is below the floor of " + rpmText(*floor);
            return Verdict::Unsound;
        }
    }
    return Verdict::Sound;
}

FanRecord FanBroker::putBack(FanRecord& record, const char* when, std::vector<std::string>& notes)
{
    FanRecord wrote{record.fan, std::nullopt, {}};
    PutBackOutcome outcome;
    auto& [done, left, failed] = outcome;
    // Only this fan's own keys, and speeds before the mode: the fan leaves
    // manual mode at its old speeds.
    std::vector<SavedValue> values;
    for (const SavedValue& value : record.values)
        if (auto role = fanKeyRole(value.key); role && role->part != FanKeyRole::Part::ForcedMask &&
                                               role->fan == record.fan)
            values.push_back(value);
    std::stable_partition(values.begin(), values.end(),
                          [](const SavedValue& v) { return fanKeyRole(v.key)->part != FanKeyRole::Part::Mode; });
    std::vector<SavedValue> kept;
    for (const SavedValue& value : values) {
        SavedValue current;
        FourCharCode type = 0;
        kern_return_t status = read(value.key, current, &type);
        const SavedValue* written = findValue(record.written, value.key);
        if (status == kIOReturnNotReadable && fanKeyRole(value.key)->part == FanKeyRole::Part::Mode) {
            hiddenModes_.insert(record.fan);
            if (!putBackHiddenMode(record, value, wrote, outcome))
                kept.push_back(value);
            continue;
        }
        if (status != KERN_SUCCESS) {
            failed.push_back(keyText(value.key) + " (cannot read it: " + statusText(status) + ")");
        } else if (written && !sameValue(type, current, *written)) {
            left.push_back(keyText(value.key));  // someone else's now
            continue;
        } else if (sameBytes(current, value)) {
            continue;  // as it was already
        } else if ((status = writeValue(value)) != KERN_SUCCESS) {
            failed.push_back(keyText(value.key) + " (" + statusText(status) + ")");
        } else {
            done.push_back(valueText(type, value));
            wrote.values.push_back(value);
            continue;
        }
        kept.push_back(value);
    }
    record.values = kept;
    std::erase_if(record.written, [&](const SavedValue& v) { return !findValue(record.values, v.key); });

    if (record.forced)
        putBackBit(record, wrote, outcome);

    std::string prefix = fanName(record.fan) + ": ";
    if (!done.empty())
        notes.push_back(prefix + "put back " + when + ": " + joined(done));
    if (!left.empty())
        notes.push_back(prefix + "left as it is " + when + ", changed since smcd wrote it: " + joined(left));
    if (!failed.empty())
        notes.push_back(prefix + "cannot put back " + when + ": " + joined(failed));
    return wrote;
}

bool FanBroker::putBackHiddenMode(FanRecord& record, const SavedValue& value, FanRecord& wrote,
                                  PutBackOutcome& outcome)
{
    auto& [done, left, failed] = outcome;
    const SavedValue* mode = findValue(record.written, value.key);
    FourCharCode targetKey = encodings::fanKey(record.fan, "Tg");
    const SavedValue* target = findValue(record.written, targetKey);
    if (mode && sameBytes(*mode, value))
        return true;  // smcd's last word was this mode already
    if (target) {
        SavedValue now;
        FourCharCode type = 0;
        if (kern_return_t status = read(targetKey, now, &type)) {
            failed.push_back(keyText(value.key) + " (cannot read " + keyText(targetKey) + ": " + statusText(status) +
                             ")");
            return false;
        }
        if (!sameValue(type, now, *target)) {
            left.push_back(keyText(targetKey));  // another program's target, and so its manual mode
            return true;
        }
    }
    if (kern_return_t status = writeValue(value)) {
        failed.push_back(keyText(value.key) + " (" + statusText(status) + ")");
        return false;
    }
    done.push_back(valueText(0, value));
    wrote.values.push_back(value);
    return true;
}

void FanBroker::putBackBit(FanRecord& record, FanRecord& wrote, PutBackOutcome& outcome)
{
    auto& [done, left, failed] = outcome;
    SavedValue mask;
    kern_return_t status = record.fan < 16 ? read(encodings::kForcedMaskKey, mask) : kIOReturnNotFound;
    if (status == KERN_SUCCESS && mask.size != 2)
        status = kIOReturnBadArgument;
    bool bit = status == KERN_SUCCESS && bitOf(mask, record.fan);
    if (status != KERN_SUCCESS) {
        failed.push_back("its FS! bit (cannot read it: " + statusText(status) + ")");
    } else if (record.forcedWritten && bit != *record.forcedWritten) {
        left.push_back("its FS! bit");
        record.forced.reset();
    } else if (bit == *record.forced) {
        record.forced.reset();
    } else {
        unsigned bits = encodings::unsignedFromBytes(mask.bytes.data(), 2) ^ 1u << record.fan;
        mask.bytes[0] = uint8_t(bits >> 8);
        mask.bytes[1] = uint8_t(bits);
        if ((status = writeValue(mask)) != KERN_SUCCESS) {
            failed.push_back("its FS! bit (" + statusText(status) + ")");
        } else {
            done.push_back(modeText(*record.forced));
            wrote.forced = record.forced;
            record.forced.reset();
        }
    }
    if (!record.forced)
        record.forcedWritten.reset();
}

void FanBroker::forgetPutBack(const FanRecord& wrote)
{
    // What a lease put back is the daemon's latest write there; where that
    // is how the fan was before the daemon's first change, nothing is left
    // to put back at stop.
    auto found = records_.find(wrote.fan);
    if (found == records_.end())
        return;
    FanRecord& record = found->second;
    for (const SavedValue& value : wrote.values) {
        SavedValue* original = findValue(record.values, value.key);
        if (original && sameBytes(*original, value)) {
            eraseValue(record.values, value.key);
            eraseValue(record.written, value.key);
        } else if (original) {
            setValue(record.written, value);
        }
    }
    if (wrote.forced && record.forced) {
        record.forcedWritten = wrote.forced;
        if (*record.forced == *wrote.forced) {
            record.forced.reset();
            record.forcedWritten.reset();
        }
    }
    if (record.empty())
        records_.erase(found);
}

bool FanBroker::persist(std::string& error)
{
    if (state_ == nullptr)
        return true;
    std::vector<FanRecord> fans;
    for (const auto& [fan, record] : records_)
        fans.push_back(record);
    return state_->save(emulated_ ? emulated_->keys() : std::vector<SMCKeyEntry>{}, fans, error);
}

void FanBroker::persistOrSay(std::vector<std::string>& notes)
{
    std::string error;
    if (!persist(error))
        notes.push_back("cannot save state " + state_->path() + ": " + error);
}

void FanBroker::stop(std::vector<std::string>& notes)
{
    endLeases(std::nullopt, notes);
    leaseHolders_.clear();
    controller_.reset();
    if (!options_.keepFans) {
        for (auto record = records_.begin(); record != records_.end();) {
            std::string problem;
            Verdict verdict = unchecked_.count(record->first) ? check(record->second, problem) : Verdict::Sound;
            if (verdict == Verdict::Unsound) {
                notes.push_back(fanName(record->first) + ": not put back: " + problem + "; its record is dropped");
                record->second = {};
            } else if (verdict == Verdict::Sound) {
                putBack(record->second, "at stop", notes);
            }
            record = record->second.empty() ? records_.erase(record) : std::next(record);
        }
    }
    persistOrSay(notes);
}

}  // namespace smcd
