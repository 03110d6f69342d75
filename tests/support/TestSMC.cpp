#include "support/TestSMC.h"

#include <gtest/gtest.h>

namespace testing_support {

TestSMC::TestSMC(std::string_view profile)
{
    std::vector<platform::SMCKeyEntry> keys;
    if (auto error = platform::parseSMCProfile(profile, keys)) {
        ADD_FAILURE() << "test profile, line " << error->line << ": " << error->problem;
        platform::installSMCService(nullptr);
        return;
    }
    smc_ = std::make_shared<platform::EmulatedSMC>(std::move(keys));
    platform::installSMCService(smc_);
    platform::setExchangeObserver([this](const platform::Exchange& exchange) {
        RecordedExchange recorded{exchange.connection, exchange.selector, exchange.inputSize, {}, exchange.status};
        std::memcpy(&recorded.request, exchange.input, std::min(exchange.inputSize, sizeof(SMCKeyData)));
        std::lock_guard lock(mutex_);
        exchanges_.push_back(recorded);
    });
}

TestSMC::~TestSMC()
{
    platform::setExchangeObserver(nullptr);
    platform::installSMCService(nullptr);
}

std::vector<RecordedExchange> TestSMC::exchanges() const
{
    std::lock_guard lock(mutex_);
    return exchanges_;
}

void TestSMC::clearExchanges()
{
    std::lock_guard lock(mutex_);
    exchanges_.clear();
}

size_t TestSMC::takeCount(uint8_t command)
{
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const RecordedExchange& exchange : exchanges_)
        count += exchange.request.command == command;
    exchanges_.clear();
    return count;
}

void TestSMC::fail(const char* key, platform::SMCExchangeKind kind, kern_return_t status)
{
    ASSERT_TRUE(smc_ && smc_->injectFailure(platform::fourCharCode(key), kind, status)) << key;
}

SMCKeyData request(uint8_t command, const char* key, uint32_t dataSize, uint32_t index)
{
    SMCKeyData record{};
    record.command = command;
    record.key = key ? platform::fourCharCode(key) : 0;
    record.dataSize = dataSize;
    record.index = index;
    return record;
}

}  // namespace testing_support
