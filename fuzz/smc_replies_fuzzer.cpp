// The tool and the module against an SMC whose every answer comes from the
// input: statuses, sizes, types, keys at positions and value bytes; when the
// input runs out, the SMC stops responding. Nothing may crash, hang, grow
// without bound or throw; loops go no further than a real SMC's fans and
// keys; the tool exits 0 or 1, and 1 when an exchange of its listing or fan
// report failed; a listing stops at the first answer that the SMC is gone.
#include "SensorsModule/SensorsModule.h"
#include "backends/SMCService.h"
#include "smc/tool/smctool.h"
#include "support/FuzzSupport.h"

#include <cstring>
#include <string>
#include <vector>

using fuzz_support::check;
using fuzz_support::InputReader;

namespace {

constexpr kern_return_t kNoDevice = kern_return_t(0xe00002c0);

bool saysGone(kern_return_t status)
{
    return status == kIOReturnNotOpen || status == kIOReturnNotResponding || status == kNoDevice;
}

// What the exchanges of one input came to.
struct Tally {
    uint64_t exchanges = 0;
    uint64_t failed = 0;
    uint64_t afterGone = 0;  // exchanges made after one that said the SMC is gone
    bool gone = false;

    void count(kern_return_t status)
    {
        ++exchanges;
        if (gone)
            ++afterGone;
        if (status != kIOReturnSuccess)
            ++failed;
        gone = gone || saysGone(status);
    }
};

constexpr const char* kKeys[] = {"#KEY", "FNum", "F0Ac", "F1Mn", "TC0D", "FS! ", "F0ID", "TB0T"};
constexpr const char* kTypes[] = {"ui8 ", "ui16", "ui32", "fpe2", "sp78", "ch8*", "flag", "ui8\0"};
constexpr kern_return_t kStatuses[] = {kIOReturnSuccess, kIOReturnSuccess, kIOReturnSuccess, kIOReturnSuccess,
                                       kIOReturnBadArgument, kIOReturnNotResponding, kIOReturnNotOpen, kNoDevice};

FourCharCode code(const char* text)
{
    return FourCharCode(uint8_t(text[0])) << 24 | FourCharCode(uint8_t(text[1])) << 16 |
           FourCharCode(uint8_t(text[2])) << 8 | FourCharCode(uint8_t(text[3]));
}

// Every exchange takes one byte that shapes the answer, then its fields:
//   bits 0-2  the status (half of them success)
//   bit 3     a failed answer still fills in the record
//   bit 4     the type: four bytes follow, else one byte picks a common type
//   bit 5     the key (at a position): four bytes follow, else one byte picks one
//   bit 6     the size: four bytes follow, else one byte
//   then one byte, the number of value bytes (up to 32) that follow.
class ReplyConnection final : public platform::SMCConnection {
public:
    ReplyConnection(InputReader& input, Tally& tally) : input_(input), tally_(tally) {}

    kern_return_t call(uint32_t, const void* in, size_t inSize, void* out, size_t* outSize) override
    {
        kern_return_t status = answer(in, inSize, out, *outSize);
        tally_.count(status);
        return status;
    }

private:
    kern_return_t answer(const void* in, size_t inSize, void* out, size_t outSize)
    {
        if (input_.remaining() == 0)
            return kIOReturnNotResponding;
        uint8_t shape = input_.byte();
        kern_return_t status = kStatuses[shape & 7];
        SMCKeyData reply{};
        std::memcpy(&reply, in, inSize < sizeof reply ? inSize : sizeof reply);
        reply.dataType = shape & 0x10 ? input_.word() : code(kTypes[input_.byte() % 8]);
        if (shape & 0x20)
            reply.key = input_.word();
        else if (reply.command == SMCCommandKeyAtIndex)
            reply.key = code(kKeys[input_.byte() % 8]);
        reply.dataSize = shape & 0x40 ? input_.word() : input_.byte();
        size_t count = input_.byte() % (sizeof reply.bytes + 1);
        std::memset(reply.bytes, 0, sizeof reply.bytes);
        input_.bytes(reply.bytes, count);
        if (status == kIOReturnSuccess || (shape & 0x08))
            std::memcpy(out, &reply, outSize < sizeof reply ? outSize : sizeof reply);
        return status;
    }

    InputReader& input_;
    Tally& tally_;
};

class ReplyService final : public platform::SMCService {
public:
    ReplyService(InputReader& input, Tally& tally, bool present, kern_return_t openStatus)
        : input_(input), tally_(tally), present_(present), openStatus_(openStatus)
    {
    }
    bool present() override { return present_; }
    kern_return_t open(std::unique_ptr<platform::SMCConnection>& connection) override
    {
        if (openStatus_ != kIOReturnSuccess)
            return openStatus_;
        connection = std::make_unique<ReplyConnection>(input_, tally_);
        return kIOReturnSuccess;
    }

private:
    InputReader& input_;
    Tally& tally_;
    bool present_;
    kern_return_t openStatus_;
};

int runTool(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int status = main_deac(int(args.size()), argv.data());
    check(status == 0 || status == 1, "the tool exits 0 or 1", std::to_string(status));
    return status;
}

Ref<NSString> string(const char* text)
{
    return NSString::stringWithCString(text);
}

void checkTemperatures(SensorsModule& module)
{
    Ref<NSMutableArray> keys = NSMutableArray::array();
    Ref<NSMutableDictionary> names = NSMutableDictionary::dictionary();
    Ref<NSMutableDictionary> priorities = NSMutableDictionary::dictionary();
    int priority = 0;
    for (const char* text : {"TC0D", "TC1D", "TB0T", "TA0P", "TN0P"}) {
        Ref<NSString> key = string(text);
        keys->addObject(key.get());
        Ref<NSNumber> level = NSNumber::numberWithInt(priority++ % 5);
        priorities->setValue(level.get(), key.get());
        if (priority % 2) {
            Ref<NSString> name = string(text + 1);
            names->setValue(name.get(), key.get());
        }
    }
    module.setSupportedtKeys(keys.get());
    module.setKeyDisplayNames(names.get());
    module.setKeyPriorities(priorities.get());
    module.findSupportedKeys();
    Ref<NSArray> groups = module.getTempValues();
    check(groups && groups->count() == 4, "four priority groups");
    for (size_t group = 0; group < 4; ++group) {
        const NSArray* pairs = groups->objectAtIndex(group)->asArray();
        check(pairs != nullptr, "each group is an array");
        for (size_t i = 0; i < pairs->count(); ++i) {
            const NSArray* pair = pairs->objectAtIndex(i)->asArray();
            check(pair && (pair->count() == 0 || pair->count() == 2), "a pair, or an empty one without a name");
            if (pair->count() == 2) {
                int degrees = pair->objectAtIndex(1)->intValue();
                check(degrees != 0 && degrees >= -128 && degrees <= 127, "whole degrees of a two-byte reading",
                      std::to_string(degrees));
            }
        }
    }
    Ref<NSArray> temps = module.getTemps();
    check(temps && temps->count() <= 1, "getTemps gives CPU or nothing");
}

void checkFans(SensorsModule& module, InputReader& input)
{
    Ref<NSArray> fans = module.getFans();
    check(fans && fans->count() <= kSMCMaxFans, "at most the fans a real SMC holds");
    Ref<NSArray> keys = module.fanKeys();
    check(keys && keys->count() <= kSMCMaxFans, "at most a speed key for each fan");
    Ref<NSDictionary> speeds = module.getFanValues();
    check(speeds && speeds->count() <= kSMCMaxFans, "at most a speed for each fan");
    Ref<NSString> name = module.getFanName(int32_t(input.word()));
    check(name && name->length() > 0, "every fan has a name");

    Ref<NSString> fanName = string("F0ID");
    Ref<NSString> temperature = string("TC0D");
    Ref<NSArray> raw = NSArray::arrayWithObjects({fanName.get(), temperature.get()});
    int32_t length = int32_t(input.word());
    Ref<NSArray> values = module.getValuesForKeys(raw.get(), length);
    for (size_t i = 0; values && i < values->count(); ++i) {
        const NSArray* entry = values->objectAtIndex(i)->asArray();
        check(entry && length >= 0 && length <= 32 && entry->count() == size_t(length) + 2,
              "a raw entry is the key, the type and one number per byte");
    }
    SMCVal val;
    Ref<NSString> key = string("FNum");
    module.dataForKey(key.get(), &val);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_support::discardStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    InputReader input(data, size);
    Tally tally;
    uint8_t operation = input.byte();
    uint8_t setup = input.byte();
    kern_return_t openStatus = setup == 0xfe ? kIOReturnNotPrivileged : kIOReturnSuccess;
    platform::installSMCService(std::make_shared<ReplyService>(input, tally, setup != 0xff, openStatus));

    // A listing's exchanges: the count's two, then three for each key.
    constexpr uint64_t kListingExchanges = 2 + 3 * uint64_t(kSMCMaxKeys);
    // A fan report's: the count's two, then two for each of six keys a fan.
    constexpr uint64_t kFanExchanges = 2 + 12 * uint64_t(kSMCMaxFans);
    switch (operation % 8) {
    case 0:
        if (smc_init() == kIOReturnSuccess)
            SMCPrintAll();
        smc_close();
        check(tally.exchanges <= kListingExchanges, "a listing goes no further than a real SMC's keys");
        break;
    case 1:
        if (smc_init() == kIOReturnSuccess)
            SMCPrintFans();
        smc_close();
        check(tally.exchanges <= kFanExchanges, "a fan report goes no further than a real SMC's fans");
        break;
    case 2: {
        int status = runTool({"smc", "-l"});
        check(tally.exchanges <= kListingExchanges, "a listing goes no further than a real SMC's keys");
        check(tally.failed == 0 || status == 1, "a listing with a failed exchange exits 1");
        check(tally.afterGone == 0, "a listing stops when the SMC is gone");
        break;
    }
    case 3: {
        int status = runTool({"smc", "-f"});
        check(tally.exchanges <= kFanExchanges, "a fan report goes no further than a real SMC's fans");
        check(tally.failed == 0 || status == 1, "a fan report with a failed exchange exits 1");
        break;
    }
    case 4:
        runTool({"smc", "-k", kKeys[input.byte() % 8], "-r"});
        break;
    case 5:
        runTool({"smc", "-k", "F0Mn", "-w", "0bb8"});
        break;
    case 6:
    case 7: {
        Ref<SensorsModule> module(kAdopt, SensorsModuleAlloc()->init());
        if (operation % 8 == 6)
            checkTemperatures(*module);
        else
            checkFans(*module, input);
        break;
    }
    }
    platform::installSMCService(nullptr);
    return 0;
}
