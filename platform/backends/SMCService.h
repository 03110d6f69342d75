// The back-ends of the "AppleSMC" service behind the IOKit stand-in: one
// small table of operations, the process's choice of back-end, and the hooks
// that tests use to install a service of their own and watch every exchange.
// Each back-end lives in a folder of its own beside this table (emulated/,
// daemon/, applesmc/) and is chosen in ServiceSelection.cpp only.
#pragma once

#include <IOKit/IOKitLib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// What only some back-ends offer, beyond the table below: an interface the
// caller asks for by its type (capability<T>()), null where the back-end has
// none, so that the core can answer kIOReturnUnsupported for it. Each such
// interface names itself with a kCapability of this list.
enum class SMCCapability {
    DaemonRequests,  // SMCDaemonRequests, of a connection to the daemon
    KeyStore,        // SMCKeyStore (KeyStore.h), of an emulated SMC's service
    DriverDevice,    // SMCDriverDevice, of the kernel driver's service
    KeyLabels,       // SMCKeyLabels, of a connection whose SMC names its sensors
    Devicetree,      // SMCDevicetree, of a service that knows its machine's sensor nodes
};

// The query both services and connections answer.
class SMCCapabilities {
public:
    // The interface `Interface` of this object, not owned: it lives as long
    // as the object. Null when the back-end does not offer it.
    template <typename Interface>
    Interface* capability()
    {
        return static_cast<Interface*>(findCapability(Interface::kCapability));
    }

protected:
    ~SMCCapabilities() = default;
    // The object's interface for `which`, as a pointer to that interface's
    // own type (see offer()); null by default.
    virtual void* findCapability(SMCCapability which)
    {
        (void)which;
        return nullptr;
    }
    // For findCapability: `object` when `which` is its interface's.
    template <typename Interface>
    static void* offer(SMCCapability which, Interface* object)
    {
        return which == Interface::kCapability ? object : nullptr;
    }
};

// One open user-client connection. Calls may come from several threads.
class SMCConnection : public SMCCapabilities {
public:
    virtual ~SMCConnection() = default;
    // One user-client method call; the arguments are those of
    // IOConnectCallStructMethod, already checked to be non-null.
    virtual kern_return_t call(uint32_t selector, const void* input, size_t inputSize,
                               void* output, size_t* outputSize) = 0;
};

// A connection's requests to the daemon beyond the user-client calls; its
// presence says that a daemon stands between the connection and the SMC,
// checking fan limits and putting fans back.
class SMCDaemonRequests {
public:
    static constexpr SMCCapability kCapability = SMCCapability::DaemonRequests;
    // Asks that the fan changes made on this connection be undone when it
    // closes.
    virtual kern_return_t requestLease() = 0;
    // The lowest speed in rpm the daemon lets a write set for fan `fan`.
    virtual kern_return_t fanFloor(uint32_t fan, double& rpm) = 0;
    // `method` with the 80-byte `record`, the reply's record into `reply`
    // (also when refused).
    virtual kern_return_t daemonRequest(uint32_t method, const uint8_t* record, uint8_t* reply) = 0;

protected:
    ~SMCDaemonRequests() = default;
};

// The names a machine gives its sensor keys ("Heatpipe Power"), where it
// describes them (the devicetree of an Apple Silicon Mac); the SMC itself
// names none.
class SMCKeyLabels {
public:
    static constexpr SMCCapability kCapability = SMCCapability::KeyLabels;
    // The label of `key` into `label`: KERN_SUCCESS, or kIOReturnNotFound
    // when the key has none.
    virtual kern_return_t keyLabel(FourCharCode key, std::string& label) = 0;

protected:
    ~SMCKeyLabels() = default;
};

// One sensor node of an Apple Silicon Mac's devicetree, which tells the
// kernel's macsmc_hwmon driver which SMC key each channel reads.
struct SMCSensorNode {
    enum class Kind { Temperature, Voltage, Current, Power, Fan };
    Kind kind = Kind::Temperature;
    FourCharCode key = 0;
    std::optional<std::string> label;  // none: the driver makes no _label file
    // A fan's minimum, maximum and target keys, and its mode key (0 when
    // the node has none: the fan cannot be set).
    FourCharCode minimum = 0, maximum = 0, target = 0, mode = 0;
};

// The sensor nodes of a machine's devicetree, in tree order (which gives
// the driver's channel numbers), in one of the two shapes kernels know.
struct SMCSensorTree {
    // Upstream: hwmon/temperature-TB0T; grouped (older kernels):
    // hwmon/apple,temp-keys/temp-TB0T.
    enum class Shape { Upstream, Grouped };
    Shape shape = Shape::Upstream;
    uint64_t address = 0x23e400000;  // the SMC's, in smc@ADDRESS
    std::vector<SMCSensorNode> nodes;
};

// A service that knows its machine's sensor nodes (an emulated Apple
// Silicon machine whose profile describes them).
class SMCDevicetree {
public:
    static constexpr SMCCapability kCapability = SMCCapability::Devicetree;
    // The nodes; they live as long as the service.
    virtual const SMCSensorTree& sensorTree() = 0;

protected:
    ~SMCDevicetree() = default;
};

// The kernel driver's service: which device it serves.
class SMCDriverDevice {
public:
    static constexpr SMCCapability kCapability = SMCCapability::DriverDevice;
    // The driver's device directory as found; "" before present() found it.
    virtual std::string deviceDirectory() = 0;

protected:
    ~SMCDriverDevice() = default;
};

// A service of class "AppleSMC".
class SMCService : public SMCCapabilities {
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
};

// The applesmc driver's device directory under `root` ("" for this
// machine): the classic platform device, the device of a hwmon class
// directory whose name is "applesmc", or the T2 ACPI device, found by their
// files. "" when there is none.
std::string findAppleSMCDevice(const std::string& root = "");

// The hwmon class directory of the macsmc_hwmon driver (Apple Silicon)
// under the sysfs root `sysfsRoot`: the one whose name is "macsmc_hwmon",
// never a fixed index. "" when there is none.
std::string findMacSMCHwmon(const std::string& sysfsRoot = "/sys");

// Replaces the process's service (null: the machine has none). Connections
// already open keep talking to the service they were opened on.
void installSMCService(std::shared_ptr<SMCService> service);

// The service that SMC_SERVICE names: "builtin", the emulated SMC with the
// built-in profile; "none", no service; "unix:PATH", the daemon at PATH
// ("unix:" alone: its default socket); "applesmc[:DIR]", the Intel kernel
// driver's files; "macsmc[:DIR]", the Apple Silicon driver's
// (makeMacSMCService); unset, the first that answers of the user's own
// daemon (its default socket), the system's (protocol::kSystemSocketPath),
// the applesmc driver and the macsmc_hwmon driver, else no service: an emulated machine is served only when named, never in
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
// ("applesmc:DIR" or "macsmc:DIR" for the driver found), empty when nothing was named and
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
