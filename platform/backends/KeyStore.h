// Keys kept in this process: the machine profile's text format (the key
// listing's own lines, smc-profile(5)), which the emulated back-end loads and
// the daemon's state file also speaks, and the store an emulated SMC offers
// whoever serves it, so that no program above the platform needs to know
// which back-end it is.
#pragma once

#include "backends/SMCService.h"
#include "encodings/Encodings.h"

#include <IOKit/IOKitLib.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

using encodings::fourCharText;

// Where a profile text went wrong: its 1-based line and the problem.
struct ProfileError {
    size_t line = 0;
    std::string problem;
};

// Where a temperature key reads when the thermal model is on: a blend of
// the die and the heatsink (dieWeight 1 the die, 0 the heatsink), or the
// ambient air, plus an offset in degrees Celsius.
struct SensorPlace {
    double dieWeight = 1;
    bool ambient = false;
    double offset = 0;
};

// The thermal model of an emulated machine: a die that the load heats, a
// heatsink it passes the heat to, and ambient air that the fans blow the
// heat into. The defaults are the built-in machine's: it idles near 47 °C
// at the fans' minimum, passes 100 °C within a minute of full load (45 W)
// at the minimum, and holds full load in the low 80s at the maximum.
struct ThermalParameters {
    double ambient = 25;           // °C, fixed
    double idle = 8;               // W, the load without a trace
    double dieCapacity = 5;        // J/K
    double heatsinkCapacity = 40;  // J/K
    double dieToHeatsink = 0.6;    // K/W
    // Heatsink to air, W/K: stillAir + airflow * the mean over the fans of
    // (actual / maximum speed)^airflowExponent; an exponent below 1 gives
    // the diminishing returns of real airflow.
    double stillAir = 0.02;
    double airflow = 1.43;
    double airflowExponent = 0.7;
    // The firmware's automatic mode: a fan's minimum up to curveLow °C at
    // the die, rising linearly to its maximum at curveHigh.
    double curveLow = 65;
    double curveHigh = 95;
    double noise = 0.25;  // °C, the largest deterministic noise on a sensor
    // Keys placed by the profile; none: every temperature key by its name.
    std::vector<std::pair<FourCharCode, SensorPlace>> sensors;
};

// The built-in machine's full load, W: what its calibration calls full.
inline constexpr double kFullLoadWatts = 45;

// Sets the parameter `name` ("ambient", "die-capacity", ... as in
// smc-profile(5)) from `value`; the problem when either is wrong.
std::optional<std::string> setThermalParameter(ThermalParameters& parameters, std::string_view name,
                                               std::string_view value);

// Parses a machine profile: key lines as the key listing prints them, "#"
// comment lines, blank lines, and after a key line its markers:
//   ! writable
//   ! fail info|read|write|index STATUS      (STATUS in hex, nonzero)
// With `thermal` the machine's directives are read too, setting *thermal:
//   ! thermal [NAME VALUE]                   (anywhere: the model is on)
//   ! sensor die|heatsink|ambient|die:WEIGHT [OFFSET]   (after a key line)
// Without it they are an error, as in the daemon's state file. With
// `devicetree` the machine's sensor nodes are read too, setting *devicetree:
//   ! devicetree upstream|grouped [ADDRESS]  (once, before its nodes)
//   ! node KIND KEY ["LABEL"] [MIN MAX TARGET [MODE]]   (the keys: fans only)
std::optional<ProfileError> parseSMCProfile(std::string_view text, std::vector<SMCKeyEntry>& keys,
                                            std::optional<ThermalParameters>* thermal = nullptr,
                                            std::optional<SMCSensorTree>* devicetree = nullptr);

using encodings::hexValue;

// The first line of `text`, without its newline, taken off the front of `text`.
std::string_view takeLine(std::string_view& text);

// Reads a whole file into `text`; false with errno set when it cannot.
bool readTextFile(const char* path, std::string& text);

// An SMC whose keys live in this process (the service's
// capability<SMCKeyStore>()): its values can be saved, put back and set
// without the writable check.
class SMCKeyStore {
public:
    static constexpr SMCCapability kCapability = SMCCapability::KeyStore;
    virtual ~SMCKeyStore() = default;
    // Sets a key's value as a write would, without the writable check;
    // false when the key is unknown or the size is not the key's.
    virtual bool setValue(FourCharCode key, const uint8_t* bytes, size_t size) = 0;
    virtual std::vector<SMCKeyEntry> keys() const = 0;
    virtual std::optional<SMCKeyEntry> key(FourCharCode code) const = 0;
    // Fans whose actual speeds follow their targets at `rpmPerSecond`; 0 stops them.
    virtual void setFanModel(double rpmPerSecond) = 0;
    // Temperatures that follow a thermal model with `parameters` from now
    // on, at a constant idle load; false when the store has no fans.
    virtual bool setThermalModel(ThermalParameters parameters) = 0;
    // The model's parameters; nothing when it is off.
    virtual std::optional<ThermalParameters> thermalModel() const = 0;
    virtual void stopThermalModel() = 0;
    // The model's load from now on, by a trace whose time 0 is now (the
    // format of smcd(8)'s --load); false with "LINE: problem" in `error`,
    // the load as it was.
    virtual bool setLoadTrace(std::string_view text, std::string& error) = 0;
};

}  // namespace platform
