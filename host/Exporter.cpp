#include "host/Exporter.h"

#include "host/Formats.h"
#include "host/Signals.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kProgram = "sensors-host";
// The exposition format's own content type.
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

bool writeAll(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += size_t(wrote);
    }
    return true;
}

}  // namespace

bool writeTextfile(const std::string& directory, const std::string& text, std::string& error)
{
    // Not ending in .prom: the collector skips the temporary file.
    std::string temporary = directory + "/.smc.prom.XXXXXX";
    std::string target = directory + "/smc.prom";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot create a file in " + directory + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp makes it 0600; the collector may run as another user.
    bool ok = fchmod(fd, 0644) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), target.c_str()) == 0)
        return true;
    saved = errno ? errno : saved;
    unlink(temporary.c_str());
    error = "cannot write " + target + ": " + std::strerror(saved);
    return false;
}

int runTextfile(Machine& machine, const std::string& directory, std::optional<double> interval)
{
    StopSignals signals;
    int status = 0;
    do {
        std::string error;
        Report report = machine.read();
        if (!writeTextfile(directory, formatPrometheus(report), error)) {
            std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
            if (!interval)
                return 1;
            status = 1;
        } else if (!interval) {
            return report.smcUp ? 0 : 1;
        }
    } while (!signals.waitFor(*interval));
    return status;
}

HttpHandler metricsHandler(Machine& machine, std::mutex& lock)
{
    return [&machine, &lock](const std::string& path) -> HttpAnswer {
        if (path == "/metrics") {
            std::lock_guard<std::mutex> guard(lock);
            return {200, kMetricsType, formatPrometheus(machine.read())};
        }
        if (path == "/")
            return {200, "text/plain; charset=utf-8", "sensors-host: the SMC's sensors are at /metrics\n"};
        return {404, "text/plain; charset=utf-8", "Not found: the SMC's sensors are at /metrics\n"};
    };
}

int runListen(Machine& machine, const ListenAddress& address)
{
    StopSignals signals;
    // Every open connection is a descriptor: as many as the hard limit
    // allows, up to the cap, with some left for the SMC and the module.
    constexpr rlim_t kSpare = 32;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < kMaxExporterConnections + kSpare) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, kMaxExporterConnections + kSpare);
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    size_t connections = files.rlim_cur > 2 * kSpare ? std::min<size_t>(kMaxExporterConnections, files.rlim_cur - kSpare)
                                                     : kSpare;
    std::mutex lock;
    HttpServer server(metricsHandler(machine, lock), connections);
    std::string error;
    if (!server.listen(address.host, address.port, error)) {
        std::fprintf(stderr, "%s: cannot listen on %s port %d: %s\n", kProgram, address.host.c_str(), address.port,
                     error.c_str());
        return 1;
    }
    bool v6 = address.host.find(':') != std::string::npos;
    std::fprintf(stderr, "%s: serving http://%s%s%s:%d/metrics\n", kProgram, v6 ? "[" : "", address.host.c_str(),
                 v6 ? "]" : "", server.port());
    bool served = server.run(signals.fd(), [&signals] { return signals.take() != 0; });
    if (!served)
        std::fprintf(stderr, "%s: the server stopped: %s\n", kProgram, std::strerror(errno));
    return served ? 0 : 1;
}
