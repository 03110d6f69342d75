// An SMC emulated in software: an ordered key store that answers the
// user-client call record as the controller does, shared by every
// connection made to it and guarded by one mutex.
#pragma once

#include "backends/CallRecord.h"
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

// The exchange of a key that an injected failure answers.
enum class SMCExchangeKind { KeyInfo, Read, Write, KeyAtIndex };

struct SMCKeyEntry {
    FourCharCode key = 0;
    FourCharCode type = 0;
    uint8_t size = 0;  // 0 to 32
    std::array<uint8_t, 32> bytes{};
    bool writable = false;
    // Nonzero: the status answered instead for that exchange of this key
    // (for KeyAtIndex, the exchange for the key's position).
    std::array<kern_return_t, 4> failures{};

    kern_return_t& failure(SMCExchangeKind kind) { return failures[static_cast<size_t>(kind)]; }
    kern_return_t failure(SMCExchangeKind kind) const { return failures[static_cast<size_t>(kind)]; }
};

// The code's four characters, most significant first.
std::string fourCharText(FourCharCode code);

class EmulatedSMC final : public SMCService, public std::enable_shared_from_this<EmulatedSMC> {
public:
    // The keys in position order; "#KEY" is added at position 0, holding the
    // number of keys, when they do not hold it. Keys must be distinct.
    explicit EmulatedSMC(std::vector<SMCKeyEntry> keys);

    kern_return_t open(std::unique_ptr<SMCConnection>& connection) override;
    SMCServiceKind kind() const override { return SMCServiceKind::Emulated; }

    // One user-client call, applied to the store atomically.
    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize);

    // Makes that exchange of `key` answer `status` (0 stops it); false when
    // the key is not in the store.
    bool injectFailure(FourCharCode key, SMCExchangeKind kind, kern_return_t status);

    // Sets a key's value as a write would, without the writable check;
    // false when the key is unknown or the size is not the key's.
    bool setValue(FourCharCode key, const uint8_t* bytes, size_t size);

    std::vector<SMCKeyEntry> keys() const;
    std::optional<SMCKeyEntry> key(FourCharCode code) const;

    // Fans that move: each fan's actual speed (F<n>Ac, fpe2) goes toward its
    // target (F<n>Tg) in manual mode (its bit of "FS! " set, or F<n>Md not
    // 0) and toward its minimum (F<n>Mn) otherwise, at most `rpmPerSecond`,
    // worked out from a monotonic clock whenever it is read. 0 stops the
    // fans where they are; off until asked, so a profile lists as it was.
    void setFanModel(double rpmPerSecond);

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

// Where a profile text went wrong: its 1-based line and the problem.
struct ProfileError {
    size_t line = 0;
    std::string problem;
};

// Parses a machine profile: key lines as the key listing prints them, "#"
// comment lines, blank lines, and after a key line its markers:
//   ! writable
//   ! fail info|read|write|index STATUS      (STATUS in hex, nonzero)
std::optional<ProfileError> parseSMCProfile(std::string_view text, std::vector<SMCKeyEntry>& keys);

// The value of one hex digit, either case; -1 for any other character.
int hexValue(char c);

// Reads a whole file into `text`; false with errno set when it cannot.
bool readTextFile(const char* path, std::string& text);

// The built-in profile: a two-fan laptop.
std::string_view builtinSMCProfile();

// An emulated SMC loaded from the profile file at `path` (nullptr for the
// built-in one); on failure null, with "FILE:LINE: problem" in `error`.
std::shared_ptr<EmulatedSMC> loadEmulatedSMC(const char* path, std::string& error);

}  // namespace platform
