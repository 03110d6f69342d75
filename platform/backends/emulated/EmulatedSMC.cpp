// The emulated controller's answers to the four commands of the call record.
#include "backends/emulated/EmulatedSMC.h"

#include "backends/CallRecord.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

namespace {

class EmulatedConnection final : public SMCConnection {
public:
    explicit EmulatedConnection(std::shared_ptr<EmulatedSMC> smc) : smc_(std::move(smc)) {}
    kern_return_t call(uint32_t selector, const void* input, size_t inputSize, void* output,
                       size_t* outputSize) override
    {
        return smc_->call(selector, input, inputSize, output, outputSize);
    }

private:
    std::shared_ptr<EmulatedSMC> smc_;
};

}  // namespace

EmulatedSMC::EmulatedSMC(std::vector<SMCKeyEntry> keys) : entries_(std::move(keys))
{
    constexpr FourCharCode countKey = fourCharCode("#KEY");
    bool hasCount = false;
    for (const SMCKeyEntry& entry : entries_)
        hasCount = hasCount || entry.key == countKey;
    if (!hasCount) {
        SMCKeyEntry count{.key = countKey, .type = fourCharCode("ui32"), .size = 4};
        uint32_t n = uint32_t(entries_.size() + 1);
        count.bytes = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        entries_.insert(entries_.begin(), count);
    }
    positions_.reserve(entries_.size());
    for (uint32_t i = 0; i < entries_.size(); ++i)
        positions_.emplace(entries_[i].key, i);
}

kern_return_t EmulatedSMC::open(std::unique_ptr<SMCConnection>& connection)
{
    connection = std::make_unique<EmulatedConnection>(shared_from_this());
    return KERN_SUCCESS;
}

SMCKeyEntry* EmulatedSMC::find(FourCharCode code)
{
    auto found = positions_.find(code);
    return found == positions_.end() ? nullptr : &entries_[found->second];
}

kern_return_t EmulatedSMC::call(uint32_t selector, const void* input, size_t inputSize,
                                void* output, size_t* outputSize)
{
    if (selector != kUserClientCall || inputSize != sizeof(CallRecord) || *outputSize != sizeof(CallRecord))
        return kIOReturnBadArgument;
    CallRecord request;
    std::memcpy(&request, input, sizeof request);
    CallRecord reply{};
    kern_return_t status;
    {
        std::lock_guard lock(mutex_);
        status = execute(request, reply);
    }
    // A failed call leaves the caller's output as it was, as the kernel does.
    if (status == KERN_SUCCESS)
        std::memcpy(output, &reply, sizeof reply);
    return status;
}

kern_return_t EmulatedSMC::execute(const CallRecord& request, CallRecord& reply)
{
    if (request.command == kKeyAtIndex) {
        if (request.index >= entries_.size())
            return kIOReturnBadArgument;
        const SMCKeyEntry& entry = entries_[request.index];
        if (kern_return_t failure = entry.failure(SMCExchangeKind::KeyAtIndex))
            return failure;
        reply.key = entry.key;
        return KERN_SUCCESS;
    }

    reply.key = request.key;
    SMCKeyEntry* entry = find(request.key);
    switch (request.command) {
    case kKeyInfo:
        // An unknown key is answered with size 0: callers test the size.
        if (entry == nullptr)
            return KERN_SUCCESS;
        if (kern_return_t failure = entry->failure(SMCExchangeKind::KeyInfo))
            return failure;
        reply.dataSize = entry->size;
        reply.dataType = entry->type;
        return KERN_SUCCESS;
    case kReadKey:
        if (entry == nullptr)
            return KERN_SUCCESS;
        if (kern_return_t failure = entry->failure(SMCExchangeKind::Read))
            return failure;
        if (request.dataSize != entry->size)
            return kIOReturnBadArgument;
        if (fanRate_ > 0)
            moveFan(*entry);
        std::memcpy(reply.bytes, entry->bytes.data(), entry->size);
        return KERN_SUCCESS;
    case kWriteKey:
        if (entry == nullptr)
            return kIOReturnNotFound;
        if (kern_return_t failure = entry->failure(SMCExchangeKind::Write))
            return failure;
        if (!entry->writable)
            return kIOReturnNotWritable;
        if (request.dataSize != entry->size)
            return kIOReturnBadArgument;
        std::memcpy(entry->bytes.data(), request.bytes, entry->size);
        return KERN_SUCCESS;
    default:
        return kIOReturnBadArgument;
    }
}

bool EmulatedSMC::injectFailure(FourCharCode key, SMCExchangeKind kind, kern_return_t status)
{
    std::lock_guard lock(mutex_);
    SMCKeyEntry* entry = find(key);
    if (entry == nullptr)
        return false;
    entry->failure(kind) = status;
    return true;
}

bool EmulatedSMC::setValue(FourCharCode key, const uint8_t* bytes, size_t size)
{
    std::lock_guard lock(mutex_);
    SMCKeyEntry* entry = find(key);
    if (entry == nullptr || entry->size != size)
        return false;
    std::memcpy(entry->bytes.data(), bytes, size);
    return true;
}

namespace {

// A fan number from a key "F<n>xx", or -1.
int fanOf(FourCharCode key, std::string_view suffix)
{
    std::string text = fourCharText(key);
    if (text[0] != 'F' || text[1] < '0' || text[1] > '9' || text.substr(2) != suffix)
        return -1;
    return text[1] - '0';
}

// Fan speeds as the fan keys hold them: unsigned fpe2.
double fpe2(const SMCKeyEntry& entry)
{
    return entry.size == 2 ? double(entry.bytes[0] << 8 | entry.bytes[1]) / 4 : 0;
}

}  // namespace

void EmulatedSMC::setFanModel(double rpmPerSecond)
{
    std::lock_guard lock(mutex_);
    fanRate_ = std::max(rpmPerSecond, 0.0);
    seedFans();
}

void EmulatedSMC::seedFans()
{
    // Fans start moving from where they stand now, not from their first read.
    movingFans_.clear();
    auto now = clock_ ? clock_() : std::chrono::steady_clock::now();
    for (const SMCKeyEntry& entry : entries_)
        if (fanOf(entry.key, "Ac") >= 0)
            movingFans_.emplace(entry.key, MovingFan{fpe2(entry), now});
}

void EmulatedSMC::setFanModelClock(Clock clock)
{
    std::lock_guard lock(mutex_);
    clock_ = std::move(clock);
    seedFans();
}

void EmulatedSMC::moveFan(SMCKeyEntry& actual)
{
    int fan = fanOf(actual.key, "Ac");
    if (fan < 0 || actual.size != 2 || actual.type != fourCharCode("fpe2"))
        return;
    auto now = clock_ ? clock_() : std::chrono::steady_clock::now();
    auto [moving, first] = movingFans_.try_emplace(actual.key, MovingFan{fpe2(actual), now});
    if (first)
        return;
    const SMCKeyEntry* forced = find(fourCharCode("FS! "));
    const SMCKeyEntry* mode = find(fourCharCode(std::string{'F', char('0' + fan), 'M', 'd'}));
    bool manual = (forced && forced->size >= 2 && (forced->bytes[0] << 8 | forced->bytes[1]) >> fan & 1) ||
                  (mode && mode->size >= 1 && mode->bytes[0] != 0);
    const SMCKeyEntry* goal = find(fourCharCode(std::string{'F', char('0' + fan), manual ? 'T' : 'M',
                                                            manual ? 'g' : 'n'}));
    if (goal == nullptr || goal->size != 2)
        return;
    double seconds = std::chrono::duration<double>(now - moving->second.at).count();
    double step = fanRate_ * std::max(seconds, 0.0);
    double target = fpe2(*goal), rpm = moving->second.rpm;
    rpm = target > rpm ? std::min(target, rpm + step) : std::max(target, rpm - step);
    moving->second = {rpm, now};
    auto raw = uint16_t(std::lround(std::clamp(rpm, 0.0, 16383.75) * 4));
    actual.bytes[0] = uint8_t(raw >> 8);
    actual.bytes[1] = uint8_t(raw);
}

std::vector<SMCKeyEntry> EmulatedSMC::keys() const
{
    std::lock_guard lock(mutex_);
    return entries_;
}

std::optional<SMCKeyEntry> EmulatedSMC::key(FourCharCode code) const
{
    std::lock_guard lock(mutex_);
    auto found = positions_.find(code);
    if (found == positions_.end())
        return std::nullopt;
    return entries_[found->second];
}

}  // namespace platform
