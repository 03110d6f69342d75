// The fan broker's write checks and put-backs over every encoding a fan key
// may have (fpe2, 4-byte little-endian flt, ui16, ui8, a mode byte, the
// "FS! " mask), with writes of right and wrong sizes, leases, and another
// program changing fans meanwhile. An acknowledged speed stays between the
// floor and the maximum, a refused write changes nothing, a change another
// program made after the broker's last write is never put back over, and a
// fan only the broker changed is as it was once the broker stops. A fan
// controller claims and is asked about: one at a time, named as it claimed,
// and its write to a fan that another lease holds is refused.
#include "backends/emulated/EmulatedSMC.h"
#include "smcd/FanBroker.h"
#include "encodings/Encodings.h"
#include "smc/CallRecords.h"
#include "support/FuzzSupport.h"

#include <IOKit/IOKitSMCLease.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

using namespace platform;
using fuzz_support::check;

namespace {

constexpr std::string_view kProfile = R"(  FNum  [ui8 ]  4 (bytes 04)
  FS!   [ui16]  0 (bytes 00 00)
! writable
  F0Mn  [fpe2]  1200 (bytes 12 c0)
! writable
  F0Mx  [fpe2]  6000 (bytes 5d c0)
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
  F0Md  [ui8 ]  0 (bytes 00)
! writable
  F1Mn  [flt ]  (bytes 00 00 96 44)
! writable
  F1Mx  [flt ]  (bytes 00 80 bb 45)
  F1Tg  [flt ]  (bytes 00 00 fa 44)
! writable
  F1Md  [ui8 ]  0 (bytes 00)
! writable
  F2Mn  [ui16]  1200 (bytes 04 b0)
! writable
  F2Mx  [ui16]  6000 (bytes 17 70)
  F2Tg  [ui16]  2000 (bytes 07 d0)
! writable
  F3Mn  [ui8 ]  20 (bytes 14)
! writable
  F3Mx  [ui8 ]  200 (bytes c8)
  F3Tg  [ui8 ]  50 (bytes 32)
! writable
  LKSB  [ui16]  0 (bytes 00 00)
! writable
)";

// The keys a write or another program may aim at.
const char* const kKeys[] = {"F0Mn", "F0Tg", "F0Md", "F1Mn", "F1Tg", "F1Md", "F2Mn", "F2Tg",
                             "F3Mn", "F3Tg", "FS! ", "F0Mx", "F1Mx", "LKSB"};

std::vector<SMCKeyEntry> machine;

std::optional<double> speedOf(const SMCKeyEntry& entry)
{
    return encodings::speedFromBytes(entry.type, entry.bytes.data(), entry.size);
}

bool isSpeedKey(FourCharCode key)
{
    auto role = smcd::fanKeyRole(key);
    return role && (role->part == smcd::FanKeyRole::Part::Minimum || role->part == smcd::FanKeyRole::Part::Target);
}

// A part of a fan whose history the oracle follows: a key, or a fan's bit of "FS! " (key "FS! ", bit).
struct Part {
    FourCharCode key;
    int bit;  // -1 for a whole key
    auto operator<=>(const Part&) const = default;
};

struct History {
    bool others = false;   // another program changed it since the broker last wrote it
    bool touched = false;  // another program ever changed it
    std::vector<uint8_t> theirs;
    std::optional<std::vector<uint8_t>> ours;  // what the broker last wrote
};

std::vector<uint8_t> valueBytes(const SMCKeyEntry& entry)
{
    return {entry.bytes.begin(), entry.bytes.begin() + entry.size};
}

// The SMC's side: while `clientWrite` is set, a fan write that reaches it
// must have the key's size and a speed between `floor` and the maximum.
class CheckedConnection : public SMCConnection {
public:
    CheckedConnection(std::shared_ptr<EmulatedSMC> smc, std::function<double(unsigned)> floor)
        : smc_(std::move(smc)), floor_(std::move(floor))
    {
        smc_->open(inner_);
    }
    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize) override
    {
        SMCKeyData record;
        std::memcpy(&record, input, sizeof record);
        auto role = smcd::fanKeyRole(record.key);
        std::optional<SMCKeyEntry> entry = role ? smc_->key(record.key) : std::nullopt;
        if (clientWrite && record.command == SMCCommandWriteKey && entry) {
            check(record.dataSize == entry->size, "a fan write of a size not the key's never reaches the SMC",
                  fourCharText(record.key) + " " + std::to_string(record.dataSize));
            std::memcpy(entry->bytes.data(), record.bytes, entry->size);
            if (isSpeedKey(record.key)) {
                std::optional<double> rpm = speedOf(*entry);
                double maximum = *speedOf(*smc_->key(encodings::fanKey(role->fan, "Mx")));
                check(rpm && *rpm <= maximum && *rpm >= floor_(role->fan),
                      "a speed written is between the floor and the maximum",
                      fourCharText(record.key) + " " + (rpm ? std::to_string(*rpm) : "not a speed"));
            }
        }
        return inner_->call(selector, input, inputSize, output, outputSize);
    }
    bool clientWrite = false;

private:
    std::shared_ptr<EmulatedSMC> smc_;
    std::unique_ptr<SMCConnection> inner_;
    std::function<double(unsigned)> floor_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    check(!parseSMCProfile(kProfile, machine), "the machine of the fan_broker fuzzer loads");
    return 0;
}

// The input: an options byte (bit 0 strict limits, bit 1 a floor, from the
// next byte times 32 rpm, bit 2 only fan keys writable), then operations,
// each an opcode byte (low three bits the kind, the next two the client;
// kind 7 with bit 7 a claim of control, with bit 6 the question which
// controller drives the fans) and its bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_support::InputReader input(data, size);
    uint8_t flags = input.byte();
    smcd::BrokerOptions options;
    options.strictLimits = flags & 1;
    if (flags & 2)
        options.fanFloor = input.byte() * 32.0;
    options.policy.kind = flags & 4 ? smcd::WritePolicy::Kind::Fans : smcd::WritePolicy::Kind::All;

    auto smc = std::make_shared<EmulatedSMC>(machine);
    const std::vector<SMCKeyEntry> initial = smc->keys();
    auto entryOf = [&](const std::vector<SMCKeyEntry>& keys, FourCharCode key) {
        for (const SMCKeyEntry& entry : keys)
            if (entry.key == key)
                return entry;
        return SMCKeyEntry{};
    };
    // Every fan is counted, so each floor is the fan's minimum at start.
    auto floorOf = [&](unsigned fan) {
        return options.fanFloor ? *options.fanFloor : *speedOf(entryOf(initial, encodings::fanKey(fan, "Mn")));
    };
    auto connection = std::make_unique<CheckedConnection>(smc, floorOf);
    CheckedConnection& checked = *connection;
    smcd::FanBroker broker(std::move(connection), options, nullptr, smc);
    std::string error;
    std::vector<std::string> notes;
    check(broker.start({}, error, notes), "the broker starts", error);

    std::map<Part, History> history;
    auto partsOf = [&](FourCharCode key) {
        std::vector<Part> parts;
        if (key != encodings::kForcedMaskKey)
            return std::vector<Part>{{key, -1}};
        for (int bit = 0; bit < 16; ++bit)
            parts.push_back({key, bit});
        return parts;
    };
    auto partValue = [&](const std::vector<SMCKeyEntry>& keys, const Part& part) {
        std::vector<uint8_t> bytes = valueBytes(entryOf(keys, part.key));
        if (part.bit < 0)
            return bytes;
        return std::vector<uint8_t>{uint8_t((bytes[0] << 8 | bytes[1]) >> part.bit & 1)};
    };
    // What the broker wrote between `was` and `now` is its own again.
    auto brokerWrote = [&](const std::vector<SMCKeyEntry>& was, const std::vector<SMCKeyEntry>& now, FourCharCode key) {
        for (const Part& part : partsOf(key)) {
            if (partValue(now, part) == partValue(was, part) && part.bit >= 0)
                continue;
            History& seen = history[part];
            seen.others = false;
            seen.ours = partValue(now, part);
        }
    };
    // No put-back overwrites what another program set after the broker's last write.
    auto putBack = [&](const char* when, const std::function<void()>& action) {
        std::vector<SMCKeyEntry> was = smc->keys();
        action();
        std::vector<SMCKeyEntry> now = smc->keys();
        for (const auto& [part, seen] : history)
            check(!seen.others || partValue(now, part) == seen.theirs, "another program's change is left alone",
                  std::string(when) + ": " + fourCharText(part.key) + " bit " + std::to_string(part.bit));
        for (const SMCKeyEntry& entry : now)
            if (smcd::fanKeyRole(entry.key) && valueBytes(entry) != valueBytes(entryOf(was, entry.key)))
                brokerWrote(was, now, entry.key);
    };

    std::optional<smcd::ClientId> controller;
    auto ask = [&](smcd::ClientId client, protocol::Request request) {
        return broker.handle(client, reinterpret_cast<const uint8_t*>(&request), sizeof request,
                             smcd::Peer{int32_t(client * 100), 0, {}, ""});
    };
    // The controller as the broker tells it, checked against who claimed.
    auto controllerRecord = [&] {
        protocol::Reply reply = ask(1, {protocol::kControllerMethod, {}});
        IOSMCFanController record;
        std::memcpy(&record, reply.record, sizeof record);
        check(controller ? reply.status == KERN_SUCCESS && record.pid == int32_t(*controller * 100)
                         : reply.status == kIOReturnNotFound,
              "the controller told is the one that claimed", std::to_string(controller.value_or(0)));
        check(!controller || (record.drivenFans & record.heldFans) == 0, "a fan held is not driven",
              std::to_string(record.drivenFans) + " " + std::to_string(record.heldFans));
        return controller ? std::optional(record) : std::nullopt;
    };

    while (input.remaining() > 0) {
        uint8_t opcode = input.byte();
        smcd::ClientId client = (opcode >> 3) % 3 + 1;
        if (opcode % 8 == 7 && (opcode & 0x80)) {
            protocol::Request request{protocol::kClaimControlMethod, {}};
            size_t length = input.byte() % 30;
            input.bytes(request.record, length);
            // The name ends at its NUL; what follows is not looked at.
            size_t named = strnlen(reinterpret_cast<const char*>(request.record), sizeof IOSMCFanController::name);
            bool valid = named >= 1 && named < sizeof IOSMCFanController::name &&
                         std::all_of(request.record, request.record + named,
                                     [](uint8_t c) { return c >= 0x20 && c <= 0x7e; });
            protocol::Reply reply = ask(client, request);
            kern_return_t expected = !valid                                ? kIOReturnBadArgument
                                     : controller && *controller != client ? kIOReturnExclusiveAccess
                                                                           : KERN_SUCCESS;
            check(reply.status == expected, "a claim is answered by who holds control and its name",
                  std::to_string(client) + " " + std::to_string(reply.status));
            if (reply.status == KERN_SUCCESS)
                controller = client;
            continue;
        }
        if (opcode % 8 == 7 && (opcode & 0x40)) {
            controllerRecord();
            continue;
        }
        switch (opcode % 8) {
        case 3: {
            protocol::Request request{protocol::kLeaseMethod, {}};
            broker.handle(client, reinterpret_cast<const uint8_t*>(&request), sizeof request);
            break;
        }
        case 4:
            putBack("a lease ended", [&] { broker.closed(client, notes); });
            if (controller == client)
                controller.reset();
            break;
        case 5: {
            // Another program, through the driver's files: a value of the right size.
            FourCharCode key = fourCharCode(kKeys[input.byte() % 11]);
            SMCKeyEntry entry = entryOf(smc->keys(), key);
            uint8_t bytes[32] = {};
            input.bytes(bytes, entry.size);
            SMCKeyEntry changed = entry;
            std::memcpy(changed.bytes.data(), bytes, entry.size);
            // Within a whole rpm of the broker's value it counts as the broker's (the driver drops fractions).
            auto near = [&](const SMCKeyEntry& other) {
                auto rpm = speedOf(other);
                return rpm && std::fabs(*speedOf(changed) - *rpm) < 1;
            };
            SMCKeyEntry ours = entry;
            if (auto& written = history[{key, -1}].ours)
                std::copy(written->begin(), written->end(), ours.bytes.begin());
            if (isSpeedKey(key) && (!speedOf(changed) || near(entry) || near(ours)))
                break;
            std::vector<SMCKeyEntry> was = smc->keys();
            smc->setValue(key, bytes, entry.size);
            std::vector<SMCKeyEntry> now = smc->keys();
            // Back to just what the broker last wrote, it cannot be told from the broker's own.
            for (const Part& part : partsOf(key)) {
                History& seen = history[part];
                if (partValue(now, part) != partValue(was, part))
                    seen = {seen.ours != partValue(now, part), true, partValue(now, part), seen.ours};
            }
            break;
        }
        case 6: {
            uint32_t fan = input.byte() % 5;
            protocol::Request request{protocol::kFloorMethod, {}};
            std::memcpy(request.record, &fan, sizeof fan);
            protocol::Reply reply = broker.handle(client, reinterpret_cast<const uint8_t*>(&request), sizeof request);
            double floor;
            std::memcpy(&floor, reply.record, sizeof floor);
            bool known = fan < 4 || options.fanFloor;
            check(known ? reply.status == KERN_SUCCESS && floor == floorOf(fan) : reply.status == kIOReturnNotFound,
                  "the floor told is the one applied", std::to_string(fan));
            break;
        }
        default: {
            FourCharCode key = fourCharCode(kKeys[input.byte() % std::size(kKeys)]);
            uint8_t bytes[6] = {};
            uint32_t size = input.byte() % 6;
            input.bytes(bytes, size);
            SMCKeyData record = smc::writeRequest(key, bytes, size);
            protocol::Request request{kSMCUserClientCall, {}};
            std::memcpy(request.record, &record, sizeof record);
            // A hold wins: the controller's write to a fan another lease holds is refused.
            auto role = smcd::fanKeyRole(key);
            std::optional<IOSMCFanController> told = controllerRecord();
            bool held = told && controller == client && role && role->part != smcd::FanKeyRole::Part::ForcedMask &&
                        (told->heldFans >> role->fan & 1);
            std::vector<SMCKeyEntry> before = smc->keys();
            checked.clientWrite = true;
            protocol::Reply reply = broker.handle(client, reinterpret_cast<const uint8_t*>(&request), sizeof request);
            checked.clientWrite = false;
            broker.takeNotes();
            std::vector<SMCKeyEntry> after = smc->keys();
            check(!held || reply.status != KERN_SUCCESS, "the controller's write to a held fan is refused",
                  fourCharText(key));
            if (reply.status != KERN_SUCCESS) {
                for (size_t i = 0; i < after.size(); ++i)
                    check(valueBytes(after[i]) == valueBytes(before[i]), "a refused write changes nothing",
                          fourCharText(after[i].key));
                break;
            }
            if (role)
                brokerWrote(before, after, key);
            break;
        }
        }
    }

    putBack("at stop", [&] { broker.stop(notes); });
    std::vector<SMCKeyEntry> now = smc->keys();
    for (const char* name : kKeys) {
        if (!smcd::fanKeyRole(fourCharCode(name)))
            continue;
        for (const Part& part : partsOf(fourCharCode(name))) {
            auto seen = history.find(part);
            if (seen == history.end() || !seen->second.touched)
                check(partValue(now, part) == partValue(initial, part), "what only the broker changed is put back",
                      fourCharText(part.key) + " bit " + std::to_string(part.bit));
        }
    }
    return 0;
}
