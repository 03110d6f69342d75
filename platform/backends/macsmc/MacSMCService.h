// The back-end of SMC_SERVICE=macsmc[:DIR]: an Apple Silicon Mac's SMC
// through the files of Linux's macsmc_hwmon driver.
#pragma once

#include "backends/SMCService.h"

#include <memory>
#include <string>

namespace platform {

// The service of the driver found from `directory`: a sysfs root (one that
// has class/hwmon), the driver's hwmon directory itself, or "" for this
// machine's /sys. Present while the driver's files are there. It serves
// what the files show, as keys: each sensor channel whose key the
// devicetree tells (flt, converted back to the key's unit), each fan's
// F<n>Ac/Mn/Mx/Tg (flt, rpm), FNum (ui8) and #KEY (ui32), the number of keys
// it serves (not the SMC's own count: the kernel shows no other key). Writes
// go to fanN_target: F<n>Tg within the fan's limits, F<n>Md 0 (automatic)
// or 1 (manual at the current target); F<n>Md cannot be read. Connections
// offer SMCKeyLabels (the devicetree's labels) and outlive the files as the
// applesmc back-end's do.
std::shared_ptr<SMCService> makeMacSMCService(std::string directory);

}  // namespace platform
