// An SMC emulated in software: an ordered key store that answers the
// user-client call record as the controller does, shared by every
// connection made to it and guarded by one mutex.
#pragma once

#include "backends/CallRecord.h"
#include "backends/KeyStore.h"
#include "backends/SMCService.h"

#include <array>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

class EmulatedSMC final : public SMCService, public SMCKeyStore, public std::enable_shared_from_this<EmulatedSMC> {
public:
    // The keys in position order; "#KEY" is added at position 0, holding the
    // number of keys, when they do not hold it. Keys must be distinct.
    explicit EmulatedSMC(std::vector<SMCKeyEntry> keys);

    kern_return_t open(std::unique_ptr<SMCConnection>& connection) override;
    SMCServiceKind kind() const override { return SMCServiceKind::Emulated; }
    SMCKeyStore* keyStore() override { return this; }

    // One user-client call, applied to the store atomically.
    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize);

    // Makes that exchange of `key` answer `status` (0 stops it); false when
    // the key is not in the store.
    bool injectFailure(FourCharCode key, SMCExchangeKind kind, kern_return_t status);

    // Sets a key's value as a write would, without the writable check;
    // false when the key is unknown or the size is not the key's.
    bool setValue(FourCharCode key, const uint8_t* bytes, size_t size) override;

    std::vector<SMCKeyEntry> keys() const override;
    std::optional<SMCKeyEntry> key(FourCharCode code) const override;

    // Fans that move: each fan's actual speed (F<n>Ac, fpe2) goes toward its
    // target (F<n>Tg) in manual mode (its bit of "FS! " set, or F<n>Md not
    // 0) and toward its minimum (F<n>Mn) otherwise, at most `rpmPerSecond`,
    // worked out from a monotonic clock whenever it is read. 0 stops the
    // fans where they are; off until asked, so a profile lists as it was.
    void setFanModel(double rpmPerSecond) override;

    // The clock of the fan model; tests replace it to step time by hand.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    void setFanModelClock(Clock clock);

private:
    struct MovingFan {
        double rpm = 0;
        std::chrono::steady_clock::time_point at;
    };
    kern_return_t execute(const CallRecord& request, CallRecord& reply);
    SMCKeyEntry* find(FourCharCode code);
    void moveFan(SMCKeyEntry& actual);
    void seedFans();

    mutable std::mutex mutex_;
    std::vector<SMCKeyEntry> entries_;
    std::unordered_map<FourCharCode, uint32_t> positions_;
    double fanRate_ = 0;
    Clock clock_;
    std::unordered_map<FourCharCode, MovingFan> movingFans_;
};

// The built-in profile: a two-fan laptop.
std::string_view builtinSMCProfile();

// An emulated SMC loaded from the profile file at `path` (nullptr for the
// built-in one); on failure null, with "FILE:LINE: problem" in `error`.
std::shared_ptr<EmulatedSMC> loadEmulatedSMC(const char* path, std::string& error);

}  // namespace platform
