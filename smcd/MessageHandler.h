// The daemon's answer to one message, apart from any socket: the event loop
// of smcd feeds it what clients send, and tests and fuzzers can call it
// directly in their own process.
#pragma once

#include "iokit/DaemonProtocol.h"
#include "smcemu/EmulatedSMC.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform::smcd {

class StateFile;

class MessageHandler {
public:
    // Answers from `smc`. With `readOnly` every write answers
    // kIOReturnNotPrivileged. With a `state` (not owned; it must outlive the
    // handler), every write that succeeds is saved before it is answered,
    // and undone and answered kIOReturnIOError when it cannot be saved.
    MessageHandler(std::shared_ptr<EmulatedSMC> smc, bool readOnly, StateFile* state = nullptr);

    // The reply to one received message: the `size` bytes at `message`, any
    // bytes and any size (nullptr when size is 0). A message that is not one
    // whole Request answers kIOReturnBadArgument and changes nothing. Only
    // writes whose state cannot be saved print, one line on stderr.
    Reply handle(const uint8_t* message, size_t size);

private:
    std::shared_ptr<EmulatedSMC> smc_;
    bool readOnly_;
    StateFile* state_;
};

}  // namespace platform::smcd
