// The broker's write checks: which keys a run may write, each fan's limits,
// and a client's write checked, recorded and passed on.
#include "smcd/FanBroker.h"
#include "smcd/FanBrokerSupport.h"
#include "encodings/Encodings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace smcd {

bool FanBroker::allowed(FourCharCode key) const
{
    using Kind = WritePolicy::Kind;
    switch (options_.policy.kind) {
    case Kind::All:
        return true;
    case Kind::None:
        return false;
    case Kind::Fans:
        return fanKeyRole(key).has_value();
    case Kind::Keys:
        return std::find(options_.policy.keys.begin(), options_.policy.keys.end(), key) != options_.policy.keys.end();
    }
    return false;
}

kern_return_t FanBroker::floorOf(uint32_t fan, std::optional<double>& floor, std::string& problem)
{
    floor.reset();
    if (options_.fanFloor) {
        floor = options_.fanFloor;
        return KERN_SUCCESS;
    }
    if (auto known = floors_.find(fan); known != floors_.end()) {
        floor = known->second;
        return KERN_SUCCESS;
    }
    if (!options_.strictLimits) {
        // An emulated fan without a maximum is a test machine's: no limits.
        KeyInfo maximum;
        if (kern_return_t status = keyInfo(encodings::fanKey(fan, "Mx"), maximum)) {
            problem = "cannot read what the fan's maximum " + keyText(encodings::fanKey(fan, "Mx")) + " holds (" +
                      statusText(status) + ")";
            return status;
        }
        if (maximum.size == 0)
            return KERN_SUCCESS;
    }
    kern_return_t status = readLimit(fan, "Mn", "minimum", " to take its floor from", " for its floor", floor, problem);
    if (status == KERN_SUCCESS && floor)
        floors_[fan] = *floor;
    return status;
}

kern_return_t FanBroker::maximumOf(uint32_t fan, std::optional<double>& maximum, std::string& problem)
{
    if (auto known = maxima_.find(fan); known != maxima_.end()) {
        maximum = known->second;
        return KERN_SUCCESS;
    }
    kern_return_t status = readLimit(fan, "Mx", "maximum", " to check against", "", maximum, problem);
    if (status == KERN_SUCCESS)
        maxima_[fan] = maximum;
    return status;
}

kern_return_t FanBroker::readLimit(uint32_t fan, const char (&suffix)[3], const char* name, const char* missing,
                                   const char* purpose, std::optional<double>& speed, std::string& problem)
{
    speed.reset();
    FourCharCode key = encodings::fanKey(fan, suffix), type = 0;
    SavedValue value;
    kern_return_t status = read(key, value, &type);
    // Without strict limits a fan lacking the key is an emulated test machine's.
    if (status == kIOReturnNotFound && !options_.strictLimits)
        return KERN_SUCCESS;
    if (status == kIOReturnNotFound) {
        problem = std::string("the fan has no ") + name + " " + keyText(key) + missing;
        return status;
    }
    if (status != KERN_SUCCESS) {
        problem = std::string("cannot read the fan's ") + name + " " + keyText(key) + " (" + statusText(status) + ")" +
                  purpose;
        return status;
    }
    speed = encodings::speedFromBytes(type, value.bytes.data(), value.size);
    if (!speed) {
        problem = std::string("the fan's ") + name + " " + keyText(key) + " is not a speed";
        return kIOReturnBadArgument;
    }
    return KERN_SUCCESS;
}

kern_return_t FanBroker::checkWrite(const FanKeyRole& role, FourCharCode key, const uint8_t* bytes, uint32_t size,
                                    std::string& problem)
{
    KeyInfo info;
    if (kern_return_t status = keyInfo(key, info)) {
        problem = "cannot read what the key holds (" + statusText(status) + ")";
        return status;
    }
    if (info.size == 0) {
        problem = "the SMC has no such key";
        return kIOReturnNotFound;
    }
    if (size != info.size) {
        problem = "a write of " + std::to_string(size) + " bytes, but the key holds " + std::to_string(info.size) +
                  " (" + fourCharText(info.type) + ")";
        return kIOReturnBadArgument;
    }
    if (!isSpeed(role.part))
        return KERN_SUCCESS;
    std::optional<double> rpm = encodings::speedFromBytes(info.type, bytes, size);
    if (!rpm) {
        problem = "the bytes are not a speed of type " + fourCharText(info.type);
        return kIOReturnBadArgument;
    }
    // Limits that cannot be established refuse the write, never wave it through.
    std::optional<double> maximum, floor;
    if (maximumOf(role.fan, maximum, problem) != KERN_SUCCESS || floorOf(role.fan, floor, problem) != KERN_SUCCESS)
        return kIOReturnBadArgument;
    if (maximum && *rpm > *maximum) {
        problem = rpmText(*rpm) + " is above the maximum of " + rpmText(*maximum);
        return kIOReturnBadArgument;
    }
    if (floor && *rpm < *floor) {
        problem = rpmText(*rpm) + " is below the floor of " + rpmText(*floor);
        return kIOReturnBadArgument;
    }
    return KERN_SUCCESS;
}

Reply FanBroker::write(ClientId client, const Request& request)
{
    Reply reply{kIOReturnNotPrivileged, {}};
    SMCKeyData record;
    std::memcpy(&record, request.record, sizeof record);
    if (!allowed(record.key))
        return reply;
    auto bytes = reinterpret_cast<const uint8_t*>(record.bytes);
    uint32_t size = std::min<uint32_t>(record.dataSize, sizeof record.bytes);
    FanWrite change{record.key, fanKeyRole(record.key), {record.key, uint8_t(size), {}}, false, false, {}, {}, {},
                    std::nullopt, false};
    std::memcpy(change.after.bytes.data(), bytes, size);
    change.leasing = leaseHolders_.count(client) > 0;
    change.recording = change.role && !options_.keepFans;
    if (change.role && (reply.status = prepareWrite(client, change)) != KERN_SUCCESS)
        return reply;

    // Recorded and on disk before the write, so that a crash right after it
    // still puts the fan back; taken back when the write fails.
    std::map<uint32_t, FanRecord> recordsBefore = records_;
    if (change.recording)
        recordBefore(change);
    reply = storeWrite(request, change.recording, recordsBefore);
    if (reply.status != KERN_SUCCESS)
        return reply;
    if (change.readTargetAfter)
        recordTargetAfter(change);
    for (uint32_t fan = 0; fan < encodings::kNamedFans; ++fan)
        if (record.key == encodings::fanKey(fan, "Mx"))
            maxima_.erase(fan);  // a maximum written through the daemon is read again at the next check
    const std::optional<FanKeyRole>& role = change.role;
    if (controller_ && controller_->client == client && role && role->part == FanKeyRole::Part::Target) {
        KeyInfo info;
        std::optional<double> target = keyInfo(record.key, info) == KERN_SUCCESS
                                           ? encodings::speedFromBytes(info.type, bytes, size)
                                           : std::nullopt;
        if (target)
            controller_->targets[role->fan] = float(*target);
    }
    holdWritten(client, change);
    return reply;
}

kern_return_t FanBroker::prepareWrite(ClientId client, FanWrite& change)
{
    const FanKeyRole& role = *change.role;
    std::string problem;
    if (kern_return_t status = checkWrite(role, change.key, change.after.bytes.data(), change.after.size, problem)) {
        // Fan clients try the mask first and fall back to the fan's own mode
        // key where the machine has none (T2 and Apple Silicon Macs): not news.
        if (status != kIOReturnNotFound || role.part != FanKeyRole::Part::ForcedMask)
            say(keyText(change.key) + ": " + problem + "; the write is refused");
        return status;
    }
    // The mask's fans are known once it is read, below; a key's at once.
    if (role.part != FanKeyRole::Part::ForcedMask && heldOff(client, {role.fan}))
        return kIOReturnExclusiveAccess;
    if (role.part != FanKeyRole::Part::Minimum && role.part != FanKeyRole::Part::ForcedMask &&
        hiddenModes_.count(role.fan)) {
        prepareHiddenMode(change);
        return KERN_SUCCESS;
    }
    // Nothing changes that could not be put back. What was there before
    // is needed only where no earlier write through the daemon keeps it
    // already; the mask always, for which bits change.
    auto recorded = records_.find(role.fan);
    auto held = leases_.find(role.fan);
    bool needBefore = role.part == FanKeyRole::Part::ForcedMask
                          ? change.recording || change.leasing
                          : (change.recording &&
                             (recorded == records_.end() || !findValue(recorded->second.values, change.key))) ||
                                (change.leasing && (held == leases_.end() || !held->second.owners.count(change.key)));
    SavedValue before;
    kern_return_t status =
        needBefore || role.part == FanKeyRole::Part::ForcedMask ? read(change.key, before) : KERN_SUCCESS;
    if (status != KERN_SUCCESS && needBefore) {
        say(keyText(change.key) + ": cannot read it to put it back later (" + statusText(status) +
            "); the write is refused");
        return status;
    }
    if (role.part != FanKeyRole::Part::ForcedMask) {
        change.keyBefore[role.fan] = before;  // unread when nothing needs it
    } else if (status == KERN_SUCCESS) {
        for (uint32_t fan = 0; fan < 16; ++fan) {
            change.bitAfter[fan] = bitOf(change.after, fan);
            if (bitOf(before, fan) != change.bitAfter[fan])
                change.bitBefore[fan] = bitOf(before, fan);
        }
    }
    std::set<uint32_t> fans;
    for (const auto& part : change.bitBefore)
        fans.insert(part.first);
    return heldOff(client, fans) ? kIOReturnExclusiveAccess : KERN_SUCCESS;
}

void FanBroker::prepareHiddenMode(FanWrite& change)
{
    // The driver puts the fan in manual mode at a target's write and keeps
    // that flag to itself: what smcd changed is the mode, and what shows
    // that nobody changed the fan since is the target it leaves.
    uint32_t fan = change.role->fan;
    FourCharCode mode = encodings::fanKey(fan, "Md");
    bool manual = change.role->part == FanKeyRole::Part::Target || change.after.bytes[0] != 0;
    if (change.role->part == FanKeyRole::Part::Target)
        change.target = change.after;
    change.readTargetAfter = change.role->part == FanKeyRole::Part::Mode && manual;
    change.key = mode;
    change.after = {mode, 1, {uint8_t(manual)}};
    change.keyBefore[fan] = {mode, 1, {0}};  // automatic: what a put-back writes
}

void FanBroker::recordTargetAfter(FanWrite& change)
{
    // Manual mode holds the fan at the target it had; a failed read leaves
    // the put-back without that check, never the write undone.
    SavedValue target;
    if (read(encodings::fanKey(change.role->fan, "Tg"), target) != KERN_SUCCESS)
        return;
    change.target = target;
    if (auto record = records_.find(change.role->fan); change.recording && record != records_.end()) {
        setValue(record->second.written, target);
        std::vector<std::string> notes;
        persistOrSay(notes);
        for (std::string& note : notes)
            say(std::move(note));
    }
}

void FanBroker::recordBefore(const FanWrite& change)
{
    for (const auto& [fan, value] : change.keyBefore) {
        FanRecord& fanRecord = records_.try_emplace(fan, FanRecord{fan, std::nullopt, {}}).first->second;
        if (!findValue(fanRecord.values, value.key))
            fanRecord.values.push_back(value);
        setValue(fanRecord.written, change.after);
        if (change.target)
            setValue(fanRecord.written, *change.target);
    }
    for (const auto& [fan, bit] : change.bitBefore)
        if (FanRecord& fanRecord = records_.try_emplace(fan, FanRecord{fan, std::nullopt, {}}).first->second;
            !fanRecord.forced)
            fanRecord.forced = bit;
    // A bit the write leaves as it is stays whoever's it was: clients
    // rewrite the whole mask to change one fan.
    for (auto& [fan, fanRecord] : records_)
        if (fanRecord.forced && change.bitBefore.count(fan))
            fanRecord.forcedWritten = change.bitAfter.at(fan);
}

Reply FanBroker::storeWrite(const Request& request, bool recording, std::map<uint32_t, FanRecord>& recordsBefore)
{
    Reply reply{kIOReturnNotPrivileged, {}};
    SMCKeyData record;
    std::memcpy(&record, request.record, sizeof record);
    std::string error;
    // An emulated SMC's values live in this process and go to disk with
    // the records in one save after the write; nothing outlives a crash
    // before it. A real SMC keeps a write through a crash of ours.
    bool storedHere = state_ && emulated_;
    if (recording && state_ && !storedHere && !persist(error)) {
        records_ = std::move(recordsBefore);
        std::fprintf(stderr, "smcd: cannot save state %s: %s; the write is refused\n", state_->path().c_str(),
                     error.c_str());
        reply.status = kIOReturnIOError;
        return reply;
    }
    std::optional<SMCKeyEntry> stored = storedHere ? emulated_->key(record.key) : std::nullopt;

    reply = passOn(request);

    if (stored && reply.status == KERN_SUCCESS && !persist(error)) {
        // Not on disk, so not acknowledged: the store goes back as it was.
        emulated_->setValue(stored->key, stored->bytes.data(), stored->size);
        std::fprintf(stderr, "smcd: cannot save state %s: %s; the write is refused\n", state_->path().c_str(),
                     error.c_str());
        reply.status = kIOReturnIOError;
    }
    if (reply.status != KERN_SUCCESS && recording) {
        records_ = std::move(recordsBefore);
        if (!storedHere)
            persist(error);  // best effort: a stale record only holds a value the SMC never took
    }
    return reply;
}
}  // namespace smcd
