// Where smcd keeps what it keeps over the driver when not told: the device
// it serves and the default state file of that device.
#pragma once

#include <string>
#include <string_view>

namespace smcd {

// The driver's device directory that `spec` (applesmc[:DIR]) names,
// resolved; "" when it names none.
std::string driverDevice(std::string_view spec);

// The device directory `directory` with its links resolved where it can be;
// "" for "".
std::string resolvedDevice(const std::string& directory);

// The default state file over the driver's device directory `device`:
// /var/lib/smcd/NAME for the machine's daemon (`systemWide`), else
// $XDG_STATE_HOME/smcd/NAME or $HOME/.local/state/smcd/NAME, its directory
// created private to the user (NAME from driverStateName). "" with the
// reason in `problem` when there is no such place.
std::string defaultDriverState(const std::string& device, std::string& problem, bool systemWide);

}  // namespace smcd
