#include "smcd/FanBroker.h"
#include "smc/smc.h"
#include "smcd/FanSpeed.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace platform::smcd {
namespace {

constexpr size_t kCommandOffset = offsetof(SMCKeyData, command);

std::string keyText(FourCharCode key)
{
    std::string text = fourCharText(key);
    for (char& c : text)
        if (c < 0x20 || c > 0x7e)
            c = '?';
    return text;
}

std::string fanName(uint32_t fan)
{
    return "fan " + std::to_string(fan);
}

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
    if (key == fans::kForcedMaskKey)
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
                     std::shared_ptr<EmulatedSMC> emulated)
    : connection_(std::move(connection)), options_(std::move(options)), state_(state), emulated_(std::move(emulated))
{
}

kern_return_t FanBroker::exchange(uint8_t command, FourCharCode key, SMCKeyData& reply, const SavedValue* value)
{
    SMCKeyData request{};
    request.key = key;
    request.command = command;
    if (value) {
        request.dataSize = value->size;
        std::memcpy(request.bytes, value->bytes.data(), value->size);
    } else if (command == SMCCommandReadKey) {
        request.dataSize = reply.dataSize;
    }
    reply = {};
    size_t size = sizeof reply;
    return connection_->call(kSMCUserClientCall, &request, sizeof request, &reply, &size);
}

std::optional<SavedValue> FanBroker::read(FourCharCode key, FourCharCode* type)
{
    SMCKeyData info{};
    if (exchange(SMCCommandKeyInfo, key, info) != KERN_SUCCESS || info.dataSize == 0 ||
        info.dataSize > sizeof info.bytes)
        return std::nullopt;
    SMCKeyData data{};
    data.dataSize = info.dataSize;
    if (exchange(SMCCommandReadKey, key, data) != KERN_SUCCESS)
        return std::nullopt;
    SavedValue value{key, uint8_t(info.dataSize), {}};
    std::memcpy(value.bytes.data(), data.bytes, value.size);
    if (type)
        *type = info.dataType;
    return value;
}

kern_return_t FanBroker::writeValue(const SavedValue& value)
{
    SMCKeyData reply{};
    return exchange(SMCCommandWriteKey, value.key, reply, &value);
}

bool FanBroker::start(std::vector<FanRecord> earlier, std::string& error, std::vector<std::string>& notes)
{
    for (FanRecord& record : earlier) {
        if (putBack(record, notes))
            notes.push_back(fanName(record.fan) + ": put back as it was before an earlier run changed it");
        else
            records_[record.fan] = std::move(record);  // tried again at the next start
    }
    if (!earlier.empty() && state_ && !persist(error))
        return false;

    std::optional<SavedValue> count = read(fourCharCode("FNum"));
    uint32_t fans = count && count->size >= 1 ? count->bytes[0] : 0;
    for (uint32_t fan = 0; fan < std::min(fans, fans::kNamedFans); ++fan) {
        if (options_.fanFloor) {
            floors_[fan] = *options_.fanFloor;
            continue;
        }
        FourCharCode type = 0;
        if (auto minimum = read(fans::fanKey(fan, "Mn"), &type))
            if (auto rpm = fans::speedFromBytes(type, minimum->bytes.data(), minimum->size))
                floors_[fan] = *rpm;
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

kern_return_t FanBroker::checkLimits(const FanKeyRole& role, FourCharCode key, const uint8_t* bytes, uint32_t size)
{
    FourCharCode type = 0, maximumType = 0;
    std::optional<SavedValue> current = read(key, &type);
    std::optional<SavedValue> maximum = read(fans::fanKey(role.fan, "Mx"), &maximumType);
    std::optional<double> top =
        maximum ? fans::speedFromBytes(maximumType, maximum->bytes.data(), maximum->size) : std::nullopt;
    if (!top)
        return options_.strictLimits ? kIOReturnBadArgument : KERN_SUCCESS;
    // A size that is not the key's is the SMC's to refuse, as for any key.
    if (!current || current->size != size)
        return KERN_SUCCESS;
    std::optional<double> rpm = fans::speedFromBytes(type, bytes, size);
    if (!rpm || *rpm > *top)
        return kIOReturnBadArgument;
    auto floor = floors_.find(role.fan);
    if (floor != floors_.end() && *rpm < floor->second)
        return kIOReturnBadArgument;
    return KERN_SUCCESS;
}

std::vector<uint32_t> FanBroker::fansChangedBy(const FanKeyRole& role, const uint8_t* bytes, uint32_t size)
{
    if (role.part != FanKeyRole::Part::ForcedMask)
        return {role.fan};
    std::vector<uint32_t> changed;
    std::optional<SavedValue> mask = read(fans::kForcedMaskKey);
    if (!mask || mask->size != 2 || size != 2)
        return changed;
    unsigned before = unsigned(mask->bytes[0] << 8 | mask->bytes[1]);
    unsigned after = unsigned(bytes[0] << 8 | bytes[1]);
    for (uint32_t fan = 0; fan < 16; ++fan)
        if ((before ^ after) >> fan & 1)
            changed.push_back(fan);
    return changed;
}

FanRecord FanBroker::capture(uint32_t fan)
{
    FanRecord record{fan, std::nullopt, {}};
    if (std::optional<SavedValue> mask = read(fans::kForcedMaskKey); mask && mask->size == 2)
        record.forced = (mask->bytes[0] << 8 | mask->bytes[1]) >> fan & 1;
    if (fan < fans::kNamedFans)
        for (const char* suffix : {"Mn", "Tg", "Md"})
            if (auto value = read(fans::fanKey(fan, {suffix[0], suffix[1], '\0'})))
                record.values.push_back(*value);
    return record;
}

bool FanBroker::putBack(const FanRecord& record, std::vector<std::string>& notes)
{
    bool whole = true;
    // Only this fan's own keys: the record may come from a state file.
    std::vector<SavedValue> values;
    for (const SavedValue& value : record.values)
        if (auto role = fanKeyRole(value.key); role && role->part != FanKeyRole::Part::ForcedMask &&
                                               role->fan == record.fan)
            values.push_back(value);
    // Speeds first, then the mode: the fan leaves manual mode at its old speeds.
    std::stable_partition(values.begin(), values.end(),
                          [](const SavedValue& v) { return fanKeyRole(v.key)->part != FanKeyRole::Part::Mode; });
    for (const SavedValue& value : values) {
        if (kern_return_t status = writeValue(value); status != KERN_SUCCESS) {
            char text[9];
            std::snprintf(text, sizeof text, "%08x", unsigned(status));
            notes.push_back(fanName(record.fan) + ": cannot put back " + keyText(value.key) + ": " + text);
            whole = false;
        }
    }
    if (record.forced && record.fan < 16) {
        std::optional<SavedValue> mask = read(fans::kForcedMaskKey);
        kern_return_t status = kIOReturnNotFound;
        if (mask && mask->size == 2) {
            unsigned bits = unsigned(mask->bytes[0] << 8 | mask->bytes[1]);
            bits = *record.forced ? bits | 1u << record.fan : bits & ~(1u << record.fan);
            mask->bytes[0] = uint8_t(bits >> 8);
            mask->bytes[1] = uint8_t(bits);
            status = writeValue(*mask);
        }
        if (status != KERN_SUCCESS) {
            char text[9];
            std::snprintf(text, sizeof text, "%08x", unsigned(status));
            notes.push_back(fanName(record.fan) + ": cannot put back its mode in FS! : " + text);
            whole = false;
        }
    }
    return whole;
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

Reply FanBroker::handle(ClientId client, const uint8_t* message, size_t size)
{
    Reply reply{kIOReturnBadArgument, {}};
    if (message == nullptr || size != sizeof(Request))
        return reply;
    Request request;
    std::memcpy(&request, message, sizeof request);
    if (request.method == kLeaseMethod) {
        leaseHolders_.insert(client);
        reply.status = KERN_SUCCESS;
        return reply;
    }
    if (request.method == kSMCUserClientCall && request.record[kCommandOffset] == SMCCommandWriteKey)
        return write(client, request);
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

    std::optional<FanKeyRole> role = fanKeyRole(record.key);
    std::vector<uint32_t> fans;
    if (role) {
        bool speed = role->part == FanKeyRole::Part::Minimum || role->part == FanKeyRole::Part::Target;
        if (speed && (reply.status = checkLimits(*role, record.key, bytes, size)) != KERN_SUCCESS)
            return reply;
        fans = fansChangedBy(*role, bytes, size);
    }

    // What each fan was, captured before the write and kept only once it went through.
    std::vector<uint32_t> recorded;
    if (!options_.keepFans)
        for (uint32_t fan : fans)
            if (!records_.count(fan)) {
                records_[fan] = capture(fan);
                recorded.push_back(fan);
            }
    std::string error;
    if (!recorded.empty() && state_ && !persist(error)) {
        for (uint32_t fan : recorded)
            records_.erase(fan);
        std::fprintf(stderr, "smcd: cannot save state %s: %s; the write is refused\n", state_->path().c_str(),
                     error.c_str());
        reply.status = kIOReturnIOError;
        return reply;
    }
    bool leasing = leaseHolders_.count(client) > 0;
    std::map<uint32_t, FanRecord> baselines;
    if (leasing)
        for (uint32_t fan : fans)
            if (!leases_.count(fan))
                baselines[fan] = capture(fan);
    std::optional<SavedValue> before = state_ && emulated_ ? read(record.key) : std::nullopt;

    size_t replySize = sizeof reply.record;
    reply.status = connection_->call(request.method, request.record, sizeof request.record, reply.record, &replySize);

    if (before && reply.status == KERN_SUCCESS && !persist(error)) {
        // Not on disk, so not acknowledged: the store goes back as it was.
        emulated_->setValue(before->key, before->bytes.data(), before->size);
        std::fprintf(stderr, "smcd: cannot save state %s: %s; the write is refused\n", state_->path().c_str(),
                     error.c_str());
        reply.status = kIOReturnIOError;
    }
    if (reply.status != KERN_SUCCESS)
        return reply;
    for (uint32_t fan : fans) {
        auto held = leases_.find(fan);
        if (leasing && held == leases_.end())
            leases_.emplace(fan, Lease{client, std::move(baselines[fan])});
        else if (leasing)
            held->second.owner = client;  // a later lease wins; the fan's baseline stays
        else if (held != leases_.end())
            keepInBaseline(held->second.baseline, *role, record.key, bytes, size);
    }
    return reply;
}

void FanBroker::keepInBaseline(FanRecord& baseline, const FanKeyRole& role, FourCharCode key, const uint8_t* bytes,
                               uint32_t size)
{
    // A one-shot write lasts, as it does on a fan nobody holds: the end of
    // the lease puts the fan back to it, not to what it replaced.
    if (role.part == FanKeyRole::Part::ForcedMask) {
        if (size == 2)
            baseline.forced = (bytes[0] << 8 | bytes[1]) >> baseline.fan & 1;
        return;
    }
    for (SavedValue& value : baseline.values)
        if (value.key == key && value.size == size)
            std::memcpy(value.bytes.data(), bytes, size);
}

void FanBroker::closed(ClientId client, std::vector<std::string>& notes)
{
    if (!leaseHolders_.erase(client))
        return;
    bool changed = false;
    for (auto lease = leases_.begin(); lease != leases_.end();) {
        if (lease->second.owner != client) {
            ++lease;
            continue;
        }
        putBack(lease->second.baseline, notes);
        changed = true;
        lease = leases_.erase(lease);
    }
    if (changed && emulated_)
        persistOrSay(notes);
}

void FanBroker::stop(std::vector<std::string>& notes)
{
    for (const auto& [fan, lease] : leases_)
        putBack(lease.baseline, notes);
    leases_.clear();
    leaseHolders_.clear();
    if (!options_.keepFans) {
        for (auto record = records_.begin(); record != records_.end();)
            record = putBack(record->second, notes) ? records_.erase(record) : std::next(record);
    }
    persistOrSay(notes);
}

}  // namespace platform::smcd
