// smcd's command line: every option in one struct, parsed in one place.
#pragma once

#include "smcd/FanBroker.h"

#include <optional>
#include <string>
#include <string_view>

namespace smcd {

inline constexpr const char* kProgram = "smcd";

struct Options {
    std::string socketPath = platform::protocol::defaultSocketPath();
    const char* service = nullptr;  // SMC_SERVICE's values; --profile FILE is --service FILE
    const char* statePath = nullptr;
    const char* group = nullptr;
    ControllerIdentity controllers;  // --controller; none named: the daemon's own user
    bool readOnly = false;
    std::optional<WritePolicy> writable;
    std::optional<double> fanFloor;
    bool keepFans = false;
    std::optional<bool> fanModel;
    std::optional<bool> thermalModel;
    const char* loadPath = nullptr;  // the thermal model's load trace
    bool help = false;                // -h: nothing after it is looked at
    bool version = false;             // --version: as -h
};

// Parses argv; the strings point into it. On a mistake returns nothing and
// sets `error` to what is wrong (the usage text is the caller's to print).
std::optional<Options> parseOptions(int argc, char* argv[], std::string& error);

// The usage text, with the caller's default socket.
std::string usageText();

// The speed that --fan-floor's `text` gives in rpm: a finite decimal, 0 or
// more, and nothing else; nothing when it is not one.
std::optional<double> parseFanFloor(const char* text);

// Who --controller's `text` names: USER, USER:GROUP or :GROUP, each a name
// or a number; nothing, with the problem in `problem`, when it is none of
// these or names a user or group the system does not have.
std::optional<ControllerIdentity> parseControllerIdentity(const char* text, std::string& problem);

}  // namespace smcd
