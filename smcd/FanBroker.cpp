#include "smcd/FanBroker.h"
#include "backends/CallRecord.h"
#include "smc/CallRecords.h"
#include "smc/smc.h"
#include "smc/Encodings.h"

#include <IOKit/IOKitSMCLease.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <utility>

namespace smcd {
namespace {

// Bytes a terminal could take for commands shown as '?'.
std::string printable(std::string text)
{
    for (char& c : text)
        if (c < 0x20 || c > 0x7e)
            c = '?';
    return text;
}

std::string keyText(FourCharCode key)
{
    return printable(fourCharText(key));
}

std::string secondsText(BrokerClock::duration duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
    return text;
}

std::string fanName(uint32_t fan)
{
    return "fan " + std::to_string(fan);
}

std::string statusText(kern_return_t status)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", unsigned(status));
    return text;
}

// Whole rpm as they are, fractions to two places at most.
std::string rpmText(double rpm)
{
    char text[64];  // the largest float has 39 digits
    std::snprintf(text, sizeof text, "%.2f", rpm);
    std::string result = text;
    while (result.back() == '0' && result.find('.') != std::string::npos)
        result.pop_back();
    if (result.back() == '.')
        result.pop_back();
    return result + " rpm";
}

bool isSpeed(FanKeyRole::Part part)
{
    return part == FanKeyRole::Part::Minimum || part == FanKeyRole::Part::Target;
}

bool isSpeedKey(FourCharCode key)
{
    std::optional<FanKeyRole> role = fanKeyRole(key);
    return role && isSpeed(role->part);
}

SavedValue* findValue(std::vector<SavedValue>& values, FourCharCode key)
{
    auto found = std::find_if(values.begin(), values.end(), [key](const SavedValue& v) { return v.key == key; });
    return found == values.end() ? nullptr : &*found;
}

void setValue(std::vector<SavedValue>& values, const SavedValue& value)
{
    if (SavedValue* existing = findValue(values, value.key))
        *existing = value;
    else
        values.push_back(value);
}

void eraseValue(std::vector<SavedValue>& values, FourCharCode key)
{
    std::erase_if(values, [key](const SavedValue& v) { return v.key == key; });
}

bool sameBytes(const SavedValue& a, const SavedValue& b)
{
    return a.size == b.size && std::memcmp(a.bytes.data(), b.bytes.data(), a.size) == 0;
}

// Equal values of a key of `type`. Speeds within a whole rpm count as equal:
// the driver's files carry whole rpm, so a quarter written comes back lost.
bool sameValue(FourCharCode type, const SavedValue& a, const SavedValue& b)
{
    auto first = encodings::speedFromBytes(type, a.bytes.data(), a.size);
    auto second = encodings::speedFromBytes(type, b.bytes.data(), b.size);
    if (a.size == b.size && isSpeedKey(a.key) && first && second)
        return std::fabs(*first - *second) < 1;
    return sameBytes(a, b);
}

bool bitOf(const SavedValue& mask, uint32_t fan)
{
    return fan < 16 && ((mask.bytes[0] << 8 | mask.bytes[1]) >> fan & 1);
}

// A value as people read it: a speed in rpm, any other byte by byte.
std::string valueText(FourCharCode type, const SavedValue& value)
{
    std::string text = keyText(value.key) + " ";
    auto rpm = encodings::speedFromBytes(type, value.bytes.data(), value.size);
    if (isSpeedKey(value.key) && rpm)
        return text + rpmText(*rpm);
    for (size_t i = 0; i < value.size; ++i)
        text += std::to_string(value.bytes[i]) + (i + 1 < value.size ? " " : "");
    return text;
}

std::string modeText(bool forced)
{
    return forced ? "manual mode (FS! bit)" : "automatic mode (FS! bit)";
}

// Pending notes kept for a caller that does not take them.
constexpr size_t kMaxNotes = 256;

}  // namespace

std::optional<WritePolicy> parseWritePolicy(std::string_view text, std::string& problem)
{
    using Kind = WritePolicy::Kind;
    if (text == "all")
        return WritePolicy{Kind::All, {}};
    if (text == "fans")
        return WritePolicy{Kind::Fans, {}};
    if (text == "none")
        return WritePolicy{Kind::None, {}};
    WritePolicy policy{Kind::Keys, {}};
    for (size_t at = 0;;) {
        size_t comma = std::min(text.find(',', at), text.size());
        std::string_view key = text.substr(at, comma - at);
        if (key.size() != 4) {
            problem = "expected fans, all, none or keys of four characters separated by commas (\"FS! \" with "
                      "its blank), not \"" + std::string(key) + "\"";
            return std::nullopt;
        }
        policy.keys.push_back(fourCharCode(key));
        if (comma == text.size())
            return policy;
        at = comma + 1;
    }
}

std::optional<FanKeyRole> fanKeyRole(FourCharCode key)
{
    using Part = FanKeyRole::Part;
    if (key == encodings::kForcedMaskKey)
        return FanKeyRole{Part::ForcedMask, 0};
    std::string text = fourCharText(key);
    if (text[0] != 'F' || text[1] < '0' || text[1] > '9')
        return std::nullopt;
    uint32_t fan = uint32_t(text[1] - '0');
    std::string_view suffix = std::string_view(text).substr(2);
    if (suffix == "Mn")
        return FanKeyRole{Part::Minimum, fan};
    if (suffix == "Tg")
        return FanKeyRole{Part::Target, fan};
    if (suffix == "Md")
        return FanKeyRole{Part::Mode, fan};
    return std::nullopt;
}

FanBroker::FanBroker(std::unique_ptr<SMCConnection> connection, BrokerOptions options, StateFile* state,
                     std::shared_ptr<SMCKeyStore> emulated)
    : connection_(std::move(connection)), options_(std::move(options)), state_(state), emulated_(std::move(emulated))
{
}

kern_return_t FanBroker::exchange(uint8_t command, FourCharCode key, SMCKeyData& reply, const SavedValue* value)
{
    // The broker sends writes of saved values, reads and key information only.
    SMCKeyData request = value                          ? smc::writeRequest(key, value->bytes.data(), value->size)
                         : command == SMCCommandReadKey ? smc::readRequest(key, reply.dataSize)
                                                        : smc::keyInfoRequest(key);
    reply = {};
    size_t size = sizeof reply;
    return connection_->call(kSMCUserClientCall, &request, sizeof request, &reply, &size);
}

kern_return_t FanBroker::keyInfo(FourCharCode key, KeyInfo& info)
{
    if (auto known = keyInfos_.find(key); known != keyInfos_.end()) {
        info = known->second;
        return KERN_SUCCESS;
    }
    SMCKeyData reply{};
    if (kern_return_t status = exchange(SMCCommandKeyInfo, key, reply))
        return status;
    info = {reply.dataType, reply.dataSize <= sizeof reply.bytes ? reply.dataSize : 0};
    keyInfos_[key] = info;
    return KERN_SUCCESS;
}

kern_return_t FanBroker::read(FourCharCode key, SavedValue& value, FourCharCode* type)
{
    KeyInfo info;
    if (kern_return_t status = keyInfo(key, info))
        return status;
    if (info.size == 0)
        return kIOReturnNotFound;
    SMCKeyData data{};
    data.dataSize = info.size;
    if (kern_return_t status = exchange(SMCCommandReadKey, key, data))
        return status;
    value = {key, uint8_t(info.size), {}};
    std::memcpy(value.bytes.data(), data.bytes, value.size);
    if (type)
        *type = info.type;
    return KERN_SUCCESS;
}

kern_return_t FanBroker::writeValue(const SavedValue& value)
{
    SMCKeyData reply{};
    return exchange(SMCCommandWriteKey, value.key, reply, &value);
}

void FanBroker::say(std::string note)
{
    if (notes_.size() >= kMaxNotes)
        notes_.erase(notes_.begin());
    notes_.push_back(std::move(note));
}

std::vector<std::string> FanBroker::takeNotes()
{
    return std::exchange(notes_, {});
}

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
    uint32_t fans = read(fourCharCode("FNum"), count) == KERN_SUCCESS ? count.bytes[0] : 0;
    KeyInfo info;
    keyInfo(encodings::kForcedMaskKey, info);
    for (uint32_t fan = 0; fan < std::min(fans, encodings::kNamedFans); ++fan) {
        for (FourCharCode key :
             {encodings::fanKey(fan, "Mn"), encodings::fanKey(fan, "Tg"), encodings::fanKey(fan, "Md")})
            keyInfo(key, info);
        std::optional<double> limit;
        std::string problem;
        maximumOf(fan, limit, problem);
        if (!options_.fanFloor)
            floorOf(fan, limit, problem);
    }
    return true;
}

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
    // A read that failed says nothing of the record: it waits for the next start.
    auto failed = [](kern_return_t status) {
        return status == kIOReturnBadArgument || status == kIOReturnNotFound ? Verdict::Unsound : Verdict::Unknown;
    };
    struct Speed {
        FourCharCode key;
        FanKeyRole::Part part;
        double rpm;
    };
    std::vector<Speed> speeds;
    std::optional<double> minimum;  // the one this record leaves the fan with
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
    for (const Speed& speed : speeds) {
        std::string name = keyText(speed.key) + ": ";
        std::optional<double> maximum, floor = options_.fanFloor;
        if (kern_return_t status = maximumOf(record.fan, maximum, problem)) {
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
            if (kern_return_t status = floor ? KERN_SUCCESS : floorOf(record.fan, floor, problem)) {
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
    std::vector<std::string> done, left, failed;
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

    if (record.forced) {
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
            unsigned bits = unsigned(mask.bytes[0] << 8 | mask.bytes[1]) ^ 1u << record.fan;
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

    auto join = [](const std::vector<std::string>& parts) {
        std::string text;
        for (const std::string& part : parts)
            text += (text.empty() ? "" : ", ") + part;
        return text;
    };
    std::string prefix = fanName(record.fan) + ": ";
    if (!done.empty())
        notes.push_back(prefix + "put back " + when + ": " + join(done));
    if (!left.empty())
        notes.push_back(prefix + "left as it is " + when + ", changed since smcd wrote it: " + join(left));
    if (!failed.empty())
        notes.push_back(prefix + "cannot put back " + when + ": " + join(failed));
    return wrote;
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

Reply FanBroker::handle(ClientId client, const uint8_t* message, size_t size, const Peer& peer)
{
    Reply reply{kIOReturnBadArgument, {}};
    // Any message at all shows the controller alive.
    if (controller_ && controller_->client == client)
        controller_->heard = now();
    if (message == nullptr || size != sizeof(Request))
        return reply;
    Request request;
    std::memcpy(&request, message, sizeof request);
    if (request.method == kLeaseMethod) {
        leaseHolders_.insert(client);
        pids_[client] = peer.pid;
        reply.status = KERN_SUCCESS;
        return reply;
    }
    if (request.method == kClaimControlMethod)
        return claim(client, request, peer);
    if (request.method == kControllerMethod) {
        reply.status = kIOReturnNotFound;
        if (controller_) {
            describeController(reply.record);
            reply.status = KERN_SUCCESS;
        }
        return reply;
    }
    // Over another daemon the question is passed on: that one knows.
    if (request.method == kServiceKindMethod && (emulated_ || !connection_->brokered())) {
        reply.status = KERN_SUCCESS;
        reply.record[0] = emulated_ ? 1 : 0;
        return reply;
    }
    if (request.method == kFloorMethod) {
        uint32_t fan;
        std::memcpy(&fan, request.record, sizeof fan);
        std::optional<double> floor;
        std::string problem;
        reply.status = kIOReturnNotFound;
        if (fan < encodings::kNamedFans && floorOf(fan, floor, problem) == KERN_SUCCESS && floor) {
            reply.status = KERN_SUCCESS;
            std::memcpy(reply.record, &*floor, sizeof *floor);
        }
        return reply;
    }
    if (request.method == kSMCUserClientCall && protocol::commandOf(request) == kWriteKey)
        return write(client, request);
    return passOn(request);
}

std::optional<ClientId> FanBroker::controller() const
{
    return controller_ ? std::optional(controller_->client) : std::nullopt;
}

std::string FanBroker::processText(ClientId client) const
{
    auto found = pids_.find(client);
    return found != pids_.end() && found->second > 0 ? "pid " + std::to_string(found->second)
                                                      : "another connection";
}

BrokerClock::time_point FanBroker::now() const
{
    return options_.clock ? options_.clock() : BrokerClock::now();
}

bool FanBroker::mayControl(const Peer& peer) const
{
    const ControllerIdentity& allowed = options_.controllers;
    if (peer.uid == 0)
        return true;
    if (!allowed.user && !allowed.group)
        return peer.uid == geteuid();
    return (allowed.user && peer.uid == *allowed.user) ||
           (allowed.group && std::find(peer.groups.begin(), peer.groups.end(), *allowed.group) != peer.groups.end());
}

Reply FanBroker::claim(ClientId client, const Request& request, const Peer& peer)
{
    Reply reply{kIOReturnBadArgument, {}};
    auto text = reinterpret_cast<const char*>(request.record);
    size_t length = strnlen(text, sizeof IOSMCFanController::name);
    if (length == 0 || length == sizeof IOSMCFanController::name ||
        !std::all_of(text, text + length, [](char c) { return c >= 0x20 && c <= 0x7e; }))
        return reply;
    // Who may drive the fans is the kernel's word, never the name sent: a
    // member of the socket's group must not take them over as "smcfand".
    if (!mayControl(peer)) {
        if (refusedControllers_.insert(peer.uid).second)
            say("uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) +
                ") may not be the fan controller; its claims are refused (--controller names who may)");
        reply.status = kIOReturnNotPrivileged;
        return reply;
    }
    if (controller_ && controller_->client != client) {
        describeController(reply.record);
        reply.status = kIOReturnExclusiveAccess;
        return reply;
    }
    uint32_t poll;
    std::memcpy(&poll, request.record + kClaimNameSize, sizeof poll);
    std::chrono::milliseconds interval{poll == 0 ? 1000 : std::min<uint32_t>(poll, 60'000)};
    BrokerClock::duration silence = std::max<BrokerClock::duration>(kMissedPolls * interval, kShortestSilence);
    std::string name(text, length);
    leaseHolders_.insert(client);
    pids_[client] = peer.pid;
    bool news = !controller_ || controller_->name != name || controller_->silence != silence;
    if (!controller_)
        controller_ = Controller{client, peer, name, silence, now(), {}, {}};
    controller_->name = name;
    controller_->silence = silence;
    if (news)
        say("fan controller " + controllerText() +
            " drives the fans it writes; a hold by anyone else wins, and its fans go back to the SMC when it ends "
            "or sends nothing for " + secondsText(silence));
    reply.status = KERN_SUCCESS;
    return reply;
}

std::string FanBroker::controllerText() const
{
    const Peer& peer = controller_->peer;
    return "\"" + controller_->name + "\" (pid " + std::to_string(peer.pid) + ", uid " + std::to_string(peer.uid) +
           ", " + (peer.executable.empty() ? std::string("its program unknown") : printable(peer.executable)) + ")";
}

std::optional<BrokerClock::time_point> FanBroker::controllerDeadline() const
{
    if (!controller_)
        return std::nullopt;
    return controller_->heard + controller_->silence;
}

std::optional<ClientId> FanBroker::endSilentController(std::vector<std::string>& notes)
{
    if (!controller_ || now() < controller_->heard + controller_->silence)
        return std::nullopt;
    // Stopped, hung or starved: its fans must not stay where it left them.
    ClientId client = controller_->client;
    notes.push_back("fan controller " + controllerText() + " sent nothing for " + secondsText(controller_->silence) +
                    "; its connection is closed and the fans it drove go back to the SMC");
    controller_.reset();
    if (leaseHolders_.erase(client))
        endLeases(client, notes);
    return client;
}

void FanBroker::describeController(uint8_t* bytes) const
{
    IOSMCFanController record{};
    const Peer& peer = controller_->peer;
    record.pid = peer.pid;
    record.uid = peer.uid;
    std::string name = peer.executable.empty() ? controller_->name
                                               : printable(peer.executable.substr(peer.executable.rfind('/') + 1));
    std::memcpy(record.name, name.data(), std::min(name.size(), sizeof record.name - 1));
    // Driven: its target, its mode or its FS! bit is the controller's write,
    // and no hold of another stands there.
    uint32_t driving = 0;
    for (const auto& [fan, lease] : leases_) {
        for (const auto& [key, owner] : lease.owners) {
            if (fan >= 32)
                continue;
            if (owner != controller_->client)
                record.heldFans |= 1u << fan;
            else if (fanKeyRole(key)->part != FanKeyRole::Part::Minimum)
                driving |= 1u << fan;
        }
    }
    record.drivenFans = driving & ~record.heldFans;
    for (size_t fan = 0; fan < std::size(record.targets); ++fan) {
        auto target = controller_->targets.find(uint32_t(fan));
        record.targets[fan] = target == controller_->targets.end() ? NAN : target->second;
    }
    std::memcpy(bytes, &record, sizeof record);
}

bool FanBroker::heldOff(ClientId client, const std::set<uint32_t>& fans)
{
    // A hold wins over the controller while it lasts: a person who holds a
    // fan must not find it changed underneath.
    if (!controller_ || controller_->client != client)
        return false;
    for (uint32_t fan : fans) {
        std::optional<ClientId> holder = holderOf(fan);
        if (!holder) {
            controller_->saidHeld.erase(fan);
            continue;
        }
        if (auto said = controller_->saidHeld.find(fan); said == controller_->saidHeld.end() || said->second != *holder) {
            say(fanName(fan) + ": held by " + processText(*holder) + "; the fan controller " + controllerText() +
                " leaves it alone until that ends");
            controller_->saidHeld[fan] = *holder;
        }
        return true;
    }
    return false;
}

std::optional<ClientId> FanBroker::holderOf(uint32_t fan) const
{
    auto lease = leases_.find(fan);
    if (lease != leases_.end())
        for (const auto& [key, owner] : lease->second.owners)
            if (owner != controller_->client)
                return owner;
    return std::nullopt;
}

Reply FanBroker::passOn(const Request& request)
{
    Reply reply{kIOReturnBadArgument, {}};
    size_t replySize = sizeof reply.record;
    reply.status = connection_->call(request.method, request.record, sizeof request.record, reply.record, &replySize);
    return reply;
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
    SavedValue after{record.key, uint8_t(size), {}};
    std::memcpy(after.bytes.data(), bytes, size);

    std::optional<FanKeyRole> role = fanKeyRole(record.key);
    bool leasing = leaseHolders_.count(client) > 0;
    bool recording = role && !options_.keepFans;
    std::string problem;
    // Each part of a fan this write sets, as it was: a key's value, or a fan's bit of "FS! ".
    std::map<uint32_t, SavedValue> keyBefore;
    std::map<uint32_t, bool> bitBefore, bitAfter;
    if (role) {
        if ((reply.status = checkWrite(*role, record.key, bytes, size, problem)) != KERN_SUCCESS) {
            say(keyText(record.key) + ": " + problem + "; the write is refused");
            return reply;
        }
        // The mask's fans are known once it is read, below; a key's at once.
        if (role->part != FanKeyRole::Part::ForcedMask && heldOff(client, {role->fan})) {
            reply.status = kIOReturnExclusiveAccess;
            return reply;
        }
        // Nothing changes that could not be put back. What was there before
        // is needed only where no earlier write through the daemon keeps it
        // already; the mask always, for which bits change.
        auto recorded = records_.find(role->fan);
        auto held = leases_.find(role->fan);
        bool needBefore = role->part == FanKeyRole::Part::ForcedMask
                              ? recording || leasing
                              : (recording && (recorded == records_.end() ||
                                               !findValue(recorded->second.values, record.key))) ||
                                    (leasing && (held == leases_.end() || !held->second.owners.count(record.key)));
        SavedValue before;
        kern_return_t status = needBefore || role->part == FanKeyRole::Part::ForcedMask
                                   ? read(record.key, before)
                                   : KERN_SUCCESS;
        if (status != KERN_SUCCESS && needBefore) {
            say(keyText(record.key) + ": cannot read it to put it back later (" + statusText(status) +
                "); the write is refused");
            reply.status = status;
            return reply;
        }
        if (role->part != FanKeyRole::Part::ForcedMask) {
            keyBefore[role->fan] = before;  // unread when nothing needs it
        } else if (status == KERN_SUCCESS) {
            for (uint32_t fan = 0; fan < 16; ++fan) {
                bitAfter[fan] = bitOf(after, fan);
                if (bitOf(before, fan) != bitAfter[fan])
                    bitBefore[fan] = bitOf(before, fan);
            }
        }
        std::set<uint32_t> fans;
        for (const auto& part : bitBefore)
            fans.insert(part.first);
        if (heldOff(client, fans)) {
            reply.status = kIOReturnExclusiveAccess;
            return reply;
        }
    }

    // Recorded and on disk before the write, so that a crash right after it
    // still puts the fan back; taken back when the write fails.
    std::map<uint32_t, FanRecord> recordsBefore = records_;
    if (recording) {
        for (const auto& [fan, value] : keyBefore) {
            FanRecord& fanRecord = records_.try_emplace(fan, FanRecord{fan, std::nullopt, {}}).first->second;
            if (!findValue(fanRecord.values, value.key))
                fanRecord.values.push_back(value);
            setValue(fanRecord.written, after);
        }
        for (const auto& [fan, bit] : bitBefore)
            if (FanRecord& fanRecord = records_.try_emplace(fan, FanRecord{fan, std::nullopt, {}}).first->second;
                !fanRecord.forced)
                fanRecord.forced = bit;
        // A bit the write leaves as it is stays whoever's it was: clients
        // rewrite the whole mask to change one fan.
        for (auto& [fan, fanRecord] : records_)
            if (fanRecord.forced && bitBefore.count(fan))
                fanRecord.forcedWritten = bitAfter[fan];
    }
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
    if (reply.status != KERN_SUCCESS) {
        if (recording) {
            records_ = std::move(recordsBefore);
            if (!storedHere)
                persist(error);  // best effort: a stale record only holds a value the SMC never took
        }
        return reply;
    }
    for (uint32_t fan = 0; fan < encodings::kNamedFans; ++fan)
        if (record.key == encodings::fanKey(fan, "Mx"))
            maxima_.erase(fan);  // a maximum written through the daemon is read again at the next check
    if (controller_ && controller_->client == client && role && role->part == FanKeyRole::Part::Target) {
        KeyInfo info;
        std::optional<double> target = keyInfo(record.key, info) == KERN_SUCCESS
                                           ? encodings::speedFromBytes(info.type, bytes, size)
                                           : std::nullopt;
        if (target)
            controller_->targets[role->fan] = float(*target);
    }

    // A lease holds what its client's writes changed; a write without a
    // lease lasts, so it takes that key out of any lease that held it.
    auto hold = [&](uint32_t fan, FourCharCode key, auto&& keep) {
        auto lease = leases_.find(fan);
        if (leasing) {
            if (lease == leases_.end())
                lease = leases_.emplace(fan, Lease{FanRecord{fan, std::nullopt, {}}, {}}).first;
            keep(lease->second.baseline, !lease->second.owners.count(key));
            lease->second.owners[key] = client;
        } else if (lease != leases_.end() && lease->second.owners.erase(key)) {
            FanRecord& baseline = lease->second.baseline;
            if (key == encodings::kForcedMaskKey) {
                baseline.forced.reset();
                baseline.forcedWritten.reset();
            }
            eraseValue(baseline.values, key);
            eraseValue(baseline.written, key);
            if (lease->second.owners.empty())
                leases_.erase(lease);
        }
    };
    for (const auto& part : keyBefore)
        hold(part.first, record.key, [&](FanRecord& baseline, bool first) {
            if (first)
                setValue(baseline.values, part.second);
            setValue(baseline.written, after);
        });
    for (const auto& part : bitBefore)
        hold(part.first, encodings::kForcedMaskKey, [&](FanRecord& baseline, bool first) {
            if (first)
                baseline.forced = part.second;
            baseline.forcedWritten = bitAfter[part.first];
        });
    // A hold takes the whole fan from the controller: what the controller
    // set there is the hold's to put back, so that the controller ending
    // meanwhile leaves the held fan as the hold has it.
    if (leasing && controller_ && controller_->client != client) {
        std::set<uint32_t> fans;
        for (const auto& part : keyBefore)
            fans.insert(part.first);
        for (const auto& part : bitBefore)
            fans.insert(part.first);
        for (uint32_t fan : fans)
            if (auto lease = leases_.find(fan); lease != leases_.end())
                for (auto& [key, owner] : lease->second.owners)
                    if (owner == controller_->client)
                        owner = client;
    }
    return reply;
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

void FanBroker::endLeases(std::optional<ClientId> client, std::vector<std::string>& notes)
{
    bool changed = false;
    for (auto lease = leases_.begin(); lease != leases_.end();) {
        Lease& held = lease->second;
        // Only the keys this client's writes changed, not the whole fan.
        FanRecord ending{lease->first, std::nullopt, {}};
        for (auto owner = held.owners.begin(); owner != held.owners.end();) {
            if (client && owner->second != *client) {
                ++owner;
                continue;
            }
            if (owner->first == encodings::kForcedMaskKey) {
                ending.forced = held.baseline.forced;
                ending.forcedWritten = held.baseline.forcedWritten;
            } else if (const SavedValue* value = findValue(held.baseline.values, owner->first)) {
                ending.values.push_back(*value);
                if (const SavedValue* written = findValue(held.baseline.written, owner->first))
                    ending.written.push_back(*written);
            }
            owner = held.owners.erase(owner);
        }
        if (!ending.empty()) {
            forgetPutBack(putBack(ending, "at the end of a lease", notes));
            changed = true;
        }
        lease = held.owners.empty() ? leases_.erase(lease) : std::next(lease);
    }
    if (changed && (emulated_ || !options_.keepFans))
        persistOrSay(notes);
}

void FanBroker::closed(ClientId client, std::vector<std::string>& notes)
{
    if (controller_ && controller_->client == client) {
        notes.push_back("fan controller " + controllerText() + " is gone; the fans it drove go back to the SMC");
        controller_.reset();
    }
    if (leaseHolders_.erase(client))
        endLeases(client, notes);
    pids_.erase(client);
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
