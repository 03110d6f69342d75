// The back-end of SMC_SERVICE=applesmc[:DIR]: a real machine's SMC through
// the files of Linux's applesmc driver.
#pragma once

#include "backends/SMCService.h"

#include <memory>
#include <string>

namespace platform {

// The service of the driver's device directory `directory` ("": found with
// findAppleSMCDevice when first asked). It is present while the directory
// holds the driver's files. Its connections outlive the files: calls fail
// with kIOReturnNoDevice while they are gone and work again once they are
// back (looked for at most once a second).
std::shared_ptr<SMCService> makeAppleSMCService(std::string directory);

}  // namespace platform
