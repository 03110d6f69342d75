#include "smcfand/Power.h"

#include "encodings/Encodings.h"
#include "fanclient/FanClient.h"

#include <cmath>
#include <cstdlib>
#include <utility>

namespace smcfand {
namespace {

// More than any machine with these fans draws: a reading past it is wrong.
constexpr double kMostWatts = 1000;

bool plausible(std::optional<double> watts)
{
    return watts && *watts >= 0 && *watts <= kMostWatts;
}

}  // namespace

std::string raplPackageDirectory()
{
    const char* powercap = std::getenv("SMC_POWERCAP");
    return std::string(powercap && *powercap ? powercap : "/sys/class/powercap") + "/intel-rapl:0";
}

Power::Power(io_connect_t connection, std::string rapl, FileSensor::ReadFile readFile)
    : connection_(connection), rapl_(std::move(rapl)), files_(connection, std::move(readFile))
{
    // The CPU's own keys first; the system's power, which the rest of the
    // machine moves too, only where nothing closer to the CPU reads.
    for (const char* key : {"PCPC", "PC0C", "PCPT", "PHPC"})
        if (chooseKey(key))
            return;
    if (!chooseRapl())
        chooseKey("PSTR");
}

bool Power::chooseKey(const char* key)
{
    SMCKeyData info{};
    if (fanclient::call(connection_, SMCCommandKeyInfo, key, info) != KERN_SUCCESS || info.dataSize == 0 ||
        info.dataSize > sizeof(SMCBytes))
        return false;
    key_ = key;
    size_ = info.dataSize;
    type_ = info.dataType;
    if (!plausible(watts({}))) {
        key_.clear();
        return false;
    }
    source_ = key;
    return true;
}

bool Power::chooseRapl()
{
    std::string energy = rapl_ + "/energy_uj";
    if (!files_.problem(energy).empty())
        return false;
    Reading range = readEnergyFile(rapl_ + "/max_energy_range_uj");
    if (range.celsius && *range.celsius > 0)
        range_ = range.celsius;
    std::string error;
    std::optional<std::string> name = readSmallFile(rapl_ + "/name", error);
    if (name && !name->empty() && name->back() == '\n')
        name->pop_back();
    source_ = "RAPL " + (name && !name->empty() ? *name : rapl_);
    return true;
}

void Power::ask()
{
    if (key_.empty() && !source_.empty())
        files_.ask({rapl_ + "/energy_uj"});
}

std::optional<double> Power::watts(std::chrono::steady_clock::time_point now)
{
    if (!key_.empty()) {
        uint8_t bytes[sizeof(SMCBytes)];
        if (fanclient::readKnown(connection_, key_, size_, bytes) != KERN_SUCCESS)
            return std::nullopt;
        std::optional<double> watts = encodings::decode(type_, bytes, size_);
        return plausible(watts) ? watts : std::nullopt;
    }
    if (source_.empty())
        return std::nullopt;
    kern_return_t status;
    Reading energy = files_.read(rapl_ + "/energy_uj", status);
    if (!energy.celsius || *energy.celsius < 0)
        return std::nullopt;
    Sample sample{*energy.celsius, now};
    std::optional<Sample> last = std::exchange(last_, sample);
    double seconds = last ? std::chrono::duration<double>(now - last->at).count() : 0;
    if (seconds <= 0)
        return std::nullopt;
    double spent = sample.microjoules - last->microjoules;
    if (spent < 0) {
        // The counter wrapped; without its range the step cannot be told.
        if (!range_)
            return std::nullopt;
        spent += *range_;
    }
    double watts = spent / 1e6 / seconds;
    return plausible(watts) ? std::optional(watts) : std::nullopt;
}

void Power::reconnected(io_connect_t connection)
{
    connection_ = connection;
    files_.reconnected(connection);
}

std::string powerLine(const Power& power)
{
    return power.source().empty() ? "no power reading; temperature alone" : "power from " + power.source();
}

}  // namespace smcfand
