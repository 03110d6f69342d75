// getTempValues over 40 supported keys: its cost beyond its 80 exchanges,
// against building the same four sorted groups from standard containers.
#include "SensorsModule/SensorsModule.h"
#include "bench/support/Ratios.h"
#include "smc/CallRecords.h"
#include "backends/emulated/EmulatedSMC.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kKeys = 40;

struct Sensor {
    std::string key;
    std::string name;
    int priority;
    int degrees;
};

const std::vector<Sensor>& sensors()
{
    static const std::vector<Sensor> all = [] {
        std::vector<Sensor> list;
        for (int i = 0; i < kKeys; ++i) {
            char key[5];
            std::snprintf(key, sizeof key, "T%03d", i);
            // Names out of order, so that every group really sorts.
            list.push_back({key, "Sensor " + std::to_string((i * 17) % kKeys), i % 4 + 1, 30 + (i * 7) % 50});
        }
        return list;
    }();
    return all;
}

std::shared_ptr<platform::EmulatedSMC> machine()
{
    std::vector<platform::SMCKeyEntry> keys;
    for (const Sensor& sensor : sensors())
        keys.push_back({.key = platform::fourCharCode(sensor.key), .type = platform::fourCharCode("sp78"), .size = 2,
                        .bytes = {uint8_t(sensor.degrees), 0x40}});
    return std::make_shared<platform::EmulatedSMC>(std::move(keys));
}

Ref<SensorsModule> discoveredModule()
{
    platform::installSMCService(machine());
    Ref<SensorsModule> module(kAdopt, SensorsModuleAlloc()->init());
    Ref<NSMutableArray> keys = NSMutableArray::array();
    Ref<NSMutableDictionary> names = NSMutableDictionary::dictionary();
    Ref<NSMutableDictionary> priorities = NSMutableDictionary::dictionary();
    for (const Sensor& sensor : sensors()) {
        Ref<NSString> key = NSString::stringWithCString(sensor.key.c_str());
        keys->addObject(key.get());
        names->setValue(NSString::stringWithCString(sensor.name.c_str()).get(), key.get());
        priorities->setValue(NSNumber::numberWithInt(sensor.priority).get(), key.get());
    }
    module->setSupportedtKeys(keys.get());
    module->setKeyDisplayNames(names.get());
    module->setKeyPriorities(priorities.get());
    module->findSupportedKeys();
    return module;
}

void GetTempValues(benchmark::State& state)
{
    Ref<SensorsModule> module = discoveredModule();
    for (auto _ : state) {
        Ref<NSArray> report = module->getTempValues();
        benchmark::DoNotOptimize(report.get());
    }
}
BENCHMARK(GetTempValues);

void EightyBareExchanges(benchmark::State& state)
{
    platform::installSMCService(machine());
    io_connect_t connection = 0;
    SMCOpen(&connection);
    std::vector<FourCharCode> codes;
    for (const Sensor& sensor : sensors())
        codes.push_back(platform::fourCharCode(sensor.key));
    SMCKeyData response{};
    for (auto _ : state) {
        for (FourCharCode code : codes) {
            size_t size = sizeof response;
            SMCKeyData info = smc::keyInfoRequest(code);
            IOConnectCallStructMethod(connection, kSMCUserClientCall, &info, sizeof info, &response, &size);
            SMCKeyData read = smc::readRequest(code, response.dataSize);
            IOConnectCallStructMethod(connection, kSMCUserClientCall, &read, sizeof read, &response, &size);
        }
        benchmark::DoNotOptimize(response);
    }
    SMCClose(connection);
}
BENCHMARK(EightyBareExchanges);

// The same report from standard containers: look up name and priority, make
// a shared (name, degrees) pair, group, sort.
void StandardContainers(benchmark::State& state)
{
    std::vector<std::string> keys;
    std::unordered_map<std::string, std::string> names;
    std::unordered_map<std::string, int> priorities;
    std::unordered_map<std::string, int> readings;
    for (const Sensor& sensor : sensors()) {
        keys.push_back(sensor.key);
        names[sensor.key] = sensor.name;
        priorities[sensor.key] = sensor.priority;
        readings[sensor.key] = sensor.degrees;
    }
    using Pair = std::shared_ptr<std::pair<std::string, int>>;
    for (auto _ : state) {
        auto report = std::make_shared<std::vector<std::shared_ptr<std::vector<Pair>>>>();
        std::array<std::shared_ptr<std::vector<Pair>>, 4> groups;
        for (auto& group : groups)
            group = std::make_shared<std::vector<Pair>>();
        for (const std::string& key : keys) {
            int degrees = readings.find(key)->second;
            int priority = priorities.find(key)->second;
            groups[size_t(priority - 1)]->push_back(std::make_shared<std::pair<std::string, int>>(names.find(key)->second, degrees));
        }
        for (auto& group : groups) {
            std::sort(group->begin(), group->end(), [](const Pair& a, const Pair& b) { return *a < *b; });
            report->push_back(group);
        }
        benchmark::DoNotOptimize(report.get());
    }
}
BENCHMARK(StandardContainers);

}  // namespace

int main(int argc, char** argv)
{
    return bench::runWithRatios(argc, argv, {
        {"(getTempValues - its 80 exchanges) / standard containers", "GetTempValues", "StandardContainers", 2.0,
         "EightyBareExchanges"},
    });
}
