// The daemon's guard in front of an SMC: which writes go through, the
// limits of fan speeds, the fans it puts back when it stops (or at the next
// start after a crash), and leases, fan changes undone when the connection
// that made them closes, and the one fan controller, whose lease yields to
// every other.
#pragma once

#include "backends/DaemonProtocol.h"
#include "backends/SMCService.h"
#include "smc/smc.h"
#include "smcd/StateFile.h"
#include "backends/KeyStore.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace smcd {

// The daemon serves the platform's SMC over the platform's protocol: these
// names are its own too.
using platform::SMCConnection;
using platform::protocol::Reply;
using platform::protocol::Request;

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

// Who may claim the fans as their controller: root, and the user named or
// a member of the group named; with neither named, the daemon's own user.
struct ControllerIdentity {
    std::optional<uint32_t> user;
    std::optional<uint32_t> group;
};

using BrokerClock = std::chrono::steady_clock;

struct BrokerOptions {
    WritePolicy policy;
    // The lowest minimum or target a write may set, for every fan key of
    // any number; unset: each fan's minimum as read by start(), or at the
    // fan's first speed write when start() could not read it.
    std::optional<double> fanFloor;
    // Leave fans as they are at the end: nothing is recorded or put back
    // (leases are still undone).
    bool keepFans = false;
    // A fan without a maximum or minimum key takes no speed write (real
    // hardware, where every fan has both). Otherwise a fan without a maximum
    // is an emulated test machine's, with no limit but fanFloor, and one
    // without a minimum has no floor but fanFloor. A key that exists but
    // cannot be read refuses the write either way.
    bool strictLimits = false;
    ControllerIdentity controllers;
    // The time for the controller's heartbeat; empty: the steady clock.
    std::function<BrokerClock::time_point()> clock;
};

using ClientId = uint64_t;

// A client's process as the kernel tells it (its socket's credentials),
// never as the client names itself.
struct Peer {
    int32_t pid = 0;              // 0: unknown
    uint32_t uid = uint32_t(-1);  // -1: unknown, which nothing trusts
    std::vector<uint32_t> groups;  // its group and its supplementary groups
    std::string executable;        // the path of its program; "" where it cannot be read
};

// A fan controller that sends nothing for this many of its polls (and at
// least kShortestSilence) has stopped controlling.
inline constexpr int kMissedPolls = 3;
inline constexpr std::chrono::milliseconds kShortestSilence{1000};

class FanBroker {
public:
    // Serves through `connection`. With a `state` (not owned; it must
    // outlive the broker), every change is saved before it is answered: the
    // fans to put back, and the writable keys of `emulated` when the SMC is
    // emulated (a real SMC keeps its own values).
    FanBroker(std::unique_ptr<SMCConnection> connection, BrokerOptions options, StateFile* state = nullptr,
              std::shared_ptr<SMCKeyStore> emulated = nullptr);

    // Puts back the fans that an earlier run left changed (`earlier`, from
    // the state), then reads each fan's limits. A record is first checked as
    // a client's write would be: dropped whole when a size or limit is
    // wrong, kept for a later start when the policy keeps one of its keys or
    // a check cannot be made. A value is put back only while the SMC still
    // holds what the earlier run wrote there. What was put back, left,
    // dropped or kept is said in `notes`; false with the reason in `error`
    // when the state cannot be saved.
    bool start(std::vector<FanRecord> earlier, std::string& error, std::vector<std::string>& notes);

    // The reply to one message of `client`, whose process is `peer`: any
    // bytes and any size. A message that is not one whole Request answers
    // kIOReturnBadArgument and changes nothing. A refused fan write leaves a
    // line in the notes. kFloorMethod, kClaimControlMethod (refused to a
    // peer that options.controllers does not name) and kControllerMethod
    // are answered here. While a client is the fan controller, its writes to
    // a fan where another lease holds a key are refused with
    // kIOReturnExclusiveAccess; each of its messages is its heartbeat.
    Reply handle(ClientId client, const uint8_t* message, size_t size, const Peer& peer = {});

    // The connection that is the fan controller; none when there is none.
    std::optional<ClientId> controller() const;

    // When the controller stops counting as one unless it sends a message
    // before; none without a controller.
    std::optional<BrokerClock::time_point> controllerDeadline() const;

    // Once the controller's deadline has passed: it is no longer the
    // controller, the fans its lease changed go back to the SMC (said in
    // `notes`), and its client is returned for the daemon to close. None
    // while it is in time or there is none.
    std::optional<ClientId> endSilentController(std::vector<std::string>& notes);

    // The lines handle() left since the last call, for the daemon's log;
    // the oldest are dropped past a bound when nobody takes them.
    std::vector<std::string> takeNotes();

    // The client's connection is gone: the fan keys its leases changed are
    // put back, each while it still holds what the daemon last wrote there.
    void closed(ClientId client, std::vector<std::string>& notes);

    // The daemon stops: every lease is undone, then every fan key changed
    // through it is put back while it holds what the daemon last wrote,
    // unless keepFans. One line a fan in `notes` says what was put back,
    // left alone or could not be put back.
    void stop(std::vector<std::string>& notes);

    // The machine woke after `slept` seconds (0 when logind said so before
    // the clocks showed it), and its SMC may have forgotten
    // manual mode and targets: a leased fan written to manual mode and now
    // found automatic is taken again as its holder last set it; a fan still
    // manual, or changed in another way, is left as it is. Said in `notes`.
    void resumed(BrokerClock::duration slept, std::vector<std::string>& notes);

    // Fans changed and not yet put back, by fan number.
    const std::map<uint32_t, FanRecord>& recorded() const { return records_; }

private:
    struct Lease {
        FanRecord baseline;  // each held key as it was before the first lease that wrote it
        std::map<FourCharCode, ClientId> owners;  // by key; "FS! " for the fan's bit
    };
    struct KeyInfo {
        FourCharCode type = 0;
        uint32_t size = 0;  // 0: the SMC has no such key
    };

    struct Controller {
        ClientId client = 0;
        Peer peer;
        std::string name;  // as it claimed
        BrokerClock::duration silence{};  // what it may go without a message
        BrokerClock::time_point heard{};
        std::map<uint32_t, float> targets;  // the last target it wrote, by fan
        std::map<uint32_t, ClientId> saidHeld;  // fans whose hold is on the log already, by holder
    };

    // One fan write as it goes through: each part of a fan it sets, as it
    // was (a key's value, or a fan's bit of "FS! ") and as it becomes.
    struct FanWrite {
        FourCharCode key = 0;
        std::optional<FanKeyRole> role;  // none: not a fan key
        SavedValue after;
        bool leasing = false;    // the client holds a lease
        bool recording = false;  // the change is recorded to be put back at stop
        std::map<uint32_t, SavedValue> keyBefore;
        std::map<uint32_t, bool> bitBefore, bitAfter;
        // A fan whose mode cannot be read: the target smcd leaves it at, the
        // one a later put-back compares with, and whether it is read only
        // once the write went through (a write of manual mode).
        std::optional<SavedValue> target;
        bool readTargetAfter = false;
    };

    Reply write(ClientId client, const Request& request);
    // A fan key's write checked, and what it changes read first; a status
    // other than KERN_SUCCESS refuses it.
    kern_return_t prepareWrite(ClientId client, FanWrite& change);
    // prepareWrite for a fan whose mode cannot be read: every target or mode
    // write is recorded as a write of its mode, to be put back as automatic.
    void prepareHiddenMode(FanWrite& change);
    // After a write of manual mode to such a fan: the target it holds now,
    // recorded as smcd's.
    void recordTargetAfter(FanWrite& change);
    // Records what the write is about to change, to be put back at stop.
    void recordBefore(const FanWrite& change);
    // The write passed on, and saved where there is a state; on failure the
    // records go back to `recordsBefore`.
    Reply storeWrite(const Request& request, bool recording, std::map<uint32_t, FanRecord>& recordsBefore);
    // The leases after a write that went through: its client's lease holds
    // what it changed; a write without one takes its keys out of any lease.
    void holdWritten(ClientId client, const FanWrite& change);
    Reply claim(ClientId client, const Request& request, const Peer& peer);
    bool mayControl(const Peer& peer) const;
    // "smcfand (pid 12, uid 997, /usr/bin/smcfand)": what the kernel tells
    // of the controller, with the name it claimed.
    std::string controllerText() const;
    BrokerClock::time_point now() const;
    // The controller as the protocol's IOSMCFanController record; needs one.
    void describeController(uint8_t* record) const;
    // Whether `client` is the controller and one of `fans` is held by
    // another lease: its write is refused, said once per hold.
    bool heldOff(ClientId client, const std::set<uint32_t>& fans);
    // A client other than the controller whose lease holds a key of `fan`.
    std::optional<ClientId> holderOf(uint32_t fan) const;
    std::string processText(ClientId client) const;
    Reply passOn(const Request& request);
    kern_return_t checkWrite(const FanKeyRole& role, FourCharCode key, const uint8_t* bytes, uint32_t size,
                             std::string& problem);
    kern_return_t floorOf(uint32_t fan, std::optional<double>& floor, std::string& problem);
    kern_return_t maximumOf(uint32_t fan, std::optional<double>& maximum, std::string& problem);
    // A fan's speed limit key F<n>`suffix`, its problems worded with `name`;
    // none (and success) for a missing key unless strictLimits.
    kern_return_t readLimit(uint32_t fan, const char (&suffix)[3], const char* name, const char* missing,
                            const char* purpose, std::optional<double>& speed, std::string& problem);
    bool allowed(FourCharCode key) const;
    // Whether a record from a file passes a client's checks; Unknown when
    // a check could not be made or this run may not write a key of it (the
    // record waits for a later start).
    enum class Verdict { Sound, Unsound, Unknown };
    Verdict check(FanRecord& record, std::string& problem);
    // A speed of a record from a file, for its limits.
    struct RecordSpeed {
        FourCharCode key;
        FanKeyRole::Part part;
        double rpm;
    };
    // check()'s sizes, modes and types, key by key; the speeds found and
    // the minimum the record leaves the fan with go to `speeds` and `minimum`.
    Verdict checkValues(const FanRecord& record, std::vector<RecordSpeed>& speeds, std::optional<double>& minimum,
                        std::string& problem);
    // check()'s limits: each speed within the fan's maximum and floor.
    Verdict checkSpeeds(uint32_t fan, const std::vector<RecordSpeed>& speeds, std::optional<double> minimum,
                        std::string& problem);
    // Writes back what of `record` still holds the daemon's last write and
    // removes from it all that is settled; what stays could not be put
    // back. Returns what it wrote; says so in `notes`, `when` naming when.
    FanRecord putBack(FanRecord& record, const char* when, std::vector<std::string>& notes);
    // What a put-back did, key by key, for its notes.
    struct PutBackOutcome {
        std::vector<std::string> done, left, failed;
    };
    // putBack for the fan's bit of "FS! ": settled, it leaves record.forced;
    // written, it is in `wrote`.
    void putBackBit(FanRecord& record, FanRecord& wrote, PutBackOutcome& outcome);
    // putBack for the mode of a fan whose mode cannot be read: written as
    // `value` (automatic) while the target holds smcd's last; whether it is
    // settled (false: kept to try again).
    bool putBackHiddenMode(FanRecord& record, const SavedValue& value, FanRecord& wrote,
                           PutBackOutcome& outcome);
    void forgetPutBack(const FanRecord& wrote);
    void endLeases(std::optional<ClientId> client, std::vector<std::string>& notes);
    // resumed() for one leased fan: whether the SMC put back the manual
    // mode its holder wrote, and if so its writes again, listed in `done`
    // (or what failed in `failed`).
    bool resetBySleep(uint32_t fan, const Lease& lease);
    void takeAgain(uint32_t fan, const Lease& lease, std::vector<std::string>& done, std::vector<std::string>& failed);
    void say(std::string note);
    bool persist(std::string& error);
    void persistOrSay(std::vector<std::string>& notes);

    kern_return_t exchange(uint8_t command, FourCharCode key, SMCKeyData& reply, const SavedValue* value = nullptr);
    kern_return_t keyInfo(FourCharCode key, KeyInfo& info);
    kern_return_t read(FourCharCode key, SavedValue& value, FourCharCode* type = nullptr);
    kern_return_t writeValue(const SavedValue& value);

    std::unique_ptr<SMCConnection> connection_;
    BrokerOptions options_;
    StateFile* state_;
    std::shared_ptr<SMCKeyStore> emulated_;
    // What does not change while the daemon runs, learnt once: the types and
    // sizes of the keys the broker itself asks about, and each fan's maximum
    // (no value: the fan has no maximum key).
    std::map<FourCharCode, KeyInfo> keyInfos_;
    std::map<uint32_t, std::optional<double>> maxima_;
    std::map<uint32_t, double> floors_;
    std::map<uint32_t, FanRecord> records_;
    std::map<uint32_t, Lease> leases_;
    std::set<ClientId> leaseHolders_;
    std::optional<Controller> controller_;
    std::map<ClientId, int32_t> pids_;  // of lease holders, for the controller's record and the log
    // Fans whose mode the SMC cannot be asked (kIOReturnNotReadable: a
    // driver keeps it), learnt at start or from a failing read.
    std::set<uint32_t> hiddenModes_;
    std::set<uint32_t> unchecked_;  // fans whose records from the state could not be checked at start
    std::set<uint32_t> refusedControllers_;  // users whose claims were refused, said once each
    std::vector<std::string> notes_;
};

}  // namespace smcd
