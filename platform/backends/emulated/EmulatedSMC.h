// An SMC emulated in software: an ordered key store that answers the
// user-client call record as the controller does, shared by every
// connection made to it and guarded by one mutex.
#pragma once

#include "backends/CallRecord.h"
#include "backends/KeyStore.h"
#include "backends/SMCService.h"
#include "backends/emulated/ThermalModel.h"

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

class EmulatedSMC final : public SMCService,
                          public SMCKeyStore,
                          public SMCDevicetree,
                          public std::enable_shared_from_this<EmulatedSMC> {
public:
    // The keys in position order; "#KEY" is added at position 0, holding the
    // number of keys, when they do not hold it. Keys must be distinct. With
    // `devicetree` the machine describes its sensor nodes: the service
    // offers SMCDevicetree and its connections SMCKeyLabels.
    explicit EmulatedSMC(std::vector<SMCKeyEntry> keys, std::optional<SMCSensorTree> devicetree = std::nullopt);

    kern_return_t open(std::unique_ptr<SMCConnection>& connection) override;
    void* findCapability(SMCCapability which) override
    {
        if (which == SMCCapability::Devicetree)
            return devicetree_ ? offer<SMCDevicetree>(which, this) : nullptr;
        return offer<SMCKeyStore>(which, this);
    }
    const SMCSensorTree& sensorTree() override { return *devicetree_; }
    // The label of `key`'s devicetree node (a fan's by its F<n>Ac key).
    kern_return_t keyLabel(FourCharCode key, std::string& label) const;

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

    // Fans that move: each fan's actual speed (F<n>Ac, fpe2 or flt) goes
    // toward its target (F<n>Tg) in manual mode (its bit of "FS! " set, or
    // F<n>Md not 0) and in automatic mode toward its minimum (F<n>Mn), or
    // with the thermal model on along the firmware's curve; at most
    // `rpmPerSecond`, worked out from a monotonic clock whenever a key is
    // read or written. 0 stops the fans where they are; off until asked, so
    // a profile lists as it was.
    void setFanModel(double rpmPerSecond) override;

    // The clock of the fan and thermal models; tests replace it to step
    // time by hand.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    void setFanModelClock(Clock clock);

    // Temperatures that follow the thermal model from now on: the die and
    // heatsink start at the steady state of the idle load with the fans at
    // their minimum, and each placed key (the parameters' sensors, or by
    // defaultSensorPlace() every temperature key whose profile value is a
    // plausible reading, 0 to 90 °C) reads its place, plus a small noise,
    // in its own type. False, and nothing changed, when a placed key is
    // not in the store or cannot hold a temperature.
    bool setThermalModel(ThermalParameters parameters) override;
    std::optional<ThermalParameters> thermalModel() const override;
    // The model off; every key keeps the value it has.
    void stopThermalModel() override;
    // A constant load from now on, replacing any trace.
    void setLoad(double watts);
    // A load trace whose time 0 is now. Its start lines set the nodes they
    // name, a node without one standing next to the other as in the first
    // load's steady state; without start lines the nodes start at that
    // steady state (fans at their minimum) within the model's first
    // second, and go on from where they are later (smcd's SIGUSR1). Faults
    // must name keys of the store (stuck ones, keys that can hold a
    // temperature). At a suspend the SMC forgets manual mode and targets
    // (FS!, F<n>Md and F<n>Tg back to the profile's), the fans stop, the
    // nodes cool unloaded for the sleep's length, and playSleep() tells the
    // daemons' resume watch.
    bool setLoadTrace(std::string_view text, std::string& error) override;
    // "die", "heatsink" or "ambient" now, in °C; NaN for another name or
    // with the model off.
    double nodeTemperature(std::string_view node) const;

private:
    struct MovingFan {
        int number;
        uint32_t position;  // of F<n>Ac
        double rpm;
    };
    kern_return_t execute(const CallRecord& request, CallRecord& reply);
    SMCKeyEntry* find(FourCharCode code);
    std::chrono::steady_clock::time_point now() const;
    // Brings fans and heat to now; a no-op with both models off.
    void advance();
    void moveFans(double seconds);
    double fanGoal(int fan);
    std::vector<double> fanFractions(bool atMinimum);
    void showTemperatures();
    void seedFans();
    void rememberFirmware();
    void sleepFor(double seconds);
    // advance() from the const readers: a store is never made const.
    void advanceFromReader() const { const_cast<EmulatedSMC*>(this)->advance(); }

    mutable std::mutex mutex_;
    std::vector<SMCKeyEntry> entries_;
    std::unordered_map<FourCharCode, uint32_t> positions_;
    double fanRate_ = 0;
    Clock clock_;
    std::vector<MovingFan> movingFans_;
    std::chrono::steady_clock::time_point modelAt_{};  // fans and heat stand at this time
    std::optional<ThermalParameters> thermal_;
    std::vector<std::pair<uint32_t, SensorPlace>> sensors_;  // positions of placed keys
    struct PowerKey {
        uint32_t position;
        double share;  // of the load
        double rest;   // W beside it: the rest of the machine, for PSTR
    };
    std::vector<PowerKey> powers_;
    NodeTemperatures nodes_;
    LoadTrace load_;
    double loadSeconds_ = 0;   // the trace's time now
    double modelSeconds_ = 0;  // since the model started: the noise's time
    double heatWaiting_ = 0;   // time gone by since the last whole step of heat
    size_t nextSuspend_ = 0;   // of load_.suspends
    // The mode and target keys as the profile gives them: the firmware's own.
    std::vector<std::pair<uint32_t, SMCKeyEntry>> firmware_;
    const std::optional<SMCSensorTree> devicetree_;
};

// The built-in profile: a two-fan laptop.
std::string_view builtinSMCProfile();

// An emulated SMC loaded from the profile file at `path` (nullptr for the
// built-in one); on failure null, with "FILE:LINE: problem" in `error`.
std::shared_ptr<EmulatedSMC> loadEmulatedSMC(const char* path, std::string& error);

}  // namespace platform
