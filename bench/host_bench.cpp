// sensors-host's cost over the module: one report over 40 keys in each
// format against the module calls that report makes alone, and a /metrics
// scrape over loopback against a bare GET of a fixed body from the same
// server plus that report.
#include "host/Exporter.h"
#include "host/Formats.h"
#include "host/ModuleReader.h"
#include "backends/emulated/EmulatedSMC.h"
#include "bench/support/Ratios.h"

#include <httplib.h>

#include <cstdio>
#include <dlfcn.h>
#include <thread>

namespace {

// 40 temperature keys and two fans.
std::string profileText()
{
    std::string text = "  FNum  [ui8 ]  2 (bytes 02)\n  FS!   [ui16]  0 (bytes 00 00)\n";
    for (int fan = 0; fan < 2; ++fan)
        for (const char* suffix : {"Ac", "Mn", "Mx", "Tg"}) {
            char line[64];
            std::snprintf(line, sizeof line, "  F%d%s  [fpe2]  (bytes 1f 40)\n", fan, suffix);
            text += line;
        }
    for (int key = 0; key < 40; ++key) {
        char line[64];
        std::snprintf(line, sizeof line, "  T%03d  [sp78]  (bytes %02x 40)\n", key, 30 + key);
        text += line;
    }
    return text;
}

std::vector<KeyEntry> table()
{
    std::vector<KeyEntry> entries;
    for (int key = 0; key < 40; ++key) {
        char text[8];
        std::snprintf(text, sizeof text, "T%03d", key);
        entries.push_back({text, key % 4 + 1, "Sensor \"" + std::to_string(key) + "\""});
    }
    return entries;
}

struct Setup {
    Setup()
    {
        std::vector<platform::SMCKeyEntry> keys;
        if (auto error = platform::parseSMCProfile(profileText(), keys)) {
            std::fprintf(stderr, "profile line %zu: %s\n", size_t(error->line), error->problem.c_str());
            std::exit(1);
        }
        platform::installSMCService(std::make_shared<platform::EmulatedSMC>(std::move(keys)));
        std::string error;
        machine = ModuleReader::load(BIN_DIR "/SensorsModule.so", true, error);
        if (!machine || !machine->isSupported()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        machine->configure(table(), false);
        for (const KeyEntry& entry : table())
            keyObjects->addObject(NSString::stringWithCString(entry.key.c_str()).get());
        keyCount = NSArray::arrayWithObject(NSString::stringWithCString("#KEY").get());
        fixedBody = formatPrometheus(machine->read());

        // Every scrape a fresh read: the report's cost is what is measured.
        metrics = metricsHandler(*machine, lock, std::chrono::milliseconds(0));
        if (!server.listen("127.0.0.1", 0, error)) {
            std::fprintf(stderr, "cannot listen: %s\n", error.c_str());
            std::exit(1);
        }
        port = server.port();
        serving = std::thread([this] { server.run(); });
    }
    ~Setup()
    {
        server.stop();
        serving.join();
    }

    // The module calls of one report and nothing else: what ModuleReader::read
    // asks of the module, its results dropped.
    void moduleCalls()
    {
        NSAutoreleasePool pool;
        benchmark::DoNotOptimize(module()->getValuesForKeys(keyCount.get(), 4));
        benchmark::DoNotOptimize(module()->getValuesForKeys(keyObjects.get(), 2));
        Ref<NSArray> speedKeys = module()->fanKeys();
        SMCVal val;
        module()->dataForKey(NSString::stringWithCString("FS! ").get(), &val);
        for (size_t fan = 0; fan < speedKeys->count(); ++fan) {
            benchmark::DoNotOptimize(module()->getFanName(int32_t(fan)));
            for (const char* suffix : {"Ac", "Mn", "Mx", "Tg"}) {
                module()->dataForKey(NSString::stringWithFormat("F%d%s", int(fan), suffix).get(), &val);
                benchmark::DoNotOptimize(module()->convertFanValue(val));
            }
            module()->dataForKey(NSString::stringWithFormat("F%dMd", int(fan)).get(), &val);
        }
    }
    SensorsModule* module();

    std::unique_ptr<ModuleReader> machine;
    Ref<NSMutableArray> keyObjects = NSMutableArray::array();
    Ref<NSArray> keyCount;
    std::string fixedBody;
    std::mutex lock;
    HttpHandler metrics;  // set once the machine is loaded
    HttpServer server{[this](const std::string& path) {
                          return path == "/fixed" ? HttpAnswer{200, "text/plain; version=0.0.4; charset=utf-8", fixedBody}
                                                  : metrics(path);
                      },
                      16, 16};
    std::thread serving;
    int port = 0;
};

Setup& setup()
{
    static Setup instance;
    return instance;
}

// A second module of the same SMC for the bare calls, loaded as the host
// loads it: the ModuleReader keeps its own to itself.
SensorsModule* Setup::module()
{
    static Ref<SensorsModule> module = [] {
        void* plugin = dlopen(BIN_DIR "/SensorsModule.so", RTLD_NOW | RTLD_LOCAL);
        auto alloc = reinterpret_cast<SensorsModuleAllocFunction>(dlsym(plugin, kSensorsModuleEntryPoint));
        return Ref<SensorsModule>(kAdopt, alloc()->init());
    }();
    return module.get();
}

void BM_ModuleCalls(benchmark::State& state)
{
    Setup& s = setup();
    for (auto _ : state)
        s.moduleCalls();
}
BENCHMARK(BM_ModuleCalls);

template <typename Format>
void reportIn(benchmark::State& state, Format format)
{
    Setup& s = setup();
    for (auto _ : state) {
        auto text = format(s.machine->read());
        benchmark::DoNotOptimize(text);
    }
}
void BM_Read(benchmark::State& state)
{
    reportIn(state, [](const Report& report) { return report.temperatures.size(); });
}
BENCHMARK(BM_Read);
void BM_ReportText(benchmark::State& state)
{
    reportIn(state, [](const Report& report) { return formatText(report, false); });
}
void BM_ReportJson(benchmark::State& state)
{
    reportIn(state, [](const Report& report) { return formatJson(report); });
}
void BM_ReportPrometheus(benchmark::State& state)
{
    reportIn(state, [](const Report& report) { return formatPrometheus(report); });
}
BENCHMARK(BM_ReportText);
BENCHMARK(BM_ReportJson);
BENCHMARK(BM_ReportPrometheus);

void BM_Scrape(benchmark::State& state)
{
    Setup& s = setup();
    httplib::Client client("127.0.0.1", s.port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    for (auto _ : state) {
        auto response = client.Get("/metrics");
        if (!response || response->status != 200)
            state.SkipWithError("scrape failed");
    }
}
BENCHMARK(BM_Scrape)->UseRealTime();

void BM_FixedGetPlusReport(benchmark::State& state)
{
    Setup& s = setup();
    httplib::Client client("127.0.0.1", s.port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    for (auto _ : state) {
        auto response = client.Get("/fixed");
        if (!response || response->status != 200)
            state.SkipWithError("GET failed");
        std::string text = formatPrometheus(s.machine->read());
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_FixedGetPlusReport)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    return bench::runWithRatios(argc, argv,
                                {
                                    {"text report / its module calls", "BM_ReportText", "BM_ModuleCalls", 1.5},
                                    {"JSON report / its module calls", "BM_ReportJson", "BM_ModuleCalls", 1.5},
                                    {"Prometheus report / its module calls", "BM_ReportPrometheus",
                                     "BM_ModuleCalls", 1.5},
                                    {"/metrics scrape / fixed GET plus report", "BM_Scrape/real_time",
                                     "BM_FixedGetPlusReport/real_time", 1.2},
                                });
}
