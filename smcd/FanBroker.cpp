// The broker's front: one client's message read and sent to the part that
// answers it, and the SMC exchanges every part makes. Write checks are in
// FanWrites.cpp, leases and the controller in FanLeases.cpp, put-back and
// persistence in FanPutBack.cpp.
#include "smcd/FanBroker.h"
#include "backends/CallRecord.h"
#include "smc/CallRecords.h"
#include "smc/smc.h"
#include "encodings/Encodings.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace smcd {

using namespace platform;
using namespace platform::protocol;

namespace {

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
    if (request.method == kServiceKindMethod && (emulated_ || !connection_->capability<SMCDaemonRequests>())) {
        reply.status = KERN_SUCCESS;
        reply.record[0] = emulated_ ? 1 : 0;
        return reply;
    }
    // Labels come from the service's own description; over another daemon, from that one.
    if (request.method == kKeyLabelMethod && !connection_->capability<SMCDaemonRequests>()) {
        SMCKeyLabels* labels = connection_->capability<SMCKeyLabels>();
        FourCharCode key;
        std::memcpy(&key, request.record, sizeof key);
        std::string label;
        reply.status = labels ? labels->keyLabel(key, label) : kIOReturnUnsupported;
        if (reply.status == KERN_SUCCESS)
            std::memcpy(reply.record, label.data(), std::min(label.size(), sizeof reply.record - 1));
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

Reply FanBroker::passOn(const Request& request)
{
    Reply reply{kIOReturnBadArgument, {}};
    size_t replySize = sizeof reply.record;
    reply.status = connection_->call(request.method, request.record, sizeof request.record, reply.record, &replySize);
    return reply;
}

}  // namespace smcd
