// The access layer's cost over the emulated service, and the service's cost
// over a plain in-memory lookup.
#include "bench/support/Ratios.h"
#include "smc/CallRecords.h"
#include "smc/smc.h"
#include "backends/emulated/EmulatedSMC.h"

#include <array>
#include <cstring>
#include <unordered_map>

namespace {

// One connection to the built-in emulated SMC for the whole run.
io_connect_t openBuiltin()
{
    static io_connect_t connection = [] {
        std::string error;
        platform::installSMCService(platform::loadEmulatedSMC(nullptr, error));
        io_connect_t opened = 0;
        if (SMCOpen(&opened) != 0)
            std::abort();
        return opened;
    }();
    return connection;
}

void exchange(io_connect_t connection, SMCKeyData& request, SMCKeyData& response)
{
    size_t size = sizeof response;
    if (IOConnectCallStructMethod(connection, kSMCUserClientCall, &request, sizeof request, &response, &size) != 0)
        std::abort();
}

void SMCReadKeyOnce(benchmark::State& state)
{
    io_connect_t connection = openBuiltin();
    SMCVal val;
    for (auto _ : state) {
        SMCReadKey2("TC0D", &val, connection);
        benchmark::DoNotOptimize(val);
    }
}
BENCHMARK(SMCReadKeyOnce);

void TwoBareExchanges(benchmark::State& state)
{
    io_connect_t connection = openBuiltin();
    SMCKeyData info = smc::keyInfoRequest(platform::fourCharCode("TC0D")), response{};
    for (auto _ : state) {
        exchange(connection, info, response);
        SMCKeyData read = smc::readRequest(info.key, response.dataSize);
        exchange(connection, read, response);
        benchmark::DoNotOptimize(response);
    }
}
BENCHMARK(TwoBareExchanges);

void OneBareExchange(benchmark::State& state)
{
    io_connect_t connection = openBuiltin();
    SMCKeyData request = smc::readRequest(platform::fourCharCode("TC0D"), 2), response{};
    for (auto _ : state) {
        exchange(connection, request, response);
        benchmark::DoNotOptimize(response);
    }
}
BENCHMARK(OneBareExchange);

// The floor for a key store: find a 4-byte key, copy its 32 value bytes.
void HashMapLookupAndCopy(benchmark::State& state)
{
    std::unordered_map<uint32_t, std::array<char, 32>> store;
    std::vector<platform::SMCKeyEntry> keys;
    platform::parseSMCProfile(platform::builtinSMCProfile(), keys);
    for (const auto& entry : keys)
        store[entry.key] = {};
    uint32_t key = platform::fourCharCode("TC0D");
    char out[32];
    for (auto _ : state) {
        benchmark::DoNotOptimize(key);
        std::memcpy(out, store.find(key)->second.data(), sizeof out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(HashMapLookupAndCopy);

}  // namespace

int main(int argc, char** argv)
{
    return bench::runWithRatios(argc, argv, {
        {"SMCReadKey / two bare exchanges", "SMCReadKeyOnce", "TwoBareExchanges", 1.10},
        {"one bare exchange / hash-map lookup and 32-byte copy", "OneBareExchange", "HashMapLookupAndCopy", 10.0},
    });
}
