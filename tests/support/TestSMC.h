// Test helper: installs an emulated SMC made from profile text as the
// process's service, and records every exchange made while it lives.
#pragma once

#include "smc/smc.h"
#include "backends/emulated/EmulatedSMC.h"

#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

struct RecordedExchange {
    io_connect_t connection;
    uint32_t selector;
    size_t inputSize;
    SMCKeyData request;  // the first 80 bytes of the input
    kern_return_t status;
};

class TestSMC {
public:
    // Fails the test (and leaves no service) when the profile does not parse.
    explicit TestSMC(std::string_view profile);
    ~TestSMC();
    TestSMC(const TestSMC&) = delete;
    TestSMC& operator=(const TestSMC&) = delete;

    platform::EmulatedSMC& smc() { return *smc_; }
    std::vector<RecordedExchange> exchanges() const;
    void clearExchanges();
    // The exchanges of `command` recorded so far; the record is cleared.
    size_t takeCount(uint8_t command);
    // Injects a failure; fails the test when the key is unknown.
    void fail(const char* key, platform::SMCExchangeKind kind, kern_return_t status);

private:
    std::shared_ptr<platform::EmulatedSMC> smc_;
    mutable std::mutex mutex_;
    std::vector<RecordedExchange> exchanges_;
};

// An SMCKeyData with only the given fields set, for comparing request bytes.
SMCKeyData request(uint8_t command, const char* key = nullptr, uint32_t dataSize = 0, uint32_t index = 0);

// What the code under test prints on standard output while `body` runs.
template <typename Body>
std::string captureStdout(Body&& body);

}  // namespace testing_support

#include <gtest/gtest.h>

template <typename Body>
std::string testing_support::captureStdout(Body&& body)
{
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}
