// smcfan: the machine's fans in rpm, for people. Its options, what it shows
// and the words of its errors are all here, in one place.
#pragma once

#include "smc/smc.h"

#include <optional>
#include <string>
#include <vector>

namespace smcfan {

inline constexpr const char* kProgram = "smcfan";

enum class Command { List, Set, Manual, Auto, Hold, Help, Version };
enum class Speed { Minimum, Target };

struct Options {
    Command command = Command::List;
    std::string fan;                   // a fan's number or name; empty: every fan (auto)
    Speed speed = Speed::Target;       // set
    double rpm = 0;                    // set, hold
    std::vector<std::string> program;  // hold: the command to run while holding
};

// Parses the arguments after the program's name; nothing, with the problem
// in words in `problem`, when they are not a command.
std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& problem);

// The usage text.
std::string usage();

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

// The controller in words: "smcfand (pid 1234, uid 997)", unprintable bytes
// as '?'.
std::string controllerText(const Controller& controller);

// The list of fans, a heading and a line a fan, speeds as whole rpm; with a
// controller, a line for each fan it drives or that a hold keeps from it.
std::string listText(const std::vector<Fan>& fans, const std::optional<Controller>& controller = std::nullopt);

// A failed write or lease in words, for people: "not writable through this
// daemon", "below the lowest speed the daemon allows", ...
std::string statusWords(kern_return_t status);

// A refused write of `rpm` to `key` in words, naming the key: which limit
// the speed crossed and its value (the daemon's floor, the fan's maximum;
// either may be unknown) when the SMC answered kIOReturnBadArgument, else
// the status in words.
std::string refusalWords(const std::string& key, double rpm, std::optional<double> floor,
                         std::optional<double> maximum, kern_return_t status);

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

// One user-client call of `command` for `key`, the record's other fields as
// given; the reply in `record` on success. Where a key's size is known
// already, a read or a write is this one exchange, not the access layer's
// key information first.
kern_return_t call(io_connect_t connection, uint8_t command, const std::string& key, SMCKeyData& record);

// Reads `size` bytes of `key` in one exchange, for a key whose size is
// known; a key the SMC lacks reads as zeros.
kern_return_t readKnown(io_connect_t connection, const std::string& key, uint32_t size, uint8_t* bytes);

// Puts a fan into manual (forced) mode or back into automatic mode: its bit
// of "FS! " where the SMC has that mask, and its F<n>Md where it has one.
// Into manual mode, with a mask: one read and at most one write, the fan's
// own key left alone. kIOReturnNotFound when the SMC has neither. The key
// of a failed write goes into `failedKey` when given.
kern_return_t setManual(io_connect_t connection, unsigned fan, bool manual, std::string* failedKey = nullptr);

// What a hold compares: the fan's target key, as `target` names it (key,
// type, size), with its bytes, and whether the fan is in manual mode.
struct FanSetting {
    SMCVal target{};
    bool manual = false;
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

}  // namespace smcfan
