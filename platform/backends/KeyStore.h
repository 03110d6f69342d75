// Keys kept in this process: the machine profile's text format (the key
// listing's own lines, smc-profile(5)), which the emulated back-end loads and
// the daemon's state file also speaks, and the store an emulated SMC offers
// whoever serves it, so that no program above the platform needs to know
// which back-end it is.
#pragma once

#include <IOKit/IOKitLib.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// An SMC whose keys live in this process (SMCService::keyStore()): its
// values can be saved, put back and set without the writable check.
class SMCKeyStore {
public:
    virtual ~SMCKeyStore() = default;
    // Sets a key's value as a write would, without the writable check;
    // false when the key is unknown or the size is not the key's.
    virtual bool setValue(FourCharCode key, const uint8_t* bytes, size_t size) = 0;
    virtual std::vector<SMCKeyEntry> keys() const = 0;
    virtual std::optional<SMCKeyEntry> key(FourCharCode code) const = 0;
    // Fans whose actual speeds follow their targets at `rpmPerSecond`; 0 stops them.
    virtual void setFanModel(double rpmPerSecond) = 0;
};

}  // namespace platform
