// SensorsModule: the object through which a system-monitoring host reads the
// SMC's temperatures, fans and raw keys. The host creates it with the
// module's entry point and init, hands over candidate keys, display names
// and priorities, calls findSupportedKeys, then asks for reports as often as
// it likes. Methods are virtual so that a host reaches them through the
// object without linking against the module.
//
// No method throws. When memory runs out inside one, a report answers nil
// (a message sent to it answers 0 or nil, as to any absent object) and a
// method without a result does no more; nothing else changes. Fan loops go
// no further than kSMCMaxFans, whatever "FNum" claims.
//
// Threads: the module has no locks. One module may serve several threads at
// once only in isSupported, connection, convertFanValue, dataForKey,
// getFanName and getFans; every other method writes `result` or a
// collection and must not overlap any other call on the same module.
// Separate modules may run on separate threads, except that creating
// (init) or releasing a module reopens or closes the process-wide
// connection through which getFans, fanKeys and getFanValues of every
// module read: do neither while another thread is in one of those three.
#pragma once

#include "smc/smc.h"

#include <Foundation/Foundation.h>

class SensorsModule;

// The module's one entry point: a new, uninitialised SensorsModule holding
// one reference for the caller, who sends it init next; null when memory
// ran out.
extern "C" __attribute__((visibility("default"))) SensorsModule* SensorsModuleAlloc() noexcept;

class SensorsModule : public NSObject {
public:
    // Raw values: for each key of `keys` whose value is exactly `dataLength`
    // bytes (0 to 32), the entry [the caller's key object, type text, one
    // NSNumber per byte taken signed]. Owned by the caller only.
    virtual Ref<NSArray> getValuesForKeys(NSArray* keys, int32_t dataLength) noexcept;
    // Reads `key` into *returnData, which is cleared first.
    virtual void dataForKey(NSString* key, SMCVal* returnData) noexcept;
    // The supported keys' readings in whole degrees (a "flt " by its float,
    // any other type by the two-byte rule): four arrays, for
    // priorities 1 to 4, of [display name, degrees] pairs (an empty pair for
    // a key without a name), each sorted with compare:.
    virtual Ref<NSArray> getTempValues() noexcept;
    // ["CPU"] when "TC0D" can be read, else an empty array.
    virtual Ref<NSArray> getTemps() noexcept;
    // The fans' actual-speed keys, "F0Ac", "F1Ac", ...
    virtual Ref<NSArray> fanKeys() noexcept;
    // A fan speed record's value as a whole number: fpe2, or the float a
    // "flt " of 4 bytes holds (NaN gives 0).
    virtual int32_t convertFanValue(SMCVal val) noexcept;
    // Fan name -> current speed as decimal text.
    virtual Ref<NSDictionary> getFanValues() noexcept;
    // The fan's name as the SMC holds it, or "Fan <index>".
    virtual Ref<NSString> getFanName(int32_t index) noexcept;
    // The fan labels, "Fan 0", "Fan 1", ...
    virtual Ref<NSArray> getFans() noexcept;
    // Keeps the candidate keys that read at least one whole degree, and
    // sets default names for the CPU heatsink keys.
    virtual void findSupportedKeys() noexcept;
    // Whether init could open the SMC.
    virtual bool isSupported() noexcept;
    // The setters keep their own mutable copy of the collection.
    virtual void setKeyPriorities(NSDictionary* keyPriorities) noexcept;
    virtual void setKeyDisplayNames(NSDictionary* displayNames) noexcept;
    virtual void setSupportedtKeys(NSArray* keys) noexcept;
    // Opens the module's SMC connection and, when that worked, the
    // process-wide one; returns the object either way. Once it has worked,
    // a later init changes nothing.
    virtual SensorsModule* init() noexcept;
    // The module's own connection handle.
    virtual uint32_t connection() noexcept;

protected:
    friend SensorsModule* ::SensorsModuleAlloc() noexcept;
    SensorsModule() noexcept = default;
    // Not public: a module goes away through release, which runs dealloc
    // and closes its connections; `delete` and std::unique_ptr would not.
    ~SensorsModule() override = default;
    // Releases the collections and closes the module's connection, then the
    // process-wide one, whoever opened it.
    void dealloc() noexcept override;

    bool supported = false;
    Ref<NSMutableArray> availableKeys;
    Ref<NSMutableArray> supportedKeys;
    Ref<NSMutableDictionary> keyDisplayNames;
    Ref<NSMutableDictionary> priorities;
    io_connect_t conn2 = 0;
    int32_t result = 0;

private:
    bool readFanCount(int32_t& fans, bool recordStatus) noexcept;
};


// The entry point's name and type, for a host that looks it up with dlsym.
inline constexpr const char* kSensorsModuleEntryPoint = "SensorsModuleAlloc";
using SensorsModuleAllocFunction = SensorsModule* (*)() noexcept;
