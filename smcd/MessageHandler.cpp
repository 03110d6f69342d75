#include "smcd/MessageHandler.h"
#include "smcd/StateFile.h"

#include <cstdio>
#include <cstring>

namespace platform::smcd {
namespace {

constexpr uint32_t kUserClientCall = 2;
constexpr uint8_t kWriteKeyCommand = 6;
constexpr size_t kCommandOffset = 42;

}  // namespace

MessageHandler::MessageHandler(std::shared_ptr<EmulatedSMC> smc, bool readOnly, StateFile* state)
    : smc_(std::move(smc)), readOnly_(readOnly), state_(state)
{
}

Reply MessageHandler::handle(const uint8_t* message, size_t size)
{
    Reply reply{kIOReturnBadArgument, {}};
    if (message == nullptr || size != sizeof(Request))
        return reply;
    Request request;
    std::memcpy(&request, message, sizeof request);
    bool write = request.method == kUserClientCall && request.record[kCommandOffset] == kWriteKeyCommand;
    if (write && readOnly_) {
        reply.status = kIOReturnNotPrivileged;
        return reply;
    }
    FourCharCode key;
    std::memcpy(&key, request.record, sizeof key);
    std::optional<SMCKeyEntry> before = write && state_ ? smc_->key(key) : std::nullopt;

    size_t replySize = sizeof reply.record;
    reply.status = smc_->call(request.method, request.record, sizeof request.record, reply.record, &replySize);

    std::string error;
    if (before && reply.status == KERN_SUCCESS && !state_->save(*smc_, error)) {
        // Not on disk, so not acknowledged: the store goes back as it was.
        smc_->setValue(key, before->bytes.data(), before->size);
        std::fprintf(stderr, "smcd: cannot save state %s: %s; the write is refused\n", state_->path().c_str(),
                     error.c_str());
        reply.status = kIOReturnIOError;
    }
    return reply;
}

}  // namespace platform::smcd
