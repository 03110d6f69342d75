// The daemon's message handling, in this process: any sequence of messages
// of any sizes is answered, never changes a key that is not writable or a
// key's type and size, changes nothing in read-only mode, and leaves the
// store just as it was after a message that is not one whole request.
#include "support/MessageHandler.h"
#include "support/FuzzSupport.h"

#include <cstring>
#include <vector>

using namespace platform;
using fuzz_support::check;

namespace {

constexpr std::string_view kProfile = R"(  FNum  [ui8 ]  1 (bytes 01)
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0Mn  [fpe2]  2000 (bytes 1f 40)
! writable
  FS!   [ui16]  0 (bytes 00 00)
! writable
  TC0D  [sp78]  (bytes 32 80)
  ZERO  [ui8 ]  no data
! writable
  WBAD  [ui8 ]  1 (bytes 01)
! writable
! fail write e00002d8
  RBAD  [ui32]  7 (bytes 00 00 00 07)
! fail read e00002ed
)";

std::vector<SMCKeyEntry> machine;

bool sameValue(const SMCKeyEntry& a, const SMCKeyEntry& b)
{
    return a.size == b.size && std::memcmp(a.bytes.data(), b.bytes.data(), a.size) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    check(!parseSMCProfile(kProfile, machine), "the machine of the smcd_messages fuzzer loads");
    return 0;
}

// The input: a mode byte (bit 0: read-only), then messages, each a length
// byte (the message's size, up to 255) and that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_support::InputReader input(data, size);
    bool readOnly = input.byte() & 1;
    auto smc = std::make_shared<EmulatedSMC>(machine);
    smcd::MessageHandler handler(smc, readOnly);
    const std::vector<SMCKeyEntry> original = smc->keys();

    while (input.remaining() > 0) {
        uint8_t message[255];
        size_t length = input.bytes(message, input.byte());
        std::vector<SMCKeyEntry> before = smc->keys();
        protocol::Reply reply = handler.handle(length ? message : nullptr, length);
        std::vector<SMCKeyEntry> after = smc->keys();

        check(after.size() == before.size(), "the number of keys never changes");
        bool whole = length == sizeof(protocol::Request);
        check(whole || reply.status == kIOReturnBadArgument, "a partial message is refused",
              std::to_string(length) + " bytes");
        for (size_t i = 0; i < after.size(); ++i) {
            const SMCKeyEntry &was = before[i], &now = after[i];
            check(now.key == was.key && now.type == was.type && now.size == was.size,
                  "keys keep their name, type and size", fourCharText(was.key));
            if (sameValue(now, was))
                continue;
            check(whole && reply.status == KERN_SUCCESS, "only an acknowledged write changes a value",
                  fourCharText(was.key));
            check(was.writable && !readOnly, "only writable keys change, and never when read-only",
                  fourCharText(was.key));
        }
    }
    if (readOnly) {
        std::vector<SMCKeyEntry> now = smc->keys();
        for (size_t i = 0; i < now.size(); ++i)
            check(sameValue(now[i], original[i]), "a read-only daemon keeps every value", fourCharText(now[i].key));
    }
    return 0;
}
