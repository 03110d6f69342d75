#include "support/MessageHandler.h"
#include "smcd/StateFile.h"

namespace smcd {

MessageHandler::MessageHandler(std::shared_ptr<platform::EmulatedSMC> smc, bool readOnly, StateFile* state)
{
    std::unique_ptr<SMCConnection> connection;
    smc->open(connection);
    BrokerOptions options;
    options.policy.kind = readOnly ? WritePolicy::Kind::None : WritePolicy::Kind::All;
    broker_ = std::make_unique<FanBroker>(std::move(connection), std::move(options), state, std::move(smc));
    std::string error;
    std::vector<std::string> notes;
    broker_->start({}, error, notes);
}

Reply MessageHandler::handle(const uint8_t* message, size_t size)
{
    Reply reply = broker_->handle(0, message, size);
    broker_->takeNotes();  // a refusal's status says it all here
    return reply;
}

}  // namespace smcd
