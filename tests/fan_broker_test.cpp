// The daemon's fan broker in this process: write policy, speed limits, fans
// put back at the end or at the next start, and leases.
#include "smc/smc.h"
#include "backends/emulated/EmulatedSMC.h"
#include "smcd/FanBroker.h"
#include "smcd/StateFile.h"
#include "support/FanMachine.h"

#include <IOKit/IOKitSMCLease.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;
using smcd::BrokerOptions;
using smcd::FanBroker;
using smcd::WritePolicy;

namespace {

// Two fans: fan 0 of 1200 to 6000 rpm, fan 1 without a maximum.
const std::string kProfile = testing_support::fanProfile(2) + R"(  F1Mn  [fpe2]  1000 (bytes 0f a0)
! writable
  F1Tg  [fpe2]  1000 (bytes 0f a0)
! writable
  TC0D  [sp78]  (bytes 32 80)
  LKSB  [ui16]  0 (bytes 00 00)
! writable
)";

std::shared_ptr<EmulatedSMC> machine()
{
    std::vector<SMCKeyEntry> keys;
    EXPECT_FALSE(parseSMCProfile(kProfile, keys));
    return std::make_shared<EmulatedSMC>(std::move(keys));
}

protocol::Request writeRequest(const char* key, std::vector<uint8_t> bytes)
{
    SMCKeyData record{};
    record.key = fourCharCode(key);
    record.dataSize = uint32_t(bytes.size());
    record.command = SMCCommandWriteKey;
    std::copy(bytes.begin(), bytes.end(), record.bytes);
    protocol::Request request{kSMCUserClientCall, {}};
    std::memcpy(request.record, &record, sizeof record);
    return request;
}

// The two fpe2 bytes of a speed.
std::vector<uint8_t> rpm(unsigned speed)
{
    return {uint8_t(speed * 4 >> 8), uint8_t(speed * 4)};
}

std::string hexText(const uint8_t* bytes, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", bytes[i]);
        text += byte;
    }
    return text;
}

std::string valueOf(EmulatedSMC& smc, const char* key)
{
    std::optional<SMCKeyEntry> entry = smc.key(fourCharCode(key));
    return entry ? hexText(entry->bytes.data(), entry->size) : std::string();
}

// Passes calls on, keeping each write that reached the SMC as "KEY/SIZE",
// and every exchange as "info KEY", "read KEY" or "write KEY".
class WatchedConnection : public SMCConnection {
public:
    WatchedConnection(std::unique_ptr<SMCConnection> inner, std::vector<std::string>& writes,
                      std::vector<std::string>& exchanges)
        : inner_(std::move(inner)), writes_(writes), exchanges_(exchanges)
    {
    }
    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize) override
    {
        SMCKeyData record;
        std::memcpy(&record, input, sizeof record);
        if (record.command == SMCCommandWriteKey)
            writes_.push_back(fourCharText(record.key) + "/" + std::to_string(record.dataSize));
        const char* kind = record.command == SMCCommandKeyInfo ? "info "
                           : record.command == SMCCommandReadKey ? "read "
                           : record.command == SMCCommandWriteKey ? "write "
                                                                  : "index ";
        exchanges_.push_back(kind + fourCharText(record.key));
        return inner_->call(selector, input, inputSize, output, outputSize);
    }

private:
    std::unique_ptr<SMCConnection> inner_;
    std::vector<std::string>& writes_;
    std::vector<std::string>& exchanges_;
};

class Broker {
public:
    explicit Broker(std::shared_ptr<EmulatedSMC> smc, BrokerOptions options = {}, smcd::StateFile* state = nullptr,
                    std::vector<smcd::FanRecord> earlier = {})
    {
        std::unique_ptr<SMCConnection> connection;
        smc->open(connection);
        connection = std::make_unique<WatchedConnection>(std::move(connection), writes, exchanges);
        options.clock = [this] { return now; };
        broker = std::make_unique<FanBroker>(std::move(connection), std::move(options), state, smc);
        std::string error;
        EXPECT_TRUE(broker->start(std::move(earlier), error, notes)) << error;
    }
    kern_return_t write(smcd::ClientId client, const char* key, std::vector<uint8_t> bytes)
    {
        protocol::Request request = writeRequest(key, std::move(bytes));
        return broker->handle(client, reinterpret_cast<const uint8_t*>(&request), sizeof request).status;
    }
    // A client's key information or read (at `size`), passed on.
    kern_return_t ask(uint8_t command, const char* key, uint32_t size = 0)
    {
        SMCKeyData record{};
        record.key = fourCharCode(key);
        record.command = command;
        record.dataSize = size;
        protocol::Request request{kSMCUserClientCall, {}};
        std::memcpy(request.record, &record, sizeof record);
        return broker->handle(1, reinterpret_cast<const uint8_t*>(&request), sizeof request).status;
    }
    kern_return_t lease(smcd::ClientId client, int32_t pid = 0)
    {
        protocol::Request request{protocol::kLeaseMethod, {}};
        return broker->handle(client, reinterpret_cast<const uint8_t*>(&request), sizeof request, peer(pid)).status;
    }
    static smcd::Peer peer(int32_t pid, uint32_t uid = geteuid()) { return {pid, uid, {}, ""}; }
    void close(smcd::ClientId client) { broker->closed(client, notes); }
    // The claim of the fan controller by `client` of process `pid`, which
    // polls every `poll` ms: the reply.
    protocol::Reply claim(smcd::ClientId client, const std::string& name, int32_t pid, uint32_t poll = 0,
                          const smcd::Peer& from = peer(0))
    {
        protocol::Request request{protocol::kClaimControlMethod, {}};
        std::memcpy(request.record, name.data(), std::min(name.size(), protocol::kClaimNameSize));
        std::memcpy(request.record + protocol::kClaimNameSize, &poll, sizeof poll);
        smcd::Peer who = from;
        who.pid = pid;
        return broker->handle(client, reinterpret_cast<const uint8_t*>(&request), sizeof request, who);
    }
    // The fan controller as the daemon tells it; none when it answers otherwise.
    std::optional<IOSMCFanController> controller()
    {
        protocol::Request request{protocol::kControllerMethod, {}};
        protocol::Reply reply = broker->handle(3, reinterpret_cast<const uint8_t*>(&request), sizeof request);
        IOSMCFanController record;
        std::memcpy(&record, reply.record, sizeof record);
        return reply.status == KERN_SUCCESS ? std::optional(record) : std::nullopt;
    }
    // The floor the daemon tells for `fan`, or nothing.
    std::optional<double> floor(uint32_t fan)
    {
        protocol::Request request{protocol::kFloorMethod, {}};
        std::memcpy(request.record, &fan, sizeof fan);
        protocol::Reply reply = broker->handle(1, reinterpret_cast<const uint8_t*>(&request), sizeof request);
        double rpm;
        std::memcpy(&rpm, reply.record, sizeof rpm);
        return reply.status == KERN_SUCCESS ? std::optional(rpm) : std::nullopt;
    }

    std::unique_ptr<FanBroker> broker;
    smcd::BrokerClock::time_point now{};  // the broker's clock
    std::vector<std::string> notes;
    std::vector<std::string> writes;     // those that reached the SMC
    std::vector<std::string> exchanges;  // every one with the SMC
};

// A 4-byte float key's bytes, least significant first.
std::vector<uint8_t> floatBytes(float value)
{
    uint32_t raw;
    std::memcpy(&raw, &value, sizeof raw);
    return {uint8_t(raw), uint8_t(raw >> 8), uint8_t(raw >> 16), uint8_t(raw >> 24)};
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

TEST(WritePolicy, Parses)
{
    struct Case {
        const char* text;
        bool valid;
        WritePolicy::Kind kind;
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {"fans", true, WritePolicy::Kind::Fans, {}},
        {"all", true, WritePolicy::Kind::All, {}},
        {"none", true, WritePolicy::Kind::None, {}},
        {"F0Mn", true, WritePolicy::Kind::Keys, {"F0Mn"}},
        {"F0Mn,FS! ,LKSB", true, WritePolicy::Kind::Keys, {"F0Mn", "FS! ", "LKSB"}},
        {"FS!", false, {}, {}},
        {"F0Mn,", false, {}, {}},
        {",F0Mn", false, {}, {}},
        {"", false, {}, {}},
        {"F0Mnx", false, {}, {}},
        {"F0Mn;F1Mn", false, {}, {}},
    };
    for (const auto& c : cases) {
        std::string problem;
        std::optional<WritePolicy> policy = smcd::parseWritePolicy(c.text, problem);
        ASSERT_EQ(policy.has_value(), c.valid) << '"' << c.text << '"';
        if (!policy) {
            EXPECT_NE(problem, "") << c.text;
            continue;
        }
        EXPECT_EQ(policy->kind, c.kind) << c.text;
        std::vector<FourCharCode> keys;
        for (const std::string& key : c.keys)
            keys.push_back(fourCharCode(key));
        EXPECT_EQ(policy->keys, keys) << c.text;
    }
}

TEST(FanBroker, PolicyDecidesWhichWritesGoThrough)
{
    struct Case {
        const char* policy;
        const char* key;
        std::vector<uint8_t> bytes;
        kern_return_t status;
    };
    const Case cases[] = {
        {"fans", "F0Mn", rpm(1500), KERN_SUCCESS},
        {"fans", "F0Tg", rpm(3000), KERN_SUCCESS},
        {"fans", "F0Md", {1}, KERN_SUCCESS},
        {"fans", "FS! ", {0, 1}, KERN_SUCCESS},
        {"fans", "LKSB", {0, 1}, kIOReturnNotPrivileged},
        {"fans", "F0Ac", rpm(3000), kIOReturnNotPrivileged},
        {"fans", "F0Mx", rpm(3000), kIOReturnNotPrivileged},
        {"none", "F0Tg", rpm(3000), kIOReturnNotPrivileged},
        {"all", "LKSB", {0, 1}, KERN_SUCCESS},
        {"all", "TC0D", {0, 1}, kIOReturnNotWritable},  // the profile still decides
        {"LKSB", "LKSB", {0, 1}, KERN_SUCCESS},
        {"LKSB", "F0Tg", rpm(3000), kIOReturnNotPrivileged},
    };
    for (const auto& c : cases) {
        auto smc = machine();
        std::string before = valueOf(*smc, c.key), problem;
        Broker broker(smc, {*smcd::parseWritePolicy(c.policy, problem)});
        EXPECT_EQ(broker.write(1, c.key, c.bytes), c.status) << c.policy << " " << c.key;
        if (c.status != KERN_SUCCESS) {
            EXPECT_EQ(valueOf(*smc, c.key), before) << c.policy << " " << c.key << ": unchanged";
        }
    }
}

TEST(FanBroker, SpeedsStayBetweenTheFloorAndTheMaximum)
{
    struct Case {
        const char* name;
        std::optional<double> floor;
        bool strict;
        const char* key;
        std::vector<uint8_t> bytes;
        kern_return_t status;
        const char* note;  // the line a refusal leaves
    };
    const Case cases[] = {
        {"at the maximum", {}, false, "F0Tg", rpm(6000), KERN_SUCCESS, ""},
        {"a quarter above the maximum", {}, false, "F0Tg", {0x5d, 0xc1}, kIOReturnBadArgument,
         "F0Tg: 6000.25 rpm is above the maximum of 6000 rpm; the write is refused"},
        {"above the maximum", {}, false, "F0Mn", rpm(7000), kIOReturnBadArgument,
         "F0Mn: 7000 rpm is above the maximum of 6000 rpm; the write is refused"},
        {"at the starting minimum", {}, false, "F0Tg", rpm(1200), KERN_SUCCESS, ""},
        {"below the starting minimum", {}, false, "F0Tg", rpm(1199), kIOReturnBadArgument,
         "F0Tg: 1199 rpm is below the floor of 1200 rpm; the write is refused"},
        {"a minimum below itself", {}, false, "F0Mn", rpm(1000), kIOReturnBadArgument, "below the floor of 1200"},
        {"below a floor given", 2500.0, false, "F0Tg", rpm(2000), kIOReturnBadArgument, "below the floor of 2500"},
        {"above a floor given", 2500.0, false, "F0Tg", rpm(2500), KERN_SUCCESS, ""},
        {"a floor below the minimum", 500.0, false, "F0Mn", rpm(600), KERN_SUCCESS, ""},
        {"a size not the key's", {}, false, "F0Tg", {0x5d, 0xc1, 0}, kIOReturnBadArgument,
         "F0Tg: a write of 3 bytes, but the key holds 2 (fpe2); the write is refused"},
        {"no maximum, emulated", {}, false, "F1Tg", rpm(9000), KERN_SUCCESS, ""},
        {"no maximum, real hardware", {}, true, "F1Tg", rpm(1500), kIOReturnBadArgument, "maximum F1Mx"},
        {"the mode has no limits", {}, true, "F0Md", {1}, KERN_SUCCESS, ""},
        {"a mode of the wrong size", {}, true, "F0Md", {0, 1}, kIOReturnBadArgument, "holds 1"},
    };
    for (const auto& c : cases) {
        auto smc = machine();
        std::string before = valueOf(*smc, c.key);
        Broker broker(smc, {{WritePolicy::Kind::Fans, {}}, c.floor, false, c.strict});
        EXPECT_EQ(broker.write(1, c.key, c.bytes), c.status) << c.name;
        std::string notes = joined(broker.broker->takeNotes());
        EXPECT_NE(notes.find(c.note), std::string::npos) << c.name << ": " << notes;
        if (c.status != KERN_SUCCESS) {
            EXPECT_EQ(valueOf(*smc, c.key), before) << c.name << ": unchanged";
            EXPECT_EQ(broker.writes, std::vector<std::string>{}) << c.name << ": never reached the SMC";
        }
    }
}

TEST(FanBroker, AMaximumWrittenThroughItHoldsAtTheNextWrite)
{
    std::vector<SMCKeyEntry> keys;
    ASSERT_FALSE(parseSMCProfile(R"(
  FNum  [ui8 ]  1 (bytes 01)
  F0Mx  [fpe2]  4000 (bytes 3e 80)
! writable
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
)",
                                 keys));
    Broker broker(std::make_shared<EmulatedSMC>(std::move(keys)));
    EXPECT_EQ(broker.write(1, "F0Tg", rpm(5000)), kIOReturnBadArgument) << "above 4000";
    ASSERT_EQ(broker.write(1, "F0Mx", rpm(6000)), KERN_SUCCESS);
    EXPECT_EQ(broker.write(1, "F0Tg", rpm(5000)), KERN_SUCCESS);
    ASSERT_EQ(broker.write(1, "F0Mx", rpm(4500)), KERN_SUCCESS);
    EXPECT_EQ(broker.write(1, "F0Tg", rpm(4600)), kIOReturnBadArgument);
}

// Fan 0 of a T2 machine: speeds as 4-byte floats, a mode key of its own, no "FS! ".
constexpr const char* kFloatFans = R"(
  FNum  [ui8 ]  1 (bytes 01)
  F0Mn  [flt ]  (bytes 00 00 96 44)
! writable
  F0Mx  [flt ]  (bytes 00 80 bb 45)
  F0Tg  [flt ]  (bytes 00 00 fa 44)
! writable
  F0Md  [ui8 ]  0 (bytes 00)
! writable
)";

TEST(FanBroker, FloatSpeedsAreCheckedByTheKeysOwnTypeAndSize)
{
    struct Case {
        const char* name;
        const char* key;
        std::vector<uint8_t> bytes;
        kern_return_t status;
    };
    const Case cases[] = {
        {"a speed within the limits", "F0Tg", floatBytes(3000), KERN_SUCCESS},
        {"the maximum", "F0Tg", floatBytes(6000), KERN_SUCCESS},
        {"above the maximum", "F0Tg", floatBytes(6000.5f), kIOReturnBadArgument},
        {"below the minimum", "F0Tg", floatBytes(1199), kIOReturnBadArgument},
        {"not a number", "F0Tg", floatBytes(NAN), kIOReturnBadArgument},
        {"two bytes of a target", "F0Tg", {0xff, 0xfc}, kIOReturnBadArgument},
        {"two bytes of a minimum", "F0Mn", {0, 0}, kIOReturnBadArgument},
    };
    for (const auto& c : cases) {
        std::vector<SMCKeyEntry> keys;
        ASSERT_FALSE(parseSMCProfile(kFloatFans, keys));
        auto smc = std::make_shared<EmulatedSMC>(std::move(keys));
        Broker broker(smc, {{WritePolicy::Kind::Fans, {}}, {}, false, true});
        EXPECT_EQ(broker.write(1, c.key, c.bytes), c.status) << c.name;
        if (c.status != KERN_SUCCESS) {
            EXPECT_EQ(broker.writes, std::vector<std::string>{}) << c.name << ": never reached the SMC";
            continue;
        }
        broker.broker->stop(broker.notes);
        EXPECT_EQ(valueOf(*smc, c.key), "00 00 fa 44") << c.name << ": put back at stop";
    }
}

TEST(FanBroker, LimitsThatCannotBeEstablishedRefuseTheWrite)
{
    struct Case {
        const char* name;
        const char* unreadable;  // answers kIOReturnIOError to reads
        std::optional<double> floor;
        uint8_t fanCount;
        const char* key;
        unsigned speed;
        kern_return_t status;
    };
    const Case cases[] = {
        {"the maximum", "F0Mx", {}, 2, "F0Tg", 3000, kIOReturnBadArgument},
        {"the value to put back", "F0Tg", {}, 2, "F0Tg", 3000, kIOReturnIOError},
        {"the minimum, with no fan counted", "F0Mn", {}, 0, "F0Tg", 3000, kIOReturnBadArgument},
        {"no fan count: the floor given", "FNum", 2500.0, 2, "F0Tg", 2000, kIOReturnBadArgument},
        {"no fan count: the minimum learnt", "FNum", {}, 2, "F0Tg", 1000, kIOReturnBadArgument},
        {"no fan count: above the minimum learnt", "FNum", {}, 2, "F0Tg", 3000, KERN_SUCCESS},
        {"a fan past the count: the floor given", "", 2500.0, 1, "F1Tg", 2000, kIOReturnBadArgument},
        {"a fan past the count: its minimum", "", {}, 0, "F0Tg", 1000, kIOReturnBadArgument},
        {"no maximum, emulated: no floor either", "", {}, 2, "F1Tg", 900, KERN_SUCCESS},
    };
    for (const auto& c : cases) {
        auto smc = machine();
        uint8_t count = c.fanCount;
        smc->setValue(fourCharCode("FNum"), &count, 1);
        if (*c.unreadable)
            smc->injectFailure(fourCharCode(c.unreadable), SMCExchangeKind::Read, kIOReturnIOError);
        Broker broker(smc, {{WritePolicy::Kind::Fans, {}}, c.floor, false, false});
        std::string before = valueOf(*smc, c.key);
        EXPECT_EQ(broker.write(1, c.key, rpm(c.speed)), c.status) << c.name;
        if (c.status != KERN_SUCCESS) {
            EXPECT_EQ(valueOf(*smc, c.key), before) << c.name << ": unchanged";
        }
    }
}

TEST(FanBroker, ClientsAreToldTheFloor)
{
    struct Case {
        std::optional<double> floor;
        uint32_t fan;
        std::optional<double> told;
    };
    const Case cases[] = {
        {{}, 0, 1200.0}, {{}, 1, {}}, {{}, 2, {}}, {2500.0, 1, 2500.0}, {2500.0, 10, {}},
    };
    for (const auto& c : cases) {
        Broker broker(machine(), {{}, c.floor});
        EXPECT_EQ(broker.floor(c.fan), c.told) << "fan " << c.fan;
    }
}

TEST(FanBroker, SaysWhetherTheSMCItServesIsEmulated)
{
    for (bool emulated : {true, false}) {
        std::shared_ptr<EmulatedSMC> smc = machine();
        std::unique_ptr<SMCConnection> connection;
        smc->open(connection);
        FanBroker broker(std::move(connection), {}, nullptr, emulated ? smc : nullptr);
        protocol::Request request{protocol::kServiceKindMethod, {}};
        protocol::Reply reply = broker.handle(1, reinterpret_cast<const uint8_t*>(&request), sizeof request);
        EXPECT_EQ(reply.status, KERN_SUCCESS);
        EXPECT_EQ(reply.record[0], emulated ? 1 : 0);
    }
}

TEST(FanBroker, StoppingPutsBackWhatWasChangedThroughIt)
{
    for (bool keep : {false, true}) {
        auto smc = machine();
        Broker broker(smc, {{WritePolicy::Kind::Fans, {}}, {}, keep});
        ASSERT_EQ(broker.write(1, "F0Tg", rpm(5000)), KERN_SUCCESS);
        ASSERT_EQ(broker.write(2, "F0Tg", rpm(5500)), KERN_SUCCESS);  // the first value before any change counts
        ASSERT_EQ(broker.write(1, "F0Mn", rpm(2000)), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "FS! ", {0, 3}), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "F0Md", {1}), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "LKSB", {0, 0}), kIOReturnNotPrivileged);
        broker.broker->stop(broker.notes);
        if (keep) {
            EXPECT_EQ(broker.notes, std::vector<std::string>{});
            EXPECT_EQ(valueOf(*smc, "F0Tg"), "55 f0");
            EXPECT_EQ(valueOf(*smc, "FS! "), "00 03");
            continue;
        }
        EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
        EXPECT_EQ(valueOf(*smc, "F0Mn"), "12 c0");
        EXPECT_EQ(valueOf(*smc, "F0Md"), "00");
        EXPECT_EQ(valueOf(*smc, "FS! "), "00 00") << "both fans' bits";
        EXPECT_TRUE(broker.broker->recorded().empty());
        EXPECT_EQ(joined(broker.notes),
                  "fan 0: put back at stop: F0Tg 2000 rpm, F0Mn 1200 rpm, F0Md 0, automatic mode (FS! bit)\n"
                  "fan 1: put back at stop: automatic mode (FS! bit)\n");
    }
}

TEST(FanBroker, PutsBackOnlyWhatStillHoldsItsOwnWrite)
{
    struct Change {
        const char* key;
        std::vector<uint8_t> bytes;
    };
    struct Case {
        const char* name;
        const char* policy;
        bool lease;                   // client 1 holds a lease, which ends before the stop
        std::vector<Change> before;   // by another program, before the writes
        std::vector<Change> writes;   // by client 1, through the broker
        std::vector<Change> after;    // by another program, after them
        std::vector<Change> later;    // by another program, after the lease
        std::vector<Change> expected; // after the stop
    };
    const Case cases[] = {
        {"a target changed since", "fans", false, {}, {{"F0Tg", rpm(5000)}, {"FS! ", {0, 1}}},
         {{"F0Tg", rpm(3000)}}, {}, {{"F0Tg", rpm(3000)}, {"FS! ", {0, 0}}}},
        {"a fan another program left automatic", "fans", false, {{"FS! ", {0, 2}}}, {{"F1Tg", rpm(3000)}},
         {{"FS! ", {0, 0}}}, {}, {{"FS! ", {0, 0}}, {"F1Tg", rpm(1000)}}},
        {"a hold over a fan another program drives", "fans", true, {{"FS! ", {0, 2}}}, {{"F1Tg", rpm(3000)}},
         {{"F1Tg", rpm(4000)}}, {}, {{"F1Tg", rpm(4000)}, {"FS! ", {0, 2}}}},
        {"a hold puts back only its own keys", "F0Mn", true, {}, {{"F0Mn", rpm(1500)}},
         {{"FS! ", {0, 1}}, {"F0Tg", rpm(3000)}}, {}, {{"F0Mn", rpm(1200)}, {"FS! ", {0, 1}}, {"F0Tg", rpm(3000)}}},
        {"a stop puts back only the keys written", "F0Mn", false, {}, {{"F0Mn", rpm(1500)}},
         {{"FS! ", {0, 1}}, {"F0Tg", rpm(3000)}}, {}, {{"F0Mn", rpm(1200)}, {"FS! ", {0, 1}}, {"F0Tg", rpm(3000)}}},
        {"a change after a hold ended", "fans", true, {}, {{"F0Tg", rpm(5000)}, {"FS! ", {0, 1}}}, {},
         {{"F0Tg", rpm(3000)}, {"FS! ", {0, 1}}}, {{"F0Tg", rpm(3000)}, {"FS! ", {0, 1}}}},
        {"a quarter the driver drops is still ours", "fans", false, {}, {{"F0Tg", {0x4e, 0x21}}},
         {{"F0Tg", rpm(5000)}}, {}, {{"F0Tg", rpm(2000)}}},
    };
    for (const auto& c : cases) {
        auto smc = machine();
        auto apply = [&](const std::vector<Change>& changes) {
            for (const Change& change : changes)
                ASSERT_TRUE(smc->setValue(fourCharCode(change.key), change.bytes.data(), change.bytes.size()));
        };
        apply(c.before);
        std::string problem;
        Broker broker(smc, {*smcd::parseWritePolicy(c.policy, problem)});
        if (c.lease)
            broker.lease(1);
        for (const Change& change : c.writes)
            ASSERT_EQ(broker.write(1, change.key, change.bytes), KERN_SUCCESS) << c.name << ": " << change.key;
        apply(c.after);
        if (c.lease)
            broker.close(1);
        apply(c.later);
        broker.broker->stop(broker.notes);
        for (const Change& change : c.expected)
            EXPECT_EQ(valueOf(*smc, change.key), hexText(change.bytes.data(), change.bytes.size()))
                << c.name << ": " << change.key << "\n" << joined(broker.notes);
        EXPECT_TRUE(broker.broker->recorded().empty()) << c.name;
    }
}

TEST(FanBroker, AFanAlreadyManualStaysManual)
{
    auto smc = machine();
    uint8_t forced[] = {0, 1};
    smc->setValue(fourCharCode("FS! "), forced, 2);
    Broker broker(smc);
    ASSERT_EQ(broker.write(1, "FS! ", {0, 2}), KERN_SUCCESS);  // fan 0 to auto, fan 1 to manual
    broker.broker->stop(broker.notes);
    EXPECT_EQ(valueOf(*smc, "FS! "), "00 01");
}

TEST(FanBroker, AsksTheSMCOnlyWhatItDoesNotKnowAlready)
{
    // What smcfan sends: a speed is the key's information and the write; manual
    // mode a read of the mask and the write.
    struct Step {
        uint8_t command;
        const char* key;
        std::vector<uint8_t> bytes = {};
    };
    using Steps = std::vector<Step>;
    const Steps setSpeed{{SMCCommandKeyInfo, "F0Tg"}, {SMCCommandWriteKey, "F0Tg", rpm(3000)}};
    const Steps setAgain{{SMCCommandKeyInfo, "F0Tg"}, {SMCCommandWriteKey, "F0Tg", rpm(3500)}};
    const Steps manual{{SMCCommandReadKey, "FS! ", {0, 0}}, {SMCCommandWriteKey, "FS! ", {0, 1}}};
    struct Case {
        const char* name;
        bool lease;
        Steps before;  // done first, not counted
        Steps steps;
        const char* exchanges;  // with the SMC, behind the client's
    };
    const Case cases[] = {
        {"a speed", false, {}, setSpeed, "info F0Tg, read F0Tg, write F0Tg"},
        {"a speed again", false, setSpeed, setAgain, "info F0Tg, write F0Tg"},
        {"a held speed", true, {}, setSpeed, "info F0Tg, read F0Tg, write F0Tg"},
        {"manual mode", false, {}, manual, "read FS! , read FS! , write FS! "},
    };
    for (const auto& c : cases) {
        auto smc = machine();
        Broker broker(smc);
        if (c.lease)
            broker.lease(1);
        auto run = [&](const Steps& steps) {
            for (const Step& step : steps) {
                kern_return_t status = step.command == SMCCommandWriteKey
                                           ? broker.write(1, step.key, step.bytes)
                                           : broker.ask(step.command, step.key, uint32_t(step.bytes.size()));
                EXPECT_EQ(status, KERN_SUCCESS) << c.name << ": " << step.key;
            }
        };
        run(c.before);
        broker.exchanges.clear();
        run(c.steps);
        std::string exchanges;
        for (const std::string& exchange : broker.exchanges)
            exchanges += (exchanges.empty() ? "" : ", ") + exchange;
        EXPECT_EQ(exchanges, c.exchanges) << c.name;
    }
}

// A fan behind a driver that keeps its mode to itself: F0Md takes writes
// and refuses reads (kIOReturnNotReadable), speeds are floats.
std::shared_ptr<EmulatedSMC> hiddenModeMachine()
{
    std::ifstream file(std::string(GOLDEN_DIR) + "/profiles/soc_laptop.profile");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<SMCKeyEntry> keys;
    EXPECT_FALSE(parseSMCProfile(text, keys));
    return std::make_shared<EmulatedSMC>(std::move(keys));
}

TEST(FanBroker, AFanWhoseModeCannotBeReadGoesBackToAutomaticWhileItsTargetIsSmcds)
{
    struct Write {
        smcd::ClientId client;
        const char* key;
        std::vector<uint8_t> bytes;
    };
    struct Case {
        const char* name;
        bool lease;                  // client 1 holds one, closed before the stop
        std::vector<Write> writes;
        std::vector<uint8_t> other;  // another program's target afterwards; empty: none
        const char* mode;            // F0Md after the stop
        const char* note;            // a line of the notes
    };
    const Case cases[] = {
        {"a target", false, {{1, "F0Tg", floatBytes(3000)}}, {}, "00", "fan 0: put back at stop: F0Md 0"},
        {"a target the driver kept in whole rpm", false, {{1, "F0Tg", floatBytes(3000.6f)}}, floatBytes(3000), "00",
         "fan 0: put back at stop: F0Md 0"},
        {"manual mode alone", false, {{1, "F0Md", {1}}}, {}, "00", "fan 0: put back at stop: F0Md 0"},
        {"a target changed since", false, {{1, "F0Tg", floatBytes(3000)}}, floatBytes(4000), "01",
         "fan 0: left as it is at stop, changed since smcd wrote it: F0Tg"},
        {"manual mode, then another's target", false, {{1, "F0Md", {1}}}, floatBytes(4000), "01",
         "fan 0: left as it is at stop, changed since smcd wrote it: F0Tg"},
        {"automatic written last", false, {{1, "F0Tg", floatBytes(3000)}, {1, "F0Md", {0}}}, {}, "00", ""},
        {"a lease ends", true, {{1, "F0Tg", floatBytes(3000)}}, {}, "00",
         "fan 0: put back at the end of a lease: F0Md 0"},
        {"a lease ends over another's target", true, {{1, "F0Tg", floatBytes(3000)}}, floatBytes(2500), "01",
         "fan 0: left as it is at the end of a lease, changed since smcd wrote it: F0Tg"},
    };
    for (const auto& c : cases) {
        auto smc = hiddenModeMachine();
        Broker broker(smc, {{WritePolicy::Kind::Fans, {}}, {}, false, true});
        if (c.lease)
            broker.lease(1);
        broker.exchanges.clear();
        for (const Write& write : c.writes)
            ASSERT_EQ(broker.write(write.client, write.key, write.bytes), KERN_SUCCESS) << c.name << ": " << write.key;
        if (c.writes.front().key == std::string("F0Tg")) {
            EXPECT_EQ(broker.exchanges.front(), "write F0Tg") << c.name << ": the mode is never asked";
        }
        // The driver: a target write puts the fan in manual mode.
        uint8_t manual = 1;
        smc->setValue(fourCharCode("F0Md"), &manual, 1);
        if (c.writes.back().key == std::string("F0Md") && c.writes.back().bytes[0] == 0)
            smc->setValue(fourCharCode("F0Md"), c.writes.back().bytes.data(), 1);
        if (!c.other.empty())
            smc->setValue(fourCharCode("F0Tg"), c.other.data(), c.other.size());
        if (c.lease)
            broker.close(1);
        broker.broker->stop(broker.notes);
        EXPECT_EQ(valueOf(*smc, "F0Md"), c.mode) << c.name << "\n" << joined(broker.notes);
        std::string notes = joined(broker.notes);
        EXPECT_NE(notes.find(c.note), std::string::npos) << c.name << "\n" << notes;
        if (!*c.note) {
            EXPECT_EQ(notes.find("put back"), std::string::npos) << c.name << "\n" << notes;
        }
        EXPECT_TRUE(broker.broker->recorded().empty()) << c.name;
    }
}

class BrokerStateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/fan-broker-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory = name;
        statePath = directory + "/state";
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    std::unique_ptr<smcd::StateFile> openState()
    {
        std::string error;
        auto state = smcd::StateFile::open(statePath, error);
        EXPECT_NE(state, nullptr) << error;
        return state;
    }

    std::string directory, statePath;
};

TEST_F(BrokerStateTest, ARunThatNeverStoppedIsPutBackAtTheNextStart)
{
    {
        auto smc = machine();
        auto state = openState();
        Broker broker(smc, {}, state.get());
        ASSERT_EQ(broker.write(1, "F0Tg", rpm(5000)), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "FS! ", {0, 1}), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "LKSB", {0, 7}), KERN_SUCCESS);
        // Gone without stop(), as after kill -9.
    }
    auto smc = machine();
    auto state = openState();
    std::vector<smcd::FanRecord> earlier;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(state->load(smc.get(), earlier, error, warnings)) << error;
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "4e 20") << "the value saved";
    ASSERT_EQ(earlier.size(), 1u);
    Broker broker(smc, {}, state.get(), earlier);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
    EXPECT_EQ(valueOf(*smc, "FS! "), "00 00");
    EXPECT_EQ(valueOf(*smc, "LKSB"), "00 07") << "not a fan: kept";

    // Put back for good: a third start finds nothing to do.
    auto again = machine();
    earlier.clear();
    ASSERT_TRUE(state->load(again.get(), earlier, error, warnings)) << error;
    EXPECT_TRUE(earlier.empty());
    EXPECT_EQ(valueOf(*again, "F0Tg"), "1f 40");
}

TEST_F(BrokerStateTest, AfterACrashAChangeMadeSinceIsLeftAlone)
{
    auto smc = machine();
    {
        auto state = openState();
        Broker broker(smc, {}, state.get());
        ASSERT_EQ(broker.write(1, "F0Tg", rpm(5000)), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "FS! ", {0, 1}), KERN_SUCCESS);
    }
    uint8_t other[] = {0x2e, 0xe0};  // another program's 3000 rpm
    smc->setValue(fourCharCode("F0Tg"), other, 2);
    auto state = openState();
    std::vector<smcd::FanRecord> earlier;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(state->load(nullptr, earlier, error, warnings)) << error;
    Broker broker(smc, {}, state.get(), earlier);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "2e e0");
    EXPECT_EQ(valueOf(*smc, "FS! "), "00 00");
    EXPECT_EQ(joined(broker.notes), "fan 0: put back after an earlier run: automatic mode (FS! bit)\n"
                                    "fan 0: left as it is after an earlier run, changed since smcd wrote it: F0Tg\n");
}

TEST_F(BrokerStateTest, AFanWhoseModeCannotBeReadGoesBackToAutomaticAfterACrash)
{
    for (bool changed : {false, true}) {
        auto smc = hiddenModeMachine();
        {
            auto state = openState();
            Broker broker(smc, {}, state.get());
            ASSERT_EQ(broker.write(1, "F0Tg", floatBytes(3000)), KERN_SUCCESS);
            uint8_t manual = 1;
            smc->setValue(fourCharCode("F0Md"), &manual, 1);
        }
        if (changed)
            smc->setValue(fourCharCode("F0Tg"), floatBytes(4000).data(), 4);
        auto state = openState();
        std::vector<smcd::FanRecord> earlier;
        std::string error;
        std::vector<std::string> warnings;
        ASSERT_TRUE(state->load(nullptr, earlier, error, warnings)) << error;
        Broker broker(smc, {}, state.get(), earlier);
        EXPECT_EQ(valueOf(*smc, "F0Md"), changed ? "01" : "00") << joined(broker.notes);
        EXPECT_EQ(broker.notes.front(), changed ? "fan 0: left as it is after an earlier run, changed since smcd wrote "
                                                  "it: F0Tg"
                                                : "fan 0: put back after an earlier run: F0Md 0");
    }
}

TEST_F(BrokerStateTest, AChangeWhoseRecordCannotBeSavedIsRefused)
{
    auto smc = machine();
    std::string stateDirectory = directory + "/gone";
    std::filesystem::create_directory(stateDirectory);
    statePath = stateDirectory + "/state";
    auto state = openState();
    Broker broker(smc, {}, state.get());
    std::filesystem::remove_all(stateDirectory);
    EXPECT_EQ(broker.write(1, "F0Tg", rpm(5000)), kern_return_t(0xe00002ca));
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
    EXPECT_TRUE(broker.broker->recorded().empty());
}

TEST(FanBroker, RecordsFromAStateFilePutBackOnlyTheirOwnFansKeys)
{
    auto smc = machine();
    smcd::FanRecord planted{0, false, {}};
    planted.values.push_back({fourCharCode("LKSB"), 2, {0xaa, 0xbb}});  // not fan 0's
    planted.values.push_back({fourCharCode("F1Tg"), 2, {0x00, 0x10}});  // another fan's
    planted.values.push_back({fourCharCode("F0Tg"), 2, {0x2e, 0xe0}});
    Broker broker(smc, {}, nullptr, {planted});
    EXPECT_EQ(valueOf(*smc, "LKSB"), "00 00");
    EXPECT_EQ(valueOf(*smc, "F1Tg"), "0f a0");
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "2e e0");
}

TEST(FanBroker, RecordsFromAStateFileAreCheckedAsWritesAre)
{
    struct Case {
        const char* name;
        const char* policy;
        std::vector<smcd::SavedValue> values;  // of fan 0, which was also in manual mode
        const char* refused;                   // "" when put back
        bool kept;                             // for the next start, not dropped
    };
    auto value = [](const char* key, std::vector<uint8_t> bytes) {
        smcd::SavedValue saved{fourCharCode(key), uint8_t(bytes.size()), {}};
        std::copy(bytes.begin(), bytes.end(), saved.bytes.begin());
        return saved;
    };
    const Case cases[] = {
        {"within the limits", "fans", {value("F0Mn", rpm(1000)), value("F0Tg", rpm(3000))}, "", false},
        {"above the maximum", "fans", {value("F0Tg", rpm(7000))}, "F0Tg: 7000 rpm is above the maximum of 6000 rpm",
         false},
        {"a size not the key's", "fans", {value("F0Tg", {0x2e, 0xe0, 0})}, "F0Tg: the record holds 3 bytes", false},
        {"below the minimum it leaves", "fans", {value("F0Mn", rpm(1500)), value("F0Tg", rpm(1400))},
         "F0Tg: 1400 rpm is below the floor of 1500 rpm", false},
        {"below the minimum there", "fans", {value("F0Tg", rpm(1000))}, "F0Tg: 1000 rpm is below the floor", false},
        {"a mode neither 0 nor 1", "fans", {value("F0Md", {2})}, "F0Md: mode 2", false},
        {"a key the policy keeps", "F0Tg,FS! ", {value("F0Mn", rpm(1500))}, "F0Mn: not a key this run may write",
         true},
        {"a bit the policy keeps", "F0Tg", {value("F0Tg", rpm(3000))}, "FS! bit: not a key", true},
        {"a maximum that cannot be read", "fans", {value("F0Tg", rpm(3000))}, "cannot read the fan's maximum", true},
    };
    for (const auto& c : cases) {
        auto smc = machine();
        if (std::string_view(c.refused).starts_with("cannot read"))
            smc->injectFailure(fourCharCode("F0Mx"), SMCExchangeKind::Read, kIOReturnIOError);
        std::string problem;
        Broker broker(smc, {*smcd::parseWritePolicy(c.policy, problem)}, nullptr, {{0, true, c.values}});
        std::string notes = joined(broker.notes);
        if (*c.refused) {
            EXPECT_EQ(valueOf(*smc, "FS! "), "00 00") << c.name;
            EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40") << c.name;
            EXPECT_EQ(valueOf(*smc, "F0Mn"), "12 c0") << c.name;
            EXPECT_EQ(notes.rfind("fan 0: not put back", 0), 0u) << c.name << ": " << notes;
            EXPECT_NE(notes.find(c.refused), std::string::npos) << c.name << ": " << notes;
            EXPECT_EQ(broker.broker->recorded().size(), c.kept) << c.name;
        } else {
            EXPECT_EQ(valueOf(*smc, "FS! "), "00 01") << c.name;
            EXPECT_EQ(valueOf(*smc, "F0Tg"), "2e e0") << c.name;
        }
    }
}

TEST(FanBroker, ALaterLeaseOnTheSameFanWins)
{
    auto smc = machine();
    Broker broker(smc);
    broker.lease(1);
    broker.lease(2);
    ASSERT_EQ(broker.write(1, "F0Tg", rpm(4000)), KERN_SUCCESS);
    ASSERT_EQ(broker.write(2, "F0Tg", rpm(5000)), KERN_SUCCESS);
    broker.close(1);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "4e 20") << "the later lease still holds it";
    broker.close(2);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40") << "back to before the first lease, not to the first lease's speed";
}

TEST(FanBroker, AOneShotWriteToAHeldFanOutlastsTheLease)
{
    auto smc = machine();
    Broker broker(smc);
    broker.lease(1);
    ASSERT_EQ(broker.write(1, "F0Tg", rpm(4000)), KERN_SUCCESS);
    ASSERT_EQ(broker.write(1, "FS! ", {0, 1}), KERN_SUCCESS);
    ASSERT_EQ(broker.write(2, "F0Mn", rpm(1500)), KERN_SUCCESS);
    ASSERT_EQ(broker.write(2, "FS! ", {0, 3}), KERN_SUCCESS);  // fan 1 manual by hand; fan 0 unchanged
    broker.close(1);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
    EXPECT_EQ(valueOf(*smc, "F0Mn"), "17 70");
    EXPECT_EQ(valueOf(*smc, "FS! "), "00 02");
}

TEST(FanBroker, StoppingEndsLeasesEvenWhenFansAreKept)
{
    auto smc = machine();
    Broker broker(smc, {{}, {}, /*keepFans=*/true});
    broker.lease(1);
    ASSERT_EQ(broker.write(1, "F0Tg", rpm(4000)), KERN_SUCCESS);
    ASSERT_EQ(broker.write(2, "F0Mn", rpm(1500)), KERN_SUCCESS);
    broker.broker->stop(broker.notes);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
    EXPECT_EQ(valueOf(*smc, "F0Mn"), "17 70") << "kept";
}

TEST(FanController, OneConnectionAtATimeIsTheController)
{
    struct Step {
        smcd::ClientId client;  // 0: client 1 closes
        std::string name;
        kern_return_t status;
        int32_t controllerPid;  // after the step, as Ctl? tells; 0 for none
        const char* controllerName;
    };
    const Step steps[] = {
        {2, "", kIOReturnBadArgument, 0, ""},
        {2, std::string(24, 'n'), kIOReturnBadArgument, 0, ""},
        {2, "tab\there", kIOReturnBadArgument, 0, ""},
        {1, std::string(23, 'n'), KERN_SUCCESS, 100, "nnnnnnnnnnnnnnnnnnnnnnn"},
        {1, "smcfand", KERN_SUCCESS, 100, "smcfand"},  // again, another name
        {2, "other", kIOReturnExclusiveAccess, 100, "smcfand"},
        {0, "", KERN_SUCCESS, 0, ""},
        {2, "other", KERN_SUCCESS, 200, "other"},
    };
    auto smc = machine();
    Broker broker(smc);
    EXPECT_FALSE(broker.controller()) << "none at first";
    for (const Step& step : steps) {
        std::string what = std::to_string(step.client) + " " + step.name;
        if (step.client == 0) {
            broker.close(1);
        } else {
            protocol::Reply reply = broker.claim(step.client, step.name, int32_t(step.client * 100));
            ASSERT_EQ(reply.status, step.status) << what;
            if (step.status == kIOReturnExclusiveAccess) {
                IOSMCFanController holder;
                std::memcpy(&holder, reply.record, sizeof holder);
                EXPECT_EQ(holder.pid, 100) << what << ": the reply names the controller";
                EXPECT_STREQ(holder.name, "smcfand") << what;
            }
        }
        std::optional<IOSMCFanController> controller = broker.controller();
        EXPECT_EQ(controller ? controller->pid : 0, step.controllerPid) << what;
        EXPECT_STREQ(controller ? controller->name : "", step.controllerName) << what;
    }
    // The claim made client 2 a lease: its write is undone when it closes.
    ASSERT_EQ(broker.write(2, "F0Tg", rpm(4000)), KERN_SUCCESS);
    broker.close(2);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40");
    EXPECT_FALSE(broker.controller());
}

// Fan 0 in fpe2 with "FS! ", fan 1 a T2 fan: floats and a mode key of its own.
constexpr const char* kMixedFans = R"(
  FNum  [ui8 ]  2 (bytes 02)
  FS!   [ui16]  0 (bytes 00 00)
! writable
  F0Mn  [fpe2]  1200 (bytes 12 c0)
! writable
  F0Mx  [fpe2]  6000 (bytes 5d c0)
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
  F1Mn  [flt ]  (bytes 00 00 96 44)
! writable
  F1Mx  [flt ]  (bytes 00 80 bb 45)
  F1Tg  [flt ]  (bytes 00 00 fa 44)
! writable
  F1Md  [ui8 ]  0 (bytes 00)
! writable
)";

TEST(FanController, AHoldWinsAndTheRecordFollowsWhoDrivesEachFan)
{
    std::vector<SMCKeyEntry> keys;
    ASSERT_FALSE(parseSMCProfile(kMixedFans, keys));
    auto smc = std::make_shared<EmulatedSMC>(std::move(keys));
    Broker broker(smc);
    // Client 1 the controller, 2 a person's hold (a lease), 3 one-shot writes.
    ASSERT_EQ(broker.claim(1, "smcfand", 100).status, KERN_SUCCESS);
    ASSERT_EQ(broker.lease(2, 200), KERN_SUCCESS);
    struct Step {
        const char* what;
        smcd::ClientId client;
        const char* key;  // none: the client closes
        std::vector<uint8_t> bytes;
        kern_return_t status;
        uint32_t driven, held;
        float target0, target1;
    };
    const Step steps[] = {
        {"no write yet", 1, "F0Mn", {0xff}, kIOReturnBadArgument, 0, 0, NAN, NAN},
        {"fan 0's target", 1, "F0Tg", rpm(2400), KERN_SUCCESS, 1, 0, 2400, NAN},
        {"fan 0 manual", 1, "FS! ", {0, 1}, KERN_SUCCESS, 1, 0, 2400, NAN},
        {"fan 1's target, a float", 1, "F1Tg", floatBytes(3000.5f), KERN_SUCCESS, 3, 0, 2400, 3000.5f},
        {"fan 1 manual", 1, "F1Md", {1}, KERN_SUCCESS, 3, 0, 2400, 3000.5f},
        {"a person holds fan 1", 2, "F1Tg", floatBytes(4000), KERN_SUCCESS, 1, 2, 2400, 3000.5f},
        {"the controller's target, refused", 1, "F1Tg", floatBytes(3500), kIOReturnExclusiveAccess, 1, 2, 2400,
         3000.5f},
        {"its minimum too", 1, "F1Mn", floatBytes(1500), kIOReturnExclusiveAccess, 1, 2, 2400, 3000.5f},
        {"its mode too", 1, "F1Md", {0}, kIOReturnExclusiveAccess, 1, 2, 2400, 3000.5f},
        {"a one-shot write", 3, "F0Tg", rpm(5000), KERN_SUCCESS, 1, 2, 2400, 3000.5f},
        {"does not block the controller", 1, "F0Tg", rpm(3000), KERN_SUCCESS, 1, 2, 3000, 3000.5f},
        {"the hold ends, fan 1 as before the controller", 2, nullptr, {}, KERN_SUCCESS, 1, 0, 3000, 3000.5f},
        {"the controller drives fan 1 again", 1, "F1Tg", floatBytes(3500), KERN_SUCCESS, 3, 0, 3000, 3500},
        {"and sets its mode again", 1, "F1Md", {1}, KERN_SUCCESS, 3, 0, 3000, 3500},
    };
    for (const Step& step : steps) {
        std::vector<SMCKeyEntry> before = smc->keys();
        if (step.key) {
            EXPECT_EQ(broker.write(step.client, step.key, step.bytes), step.status) << step.what;
        } else {
            broker.close(step.client);
        }
        for (size_t i = 0; i < before.size() && step.status != KERN_SUCCESS; ++i)
            EXPECT_EQ(hexText(smc->keys()[i].bytes.data(), before[i].size),
                      hexText(before[i].bytes.data(), before[i].size))
                << step.what << ": a refused write changes nothing, " << fourCharText(before[i].key);
        std::optional<IOSMCFanController> record = broker.controller();
        ASSERT_TRUE(record) << step.what;
        EXPECT_EQ(record->drivenFans, step.driven) << step.what;
        EXPECT_EQ(record->heldFans, step.held) << step.what;
        auto same = [](float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); };
        EXPECT_PRED2(same, record->targets[0], step.target0) << step.what;
        EXPECT_PRED2(same, record->targets[1], step.target1) << step.what;
        EXPECT_TRUE(std::isnan(record->targets[2])) << step.what;
    }
    EXPECT_EQ(valueOf(*smc, "F1Tg"), hexText(floatBytes(3500).data(), 4));
    std::vector<std::string> notes = broker.broker->takeNotes();
    EXPECT_EQ(std::count_if(notes.begin(), notes.end(),
                            [](const std::string& note) {
                                return note == "fan 1: held by pid 200; the fan controller \"smcfand\" (pid 100, "
                                               "uid " + std::to_string(geteuid()) + ", its program unknown) leaves "
                                               "it alone until that ends";
                            }),
              1)
        << "said once per hold:\n"
        << joined(notes);
    // Its lease is undone as every lease is.
    broker.close(1);
    EXPECT_FALSE(broker.controller());
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "4e 20") << "the one-shot write outlasts it";
    EXPECT_EQ(valueOf(*smc, "FS! "), "00 00");
    EXPECT_EQ(valueOf(*smc, "F1Tg"), "00 00 fa 44");
    EXPECT_EQ(valueOf(*smc, "F1Md"), "00");
}

TEST(FanController, AHoldOutlastsAControllerThatEnds)
{
    auto smc = machine();
    Broker broker(smc);
    ASSERT_EQ(broker.claim(1, "smcfand", 100).status, KERN_SUCCESS);
    ASSERT_EQ(broker.write(1, "F0Tg", rpm(3000)), KERN_SUCCESS);
    ASSERT_EQ(broker.write(1, "FS! ", {0, 1}), KERN_SUCCESS);
    ASSERT_EQ(broker.lease(2, 200), KERN_SUCCESS);
    ASSERT_EQ(broker.write(2, "F0Tg", rpm(4000)), KERN_SUCCESS);  // the fan is manual already: no FS! write
    broker.close(1);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "3e 80") << "the hold stands";
    EXPECT_EQ(valueOf(*smc, "FS! "), "00 01") << "still manual";
    broker.close(2);
    EXPECT_EQ(valueOf(*smc, "F0Tg"), "1f 40") << "as before the controller";
    EXPECT_EQ(valueOf(*smc, "FS! "), "00 00");
}

TEST(FanController, OnlyRootAndTheNamedUserOrGroupMayClaim)
{
    const uint32_t own = geteuid(), other = own + 4242;
    struct Case {
        const char* what;
        smcd::ControllerIdentity allowed;
        uint32_t uid;
        std::vector<uint32_t> groups;
        kern_return_t status;
    };
    const Case cases[] = {
        {"none named: the daemon's own user", {}, own, {}, KERN_SUCCESS},
        {"none named: another user", {}, other, {}, kIOReturnNotPrivileged},
        {"the user named", {other, {}}, other, {}, KERN_SUCCESS},
        {"not the user named", {other, {}}, other + 1, {other}, kIOReturnNotPrivileged},
        {"a member of the group named", {{}, 77}, other, {5, 77}, KERN_SUCCESS},
        {"not a member", {{}, 77}, other, {5}, kIOReturnNotPrivileged},
        {"root, always", {other, 77}, 0, {}, KERN_SUCCESS},
        {"unknown credentials", {other, {}}, uint32_t(-1), {}, kIOReturnNotPrivileged},
    };
    for (const Case& c : cases) {
        BrokerOptions options;
        options.controllers = c.allowed;
        auto smc = machine();
        Broker broker(smc, options);
        smcd::Peer peer{0, c.uid, c.groups, "/usr/sbin/smcfand"};
        EXPECT_EQ(broker.claim(1, "smcfand", 100, 0, peer).status, c.status) << c.what;
        EXPECT_EQ(broker.controller().has_value(), c.status == KERN_SUCCESS) << c.what;
    }
    // What is shown is the kernel's word: the user, and the program over the name claimed.
    BrokerOptions options;
    options.controllers.user = other;
    Broker broker(machine(), options);
    ASSERT_EQ(broker.claim(1, "smcfand", 100, 0, {0, other, {}, "/usr/sbin/smcfand"}).status, KERN_SUCCESS);
    ASSERT_EQ(broker.write(1, "F0Tg", rpm(3000)), KERN_SUCCESS);
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_EQ(broker.claim(2, "smcfand", 200, 0, {0, other + 1, {}, "/tmp/squat"}).status, kIOReturnNotPrivileged);
    std::optional<IOSMCFanController> record = broker.controller();
    ASSERT_TRUE(record);
    EXPECT_STREQ(record->name, "smcfand");
    EXPECT_EQ(record->uid, other);
    EXPECT_EQ(record->drivenFans, 1u);
    std::string notes = joined(broker.broker->takeNotes());
    EXPECT_EQ(notes, "fan controller \"smcfand\" (pid 100, uid " + std::to_string(other) +
                         ", /usr/sbin/smcfand) drives the fans it writes; a hold by anyone else wins, and its fans go "
                         "back to the SMC when it ends or sends nothing for 3.0 s\n"
                         "uid " + std::to_string(other + 1) + " (pid 200) may not be the fan controller; its claims "
                         "are refused (--controller names who may)\n");
}

TEST(FanController, ASilentControllerLosesTheFans)
{
    using std::chrono::milliseconds;
    struct Case {
        uint32_t poll;  // ms, as claimed
        int silent;     // ms since its last message
        bool ends;
    };
    const Case cases[] = {
        {0, 2999, false}, {0, 3000, true},        // a second's poll when none is given
        {100, 999, false}, {100, 1000, true},     // never less than a second
        {2000, 5999, false}, {2000, 6000, true},  // three polls
        {3'600'000, 180'000, true},               // polls past a minute count as one
    };
    for (const Case& c : cases) {
        std::string what = std::to_string(c.poll) + " ms polls, silent for " + std::to_string(c.silent) + " ms";
        auto smc = machine();
        Broker broker(smc);
        ASSERT_EQ(broker.claim(1, "smcfand", 100, c.poll).status, KERN_SUCCESS);
        ASSERT_EQ(broker.lease(2, 200), KERN_SUCCESS);  // a hold elsewhere stays
        ASSERT_EQ(broker.write(2, "F1Tg", rpm(4000)), KERN_SUCCESS);
        broker.now += milliseconds(500);
        ASSERT_EQ(broker.write(1, "F0Tg", rpm(3000)), KERN_SUCCESS);
        ASSERT_EQ(broker.write(1, "FS! ", {0, 1}), KERN_SUCCESS);
        broker.now += milliseconds(c.silent);
        std::vector<std::string> notes;
        EXPECT_EQ(broker.broker->endSilentController(notes), c.ends ? std::optional<smcd::ClientId>(1) : std::nullopt)
            << what;
        EXPECT_EQ(broker.controller().has_value(), !c.ends) << what;
        EXPECT_EQ(valueOf(*smc, "F0Tg"), c.ends ? "1f 40" : "2e e0") << what;
        EXPECT_EQ(valueOf(*smc, "FS! "), c.ends ? "00 00" : "00 01") << what;
        EXPECT_EQ(valueOf(*smc, "F1Tg"), "3e 80") << what;
        EXPECT_EQ(!notes.empty() && notes[0].find("sent nothing for") != std::string::npos, c.ends) << joined(notes);
    }
}

TEST(StateText, FansToPutBackComeBackExactly)
{
    smcd::FanRecord zero{0, true, {{fourCharCode("F0Tg"), 2, {0x1f, 0x40}}}, false,
                         {{fourCharCode("F0Tg"), 2, {0x4e, 0x20}}}};
    smcd::FanRecord three{3, std::nullopt, {{fourCharCode("F3Md"), 1, {0x01}}, {fourCharCode("F3Mn"), 2, {0, 1}}}};
    std::string text = smcd::stateText({}, {zero, three});
    std::vector<smcd::SavedValue> values;
    std::vector<smcd::FanRecord> fans;
    ASSERT_FALSE(smcd::parseStateText(text, values, &fans)) << text;
    EXPECT_TRUE(values.empty());
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_EQ(fans[0].fan, 0u);
    EXPECT_EQ(fans[0].forced, true);
    ASSERT_EQ(fans[0].values.size(), 1u);
    EXPECT_EQ(fans[0].values[0].key, fourCharCode("F0Tg"));
    EXPECT_EQ(fans[0].forcedWritten, false);
    ASSERT_EQ(fans[0].written.size(), 1u);
    EXPECT_EQ(fans[0].written[0].bytes[0], 0x4e);
    EXPECT_TRUE(fans[1].written.empty());
    EXPECT_EQ(fans[1].fan, 3u);
    EXPECT_EQ(fans[1].forced, std::nullopt);
    ASSERT_EQ(fans[1].values.size(), 2u);
    EXPECT_EQ(fans[1].values[1].bytes[1], 1);

    const char* broken[] = {"fan\n", "fan x forced 1\n", "fan 1 forced 2\n", "fan 1234 forced 1\n",
                            "fan 1 46305467 1f4\n", "fan 1 written forced 2\n", "fan 1 written\n"};
    for (const char* line : broken) {
        values.clear();
        fans.clear();
        auto failed = smcd::parseStateText(std::string("# smcd state 3\n") + line, values, &fans);
        ASSERT_TRUE(failed) << line;
        EXPECT_EQ(failed->line, 2u) << line;
    }
}

}  // namespace
