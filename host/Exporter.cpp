#include "host/Exporter.h"

#include "host/Formats.h"
#include "host/Signals.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
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

int openTextfileDirectory(const std::string& directory, std::string& error)
{
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int saved = errno;
        struct stat info {};
        bool link = lstat(directory.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
        error = "cannot create a file in " + directory + ": " +
                (link ? "it is a symbolic link; give the directory it points to" : std::strerror(saved));
    }
    return fd;
}

bool writeTextfile(int directoryFd, const std::string& directory, const std::string& text, std::string& error)
{
    // Not ending in .prom: the collector skips the temporary file.
    static unsigned serial = 0;
    std::string temporary;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 100; ++tries) {
        temporary = ".smc.prom." + std::to_string(getpid()) + "." + std::to_string(serial++);
        fd = openat(directoryFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        error = "cannot create a file in " + directory + ": " + std::strerror(errno);
        return false;
    }
    // Made 0600 and widened here, whatever the umask: the collector may run
    // as another user.
    bool ok = fchmod(fd, 0644) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && renameat(directoryFd, temporary.c_str(), directoryFd, "smc.prom") == 0)
        return true;
    saved = errno ? errno : saved;
    unlinkat(directoryFd, temporary.c_str(), 0);
    error = "cannot write " + directory + "/smc.prom: " + std::strerror(saved);
    return false;
}

int runTextfile(ModuleReader& machine, const std::string& directory, std::optional<double> interval)
{
    StopSignals signals;
    std::string error;
    int directoryFd = openTextfileDirectory(directory, error);
    if (directoryFd < 0) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 1;
    }
    int status = 0;
    do {
        Report report = machine.read();
        if (!writeTextfile(directoryFd, directory, formatReport(report, OutputFormat::Prometheus, false), error)) {
            std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
            status = 1;
            if (!interval)
                break;
        } else if (!interval) {
            status = report.smcUp ? 0 : 1;
            break;
        }
    } while (!signals.waitFor(*interval));
    close(directoryFd);
    return status;
}

HttpHandler metricsHandler(ModuleReader& machine, std::mutex& lock, std::chrono::milliseconds maxAge)
{
    struct Latest {
        std::string body;
        std::chrono::steady_clock::time_point readAt;
    };
    auto latest = std::make_shared<Latest>();
    return [&machine, &lock, maxAge, latest](const std::string& path) -> HttpAnswer {
        if (path == "/metrics") {
            std::lock_guard<std::mutex> guard(lock);
            // Aged from before the read: the values are at least that old.
            auto now = std::chrono::steady_clock::now();
            if (latest->body.empty() || now - latest->readAt >= maxAge) {
                latest->body = formatReport(machine.read(), OutputFormat::Prometheus, false);
                latest->readAt = now;
            }
            return {200, kMetricsType, latest->body};
        }
        if (path == "/")
            return {200, "text/plain; charset=utf-8", "sensors-host: the SMC's sensors are at /metrics\n"};
        return {404, "text/plain; charset=utf-8", "Not found: the SMC's sensors are at /metrics\n"};
    };
}

int runListen(ModuleReader& machine, const ListenAddress& address)
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
    HttpServer server(metricsHandler(machine, lock), connections,
                      std::min(kMaxExporterConnectionsPerPeer, std::max<size_t>(connections / 4, 1)));
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
