// The sensors module as sensors-host drives it: loaded with dlopen, created
// through its entry point, and read through its own methods.
#pragma once

#include "SensorsModule/SensorsModule.h"
#include "host/KeysTable.h"
#include "host/Report.h"

#include <memory>
#include <string>
#include <vector>

class Machine {
public:
    // Loads the module at `modulePath` and creates the module object. With
    // `quietStdout`, what the access layer prints while opening the SMC
    // ("Error: no SMC found") goes to standard error instead, so that a
    // machine-readable standard output stays whole. Null, with `error` set,
    // when the module cannot be loaded or created.
    static std::unique_ptr<Machine> load(const std::string& modulePath, bool quietStdout, std::string& error);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Whether the module could open the SMC.
    bool isSupported();

    // Chooses the sensors to read: the table's keys of priority 1 to 4 that
    // read at least one whole degree now, or with `all` every T key of a
    // signed fixed-point type that the SMC lists, named from the table.
    void configure(const std::vector<KeyEntry>& table, bool all);

    // Reads every chosen sensor and every fan.
    Report read();

private:
    struct Sensor {
        std::string key;
        std::string name;
        std::optional<int> priority;
        uint32_t size = 0;
        size_t nameRun = 0;  // the first sensor shown under the same name and priority
    };
    // The sensors of one value size, read with one getValuesForKeys.
    struct SizeGroup {
        uint32_t size = 0;
        Ref<NSMutableArray> keys;
        std::vector<size_t> sensors;  // index in sensors_ of each key, in order
    };
    // The key objects of one fan, made once.
    struct FanKeys {
        Ref<NSString> minimum, maximum, target, mode;
    };

    Machine() = default;
    void enumerateTemperatureKeys(const std::vector<KeyEntry>& table);
    // Puts the sensors in display order and groups them for reading.
    void prepare();
    void readFans(Report& report);
    bool fanCountReadable();

    void* plugin_ = nullptr;
    Ref<SensorsModule> module_;
    bool all_ = false;
    std::vector<Sensor> sensors_;
    std::vector<SizeGroup> groups_;
    std::vector<FanKeys> fanKeys_;
    Ref<NSArray> keyCountKeys_;
    Ref<NSString> modeKey_;
    uint32_t keyCountSize_ = 4;
    uint64_t readErrors_ = 0;
};

// The reading of a temperature value in degrees Celsius: exact for the
// signed fixed-point types ("sp78", "sp5a", ...), and for any other type the
// module's rule (the first two bytes as sp78).
double decodeTemperature(const char* type, const uint8_t* bytes);

// The fraction bits of a signed fixed-point type of 16 bits, "spXY" with X
// and Y hex digits adding up to 15; -1 for any other type.
int signedFixedPointFraction(const char* type);
