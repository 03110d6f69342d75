// smcfan: the machine's fans in rpm, for people. Its options, what it shows
// and the words of its errors are all here, in one place.
#pragma once

#include "fanclient/FanClient.h"

#include <optional>
#include <string>
#include <vector>

namespace smcfan {

inline constexpr const char* kProgram = "smcfan";

enum class Command { List, Set, Manual, Auto, Hold, Help, Version };

struct Options {
    Command command = Command::List;
    std::string fan;                   // a fan's number or name; empty: every fan (auto)
    fanclient::Speed speed = fanclient::Speed::Target;  // set
    double rpm = 0;                    // set, hold
    std::vector<std::string> program;  // hold: the command to run while holding
};

// Parses the arguments after the program's name; nothing, with the problem
// in words in `problem`, when they are not a command.
std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& problem);

// The usage text.
std::string usage();

// The list of fans, a heading and a line a fan, speeds as whole rpm; with a
// controller, a line for each fan it drives or that a hold keeps from it.
std::string listText(const std::vector<fanclient::Fan>& fans,
                     const std::optional<fanclient::Controller>& controller = std::nullopt);

// A refused write of `rpm` to `key` in words, naming the key: which limit
// the speed crossed and its value (the daemon's floor, the fan's maximum;
// either may be unknown) when the SMC answered kIOReturnBadArgument, else
// the status in words.
std::string refusalWords(const std::string& key, double rpm, std::optional<double> floor,
                         std::optional<double> maximum, kern_return_t status);

}  // namespace smcfan
