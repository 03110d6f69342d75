// sensors-host: a system-monitoring host. It loads the sensors module as a
// plug-in, hands it the candidate temperature keys, and prints what the
// machine reports: temperatures by priority, then the fans.
#include "SensorsModule/SensorsModule.h"
#include "host/KeysTable.h"

#include <Foundation/Foundation.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <getopt.h>
#include <string>
#include <strings.h>
#include <unistd.h>

namespace {

constexpr const char* kProgram = "sensors-host";

void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: %s [options]\n"
                 "Prints the machine's temperatures and fans through the sensors module.\n"
                 "    -m, --module PATH  the module to load (default: SensorsModule.so beside this program)\n"
                 "    -k, --keys FILE    the candidate temperature keys (default: a built-in table)\n"
                 "    -p, --print-keys   print the built-in keys table, to start a file of your own\n"
                 "    -h, --help         this text\n"
                 "A keys table has one line a key: the key, its priority (1 to 4 are shown, 1 first)\n"
                 "and its display name, as in \"TC0D  1  CPU Die\"; lines starting with # are comments.\n",
                 kProgram);
}

// SensorsModule.so in the directory of this program.
std::string defaultModulePath()
{
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "SensorsModule.so";
    std::string self(path, size_t(length));
    return self.substr(0, self.rfind('/') + 1) + "SensorsModule.so";
}

bool readFile(const char* path, std::string& text)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    bool ok = !std::ferror(file);
    int saved = errno;
    std::fclose(file);
    errno = saved;
    return ok;
}

// The host's ordering of temperature pairs: by name ignoring case, then the
// hotter first; a pair without a name last.
NSComparisonResult comparePairs(const NSArray* left, const NSArray* right)
{
    if (left->count() < 2 || right->count() < 2)
        return NSComparisonResult((left->count() < right->count()) - (left->count() > right->count()));
    const NSString* leftName = left->objectAtIndex(0)->asString();
    const NSString* rightName = right->objectAtIndex(0)->asString();
    int order = strcasecmp(leftName ? leftName->cString() : "", rightName ? rightName->cString() : "");
    if (order == 0)
        order = right->objectAtIndex(1)->intValue() - left->objectAtIndex(1)->intValue();
    return NSComparisonResult((order > 0) - (order < 0));
}

void printTemperatures(const NSArray* groups)
{
    std::printf("Temperatures\n");
    bool any = false;
    for (size_t group = 0; group < msgSend(groups, &NSArray::count); ++group) {
        const NSArray* pairs = groups->objectAtIndex(group)->asArray();
        if (msgSend(pairs, &NSArray::count) == 0)
            continue;
        any = true;
        std::printf("  priority %zu\n", group + 1);
        for (size_t i = 0; i < pairs->count(); ++i) {
            const NSArray* pair = pairs->objectAtIndex(i)->asArray();
            const NSString* name = msgSend(msgSend(pair, &NSArray::objectAtIndex, size_t(0)), &NSObject::asString);
            int degrees = msgSend(msgSend(pair, &NSArray::objectAtIndex, size_t(1)), &NSObject::intValue);
            if (name)
                std::printf("    %-28s %4d °C\n", name->cString(), degrees);
            else
                std::printf("    (a sensor without a name)\n");
        }
    }
    if (!any)
        std::printf("  none of the keys reads a temperature on this machine\n");
}

// Whether the fan count reads at all: the module answers an empty fan list
// both for none and for an unreadable count. getValuesForKeys makes an entry
// only for a read that succeeded at exactly the size asked, which dataForKey
// tells.
bool fanCountReadable(SensorsModule* module)
{
    Ref<NSString> key = NSString::stringWithCString("FNum");
    SMCVal val{};
    module->dataForKey(key.get(), &val);
    if (val.dataSize > sizeof val.bytes)
        return false;
    Ref<NSArray> read = module->getValuesForKeys(NSArray::arrayWithObject(key.get()).get(), int32_t(val.dataSize));
    return msgSend(read, &NSArray::count) == 1;
}

// Each fan is read by its index: the speed report getFanValues is keyed by
// name, so fans that share a name would all show the last one's speed.
// False when the fan count cannot be read.
bool printFans(SensorsModule* module)
{
    Ref<NSArray> speedKeys = module->fanKeys();
    size_t fans = msgSend(speedKeys, &NSArray::count);
    std::printf("Fans\n");
    if (fans == 0) {
        if (!fanCountReadable(module)) {
            std::printf("  the fan count cannot be read\n");
            return false;
        }
        std::printf("  no fans\n");
    }
    for (size_t fan = 0; fan < fans; ++fan) {
        Ref<NSString> name = module->getFanName(int32_t(fan));
        SMCVal speed{};
        module->dataForKey(dynamic_cast<NSString*>(speedKeys->objectAtIndex(fan)), &speed);
        std::printf("  %-30s ", msgSend(name, &NSString::cString) ? name->cString() : "?");
        if (speed.dataSize == 0)
            std::printf("%6s rpm\n", "?");
        else
            std::printf("%6d rpm\n", module->convertFanValue(speed));
    }
    return true;
}

struct Options {
    std::string modulePath = defaultModulePath();
    const char* keysPath = nullptr;
};

int run(const Options& options)
{
    std::string tableText(defaultKeysTable());
    if (options.keysPath && !readFile(options.keysPath, tableText = std::string())) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, options.keysPath, std::strerror(errno));
        return 1;
    }
    std::string error;
    auto table = parseKeysTable(tableText, error);
    if (!table) {
        std::fprintf(stderr, "%s: %s:%s\n", kProgram, options.keysPath ? options.keysPath : "built-in keys",
                     error.c_str());
        return 1;
    }

    void* plugin = dlopen(options.modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::fprintf(stderr, "%s: cannot load the module: %s\n", kProgram, dlerror());
        return 1;
    }
    auto alloc = reinterpret_cast<SensorsModuleAllocFunction>(dlsym(plugin, kSensorsModuleEntryPoint));
    if (alloc == nullptr) {
        std::fprintf(stderr, "%s: %s is not a sensors module: it has no entry point %s\n", kProgram,
                     options.modulePath.c_str(), kSensorsModuleEntryPoint);
        dlclose(plugin);
        return 1;
    }

    SensorsModule* fresh = alloc();
    if (fresh == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", kProgram);
        return 1;
    }
    NSArray::setComparator(comparePairs);
    int status = 0;
    {
        NSAutoreleasePool pool;
        Ref<SensorsModule> module(kAdopt, fresh->init());
        Ref<NSMutableArray> keys = NSMutableArray::array();
        Ref<NSMutableDictionary> names = NSMutableDictionary::dictionary();
        Ref<NSMutableDictionary> priorities = NSMutableDictionary::dictionary();
        for (const KeyEntry& entry : *table) {
            Ref<NSString> key = NSString::stringWithCString(entry.key.c_str());
            keys->addObject(key.get());
            if (!entry.name.empty())
                names->setValue(NSString::stringWithCString(entry.name.c_str()).get(), key.get());
            priorities->setValue(NSNumber::numberWithInt(entry.priority).get(), key.get());
        }
        module->setSupportedtKeys(keys.get());
        module->setKeyDisplayNames(names.get());
        module->setKeyPriorities(priorities.get());
        module->findSupportedKeys();

        if (module->isSupported()) {
            printTemperatures(module->getTempValues().get());
            std::printf("\n");
            if (!printFans(module.get()))
                status = 1;
        } else {
            std::fprintf(stderr, "%s: the module found no SMC on this machine\n", kProgram);
            status = 1;
        }
    }
    NSArray::setComparator(nullptr);
    // The module stays loaded: objects it made may still be released late.
    if (std::fflush(stdout) != 0)
        status = 1;
    return status;
}

}  // namespace

int main(int argc, char* argv[])
{
    static const option longOptions[] = {
        {"module", required_argument, nullptr, 'm'},
        {"keys", required_argument, nullptr, 'k'},
        {"print-keys", no_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    int letter;
    while ((letter = getopt_long(argc, argv, "m:k:ph", longOptions, nullptr)) != -1) {
        switch (letter) {
        case 'm':
            options.modulePath = optarg;
            break;
        case 'k':
            options.keysPath = optarg;
            break;
        case 'p':
            std::fputs(defaultKeysTable().data(), stdout);
            return 0;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument \"%s\"\n", kProgram, argv[optind]);
        usage(stderr);
        return 2;
    }
    return run(options);
}
