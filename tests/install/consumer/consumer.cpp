// Reads a key twice, through libsmc-sensors and through the installed sensors
// module, and checks both against the expected number.
// Usage: consumer KEY EXPECTED
#include <SensorsModule/SensorsModule.h>
#include <smc/smc.h>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: consumer KEY EXPECTED\n");
        return 2;
    }
    uint32_t expected = uint32_t(std::strtoul(argv[2], nullptr, 10));

    SMCVal val;
    if (smc_init() != kIOReturnSuccess || SMCReadKey(argv[1], &val) != kIOReturnSuccess)
        return 1;
    uint32_t direct = _strtoul(val.bytes, int(val.dataSize), 16);
    smc_close();

    void* plugin = dlopen(SENSORS_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::fprintf(stderr, "consumer: %s\n", dlerror());
        return 1;
    }
    auto alloc = reinterpret_cast<SensorsModuleAllocFunction>(dlsym(plugin, kSensorsModuleEntryPoint));
    if (alloc == nullptr)
        return 1;
    uint32_t viaModule;
    {
        Ref<SensorsModule> module(kAdopt, alloc()->init());
        Ref<NSString> key = NSString::stringWithCString(argv[1]);
        SMCVal moduleVal;
        module->dataForKey(key.get(), &moduleVal);
        viaModule = _strtoul(moduleVal.bytes, int(moduleVal.dataSize), 16);
    }
    std::printf("%s %u %u\n", argv[1], direct, viaModule);
    return direct == expected && viaModule == expected ? 0 : 1;
}
