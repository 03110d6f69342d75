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
};

// The list of fans, a heading and a line a fan, speeds as whole rpm.
std::string listText(const std::vector<Fan>& fans);

// A failed write or lease in words, for people: "not writable through this
// daemon", "below the lowest speed the daemon allows", ...
std::string statusWords(kern_return_t status);

// A refused write of `rpm` to `key` in words, naming the key: which limit
// the speed crossed and its value (the daemon's floor, the fan's maximum;
// either may be unknown) when the SMC answered kIOReturnBadArgument, else
// the status in words.
std::string refusalWords(const std::string& key, double rpm, std::optional<double> floor,
                         std::optional<double> maximum, kern_return_t status);

// Reads the fans through `connection`, at most the ten that keys can name.
// The fan count's read status in `status`; `more` is set when FNum counts
// more fans than that.
std::vector<Fan> readFans(io_connect_t connection, kern_return_t& status, bool& more);

// The fan named by `text` (its number, or its name in any case) among
// `fans`; nothing when no fan or more than one has that name.
std::optional<Fan> findFan(const std::vector<Fan>& fans, const std::string& text);

// The key of a fan's speed: F<n>Mn or F<n>Tg.
std::string speedKey(unsigned fan, Speed speed);

// Writes a speed in rpm into the key F<n>Mn or F<n>Tg, in the key's own
// encoding. kIOReturnBadArgument when the key is not a speed or the rpm
// does not fit its encoding.
kern_return_t writeSpeed(io_connect_t connection, unsigned fan, Speed speed, double rpm);

// Puts a fan into manual (forced) mode or back into automatic mode: its bit
// of "FS! " where the SMC has that mask, and its F<n>Md where it has one.
// kIOReturnNotFound when the SMC has neither. The key of a failed write
// goes into `failedKey` when given.
kern_return_t setManual(io_connect_t connection, unsigned fan, bool manual, std::string* failedKey = nullptr);

// Why a hold of `fan` no longer stands, in words: its connection lost, the
// fan back in automatic mode, or its target no longer `target` (the key as
// read once the hold began). Empty while the hold stands.
std::string holdProblem(io_connect_t connection, unsigned fan, const SMCVal& target);

}  // namespace smcfan
