// The daemon's guard in front of an SMC: which writes go through, the
// limits of fan speeds, the fans it puts back when it stops (or at the next
// start after a crash), and leases, fan changes undone when the connection
// that made them closes.
#pragma once

#include "iokit/DaemonProtocol.h"
#include "iokit/SMCService.h"
#include "smc/smc.h"
#include "smcd/StateFile.h"
#include "smcemu/EmulatedSMC.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform::smcd {

// Which writes the daemon passes on to the SMC; others answer
// kIOReturnNotPrivileged. The SMC may still refuse what it passes.
struct WritePolicy {
    enum class Kind {
        All,   // every write: the SMC decides (a profile's markers)
        Fans,  // each fan's minimum, target and mode keys, and "FS! "
        None,  // no write at all
        Keys,  // the keys listed
    };
    Kind kind = Kind::All;
    std::vector<FourCharCode> keys;
};

// Parses "fans", "all", "none" or keys of exactly four characters separated
// by commas ("F0Mn,FS! "). Nothing, with the problem in `problem`, when the
// text is none of these.
std::optional<WritePolicy> parseWritePolicy(std::string_view text, std::string& problem);

// What a fan key is, for keys of fans 0 to 9 and the forced-mode mask.
struct FanKeyRole {
    enum class Part { Minimum, Target, Mode, ForcedMask };
    Part part;
    uint32_t fan = 0;  // not meaningful for ForcedMask
};
std::optional<FanKeyRole> fanKeyRole(FourCharCode key);

struct BrokerOptions {
    WritePolicy policy;
    // The lowest minimum or target a write may set, for every fan; unset:
    // each fan's minimum as read by start().
    std::optional<double> fanFloor;
    // Leave fans as they are at the end: nothing is recorded or put back
    // (leases are still undone).
    bool keepFans = false;
    // A fan whose maximum cannot be read takes no speed write (real
    // hardware); otherwise such a fan has no limits (profiles without one).
    bool strictLimits = false;
};

using ClientId = uint64_t;

class FanBroker {
public:
    // Serves through `connection`. With a `state` (not owned; it must
    // outlive the broker), every change is saved before it is answered: the
    // fans to put back, and the writable keys of `emulated` when the SMC is
    // emulated (a real SMC keeps its own values).
    FanBroker(std::unique_ptr<SMCConnection> connection, BrokerOptions options, StateFile* state = nullptr,
              std::shared_ptr<EmulatedSMC> emulated = nullptr);

    // Puts back the fans that an earlier run left changed (`earlier`, from
    // the state), then reads each fan's limits. Each fan that could not be
    // put back is named in `notes` and kept for the next start; false with
    // the reason in `error` when the state cannot be saved.
    bool start(std::vector<FanRecord> earlier, std::string& error, std::vector<std::string>& notes);

    // The reply to one message of `client`: any bytes and any size. A
    // message that is not one whole Request answers kIOReturnBadArgument
    // and changes nothing.
    Reply handle(ClientId client, const uint8_t* message, size_t size);

    // The client's connection is gone: its leases are undone.
    void closed(ClientId client, std::vector<std::string>& notes);

    // The daemon stops: every lease is undone, then every fan changed
    // through it is put back, unless keepFans. Problems go to `notes`.
    void stop(std::vector<std::string>& notes);

    // Fans changed and not yet put back, by fan number.
    const std::map<uint32_t, FanRecord>& recorded() const { return records_; }

private:
    struct Lease {
        ClientId owner;
        FanRecord baseline;  // the fan before the first lease that holds it now
    };

    Reply write(ClientId client, const Request& request);
    kern_return_t checkLimits(const FanKeyRole& role, FourCharCode key, const uint8_t* bytes, uint32_t size);
    bool allowed(FourCharCode key) const;
    std::vector<uint32_t> fansChangedBy(const FanKeyRole& role, const uint8_t* bytes, uint32_t size);
    FanRecord capture(uint32_t fan);
    void keepInBaseline(FanRecord& baseline, const FanKeyRole& role, FourCharCode key, const uint8_t* bytes,
                        uint32_t size);
    bool putBack(const FanRecord& record, std::vector<std::string>& notes);
    bool persist(std::string& error);
    void persistOrSay(std::vector<std::string>& notes);

    kern_return_t exchange(uint8_t command, FourCharCode key, SMCKeyData& reply, const SavedValue* value = nullptr);
    std::optional<SavedValue> read(FourCharCode key, FourCharCode* type = nullptr);
    kern_return_t writeValue(const SavedValue& value);

    std::unique_ptr<SMCConnection> connection_;
    BrokerOptions options_;
    StateFile* state_;
    std::shared_ptr<EmulatedSMC> emulated_;
    std::map<uint32_t, double> floors_;
    std::map<uint32_t, FanRecord> records_;
    std::map<uint32_t, Lease> leases_;
    std::set<ClientId> leaseHolders_;
};

}  // namespace platform::smcd
