// The fans as a client of the SMC sees them, shared by smcfan and smcfand:
// reads and writes of fan keys, each a known number of exchanges, and
// smcd's leases, holds and fan controller.
#pragma once

#include "smc/smc.h"

#include <optional>
#include <string>
#include <vector>

namespace fanclient {

enum class Speed { Minimum, Target };

// One fan as the SMC holds it; a value that cannot be read is empty.
struct Fan {
    unsigned index = 0;
    std::string name;  // from F<n>ID, blanks at the end dropped; may be empty
    std::optional<double> actual, minimum, maximum, target;
    std::optional<bool> manual;
    // As the daemon tells: the fan controller drives the fan (toward
    // controllerTarget, when it wrote one), or another's hold keeps it from it.
    bool driven = false, held = false;
    std::optional<double> controllerTarget;
};

// The daemon's fan controller: its program's name, its process and user.
struct Controller {
    std::string name;
    int32_t pid = 0;
    uint32_t uid = 0;
};

// The daemon's fan controller and what it drives now.
struct ControllerState {
    Controller controller;
    uint32_t driven = 0, held = 0;  // a bit a fan
    std::vector<std::optional<double>> targets;  // its last target a fan; empty: none
    // Whether the controller drives fan `fan`, or another's hold keeps it from it.
    bool drives(unsigned fan) const { return fan < 32 && (driven >> fan & 1); }
    bool holds(unsigned fan) const { return fan < 32 && (held >> fan & 1); }
};

// The controller in words: "smcfand (pid 1234, uid 997)", unprintable bytes
// as '?'.
std::string controllerText(const Controller& controller);

// A speed as whole rpm; "-" when it is unknown.
std::string speedText(const std::optional<double>& rpm);

// A failed write or lease in words, for people: "not writable through this
// daemon", "below the lowest speed the daemon allows", ...
std::string statusWords(kern_return_t status);
// The same for a call on `connection`: without a daemon in the way, a write
// not permitted is the driver's file refusing it.
std::string statusWords(io_connect_t connection, kern_return_t status);

// A new connection to the SMC chosen for this process, without the access
// layer's line on stdout; 0 when it cannot be opened (the platform's
// failure cause says why). The caller closes it with SMCClose.
io_connect_t openService();

// Why the SMC could not be opened, in words: "the SMC cannot be opened",
// with the platform's cause when it gives one.
std::string openProblem();

// One user-client call of `command` for `key`, the record's other fields as
// given; the reply in `record` on success. Where a key's size is known
// already, a read or a write is this one exchange, not the access layer's
// key information first.
kern_return_t call(io_connect_t connection, uint8_t command, const std::string& key, SMCKeyData& record);

// Reads `size` bytes of `key` in one exchange, for a key whose size is
// known; a key the SMC lacks reads as zeros.
kern_return_t readKnown(io_connect_t connection, const std::string& key, uint32_t size, uint8_t* bytes);

// The fan count, FNum; its read status in `status`.
uint32_t readFanCount(io_connect_t connection, kern_return_t& status);

// A fan's name from F<n>ID; empty when it has none.
std::string readName(io_connect_t connection, unsigned fan);

// One speed of a fan in rpm, from the key F<n> and `suffix` ("Mx"); empty
// when it cannot be read or is not a speed.
std::optional<double> readSpeed(io_connect_t connection, unsigned fan, const char* suffix);

// The fans' numbers and names alone, for finding a fan by its name.
std::vector<Fan> readFanNames(io_connect_t connection, kern_return_t& status);

// Reads the fans through `connection`, at most the ten that keys can name.
// The fan count's read status in `status`; `more` is set when FNum counts
// more fans than that.
std::vector<Fan> readFans(io_connect_t connection, kern_return_t& status, bool& more);

// The number `text` gives, when it is one (at most three digits).
std::optional<unsigned> fanNumber(const std::string& text);

// The fan named by `text` (its number, or its name in any case) among
// `fans`; nothing when no fan or more than one has that name.
std::optional<Fan> findFan(const std::vector<Fan>& fans, const std::string& text);

// The key of a fan's speed: F<n>Mn or F<n>Tg.
std::string speedKey(unsigned fan, Speed speed);

// Writes a speed in rpm into the key F<n>Mn or F<n>Tg, in the key's own
// encoding, in two exchanges: the key's information and the write. The
// limits are not checked here: a daemon refuses a speed beyond them with
// kIOReturnBadArgument. kIOReturnNotFound when the SMC has no such key;
// kIOReturnBadArgument too when the key is not a speed or the rpm does not
// fit its encoding. What was written goes into `written` when given.
kern_return_t writeSpeed(io_connect_t connection, unsigned fan, Speed speed, double rpm, SMCVal* written = nullptr);

// Puts a fan into manual (forced) mode or back into automatic mode: its bit
// of "FS! " where the SMC has that mask, and its F<n>Md where it has one
// (written 0 without asking where its read is refused: automatic).
// Into manual mode, with a mask: one read and at most one write, the fan's
// own key left alone. kIOReturnNotFound when the SMC has neither. The key
// of a failed write goes into `failedKey` when given.
kern_return_t setManual(io_connect_t connection, unsigned fan, bool manual, std::string* failedKey = nullptr);

// The lowest speed in rpm the daemon lets a write set for the fan, asked
// in one exchange; empty without a daemon or a floor.
std::optional<double> readFloor(io_connect_t connection, unsigned fan);

// Asks the daemon to put back the fans this connection changes when it
// closes, in one exchange. kIOReturnUnsupported without a daemon; a daemon
// that does not know leases answers kIOReturnBadArgument.
kern_return_t requestLease(io_connect_t connection);

// Makes the connection a lease and the daemon's one fan controller, named
// `name`, which asks something at least every `pollMilliseconds`; one
// exchange. kIOReturnExclusiveAccess while another is the controller, that
// one in `holder`; otherwise as the daemon answers.
kern_return_t claimFanControl(io_connect_t connection, const char* name, uint32_t pollMilliseconds,
                              Controller& holder);

// The daemon's fan controller and what it drives, asked in one exchange and
// only of a daemon, into `state`. kIOReturnUnsupported, without an exchange,
// when the connection leads to no daemon; kIOReturnNotFound when it has no
// controller.
kern_return_t readController(io_connect_t connection, ControllerState& state);

// What a hold compares: the fan's target key, as `target` names it (key,
// type, size), with its bytes, and whether the fan is in manual mode.
struct FanSetting {
    SMCVal target{};
    bool manual = false;
    // False where the SMC refuses to tell the mode (kIOReturnNotReadable: a
    // driver keeps it): only the target tells then.
    bool modeKnown = true;
};

// Reads the fan's target (the key `setting.target` names, of its size) and
// mode into `setting`; the target's read status.
kern_return_t readSetting(io_connect_t connection, unsigned fan, FanSetting& setting);

// Whether a fan that reads `now` after the daemon came back was left alone
// meanwhile: as the hold set it (`held`), or as the daemon puts it back:
// automatic, or manual at the target it had before the hold (`before`).
bool leftAlone(const FanSetting& now, const FanSetting& held, const FanSetting& before);

// Why a hold of `fan` no longer stands, in words: its connection lost, the
// fan back in automatic mode, or its target no longer `target` (the key as
// read once the hold began). Empty while the hold stands. `gone` tells
// whether it was the daemon that went away, taking the lease with it.
std::string holdProblem(io_connect_t connection, unsigned fan, const SMCVal& target, bool& gone);

}  // namespace fanclient
