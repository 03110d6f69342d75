// The broker's leases, holds and the one fan controller: who drives which
// fan, and what goes back when a connection or the controller ends.
#include "smcd/FanBroker.h"
#include "smcd/FanBrokerSupport.h"
#include "encodings/Encodings.h"

#include <IOKit/IOKitSMCLease.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace smcd {

std::optional<ClientId> FanBroker::controller() const
{
    return controller_ ? std::optional(controller_->client) : std::nullopt;
}

std::string FanBroker::processText(ClientId client) const
{
    auto found = pids_.find(client);
    return found != pids_.end() && found->second > 0 ? "pid " + std::to_string(found->second)
                                                      : "another connection";
}

BrokerClock::time_point FanBroker::now() const
{
    return options_.clock ? options_.clock() : BrokerClock::now();
}

bool FanBroker::mayControl(const Peer& peer) const
{
    const ControllerIdentity& allowed = options_.controllers;
    if (peer.uid == 0)
        return true;
    if (!allowed.user && !allowed.group)
        return peer.uid == geteuid();
    return (allowed.user && peer.uid == *allowed.user) ||
           (allowed.group && std::find(peer.groups.begin(), peer.groups.end(), *allowed.group) != peer.groups.end());
}

Reply FanBroker::claim(ClientId client, const Request& request, const Peer& peer)
{
    Reply reply{kIOReturnBadArgument, {}};
    auto text = reinterpret_cast<const char*>(request.record);
    size_t length = strnlen(text, sizeof IOSMCFanController::name);
    if (length == 0 || length == sizeof IOSMCFanController::name ||
        !std::all_of(text, text + length, [](char c) { return c >= 0x20 && c <= 0x7e; }))
        return reply;
    // Who may drive the fans is the kernel's word, never the name sent: a
    // member of the socket's group must not take them over as "smcfand".
    if (!mayControl(peer)) {
        if (refusedControllers_.insert(peer.uid).second)
            say("uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) +
                ") may not be the fan controller; its claims are refused (--controller names who may)");
        reply.status = kIOReturnNotPrivileged;
        return reply;
    }
    if (controller_ && controller_->client != client) {
        describeController(reply.record);
        reply.status = kIOReturnExclusiveAccess;
        return reply;
    }
    uint32_t poll;
    std::memcpy(&poll, request.record + platform::protocol::kClaimNameSize, sizeof poll);
    std::chrono::milliseconds interval{poll == 0 ? 1000 : std::min<uint32_t>(poll, 60'000)};
    BrokerClock::duration silence = std::max<BrokerClock::duration>(kMissedPolls * interval, kShortestSilence);
    std::string name(text, length);
    leaseHolders_.insert(client);
    pids_[client] = peer.pid;
    bool news = !controller_ || controller_->name != name || controller_->silence != silence;
    if (!controller_)
        controller_ = Controller{client, peer, name, silence, now(), {}, {}};
    controller_->name = name;
    controller_->silence = silence;
    if (news)
        say("fan controller " + controllerText() +
            " drives the fans it writes; a hold by anyone else wins, and its fans go back to the SMC when it ends "
            "or sends nothing for " + secondsText(silence));
    reply.status = KERN_SUCCESS;
    return reply;
}

std::string FanBroker::controllerText() const
{
    const Peer& peer = controller_->peer;
    return "\"" + controller_->name + "\" (pid " + std::to_string(peer.pid) + ", uid " + std::to_string(peer.uid) +
           ", " + (peer.executable.empty() ? std::string("its program unknown") : printable(peer.executable)) + ")";
}

std::optional<BrokerClock::time_point> FanBroker::controllerDeadline() const
{
    if (!controller_)
        return std::nullopt;
    return controller_->heard + controller_->silence;
}

std::optional<ClientId> FanBroker::endSilentController(std::vector<std::string>& notes)
{
    if (!controller_ || now() < controller_->heard + controller_->silence)
        return std::nullopt;
    // Stopped, hung or starved: its fans must not stay where it left them.
    ClientId client = controller_->client;
    notes.push_back("fan controller " + controllerText() + " sent nothing for " + secondsText(controller_->silence) +
                    "; its connection is closed and the fans it drove go back to the SMC");
    controller_.reset();
    if (leaseHolders_.erase(client))
        endLeases(client, notes);
    return client;
}

void FanBroker::describeController(uint8_t* bytes) const
{
    IOSMCFanController record{};
    const Peer& peer = controller_->peer;
    record.pid = peer.pid;
    record.uid = peer.uid;
    std::string name = peer.executable.empty() ? controller_->name
                                               : printable(peer.executable.substr(peer.executable.rfind('/') + 1));
    std::memcpy(record.name, name.data(), std::min(name.size(), sizeof record.name - 1));
    // Driven: its target, its mode or its FS! bit is the controller's write,
    // and no hold of another stands there.
    uint32_t driving = 0;
    for (const auto& [fan, lease] : leases_) {
        for (const auto& [key, owner] : lease.owners) {
            if (fan >= 32)
                continue;
            if (owner != controller_->client)
                record.heldFans |= 1u << fan;
            else if (fanKeyRole(key)->part != FanKeyRole::Part::Minimum)
                driving |= 1u << fan;
        }
    }
    record.drivenFans = driving & ~record.heldFans;
    for (size_t fan = 0; fan < std::size(record.targets); ++fan) {
        auto target = controller_->targets.find(uint32_t(fan));
        record.targets[fan] = target == controller_->targets.end() ? NAN : target->second;
    }
    std::memcpy(bytes, &record, sizeof record);
}

bool FanBroker::heldOff(ClientId client, const std::set<uint32_t>& fans)
{
    // A hold wins over the controller while it lasts: a person who holds a
    // fan must not find it changed underneath.
    if (!controller_ || controller_->client != client)
        return false;
    for (uint32_t fan : fans) {
        std::optional<ClientId> holder = holderOf(fan);
        if (!holder) {
            controller_->saidHeld.erase(fan);
            continue;
        }
        if (auto said = controller_->saidHeld.find(fan); said == controller_->saidHeld.end() || said->second != *holder) {
            say(fanName(fan) + ": held by " + processText(*holder) + "; the fan controller " + controllerText() +
                " leaves it alone until that ends");
            controller_->saidHeld[fan] = *holder;
        }
        return true;
    }
    return false;
}

std::optional<ClientId> FanBroker::holderOf(uint32_t fan) const
{
    auto lease = leases_.find(fan);
    if (lease != leases_.end())
        for (const auto& [key, owner] : lease->second.owners)
            if (owner != controller_->client)
                return owner;
    return std::nullopt;
}

void FanBroker::holdWritten(ClientId client, const FanWrite& change)
{
    // A lease holds what its client's writes changed; a write without a
    // lease lasts, so it takes that key out of any lease that held it.
    auto hold = [&](uint32_t fan, FourCharCode key, auto&& keep) {
        auto lease = leases_.find(fan);
        if (change.leasing) {
            if (lease == leases_.end())
                lease = leases_.emplace(fan, Lease{FanRecord{fan, std::nullopt, {}}, {}}).first;
            keep(lease->second.baseline, !lease->second.owners.count(key));
            lease->second.owners[key] = client;
        } else if (lease != leases_.end() && lease->second.owners.erase(key)) {
            FanRecord& baseline = lease->second.baseline;
            if (key == encodings::kForcedMaskKey) {
                baseline.forced.reset();
                baseline.forcedWritten.reset();
            }
            eraseValue(baseline.values, key);
            eraseValue(baseline.written, key);
            if (lease->second.owners.empty())
                leases_.erase(lease);
        }
    };
    for (const auto& part : change.keyBefore)
        hold(part.first, change.key, [&](FanRecord& baseline, bool first) {
            if (first)
                setValue(baseline.values, part.second);
            setValue(baseline.written, change.after);
            if (change.target)
                setValue(baseline.written, *change.target);
        });
    for (const auto& part : change.bitBefore)
        hold(part.first, encodings::kForcedMaskKey, [&](FanRecord& baseline, bool first) {
            if (first)
                baseline.forced = part.second;
            baseline.forcedWritten = change.bitAfter.at(part.first);
        });
    // A hold takes the whole fan from the controller: what the controller
    // set there is the hold's to put back, so that the controller ending
    // meanwhile leaves the held fan as the hold has it.
    if (change.leasing && controller_ && controller_->client != client) {
        std::set<uint32_t> fans;
        for (const auto& part : change.keyBefore)
            fans.insert(part.first);
        for (const auto& part : change.bitBefore)
            fans.insert(part.first);
        for (uint32_t fan : fans)
            if (auto lease = leases_.find(fan); lease != leases_.end())
                for (auto& [key, owner] : lease->second.owners)
                    if (owner == controller_->client)
                        owner = client;
    }
}

void FanBroker::endLeases(std::optional<ClientId> client, std::vector<std::string>& notes)
{
    bool changed = false;
    for (auto lease = leases_.begin(); lease != leases_.end();) {
        Lease& held = lease->second;
        // Only the keys this client's writes changed, not the whole fan.
        FanRecord ending{lease->first, std::nullopt, {}};
        for (auto owner = held.owners.begin(); owner != held.owners.end();) {
            if (client && owner->second != *client) {
                ++owner;
                continue;
            }
            if (owner->first == encodings::kForcedMaskKey) {
                ending.forced = held.baseline.forced;
                ending.forcedWritten = held.baseline.forcedWritten;
            } else if (const SavedValue* value = findValue(held.baseline.values, owner->first)) {
                ending.values.push_back(*value);
                if (const SavedValue* written = findValue(held.baseline.written, owner->first))
                    ending.written.push_back(*written);
                // A mode that cannot be read is put back by its target.
                FourCharCode target = encodings::fanKey(lease->first, "Tg");
                if (const SavedValue* written = findValue(held.baseline.written, target);
                    written && hiddenModes_.count(lease->first) && owner->first != target)
                    ending.written.push_back(*written);
            }
            owner = held.owners.erase(owner);
        }
        if (!ending.empty()) {
            forgetPutBack(putBack(ending, "at the end of a lease", notes));
            changed = true;
        }
        lease = held.owners.empty() ? leases_.erase(lease) : std::next(lease);
    }
    if (changed && (emulated_ || !options_.keepFans))
        persistOrSay(notes);
}

void FanBroker::resumed(BrokerClock::duration slept, std::vector<std::string>& notes)
{
    // logind may tell a resume before the clocks show it (or when they cannot).
    notes.push_back((slept > BrokerClock::duration::zero() ? "the machine woke after " + secondsText(slept) + " asleep"
                                                           : std::string("logind says the machine woke")) +
                    "; taking again the held fans that the SMC put back to automatic");
    bool changed = false;
    for (const auto& [fan, lease] : leases_) {
        if (!resetBySleep(fan, lease))
            continue;
        std::vector<std::string> done, failed;
        takeAgain(fan, lease, done, failed);
        if (!done.empty())
            notes.push_back(fanName(fan) + ": taken again after the sleep: " + joined(done));
        if (!failed.empty())
            notes.push_back(fanName(fan) + ": cannot take it again after the sleep: " + joined(failed));
        changed = changed || !done.empty();
    }
    if (changed && emulated_)
        persistOrSay(notes);
}

bool FanBroker::resetBySleep(uint32_t fan, const Lease& lease)
{
    // Only a mode its holder set to manual tells a reset from a change:
    // the firmware puts nothing else back on its own.
    FourCharCode modeKey = encodings::fanKey(fan, "Md");
    SavedValue now;
    const std::vector<SavedValue>& writes = lease.baseline.written;
    auto written = std::find_if(writes.begin(), writes.end(), [&](const SavedValue& v) { return v.key == modeKey; });
    if (lease.owners.count(modeKey) && written != writes.end() && written->bytes[0] == 1 &&
        read(modeKey, now) == KERN_SUCCESS &&
        now.bytes[0] == 0)
        return true;
    return lease.owners.count(encodings::kForcedMaskKey) && lease.baseline.forcedWritten.value_or(false) &&
           read(encodings::kForcedMaskKey, now) == KERN_SUCCESS && now.size == 2 && !bitOf(now, fan);
}

void FanBroker::takeAgain(uint32_t fan, const Lease& lease, std::vector<std::string>& done,
                          std::vector<std::string>& failed)
{
    // Speeds before the mode, as a holder sets them.
    std::vector<SavedValue> values;
    for (const SavedValue& value : lease.baseline.written)
        if (lease.owners.count(value.key))
            values.push_back(value);
    std::stable_partition(values.begin(), values.end(),
                          [](const SavedValue& v) { return fanKeyRole(v.key)->part != FanKeyRole::Part::Mode; });
    for (const SavedValue& value : values) {
        SavedValue current;
        FourCharCode type = 0;
        kern_return_t status = read(value.key, current, &type);
        if (status == KERN_SUCCESS && sameBytes(current, value))
            continue;
        if (status == KERN_SUCCESS)
            status = writeValue(value);
        if (status == KERN_SUCCESS)
            done.push_back(valueText(type, value));
        else
            failed.push_back(keyText(value.key) + " (" + statusText(status) + ")");
    }
    if (!lease.owners.count(encodings::kForcedMaskKey) || !lease.baseline.forcedWritten.value_or(false))
        return;
    SavedValue mask;
    kern_return_t status = read(encodings::kForcedMaskKey, mask);
    if (status == KERN_SUCCESS && mask.size != 2)
        status = kIOReturnBadArgument;
    if (status == KERN_SUCCESS && !bitOf(mask, fan)) {
        unsigned bits = encodings::unsignedFromBytes(mask.bytes.data(), 2) | 1u << fan;
        mask.bytes[0] = uint8_t(bits >> 8);
        mask.bytes[1] = uint8_t(bits);
        status = writeValue(mask);
        if (status == KERN_SUCCESS)
            done.push_back(modeText(true));
    }
    if (status != KERN_SUCCESS)
        failed.push_back("its FS! bit (" + statusText(status) + ")");
}

void FanBroker::closed(ClientId client, std::vector<std::string>& notes)
{
    if (controller_ && controller_->client == client) {
        notes.push_back("fan controller " + controllerText() + " is gone; the fans it drove go back to the SMC");
        controller_.reset();
    }
    if (leaseHolders_.erase(client))
        endLeases(client, notes);
    pids_.erase(client);
}

}  // namespace smcd
