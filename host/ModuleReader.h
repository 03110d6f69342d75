// The sensors module as sensors-host drives it: loaded with dlopen, created
// through its entry point, and read through its own methods.
#pragma once

#include "encodings/Encodings.h"
#include "SensorsModule/SensorsModule.h"
#include "host/KeysTable.h"
#include "host/Report.h"

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class ModuleReader {
public:
    // Loads the module at `modulePath` and creates the module object. With
    // `quietStdout`, what the access layer prints while opening the SMC
    // ("Error: no SMC found") goes to standard error instead, so that a
    // machine-readable standard output stays whole. Null, with `error` set,
    // when the module cannot be loaded or created.
    static std::unique_ptr<ModuleReader> load(const std::string& modulePath, bool quietStdout, std::string& error);
    ~ModuleReader();
    ModuleReader(const ModuleReader&) = delete;
    ModuleReader& operator=(const ModuleReader&) = delete;

    // Whether the module could open the SMC.
    bool isSupported();

    // Chooses the sensors to read: the table's keys of priority 1 to 4 that
    // read at least one whole degree now, or with `all` every T key of a
    // signed fixed-point type or flt that the SMC lists, named from the table.
    void configure(const std::vector<KeyEntry>& table, bool all);

    // Reads every chosen sensor and every fan. A value that cannot be read
    // is left out of the report and named in its errors; a candidate whose
    // read failed while choosing is tried again here.
    Report read();

private:
    // A temperature value as read: its type and first four bytes (a flt's all).
    struct Value {
        bool read = false;
        char type[5] = {};
        uint8_t bytes[4] = {};
    };
    struct Sensor {
        std::string key;
        std::string name;
        std::optional<int> priority;
        uint32_t size = 0;
        size_t nameRun = 0;  // the first sensor shown under the same name and priority
        Value chosenWith;     // the read that chose it, shown by the next report instead of reading again
        std::chrono::steady_clock::time_point chosenAt;
    };
    // The sensors of one value size, read with one getValuesForKeys.
    struct SizeGroup {
        uint32_t size = 0;
        Ref<NSMutableArray> keys;
        std::vector<size_t> sensors;  // index in sensors_ of each key, in order
    };
    // The keys of one fan, made once.
    struct FanKeys {
        std::string actual, minimum, maximum, target, mode;
        std::string name;  // once read: a fan's name does not change
    };
    // A key that could not be read while choosing: whether it is a sensor
    // is still to be found out.
    struct Candidate {
        std::string key;
        std::string name;
        std::optional<int> priority;
    };
    // Twice: the position shows a key another position showed first, so the
    // key it holds (a name misread while another program moved the driver's
    // cursor) is unknown.
    enum class Choice { Sensor, NotSensor, Failed, Twice };

    ModuleReader() = default;
    // --all: the T keys the SMC lists, from the position reached so far;
    // false when the SMC went away before the last.
    bool enumerateTemperatureKeys();
    // Reads one key through the module's connection: the status, which the
    // module's own methods do not pass on.
    kern_return_t readKey(const std::string& key, SMCVal& val);
    // Whether `candidate` is a sensor by the rule in force; a sensor is added.
    // With --all the key's information decides, without reading its value.
    Choice choose(const Candidate& candidate);
    // The key-information exchange alone: the value's size and type.
    kern_return_t keyInfo(const std::string& key, uint32_t& size, FourCharCode& type);
    // The key at a position of the SMC's list; the exchange's status.
    kern_return_t keyAtIndex(uint32_t index, std::string& key);
    // choose() for a key the SMC lists at `index`, named from the table; a
    // failed one is kept to be tried again.
    Choice chooseListed(const std::string& key, uint32_t index);
    // Tries the candidates and positions that failed before; errors for
    // those that fail again.
    void retryPending(Report& report);
    // Puts the sensors in display order and groups them for reading.
    void prepare();
    // The sensors of which `read` is false, grouped by value size.
    std::vector<SizeGroup> groupsToRead(const std::vector<Value>& values) const;
    void readFans(Report& report);
    // The label the machine gives `key` (an Apple Silicon Mac's devicetree
    // names its sensors), else `fallback`.
    std::string labelled(const std::string& key, const std::string& fallback);
    // A row of floatSensorKeys(), taken when the SMC types it "flt ". Its
    // key information decides; a temperature then goes through choose().
    Choice chooseFloatSensor(const FloatSensorKey& row);
    // Reads the power, voltage and current sensors, one read each.
    void readElectrical(Report& report);

    void* plugin_ = nullptr;
    Ref<SensorsModule> module_;
    bool all_ = false;
    std::vector<Sensor> sensors_;
    std::vector<SizeGroup> groups_;
    std::vector<FanKeys> fanKeys_;
    std::vector<Candidate> pending_;
    struct Electrical {
        std::string key;
        std::string name;
        Quantity quantity;
    };
    std::vector<Electrical> electrical_;
    std::vector<const FloatSensorKey*> floatPending_;  // rows whose key information failed
    bool labels_ = true;  // until the connection says that the SMC names no keys
    std::vector<uint32_t> pendingIndexes_;
    std::map<std::string, KeyEntry> known_;  // the table by key
    std::map<std::string, uint32_t> seen_;  // keys --all has listed, at their first position
    uint32_t keyCount_ = 0;         // with --all: the keys the SMC lists
    uint32_t enumerated_ = 0;       // the positions of those asked so far
    bool keyCountPending_ = false;  // with --all: the key count failed to read
    uint64_t readErrors_ = 0;
    int goodReads_ = 0, failedReads_ = 0;  // values read and failed in the report being made
};

// The temperature encodings, as every program decodes them.
using encodings::decodeTemperature;
using encodings::signedFixedPointFraction;
