// The macsmc back-end's parts, private to it: what the driver's hwmon
// directory and the devicetree together say a machine serves (Machine.cpp),
// and the files that answer call records from it (MacSMCService.cpp).
#pragma once

#include "backends/CallRecord.h"
#include "backends/macsmc/Devicetree.h"

#include <map>
#include <string>
#include <vector>

namespace platform::macsmc {

// Where one served key's value comes from.
struct ServedKey {
    enum class Source { File, FanTarget, FanCount, KeyCount, FanMode } source = Source::File;
    std::string file;      // for File: the driver's file
    double scale = 1;      // what the file's number is divided by: 1000 for m°C
    int fan = 0;           // for a fan's keys: its channel number
    std::string label;     // the devicetree's, "" for none
};

// One fan the driver shows.
struct Fan {
    int channel = 0;       // N of fanN_*
    FourCharCode mode = 0; // the devicetree's mode key; 0 when the fan has none
};

struct Machine {
    std::string hwmon;   // the driver's hwmon directory, its real path
    std::string root;    // the sysfs root it lies under
    std::string device;  // the platform device, whose path stays across boots
    std::map<FourCharCode, ServedKey> keys;  // every key served, F<n>Md included
    std::vector<FourCharCode> listed;        // the keys by index, sorted; no F<n>Md
    std::map<int, Fan> fans;                 // by channel number
};

// The hwmon directory named by `directory` as makeMacSMCService takes it;
// "" with the reason in `cause` when there is none.
std::string locateHwmon(const std::string& directory, std::string& cause);

// What the hwmon directory `hwmon` serves, its channels mapped to keys by
// the devicetree; channels whose key cannot be known are left out, each said
// once on standard error. False, with `cause`, when the files cannot be read.
bool describeMachine(const std::string& hwmon, Machine& machine, std::string& cause);

}  // namespace platform::macsmc
