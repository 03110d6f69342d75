// Machine profiles: any text either fails to load or loads; what a loaded
// machine lists loads again and lists the same text; and the tool's own
// listing through the access layer is that text whenever "#KEY" counts the
// keys and no exchange is made to fail.
#include "smc/tool/smctool.h"
#include "backends/emulated/EmulatedSMC.h"
#include "support/FuzzSupport.h"

#include <algorithm>
#include <cstring>

using namespace platform;
using fuzz_support::captureStdout;
using fuzz_support::check;
using fuzz_support::escaped;

namespace {

std::shared_ptr<EmulatedSMC> load(std::string_view text)
{
    std::vector<SMCKeyEntry> keys;
    if (parseSMCProfile(text, keys))
        return nullptr;
    return std::make_shared<EmulatedSMC>(std::move(keys));
}

// Each key as the listing prints it, in position order.
std::string listing(const EmulatedSMC& smc)
{
    return captureStdout([&] {
        for (const SMCKeyEntry& entry : smc.keys()) {
            SMCVal val{};
            _ultostr(val.key, entry.key);
            _ultostr(val.dataType, entry.type);
            val.dataSize = entry.size;
            std::memcpy(val.bytes, entry.bytes.data(), entry.size);
            printVal(val);
        }
    });
}

// `smc -l` on this machine.
std::string toolListing(const std::shared_ptr<EmulatedSMC>& smc)
{
    installSMCService(smc);
    std::string text = captureStdout([] {
        if (smc_init() == kIOReturnSuccess)
            SMCPrintAll();
        smc_close();
    });
    installSMCService(nullptr);
    return text;
}

// The listing prints keys as text, so a key holding a zero byte is listed
// cut short and may then clash with another.
bool keysAreText(const std::vector<SMCKeyEntry>& keys)
{
    return std::none_of(keys.begin(), keys.end(), [](const SMCKeyEntry& entry) {
        std::string text = fourCharText(entry.key);
        return text.find('\0') != std::string::npos;
    });
}

// "#KEY" first, holding the number of keys, and no exchange made to fail:
// then the tool lists every key there is, each as it is stored.
bool listsItself(const std::vector<SMCKeyEntry>& keys)
{
    const SMCKeyEntry& count = keys.front();
    uint32_t n = uint32_t(keys.size());
    uint8_t expected[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    bool counts = count.key == fourCharCode("#KEY") && count.size == 4 &&
                  std::memcmp(count.bytes.data(), expected, 4) == 0;
    bool failing = std::any_of(keys.begin(), keys.end(), [](const SMCKeyEntry& entry) {
        return std::any_of(entry.failures.begin(), entry.failures.end(), [](kern_return_t f) { return f != 0; });
    });
    return counts && !failing;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_support::discardStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::shared_ptr<EmulatedSMC> smc = load(text);
    if (smc == nullptr)
        return 0;
    std::vector<SMCKeyEntry> keys = smc->keys();
    if (!keysAreText(keys))
        return 0;

    std::string listed = listing(*smc);
    std::shared_ptr<EmulatedSMC> reloaded = load(listed);
    check(reloaded != nullptr, "a listing loads as a profile", escaped(listed));
    std::string relisted = listing(*reloaded);
    check(relisted == listed, "a reloaded listing lists the same text",
          "listed:\n" + escaped(listed) + "reloaded:\n" + escaped(relisted));

    if (listsItself(keys)) {
        std::string printed = toolListing(smc);
        check(printed == listed, "the tool lists every key as stored",
              "stored:\n" + escaped(listed) + "tool:\n" + escaped(printed));
    }
    return 0;
}
