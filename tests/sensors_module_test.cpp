// SensorsModule against emulated SMCs: discovery, the reports, `result`,
// connections and ownership.
#include "SensorsModule/SensorsModule.h"
#include "support/FailingNew.h"
#include "support/TestSMC.h"
#include "support/Tracked.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <type_traits>

using platform::fourCharCode;
using platform::SMCExchangeKind;
using testing_support::captureStdout;
using testing_support::TestSMC;
using testing_support::Tracked;

namespace {

// Lets the tests see the module's fields, which no method returns.
class ProbedModule final : public SensorsModule {
public:
    static Ref<ProbedModule> make()
    {
        Ref<ProbedModule> module = adoptRef(new ProbedModule());
        module->init();
        return module;
    }
    int32_t lastResult() const { return result; }
    void setResult(int32_t value) { result = value; }
    NSArray* supportedKeyList() const { return supportedKeys.get(); }
    NSDictionary* displayNames() const { return keyDisplayNames.get(); }
    NSArray* candidates() const { return availableKeys.get(); }
};

Ref<NSString> str(const char* text)
{
    return NSString::stringWithCString(text);
}

Ref<NSArray> strings(std::initializer_list<const char*> texts)
{
    Ref<NSMutableArray> array = NSMutableArray::array();
    for (const char* text : texts)
        array->addObject(str(text).get());
    return array;
}

Ref<NSDictionary> table(std::initializer_list<std::pair<const char*, Ref<NSObject>>> entries)
{
    Ref<NSMutableDictionary> dictionary = NSMutableDictionary::dictionary();
    for (const auto& [key, value] : entries)
        dictionary->setValue(value.get(), str(key).get());
    return dictionary;
}

Ref<NSObject> number(int value)
{
    return NSNumber::numberWithInt(value);
}

// "[[a, b], [c]]", nested arrays as text; "{key=value, ...}" for a
// dictionary.
std::string describe(NSObject* object)
{
    if (auto* dictionary = dynamic_cast<NSDictionary*>(object)) {
        std::string text;
        Ref<NSArray> keys = dictionary->allKeys();
        for (size_t i = 0; i < keys->count(); ++i)
            text += std::string(i ? ", " : "") + keys->objectAtIndex(i)->description()->cString() + "=" +
                    describe(dictionary->objectForKey(keys->objectAtIndex(i)));
        return "{" + text + "}";
    }
    return object ? object->description()->cString() : "nil";
}

std::string keysOf(NSArray* keys)
{
    return describe(keys);
}

constexpr const char* kTemperatures = R"(
  T63   [sp78]  (bytes 00 ff)
  T64   [sp78]  (bytes 01 00)
  TNEG  [sp78]  (bytes ff 00)
  TN16  [sp78]  (bytes ff c0)
  TMAX  [sp78]  (bytes 7f ff)
  TSZ0  [sp78]  no data
  TBAD  [sp78]  (bytes 32 00)
! fail read e00002ed
  TC0D  [sp78]  (bytes 32 80)
  TC1D  [sp78]  (bytes 31 00)
  TC0H  [sp78]  (bytes 30 00)
  TUI8  [ui8 ]  (bytes 45)
  TF50  [flt ]  (bytes 00 00 48 42)
  TF09  [flt ]  (bytes 66 66 66 3f)
  FNum  [ui8 ]  0 (bytes 00)
)";

TEST(Discovery, KeepsKeysOfAtLeastOneDegree)
{
    TestSMC smc{kTemperatures};
    struct Case {
        const char* key;
        bool accepted;
    } const cases[] = {
        {"T63 ", false},  // t = 63
        {"T64 ", true},   // t = 64
        {"TNEG", false},
        {"TN16", false},
        {"TMAX", true},
        {"TSZ0", false},
        {"TBAD", false},
        {"MISS", false},
        {"TUI8", true},  // the type is not examined: 45 00 past the byte is 69 degrees
        {"TF50", true},  // a flt is its float, 50.0: read by the two-byte rule it is 0
        {"TF09", false},  // 0.9
    };
    for (const auto& c : cases) {
        Ref<ProbedModule> module = ProbedModule::make();
        module->setSupportedtKeys(strings({c.key}).get());
        module->findSupportedKeys();
        EXPECT_EQ(module->supportedKeyList()->count(), c.accepted ? 1u : 0u) << c.key;
    }
}

TEST(Discovery, ListsEachKeyOnceInOrderOfAcceptance)
{
    TestSMC smc{kTemperatures};
    Ref<ProbedModule> module = ProbedModule::make();
    module->setSupportedtKeys(strings({"T63 ", "TMAX", "T64 ", "TMAX", "TBAD", "T64 "}).get());
    module->findSupportedKeys();
    EXPECT_EQ(keysOf(module->supportedKeyList()), "(TMAX, T64 )");
    EXPECT_EQ(module->lastResult(), 0) << "the last candidate's status";

    module->setSupportedtKeys(strings({"T64 ", "TC0D", "TBAD"}).get());
    module->findSupportedKeys();
    EXPECT_EQ(keysOf(module->supportedKeyList()), "(TMAX, T64 , TC0D)") << "earlier keys stay, once";
    EXPECT_EQ(module->lastResult(), kIOReturnNotResponding);
}

TEST(Discovery, DefaultNames)
{
    TestSMC smc{kTemperatures};
    struct Case {
        std::initializer_list<const char*> candidates;
        bool withNames;
        std::string names;
    } const cases[] = {
        {{"TC0D"}, true, "TC0H=CPU A Heatsink TCAH=CPU Heatsink 1 TCBH=nil TC0D=CPU"},
        {{"TC1D"}, true, "TC0H=Host heatsink TCAH=nil TCBH=CPU Heatsink 2 TC0D=CPU"},
        {{"TC0D", "TC1D"}, true, "TC0H=CPU A Heatsink TCAH=CPU Heatsink 1 TCBH=CPU Heatsink 2 TC0D=CPU"},
        {{"TC0H"}, true, "TC0H=Host heatsink TCAH=nil TCBH=nil TC0D=CPU"},
        {{"TC0D", "TC1D"}, false, "TC0H=nil TCAH=nil TCBH=nil TC0D=nil"},
    };
    for (const auto& c : cases) {
        Ref<ProbedModule> module = ProbedModule::make();
        Ref<NSDictionary> hostNames = table({{"TC0H", str("Host heatsink")}, {"TC0D", str("CPU")}});
        module->setSupportedtKeys(strings(c.candidates).get());
        if (c.withNames)
            module->setKeyDisplayNames(hostNames.get());
        module->findSupportedKeys();
        std::string names;
        for (const char* key : {"TC0H", "TCAH", "TCBH", "TC0D"})
            names += std::string(names.empty() ? "" : " ") + key + "=" +
                     describe(msgSend(module->displayNames(), &NSDictionary::objectForKey, str(key).get()));
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(describe(hostNames->objectForKey(str("TC0H").get())), "Host heatsink") << "the host's table is untouched";
    }
}

TEST(Discovery, WithoutCandidatesStillSetsDefaults)
{
    TestSMC smc{kTemperatures};
    Ref<ProbedModule> module = ProbedModule::make();
    module->setKeyDisplayNames(table({}).get());
    module->setResult(77);
    module->findSupportedKeys();
    EXPECT_EQ(module->lastResult(), 77) << "no candidates, no status";
    EXPECT_EQ(module->displayNames()->count(), 0u);
    module->setSupportedtKeys(strings({"TC0D"}).get());
    module->findSupportedKeys();
    module->setSupportedtKeys(nullptr);
    module->setKeyDisplayNames(table({}).get());
    module->findSupportedKeys();
    EXPECT_EQ(describe(module->displayNames()->objectForKey(str("TC0H").get())), "CPU A Heatsink")
        << "TC0D is still supported";
}

struct Reading {
    const char* key;
    uint8_t b0, b1;
};

// A module that discovered `keys` (all readable at discovery), whose values
// then change to `readings`.
Ref<ProbedModule> discovered(TestSMC& smc, std::initializer_list<const char*> keys, std::initializer_list<Reading> readings,
                             Ref<NSDictionary> names, Ref<NSDictionary> priorities)
{
    Ref<ProbedModule> module = ProbedModule::make();
    module->setSupportedtKeys(strings(keys).get());
    module->setKeyDisplayNames(names.get());
    module->setKeyPriorities(priorities.get());
    module->findSupportedKeys();
    for (const Reading& r : readings) {
        const uint8_t bytes[] = {r.b0, r.b1};
        EXPECT_TRUE(smc.smc().setValue(fourCharCode(r.key), bytes, 2)) << r.key;
    }
    return module;
}

constexpr const char* kFourSensors = R"(
  TA0P  [sp78]  (bytes 10 00)
  TB0T  [sp78]  (bytes 10 00)
  TC0D  [sp78]  (bytes 10 00)
  TG0D  [sp78]  (bytes 10 00)
)";

TEST(Temperatures, GroupsByPriority)
{
    TestSMC smc{kFourSensors};
    Ref<NSDictionary> names = table({{"TA0P", str("Ambient")}, {"TB0T", str("Battery")}, {"TC0D", str("CPU")},
                                     {"TG0D", str("GPU")}});
    struct Case {
        const char* name;
        std::initializer_list<Reading> readings;
        Ref<NSDictionary> priorities;
        Ref<NSDictionary> names;
        const char* report;
    } const cases[] = {
        {"two of priority 2, sorted", {},
         table({{"TG0D", number(2)}, {"TC0D", number(2)}}), names, "((), ((CPU, 16), (GPU, 16)), (), ())"},
        {"one of each, outside 1 to 4 dropped", {{"TC0D", 0x32, 0x80}},
         table({{"TA0P", number(4)}, {"TB0T", number(0)}, {"TC0D", number(1)}, {"TG0D", number(5)}}), names,
         "(((CPU, 50)), (), (), ((Ambient, 16)))"},
        {"negative and string priorities", {},
         table({{"TA0P", number(-1)}, {"TB0T", str("3")}, {"TC0D", str("x")}}), names, "((), (), ((Battery, 16)), ())"},
        {"truncation toward zero and negative readings",
         {{"TA0P", 0x01, 0xfc}, {"TB0T", 0xff, 0x00}, {"TC0D", 0xfe, 0x70}, {"TG0D", 0xff, 0x04}},
         table({{"TA0P", number(1)}, {"TB0T", number(1)}, {"TC0D", number(1)}, {"TG0D", number(1)}}), names,
         "(((Ambient, 1), (Battery, -1), (CPU, -1)), (), (), ())"},
        {"no display name gives an empty pair", {},
         table({{"TA0P", number(3)}, {"TC0D", number(3)}}), table({{"TC0D", str("CPU")}}), "((), (), ((), (CPU, 16)), ())"},
        {"no names at all", {}, table({{"TA0P", number(3)}}), nullptr, "((), (), (()), ())"},
        {"no priorities", {}, nullptr, names, "((), (), (), ())"},
        {"readings that fall to zero degrees", {{"TA0P", 0x00, 0xfc}, {"TB0T", 0xff, 0x04}},
         table({{"TA0P", number(1)}, {"TB0T", number(1)}}), names, "((), (), (), ())"},
    };
    for (const auto& c : cases) {
        Ref<ProbedModule> module =
            discovered(smc, {"TA0P", "TB0T", "TC0D", "TG0D"}, c.readings, c.names, c.priorities);
        EXPECT_EQ(describe(module->getTempValues().get()), c.report) << c.name;
        const uint8_t sixteen[] = {0x10, 0x00};
        for (const char* key : {"TA0P", "TB0T", "TC0D", "TG0D"})
            smc.smc().setValue(fourCharCode(key), sixteen, 2);
    }
}

// A flt reading is the float it holds, not its first two bytes (0 degrees).
TEST(Temperatures, FloatsReadAsTheirValue)
{
    TestSMC smc{kTemperatures};
    Ref<ProbedModule> module =
        discovered(smc, {"TF50"}, {}, table({{"TF50", str("CPU")}}), table({{"TF50", number(1)}}));
    EXPECT_EQ(describe(module->getTempValues().get()), "(((CPU, 50)), (), (), ())");
}

TEST(Temperatures, FailedReadsDropKeyAndLeaveStatus)
{
    TestSMC smc{kFourSensors};
    Ref<ProbedModule> module = discovered(smc, {"TA0P", "TC0D"}, {}, table({{"TA0P", str("A")}, {"TC0D", str("C")}}),
                                          table({{"TA0P", number(1)}, {"TC0D", number(1)}}));
    smc.fail("TC0D", SMCExchangeKind::Read, kIOReturnNotResponding);
    EXPECT_EQ(describe(module->getTempValues().get()), "(((A, 16)), (), (), ())");
    EXPECT_EQ(module->lastResult(), kIOReturnNotResponding);
}

TEST(Temperatures, CpuList)
{
    TestSMC smc{kFourSensors};
    Ref<ProbedModule> module = ProbedModule::make();
    EXPECT_EQ(describe(module->getTemps().get()), "(CPU)");
    EXPECT_EQ(module->lastResult(), 0);
    const uint8_t zero[] = {0, 0};
    smc.smc().setValue(fourCharCode("TC0D"), zero, 2);
    EXPECT_EQ(describe(module->getTemps().get()), "(CPU)") << "whatever the value";
    smc.fail("TC0D", SMCExchangeKind::KeyInfo, kIOReturnBadArgument);
    EXPECT_EQ(describe(module->getTemps().get()), "()");
    EXPECT_EQ(module->lastResult(), kIOReturnBadArgument);
}

constexpr const char* kRawValues = R"(
  TWO   [sp78]  (bytes 3a c0)
  ONE   [ui8 ]  7 (bytes 07)
  FOUR  [ui32]  1 (bytes 00 00 00 01)
  NONE  [ui8 ]  no data
  ALL   [ch8*]  (bytes 80 81 82 83 84 85 86 87 88 89 8a 8b 8c 8d 8e 8f 90 91 92 93 94 95 96 97 98 99 9a 9b 9c 9d 9e ff)
)";

TEST(RawValues, EntriesOfExactlyTheRequestedSize)
{
    TestSMC smc{kRawValues};
    std::string all = "(ALL , ch8*";
    for (int b = 0x80; b < 0x9f; ++b)
        all += ", " + std::to_string(int8_t(b));
    all += ", -1)";
    struct Case {
        std::initializer_list<const char*> keys;
        int32_t length;
        std::string report;
    } const cases[] = {
        {{"TWO ", "ONE ", "FOUR"}, 2, "((TWO , sp78, 58, -64))"},
        {{"TWO ", "ONE ", "FOUR"}, 1, "((ONE , ui8 , 7))"},
        {{"TWO ", "TWO "}, 2, "((TWO , sp78, 58, -64), (TWO , sp78, 58, -64))"},
        {{"NONE", "MISS", "ONE "}, 0, "((NONE, ui8 ), (MISS, ))"},
        {{"ALL "}, 32, "(" + all + ")"},
        {{"ALL ", "TWO "}, 33, "()"},
        {{"ALL ", "NONE"}, -1, "()"},
    };
    for (const auto& c : cases) {
        Ref<ProbedModule> module = ProbedModule::make();
        Ref<NSArray> keys = strings(c.keys);
        Ref<NSArray> report = module->getValuesForKeys(keys.get(), c.length);
        EXPECT_EQ(describe(report.get()), c.report) << c.length;
        if (report->count() > 0) {
            auto* entry = static_cast<NSArray*>(report->objectAtIndex(0));
            bool same = false;
            for (size_t i = 0; i < keys->count(); ++i)
                same = same || entry->objectAtIndex(0) == keys->objectAtIndex(i);
            EXPECT_TRUE(same) << "the entry holds the caller's very key object";
        }
    }
}

TEST(RawValues, StatusAndEmptyKeyArray)
{
    TestSMC smc{kRawValues};
    Ref<ProbedModule> module = ProbedModule::make();
    module->setResult(55);
    EXPECT_EQ(module->getValuesForKeys(NSArray::array().get(), 2)->count(), 0u);
    EXPECT_EQ(module->getValuesForKeys(nullptr, 2)->count(), 0u);
    EXPECT_EQ(module->lastResult(), 55);
    smc.fail("ONE ", SMCExchangeKind::Read, kIOReturnNotResponding);
    EXPECT_EQ(module->getValuesForKeys(strings({"TWO ", "ONE "}).get(), 2)->count(), 1u);
    EXPECT_EQ(module->lastResult(), kIOReturnNotResponding);
}

TEST(RawValues, DataForKeyFillsCallersRecord)
{
    TestSMC smc{kRawValues};
    Ref<ProbedModule> module = ProbedModule::make();
    module->setResult(55);
    SMCVal val;
    std::memset(&val, 0x5a, sizeof val);
    module->dataForKey(str("TWO ").get(), &val);
    EXPECT_STREQ(val.dataType, "sp78");
    EXPECT_EQ(uint8_t(val.bytes[0]), 0x3a);
    smc.fail("TWO ", SMCExchangeKind::KeyInfo, kIOReturnBadArgument);
    module->dataForKey(str("TWO ").get(), &val);
    EXPECT_STREQ(val.key, "TWO ");
    EXPECT_EQ(val.dataSize, 0u) << "cleared by the failed read";
    module->dataForKey(nullptr, &val);
    module->dataForKey(str("TWO ").get(), nullptr);
    EXPECT_EQ(module->lastResult(), 55);
}

constexpr const char* kFans = R"(
  FNum  [ui8 ]  4 (bytes 04)
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0ID  [{fds]  (bytes 00 12 00 00 4c 65 66 74 20 73 69 64 65 00 00 00)
  F1Ac  [fpe2]  3000 (bytes 2e e0)
  F1ID  [{fds]  (bytes 01 20 7f 80 ff 21 7e 0a 09)
  F2Ac  [fpe2]  -8192 (bytes 80 00)
  F2ID  [{fds]  (bytes 4c 65 66 74 73 69 64 65)
  F3Ac  [fpe2]  1 (bytes 00 07)
  F3ID  [{fds]  no data
)";

TEST(Fans, LabelsKeysNamesAndSpeeds)
{
    TestSMC smc{kFans};
    Ref<ProbedModule> module = ProbedModule::make();
    EXPECT_EQ(describe(module->getFans().get()), "(Fan 0, Fan 1, Fan 2, Fan 3)");
    EXPECT_EQ(describe(module->fanKeys().get()), "(F0Ac, F1Ac, F2Ac, F3Ac)");
    struct Case {
        int32_t fan;
        const char* name;
    } const names[] = {
        {0, "Leftside"},     // blanks and zero bytes dropped
        {1, "\x7f!~"},       // only 0x21 to 0x7f
        {2, "Leftside"},
        {3, "Fan 3"},        // size 0
        {4, "Fan 4"},        // no such key
        {-1, "Fan -1"},
    };
    for (const auto& c : names)
        EXPECT_EQ(describe(module->getFanName(c.fan).get()), c.name) << c.fan;
    Ref<NSDictionary> speeds = module->getFanValues();
    EXPECT_EQ(speeds->count(), 3u);
    EXPECT_EQ(describe(speeds->objectForKey(str("Leftside").get())), "-8192") << "the higher index wins";
    EXPECT_EQ(describe(speeds->objectForKey(str("\x7f!~").get())), "3000");
    EXPECT_EQ(describe(speeds->objectForKey(str("Fan 3").get())), "1");
}

TEST(Fans, ConvertFanValue)
{
    struct Case {
        SMCVal val;
        int32_t speed;
    } const cases[] = {
        {{"F0Ac", 2, "fpe2", {0x1f, 0x40}}, 2000},
        {{"F0Ac", 2, "fpe2", {0x1f, 0x43}}, 2000},
        {{"F0Ac", 2, "fpe2", {char(0x80), 0x00}}, -8192},
        {{"F0Ac", 1, "fpe2", {0x05}}, 1},
        {{"F0Ac", 0, "", {0x1f, 0x40}}, 0},
        {{"F0Ac", 1000, "fpe2", {0x01}}, 0},  // only the 32 bytes count; 32 bytes shift the 0x01 out
        {{"F0Ac", 6, "fpe2", {0x01, 0x7f, 0x7f, 0x7f, 0x7f, 0x7f}}, 2147483647},  // past 32 bits: capped
        {{"F0Ac", 4, "flt ", {0x00, 0x4c, 0x03, 0x45}}, 2100},  // 2100.75, little-endian
        {{"F0Ac", 4, "flt ", {0x00, 0x00, char(0xc0), 0x7f}}, 0},  // NaN
        {{"F0Ac", 4, "flt ", {0x00, 0x00, char(0x80), 0x7f}}, 2147483647},  // infinity
    };
    TestSMC smc{""};
    Ref<ProbedModule> module = ProbedModule::make();
    for (const auto& c : cases)
        EXPECT_EQ(module->convertFanValue(c.val), c.speed) << c.val.dataSize;
}

TEST(Fans, FanCountUnreadableOrZero)
{
    TestSMC smc{"  FNum  [ui8 ]  0 (bytes 00)\n  F0Ac  [fpe2]  2000 (bytes 1f 40)\n"};
    Ref<ProbedModule> module = ProbedModule::make();
    module->setResult(55);
    EXPECT_EQ(module->getFans()->count(), 0u);
    EXPECT_EQ(module->lastResult(), 55) << "getFans records nothing";
    EXPECT_EQ(module->fanKeys()->count(), 0u);
    EXPECT_EQ(module->lastResult(), 0);
    EXPECT_EQ(module->getFanValues()->count(), 0u);
    smc.fail("FNum", SMCExchangeKind::Read, kIOReturnNotResponding);
    EXPECT_EQ(module->getFanValues()->count(), 0u);
    EXPECT_EQ(module->lastResult(), kIOReturnNotResponding);
    module->setResult(55);
    EXPECT_EQ(module->fanKeys()->count(), 0u);
    EXPECT_EQ(module->lastResult(), kIOReturnNotResponding);
}

TEST(Fans, CountsPastWhatAnSMCHoldsStopAtTheLimit)
{
    struct Case {
        const char* fnum;
        size_t fans;
    } const cases[] = {
        {"[ui8 ]  (bytes ff)", 255},
        {"[ui32]  (bytes 00 00 01 00)", 255},
        {"[ui32]  (bytes 00 01 00 00)", 255},
        {"[ui32]  (bytes 80 00 00 00)", 0},  // negative as a signed count
        {"[ui32]  (bytes 7f ff ff ff)", 255},
    };
    for (const auto& c : cases) {
        TestSMC smc{std::string("  FNum  ") + c.fnum + "\n  F0Ac  [fpe2]  (bytes 1f 40)\n"};
        Ref<ProbedModule> module = ProbedModule::make();
        // ASSERT: on a module without the limit the last case would run
        // billions of times.
        ASSERT_EQ(module->getFans()->count(), c.fans) << c.fnum;
        Ref<NSArray> keys = module->fanKeys();
        ASSERT_EQ(keys->count(), c.fans) << c.fnum;
        if (c.fans) {
            EXPECT_EQ(describe(keys->objectAtIndex(c.fans - 1)), "F" + std::to_string(c.fans - 1) + "Ac");
        }
        EXPECT_EQ(module->getFanValues()->count(), c.fans) << c.fnum;
    }
}

TEST(Result, WhatEachMethodLeaves)
{
    TestSMC smc{R"(
  TC0D  [sp78]  (bytes 32 80)
  FNum  [ui8 ]  1 (bytes 01)
  F0ID  [{fds]  (bytes 41)
)"};
    Ref<ProbedModule> module = ProbedModule::make();
    EXPECT_EQ(module->lastResult(), 0) << "init";
    smc.fail("TC0D", SMCExchangeKind::Read, kIOReturnNotResponding);
    smc.fail("FNum", SMCExchangeKind::Read, kIOReturnBadArgument);
    SMCVal val{};
    struct Case {
        const char* method;
        std::function<void()> call;
        int32_t result;  // 55: left as it was
    } const cases[] = {
        {"getTemps", [&] { module->getTemps(); }, kIOReturnNotResponding},
        {"fanKeys", [&] { module->fanKeys(); }, kIOReturnBadArgument},
        {"getFanValues", [&] { module->getFanValues(); }, kIOReturnBadArgument},
        {"getFans", [&] { module->getFans(); }, 55},
        {"getFanName", [&] { module->getFanName(0); }, 55},
        {"dataForKey", [&] { module->dataForKey(str("TC0D").get(), &val); }, 55},
        {"convertFanValue", [&] { module->convertFanValue(val); }, 55},
        {"setters", [&] {
             module->setSupportedtKeys(strings({"TC0D"}).get());
             module->setKeyDisplayNames(table({}).get());
             module->setKeyPriorities(table({}).get());
         }, 55},
        {"isSupported, connection", [&] { module->isSupported(), module->connection(); }, 55},
        {"getTempValues without supported keys", [&] { module->getTempValues(); }, 55},
        {"findSupportedKeys", [&] { module->findSupportedKeys(); }, kIOReturnNotResponding},
        {"getValuesForKeys", [&] { module->getValuesForKeys(strings({"TC0D"}).get(), 2); }, kIOReturnNotResponding},
    };
    for (const auto& c : cases) {
        module->setResult(55);
        c.call();
        EXPECT_EQ(module->lastResult(), c.result) << c.method;
    }
}

TEST(Lifecycle, InitWithoutService)
{
    platform::installSMCService(nullptr);
    Ref<ProbedModule> module;
    EXPECT_EQ(captureStdout([&] { module = ProbedModule::make(); }), "Error: no SMC found\n");
    EXPECT_FALSE(module->isSupported());
    EXPECT_EQ(module->lastResult(), 1);
    EXPECT_EQ(module->connection(), 0u);
    module->setSupportedtKeys(strings({"TC0D"}).get());
    module->setKeyPriorities(table({{"TC0D", number(1)}}).get());
    module->findSupportedKeys();
    EXPECT_EQ(module->supportedKeyList(), nullptr);
    EXPECT_NE(module->lastResult(), 0);
    EXPECT_EQ(describe(module->getTempValues().get()), "((), (), (), ())");
    EXPECT_EQ(module->getTemps()->count(), 0u);
}

TEST(Lifecycle, ModulesShareTheProcessWideConnection)
{
    TestSMC smc{kFans};
    Ref<ProbedModule> first = ProbedModule::make();
    Ref<ProbedModule> second = ProbedModule::make();
    EXPECT_NE(first->connection(), second->connection());
    EXPECT_EQ(second->getFans()->count(), 4u);
    first = nullptr;  // closes conn for everybody
    EXPECT_EQ(second->getFans()->count(), 0u) << "fan count goes through conn";
    EXPECT_EQ(second->fanKeys()->count(), 0u);
    EXPECT_EQ(second->lastResult(), kIOReturnNotOpen);
    EXPECT_EQ(describe(second->getFanName(0).get()), "Leftside") << "fan names use the module's own connection";
    Ref<ProbedModule> third = ProbedModule::make();
    EXPECT_EQ(second->getFans()->count(), 4u) << "a new module opens conn again";
}

TEST(Lifecycle, InitAgainOpensNothingMore)
{
    platform::installSMCService(nullptr);
    Ref<ProbedModule> retried;
    captureStdout([&] { retried = ProbedModule::make(); });
    ASSERT_FALSE(retried->isSupported());

    TestSMC smc{kFans};
    Ref<ProbedModule> module = ProbedModule::make();
    io_connect_t own = module->connection();
    io_connect_t shared = conn;
    module->setResult(55);
    EXPECT_EQ(module->init(), module.get());
    EXPECT_EQ(module->connection(), own);
    EXPECT_EQ(conn, shared);
    EXPECT_EQ(module->lastResult(), 55);
    module = nullptr;
    EXPECT_EQ(SMCClose(own), kIOReturnNotOpen) << "the first connection was closed, not lost";
    EXPECT_EQ(SMCClose(shared), kIOReturnNotOpen);

    retried->init();  // the first init opened nothing, so this one may
    ASSERT_TRUE(retried->isSupported());
    own = retried->connection();
    shared = conn;
    EXPECT_EQ(retried->getFans()->count(), 4u);
    retried = nullptr;
    EXPECT_EQ(SMCClose(own), kIOReturnNotOpen);
    EXPECT_EQ(SMCClose(shared), kIOReturnNotOpen);
}

TEST(Lifecycle, GoesOnlyThroughRelease)
{
    // `delete module` and std::unique_ptr<SensorsModule> would skip dealloc
    // and leave both connections open.
    static_assert(!std::is_destructible_v<SensorsModule>);
}

TEST(Lifecycle, ReleaseClosesBothConnections)
{
    TestSMC smc{kFans};
    Ref<ProbedModule> module = ProbedModule::make();
    io_connect_t own = module->connection();
    io_connect_t shared = conn;
    module = nullptr;
    EXPECT_EQ(SMCClose(own), kIOReturnNotOpen);
    EXPECT_EQ(SMCClose(shared), kIOReturnNotOpen);
}


TEST(Ownership, SettersCopyAndReportsBelongToTheCaller)
{
    TestSMC smc{kFourSensors};
    Tracked::live = 0;
    Ref<NSString> key = str("TC0D");
    {
        Ref<ProbedModule> module = ProbedModule::make();
        Ref<NSMutableArray> keys = NSMutableArray::array();
        keys->addObject(key.get());
        Ref<NSMutableDictionary> names = NSMutableDictionary::dictionary();
        names->setValue(str("CPU").get(), key.get());
        Ref<NSMutableDictionary> priorities = NSMutableDictionary::dictionary();
        priorities->setValue(Tracked::make().get(), str("TA0P").get());
        priorities->setValue(number(1).get(), key.get());
        module->setSupportedtKeys(keys.get());
        module->setKeyDisplayNames(names.get());
        module->setKeyPriorities(priorities.get());

        keys->addObject(str("TG0D").get());
        names->setValue(str("changed").get(), key.get());
        module->findSupportedKeys();
        EXPECT_EQ(keysOf(module->candidates()), "(TC0D)") << "later changes do not reach the module";
        EXPECT_EQ(names->objectForKey(str("TC0H").get()), nullptr) << "default names do not reach the host";

        Ref<NSArray> report = module->getTempValues();
        EXPECT_EQ(describe(report.get()), "(((CPU, 16)), (), (), ())");
        EXPECT_EQ(report->retainCount(), 1u) << "the caller's reference is the only one";
        EXPECT_EQ(report->objectAtIndex(0)->retainCount(), 1u) << "held by the report alone";
        EXPECT_EQ(module->getTempValues().get() == report.get(), false) << "fresh each time";

        Ref<NSArray> raw = module->getValuesForKeys(keys.get(), 2);
        EXPECT_EQ(raw->retainCount(), 1u);
        uint32_t held = key->retainCount();
        raw = nullptr;
        EXPECT_EQ(key->retainCount(), held - 1) << "the raw report let go of the caller's key";

        module->setKeyPriorities(NSDictionary::dictionary().get());
        EXPECT_EQ(Tracked::live, 1) << "the host's table still holds it";
        priorities = nullptr;
        EXPECT_EQ(Tracked::live, 0) << "a replaced copy is released";
    }
    EXPECT_EQ(key->retainCount(), 1u) << "the module gave up its copies";
}

// Each method, made to run out of memory at its first allocation, then its
// second, and so on until it needs no more: none may throw (each is
// noexcept, so a throw would end the program), and a report is either whole
// or nil.
TEST(Memory, RunningOutThrowsNothingAndAnswersNil)
{
    TestSMC smc{R"(
  TC0D  [sp78]  (bytes 32 80)
  TC1D  [sp78]  (bytes 31 00)
  FNum  [ui8 ]  2 (bytes 02)
  F0Ac  [fpe2]  (bytes 1f 40)
  F0ID  [{fds]  (bytes 4c 65 66 74)
  F1Ac  [fpe2]  (bytes 2e e0)
)"};
    // The recorder allocates on every exchange; only the module's own
    // allocations are to fail here.
    platform::setExchangeObserver(nullptr);
    Ref<NSArray> candidates = strings({"TC0D", "TC1D", "TC0D"});
    Ref<NSDictionary> names = table({{"TC0D", str("CPU")}, {"TC1D", str("CPU 2")}});
    Ref<NSDictionary> priorities = table({{"TC0D", number(1)}, {"TC1D", number(1)}});
    Ref<NSArray> otherKeys = strings({"TC1D"});
    Ref<NSDictionary> otherNames = table({{"TA0P", str("Ambient")}, {"TB0T", str("Battery")}});
    auto prepared = [&](bool discovered) {
        Ref<ProbedModule> module = ProbedModule::make();
        module->setSupportedtKeys(candidates.get());
        module->setKeyDisplayNames(names.get());
        module->setKeyPriorities(priorities.get());
        if (discovered)
            module->findSupportedKeys();
        return module;
    };
    using Report = std::function<Ref<NSObject>(ProbedModule&)>;
    struct Case {
        const char* method;
        Report call;
        Report state;  // for a method without a result: what it leaves
        bool discovered = true;
    } const cases[] = {
        {"getTempValues", [](ProbedModule& m) -> Ref<NSObject> { return m.getTempValues(); }, nullptr},
        {"getTemps", [](ProbedModule& m) -> Ref<NSObject> { return m.getTemps(); }, nullptr},
        {"getValuesForKeys", [&](ProbedModule& m) -> Ref<NSObject> { return m.getValuesForKeys(candidates.get(), 2); },
         nullptr},
        {"getFans", [](ProbedModule& m) -> Ref<NSObject> { return m.getFans(); }, nullptr},
        {"fanKeys", [](ProbedModule& m) -> Ref<NSObject> { return m.fanKeys(); }, nullptr},
        {"getFanName", [](ProbedModule& m) -> Ref<NSObject> { return m.getFanName(0); }, nullptr},
        {"getFanValues", [](ProbedModule& m) -> Ref<NSObject> { return m.getFanValues(); }, nullptr},
        // Discovery may stop part way; a later one, with memory back,
        // completes it with no key twice.
        {"findSupportedKeys",
         [](ProbedModule& m) -> Ref<NSObject> {
             m.findSupportedKeys();
             return nullptr;
         },
         [](ProbedModule& m) -> Ref<NSObject> {
             m.findSupportedKeys();
             return NSArray::arrayWithObjects({m.supportedKeyList(), m.displayNames()->allKeys().get()});
         },
         false},
        // A setter keeps the collection it had, or takes the new one whole.
        {"setSupportedtKeys",
         [&](ProbedModule& m) -> Ref<NSObject> {
             m.setSupportedtKeys(otherKeys.get());
             return nullptr;
         },
         [](ProbedModule& m) -> Ref<NSObject> { return retainRef(m.candidates()); }},
        {"setKeyDisplayNames",
         [&](ProbedModule& m) -> Ref<NSObject> {
             m.setKeyDisplayNames(otherNames.get());
             return nullptr;
         },
         [](ProbedModule& m) -> Ref<NSObject> { return m.displayNames()->allKeys(); }},
    };
    for (const auto& c : cases) {
        std::string before = c.state ? describe(c.state(*prepared(c.discovered)).get()) : "nil";
        Ref<ProbedModule> complete = prepared(c.discovered);
        Ref<NSObject> report = c.call(*complete);
        std::string whole = describe(c.state ? c.state(*complete).get() : report.get());
        bool failed = true;
        for (long allocations = 0; failed; ++allocations) {
            Ref<ProbedModule> module = prepared(c.discovered);
            testing_support::failAllocationsAfter(allocations);
            report = c.call(*module);
            failed = testing_support::stopFailingAllocations();
            std::string got = describe(c.state ? c.state(*module).get() : report.get());
            if (!failed)
                EXPECT_EQ(got, whole) << c.method << ": needs " << allocations << " allocations";
            else if (c.state)
                EXPECT_TRUE(got == whole || got == before) << c.method << ", out of memory after " << allocations << ": " << got;
            else
                EXPECT_EQ(got, "nil") << c.method << ", out of memory after " << allocations;
            ASSERT_LT(allocations, 1000) << c.method;
        }
    }
}

TEST(Memory, AllocFailsWithNull)
{
    testing_support::failAllocationsAfter(0);
    SensorsModule* module = SensorsModuleAlloc();
    bool failed = testing_support::stopFailingAllocations();
    EXPECT_TRUE(failed);
    EXPECT_EQ(module, nullptr);
}

}  // namespace
