// The back-ends of the "AppleSMC" service behind the IOKit stand-in: one
// small table of operations, the process's choice of back-end, and the hooks
// that tests use to install a service of their own and watch every exchange.
// Each back-end lives in a folder of its own beside this table (emulated/,
// daemon/, applesmc/) and is chosen in ServiceSelection.cpp only.
#pragma once

#include <IOKit/IOKitLib.h>

#include <functional>
#include <memory>
#include <string>

namespace platform {

class SMCKeyStore;

// One open user-client connection. Calls may come from several threads.
class SMCConnection {
public:
    virtual ~SMCConnection() = default;
    // One user-client method call; the arguments are those of
    // IOConnectCallStructMethod, already checked to be non-null.
    virtual kern_return_t call(uint32_t selector, const void* input, size_t inputSize,
                               void* output, size_t* outputSize) = 0;
    // Asks that the fan changes made on this connection be undone when it
    // closes. Only the daemon's connections can; the others answer
    // kIOReturnUnsupported.
    virtual kern_return_t requestLease() { return kIOReturnUnsupported; }
    // The lowest speed in rpm the daemon lets a write set for fan `fan`.
    // Only the daemon's connections know; the others answer
    // kIOReturnUnsupported.
    virtual kern_return_t fanFloor(uint32_t, double&) { return kIOReturnUnsupported; }
    // A request to the daemon beyond the user-client calls: `method` with
    // the 80-byte `record`, the reply's record into `reply` (also when
    // refused). Only the daemon's connections can; the others answer
    // kIOReturnUnsupported.
    virtual kern_return_t daemonRequest(uint32_t, const uint8_t*, uint8_t*) { return kIOReturnUnsupported; }
    // Whether a daemon stands between this connection and the SMC, checking
    // fan limits and putting fans back; known without an exchange.
    virtual bool brokered() const { return false; }
};

// What stands behind a service: a daemon's policy depends on it.
enum class SMCServiceKind {
    Emulated,  // an SMC in software, from a machine profile
    Daemon,    // another process's SMC, over its socket
    Driver,    // real hardware, through the kernel's driver
};

// A service of class "AppleSMC".
class SMCService {
public:
    virtual ~SMCService() = default;
    // Whether the service answers now; a service that does not is not found
    // by IOServiceGetMatchingServices.
    virtual bool present() { return true; }
    // Why present() or open() failed last, in words ("no daemon at PATH");
    // empty when the service has nothing to add to its status.
    virtual std::string failureCause() { return {}; }
    // A new connection into `connection`, or a nonzero status.
    virtual kern_return_t open(std::unique_ptr<SMCConnection>& connection) = 0;
    // A back-end that does not say is taken for real hardware: the careful
    // choice for whoever decides what may be written through it.
    virtual SMCServiceKind kind() const { return SMCServiceKind::Driver; }
    // The keys themselves when they live in this process (an emulated SMC),
    // for a daemon that saves and puts back their values; null otherwise.
    virtual SMCKeyStore* keyStore() { return nullptr; }
};

// The applesmc driver's device directory under `root` ("" for this
// machine): the classic platform device, the device of a hwmon class
// directory whose name is "applesmc", or the T2 ACPI device, found by their
// files. "" when there is none.
std::string findAppleSMCDevice(const std::string& root = "");

// Replaces the process's service (null: the machine has none). Connections
// already open keep talking to the service they were opened on.
void installSMCService(std::shared_ptr<SMCService> service);

// The service that SMC_SERVICE names: "builtin", the emulated SMC with the
// built-in profile; "none", no service; "unix:PATH", the daemon at PATH
// ("unix:" alone: its default socket); "applesmc[:DIR]", the kernel driver's
// files; unset, the first that answers of the user's own daemon (its
// default socket), the system's (protocol::kSystemSocketPath) and the driver,
// else no service: an emulated machine is served only when named, never in
// place of a missing SMC. Anything else is the emulated SMC with the
// profile at that path. A choice that cannot be served gives null, with the
// reason in `cause`; a profile that does not load also prints one line on
// standard error.
std::shared_ptr<SMCService> selectSMCService(const char* setting, std::string& cause);

// Who asks for a service. A client takes the machine's shared SMC from a
// daemon first; the daemon itself serves the machine's driver, never
// another daemon, when nothing is named.
enum class SMCServiceUser { Client, Daemon };

// selectSMCService for `user`; `chosen` gets the setting that was served
// ("applesmc:DIR" for the driver found), empty when nothing was named and
// nothing found.
std::shared_ptr<SMCService> selectSMCService(const char* setting, std::string& cause, SMCServiceUser user,
                                             std::string& chosen);

// The service of the SMC daemon listening at `path` (empty: the default
// socket); it is present while the daemon answers.
std::shared_ptr<SMCService> makeUnixSMCService(std::string path);

// What an observer sees of one exchange, after it completed.
struct Exchange {
    io_connect_t connection;
    uint32_t selector;
    const void* input;
    size_t inputSize;
    kern_return_t status;
};
using ExchangeObserver = std::function<void(const Exchange&)>;

// Calls `observer` after every IOConnectCallStructMethod of the process, on
// the calling thread; an empty observer stops the calls.
void setExchangeObserver(ExchangeObserver observer);

}  // namespace platform
