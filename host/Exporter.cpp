#include "host/Exporter.h"

#include "host/Formats.h"
#include "host/Signals.h"

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
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

void addMetricsRoutes(httplib::Server& server, Machine& machine, std::mutex& lock)
{
    server.Get("/metrics", [&machine, &lock](const httplib::Request&, httplib::Response& response) {
        std::string body;
        {
            std::lock_guard<std::mutex> guard(lock);
            body = formatPrometheus(machine.read());
        }
        response.set_content(body, kMetricsType);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("sensors-host: the SMC's sensors are at /metrics\n", "text/plain; charset=utf-8");
    });
}

int runListen(Machine& machine, const ListenAddress& address)
{
    // Blocked before the server's threads start, so that they inherit it.
    StopSignals signals;
    httplib::Server server;
    // The library's default adds SO_REUSEPORT, with which a second exporter
    // on the same port would start and take half the scrapes.
    server.set_socket_options([](int socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Small answers on a kept-alive connection: without this each waits
    // for the peer's delayed acknowledgement.
    server.set_tcp_nodelay(true);
    std::mutex lock;
    addMetricsRoutes(server, machine, lock);
    int port = address.port;
    bool bound = port == 0 ? (port = server.bind_to_any_port(address.host)) > 0
                           : server.bind_to_port(address.host, port);
    if (!bound) {
        std::fprintf(stderr, "%s: cannot listen on %s port %d: %s\n", kProgram, address.host.c_str(), address.port,
                     errno ? std::strerror(errno) : "the address is not available");
        return 1;
    }
    bool v6 = address.host.find(':') != std::string::npos;
    std::fprintf(stderr, "%s: serving http://%s%s%s:%d/metrics\n", kProgram, v6 ? "[" : "", address.host.c_str(),
                 v6 ? "]" : "", port);
    std::thread stopper([&] {
        while (!signals.waitFor(3600)) {
        }
        // A stop that comes before the server runs would be lost.
        for (int tries = 0; tries < 100 && !server.is_running(); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        server.stop();
    });
    bool served = server.listen_after_bind();
    if (!served) {
        // The server failed by itself: wake the stopper so it can be joined.
        kill(getpid(), SIGTERM);
    }
    stopper.join();
    return served ? 0 : 1;
}
