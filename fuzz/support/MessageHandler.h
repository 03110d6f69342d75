// The daemon's answer to one message, apart from any socket, for tests and
// fuzzers that call it directly in their own process: a FanBroker over an
// emulated SMC, as smcd serves one.
#pragma once

#include "backends/DaemonProtocol.h"
#include "smcd/FanBroker.h"
#include "backends/emulated/EmulatedSMC.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace smcd {

class StateFile;

class MessageHandler {
public:
    // Answers from `smc`. With `readOnly` every write answers
    // kIOReturnNotPrivileged. With a `state` (not owned; it must outlive the
    // handler), every write that succeeds is saved before it is answered,
    // and undone and answered kIOReturnIOError when it cannot be saved.
    MessageHandler(std::shared_ptr<platform::EmulatedSMC> smc, bool readOnly, StateFile* state = nullptr);

    // The reply to one received message: the `size` bytes at `message`, any
    // bytes and any size (nullptr when size is 0). A message that is not one
    // whole Request answers kIOReturnBadArgument and changes nothing. Only
    // writes whose state cannot be saved print, one line on stderr.
    Reply handle(const uint8_t* message, size_t size);

private:
    std::unique_ptr<FanBroker> broker_;
};

}  // namespace smcd
