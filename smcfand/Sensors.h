// What smcfand reads of the machine: temperatures from SMC keys and from
// hwmon files (tempN_input, millidegrees), the CPU keys it follows by
// default, and the fans with their limits.
#pragma once

#include "smcfand/Config.h"
#include "smcfand/FanControl.h"

#include "smc/smc.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace smcfand {

// Whether a status says the connection itself is gone (the daemon stopped
// or restarted), rather than one key failing.
bool connectionLost(kern_return_t status);

// Whether `sensor` names a file rather than an SMC key.
inline bool isFile(const std::string& sensor)
{
    return !sensor.empty() && sensor[0] == '/';
}

// The reading of a hwmon file: tempN_input in millidegrees, powerN_input
// (a name that begins with "power") in microwatts. Only a regular file is
// opened (sysfs attributes are), never a device or a FIFO, and only its
// first bytes are read. No error quotes what the file holds.
Reading readTemperatureFile(const std::string& path);

// Polls after which a file that has not answered counts as lost.
inline constexpr unsigned kStalePolls = 3;

// One temperature file read by a thread of its own, so that a read that
// never returns (a hung FUSE or NFS file) stalls that thread, never the
// caller: such a read cannot be interrupted, only left behind.
class FileSensor {
public:
    using ReadFile = std::function<Reading(const std::string&)>;

    explicit FileSensor(std::string path, ReadFile read = readTemperatureFile);
    // Ends the thread; one stuck in a read is left to end with the process.
    ~FileSensor();
    FileSensor(const FileSensor&) = delete;
    FileSensor& operator=(const FileSensor&) = delete;

    // Asks for a fresh reading; asked while one is under way, the next
    // starts when it ends.
    void ask();

    // The latest reading, waiting until `deadline` at most for the answer
    // to the last ask. Lost when none of the last kStalePolls asks (or the
    // first) was answered.
    Reading take(std::chrono::steady_clock::time_point deadline);

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Reads temperature sensors through one connection. A key's type and size
// are asked once; after that a reading is one exchange. Files are read by
// FileSensors, kept across connections.
class SensorReader {
public:
    explicit SensorReader(io_connect_t connection, FileSensor::ReadFile readFile = readTemperatureFile)
        : connection_(connection), readFile_(std::move(readFile))
    {
    }

    // Starts a fresh reading of every file among `sensors`, for read(),
    // which waits for them a little at most.
    void ask(const std::vector<std::string>& sensors);

    // The reading of `sensor` (of a file: its answer to the last ask); a
    // status that lost the connection goes into `status` (else 0).
    Reading read(const std::string& sensor, kern_return_t& status);

    // What keeps `sensor` from being read now, in words; empty when it reads.
    std::string problem(const std::string& sensor);

    // Reads keys through `connection` (not owned) from now on.
    void reconnected(io_connect_t connection);

private:
    struct KeyInfo {
        uint32_t size;
        FourCharCode type;
    };
    FileSensor& file(const std::string& path);

    io_connect_t connection_;
    FileSensor::ReadFile readFile_;
    std::map<std::string, KeyInfo> keys_;
    std::map<std::string, std::unique_ptr<FileSensor>> files_;
    std::chrono::steady_clock::time_point deadline_;  // of the file reads asked last
};

// The CPU temperature keys that read plausibly now (TC0D, TC0E, TC0F,
// TC0P, TCXC, TC<n>C); where none does, every T key that does, and the
// first of PHPC and PSTR that reads as plausible watts.
DefaultInputs defaultInputs(io_connect_t connection);

// The machine's fans with their limits, and the daemon's floor where it has
// one. A fan whose limits cannot be read is left out, said in `skipped`.
// The fan count's read status in `status`.
std::vector<MachineFan> readMachineFans(io_connect_t connection, kern_return_t& status,
                                        std::vector<std::string>& skipped);

}  // namespace smcfand
