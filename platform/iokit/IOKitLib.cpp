// The IOKit stand-in: a registry of iterators, services and connections
// under process-wide handles, in front of the chosen SMC back-end.
#include "backends/DaemonProtocol.h"
#include "backends/SMCService.h"

#include <IOKit/IOKitDiagnostics.h>
#include <IOKit/IOKitSMCLease.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>

struct __CFDictionary {
    std::string className;
};

namespace platform {
namespace {

constexpr mach_port_t kMasterPort = 0x0b03;
constexpr mach_port_t kTaskPort = 0x0103;

struct Iterator {
    std::shared_ptr<SMCService> pending;  // the one service not yet handed out
};
struct ServiceObject {
    std::shared_ptr<SMCService> service;
};

struct Registry {
    std::mutex mutex;
    // Handles are never reused, so a stale one can never reach a newer object.
    uint32_t lastHandle = 0x1000;
    std::unordered_map<io_object_t, std::variant<Iterator, ServiceObject>> objects;
    std::unordered_map<io_connect_t, std::shared_ptr<SMCConnection>> connections;
    std::unordered_set<io_connect_t> exactOnly;  // connections whose requests carry kExactValues
    bool chosen = false;
    std::shared_ptr<SMCService> service;
    std::string selectionCause;  // why there is no service at all
    std::string failureCause;    // what IOSMCServiceFailureCause answers
    std::shared_ptr<const ExchangeObserver> observer;

    uint32_t newHandle() { return ++lastHandle; }
};

// Never destroyed, so calls made while the process exits still find it.
Registry& registry()
{
    static Registry* instance = new Registry;
    return *instance;
}

std::shared_ptr<SMCService> serviceLocked(Registry& r)
{
    if (!r.chosen) {
        r.chosen = true;
        r.service = selectSMCService(std::getenv("SMC_SERVICE"), r.selectionCause);
    }
    return r.service;
}

// The connection behind an open handle, or null.
std::shared_ptr<SMCConnection> openConnection(io_connect_t connect)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.connections.find(connect);
    return found == r.connections.end() ? nullptr : found->second;
}

// `request` through the daemon's requests of `connection`; a back-end
// without them answers kIOReturnUnsupported here, in one place.
template <typename Request>
kern_return_t withDaemon(SMCConnection& connection, Request request)
{
    SMCDaemonRequests* daemon = connection.capability<SMCDaemonRequests>();
    return daemon ? request(*daemon) : kIOReturnUnsupported;
}

}  // namespace

void installSMCService(std::shared_ptr<SMCService> service)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.chosen = true;
    r.service = std::move(service);
    r.selectionCause = "no SMC service is installed";
}

void setExchangeObserver(ExchangeObserver observer)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.observer = observer ? std::make_shared<const ExchangeObserver>(std::move(observer)) : nullptr;
}

}  // namespace platform

using namespace platform;

extern "C" {

kern_return_t IOMasterPort(mach_port_t, mach_port_t* masterPort)
{
    if (masterPort == nullptr)
        return kIOReturnBadArgument;
    *masterPort = kMasterPort;
    return KERN_SUCCESS;
}

CFMutableDictionaryRef IOServiceMatching(const char* name)
{
    return name ? new __CFDictionary{name} : nullptr;
}

kern_return_t IOServiceGetMatchingServices(mach_port_t, CFDictionaryRef matching, io_iterator_t* existing)
{
    std::unique_ptr<const __CFDictionary> consumed(matching);
    if (matching == nullptr || existing == nullptr)
        return kIOReturnBadArgument;
    Registry& r = registry();
    std::shared_ptr<SMCService> service;
    {
        std::lock_guard lock(r.mutex);
        service = serviceLocked(r);
    }
    // Asking a daemon whether it answers must not hold up other callers.
    std::string cause;
    if (matching->className != "AppleSMC") {
        service = nullptr;
    } else if (service != nullptr && !service->present()) {
        cause = service->failureCause();
        service = nullptr;
    }
    std::lock_guard lock(r.mutex);
    if (matching->className == "AppleSMC")
        r.failureCause = r.service == nullptr ? r.selectionCause : cause;
    *existing = r.newHandle();
    r.objects.emplace(*existing, Iterator{std::move(service)});
    return KERN_SUCCESS;
}

io_object_t IOIteratorNext(io_iterator_t iterator)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.objects.find(iterator);
    if (found == r.objects.end())
        return 0;
    auto* it = std::get_if<Iterator>(&found->second);
    if (it == nullptr || it->pending == nullptr)
        return 0;
    io_object_t handle = r.newHandle();
    r.objects.emplace(handle, ServiceObject{std::move(it->pending)});
    return handle;
}

kern_return_t IOObjectRelease(io_object_t object)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.objects.erase(object) ? KERN_SUCCESS : kIOReturnBadArgument;
}

kern_return_t IOServiceOpen(io_service_t service, task_port_t, uint32_t, io_connect_t* connect)
{
    if (connect == nullptr)
        return kIOReturnBadArgument;
    Registry& r = registry();
    std::shared_ptr<SMCService> target;
    {
        std::lock_guard lock(r.mutex);
        auto found = r.objects.find(service);
        if (found == r.objects.end() || !std::holds_alternative<ServiceObject>(found->second))
            return kIOReturnBadArgument;
        target = std::get<ServiceObject>(found->second).service;
    }
    std::unique_ptr<SMCConnection> connection;
    kern_return_t status = target->open(connection);
    std::lock_guard lock(r.mutex);
    r.failureCause = status == KERN_SUCCESS ? std::string() : target->failureCause();
    if (status != KERN_SUCCESS)
        return status;
    *connect = r.newHandle();
    r.connections.emplace(*connect, std::move(connection));
    return KERN_SUCCESS;
}

kern_return_t IOServiceClose(io_connect_t connect)
{
    std::shared_ptr<SMCConnection> closing;  // torn down after the lock is released
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.connections.find(connect);
    if (found == r.connections.end())
        return kIOReturnNotOpen;
    closing = std::move(found->second);
    r.connections.erase(found);
    r.exactOnly.erase(connect);
    return KERN_SUCCESS;
}

kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector,
                                        const void* inputStruct, size_t inputStructCnt,
                                        void* outputStruct, size_t* outputStructCnt)
{
    Registry& r = registry();
    std::shared_ptr<SMCConnection> target;
    std::shared_ptr<const ExchangeObserver> observer;
    bool exact = false;
    {
        std::lock_guard lock(r.mutex);
        auto found = r.connections.find(connection);
        if (found != r.connections.end())
            target = found->second;
        exact = r.exactOnly.contains(connection);
        observer = r.observer;
    }
    kern_return_t status;
    CallRecord marked;
    if (target == nullptr) {
        status = kIOReturnNotOpen;
    } else if (inputStruct == nullptr || outputStruct == nullptr || outputStructCnt == nullptr) {
        status = kIOReturnBadArgument;
    } else {
        const void* input = inputStruct;
        if (exact && selector == kUserClientCall && inputStructCnt == sizeof marked) {
            std::memcpy(&marked, inputStruct, sizeof marked);
            marked.reserved2 |= kExactValues;
            input = &marked;
        }
        status = target->call(selector, input, inputStructCnt, outputStruct, outputStructCnt);
    }
    if (observer)
        (*observer)({connection, selector, inputStruct, inputStructCnt, status});
    return status;
}

const char* IOSMCServiceFailureCause(void)
{
    // The text lives in the never-destroyed registry until the next failure.
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.failureCause.c_str();
}

kern_return_t IOSMCConnectionRequireExactValues(io_connect_t connect)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.connections.contains(connect))
        return kIOReturnNotOpen;
    r.exactOnly.insert(connect);
    return KERN_SUCCESS;
}

kern_return_t IOSMCConnectionCopyKeyLabel(io_connect_t connect, uint32_t key, char* label, size_t size)
{
    if (label == nullptr || size == 0)
        return kIOReturnBadArgument;
    std::shared_ptr<SMCConnection> target = openConnection(connect);
    if (!target)
        return kIOReturnNotOpen;
    std::string text;
    kern_return_t status;
    if (SMCKeyLabels* labels = target->capability<SMCKeyLabels>()) {
        status = labels->keyLabel(key, text);
    } else {
        uint8_t record[protocol::kRecordSize]{}, reply[protocol::kRecordSize]{};
        std::memcpy(record, &key, sizeof key);
        status = withDaemon(*target, [&](SMCDaemonRequests& daemon) {
            return daemon.daemonRequest(protocol::kKeyLabelMethod, record, reply);
        });
        if (status == KERN_SUCCESS)
            text.assign(reinterpret_cast<const char*>(reply), strnlen(reinterpret_cast<const char*>(reply), sizeof reply));
    }
    if (status != KERN_SUCCESS)
        return status;
    size_t length = std::min(text.size(), size - 1);
    std::memcpy(label, text.data(), length);
    label[length] = '\0';
    return KERN_SUCCESS;
}

kern_return_t IOSMCConnectionRequestLease(io_connect_t connect)
{
    std::shared_ptr<SMCConnection> target = openConnection(connect);
    return target ? withDaemon(*target, [](SMCDaemonRequests& daemon) { return daemon.requestLease(); })
                  : kIOReturnNotOpen;
}

kern_return_t IOSMCConnectionCopyFanFloor(io_connect_t connect, uint32_t fan, double* rpm)
{
    if (rpm == nullptr)
        return kIOReturnBadArgument;
    std::shared_ptr<SMCConnection> target = openConnection(connect);
    return target ? withDaemon(*target, [&](SMCDaemonRequests& daemon) { return daemon.fanFloor(fan, *rpm); })
                  : kIOReturnNotOpen;
}

static_assert(sizeof(IOSMCFanController) == platform::protocol::kRecordSize &&
              sizeof IOSMCFanController::name <= platform::protocol::kClaimNameSize);

kern_return_t IOSMCConnectionClaimFanControl(io_connect_t connect, const char* name, uint32_t pollMilliseconds,
                                             IOSMCFanController* holder)
{
    size_t length = name ? std::strlen(name) : 0;
    if (length == 0 || length >= sizeof IOSMCFanController::name)
        return kIOReturnBadArgument;
    std::shared_ptr<SMCConnection> target = openConnection(connect);
    if (!target)
        return kIOReturnNotOpen;
    uint8_t record[protocol::kRecordSize]{}, reply[protocol::kRecordSize]{};
    std::memcpy(record, name, length);
    std::memcpy(record + protocol::kClaimNameSize, &pollMilliseconds, sizeof pollMilliseconds);
    kern_return_t status = withDaemon(*target, [&](SMCDaemonRequests& daemon) {
        return daemon.daemonRequest(protocol::kClaimControlMethod, record, reply);
    });
    if (status == kIOReturnExclusiveAccess && holder)
        std::memcpy(holder, reply, sizeof *holder);
    return status;
}

kern_return_t IOSMCConnectionCopyFanController(io_connect_t connect, IOSMCFanController* controller)
{
    if (controller == nullptr)
        return kIOReturnBadArgument;
    std::shared_ptr<SMCConnection> target = openConnection(connect);
    if (!target)
        return kIOReturnNotOpen;
    uint8_t record[protocol::kRecordSize]{}, reply[protocol::kRecordSize]{};
    kern_return_t status = withDaemon(*target, [&](SMCDaemonRequests& daemon) {
        return daemon.daemonRequest(protocol::kControllerMethod, record, reply);
    });
    if (status == KERN_SUCCESS)
        std::memcpy(controller, reply, sizeof *controller);
    return status;
}

int IOSMCConnectionIsBrokered(io_connect_t connect)
{
    std::shared_ptr<SMCConnection> target = openConnection(connect);
    return target && target->capability<SMCDaemonRequests>() != nullptr;
}

mach_port_t mach_task_self(void)
{
    return kTaskPort;
}

}  // extern "C"
