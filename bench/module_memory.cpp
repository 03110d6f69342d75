// One million report calls on one module: resident memory must stay flat
// once the first calls have warmed the allocator up.
#include "SensorsModule/SensorsModule.h"
#include "backends/emulated/EmulatedSMC.h"

#include <cstdio>
#include <functional>
#include <unistd.h>

namespace {

long residentKiB()
{
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main()
{
    std::string error;
    platform::installSMCService(platform::loadEmulatedSMC(nullptr, error));
    Ref<SensorsModule> module(kAdopt, SensorsModuleAlloc()->init());
    Ref<NSMutableArray> keys = NSMutableArray::array();
    Ref<NSMutableDictionary> names = NSMutableDictionary::dictionary();
    Ref<NSMutableDictionary> priorities = NSMutableDictionary::dictionary();
    const char* temperatureKeys[] = {"TC0D", "TC0P", "TC0H", "TG0D", "TB0T", "TM0P", "TA0P", "TH0P"};
    for (size_t i = 0; i < std::size(temperatureKeys); ++i) {
        Ref<NSString> key = NSString::stringWithCString(temperatureKeys[i]);
        keys->addObject(key.get());
        names->setValue(NSString::stringWithFormat("Sensor %zu", i).get(), key.get());
        priorities->setValue(NSNumber::numberWithInt(int(i % 4) + 1).get(), key.get());
    }
    module->setSupportedtKeys(keys.get());
    module->setKeyDisplayNames(names.get());
    module->setKeyPriorities(priorities.get());
    module->findSupportedKeys();
    Ref<NSArray> rawKeys = NSArray::arrayWithObjects({keys->objectAtIndex(0), keys->objectAtIndex(1)});
    Ref<NSString> fanKey = NSString::stringWithCString("F0Ac");

    const std::function<void()> reports[] = {
        [&] { module->getTempValues(); },
        [&] { module->getTemps(); },
        [&] { module->getFans(); },
        [&] { module->fanKeys(); },
        [&] { module->getFanValues(); },
        [&] { module->getFanName(1); },
        [&] { module->getValuesForKeys(rawKeys.get(), 2); },
        [&] {
            SMCVal val;
            module->dataForKey(fanKey.get(), &val);
            module->convertFanValue(val);
        },
    };
    constexpr long kCalls = 1'000'000, kStep = 100'000;
    long warm = 0, highest = 0;
    std::printf("%10s %14s\n", "calls", "resident KiB");
    for (long call = 1; call <= kCalls; ++call) {
        reports[size_t(call) % std::size(reports)]();
        if (call % kStep == 0) {
            long now = residentKiB();
            std::printf("%10ld %14ld\n", call, now);
            if (call == kStep)
                warm = now;
            highest = std::max(highest, now);
        }
    }
    long growth = highest - warm;
    constexpr long kNoiseKiB = 256;
    std::printf("growth after the first %ld calls: %ld KiB (target: at most %ld KiB, noise)\n", kStep, growth, kNoiseKiB);
    return growth <= kNoiseKiB ? 0 : 1;
}
