#include "LogindSleep.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <systemd/sd-bus.h>

namespace platform {

namespace {

int prepareForSleep(sd_bus_message* message, void* heard, sd_bus_error*)
{
    int going = 0;
    if (sd_bus_message_read(message, "b", &going) > 0)
        *static_cast<std::optional<bool>*>(heard) = going != 0;
    return 0;
}

}  // namespace

LogindSleep::LogindSleep(const char* program) : program_(program)
{
    int status = sd_bus_open_system(&bus_);
    // No bus is an ordinary machine without D-Bus (or a sandbox): not said.
    if (status < 0) {
        bus_ = sd_bus_unref(bus_);
        return;
    }
    // Floating: the match lives as long as the bus, freed with it.
    status = sd_bus_match_signal(bus_, nullptr, "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", "PrepareForSleep", prepareForSleep, &heard_);
    if (status < 0) {
        std::fprintf(stderr, "%s: not listening for logind's sleep signal: %s\n", program_, std::strerror(-status));
        close();
    }
}

LogindSleep::~LogindSleep()
{
    close();
}

void LogindSleep::close()
{
    if (bus_)
        bus_ = sd_bus_flush_close_unref(bus_);
}

int LogindSleep::fd() const
{
    return bus_ ? sd_bus_get_fd(bus_) : -1;
}

std::optional<bool> LogindSleep::process()
{
    heard_.reset();
    int status = 0;
    while (bus_ && (status = sd_bus_process(bus_, nullptr)) > 0) {
    }
    // A bus restarted or gone: the sleep clock goes on alone.
    if (status < 0) {
        std::fprintf(stderr, "%s: the system bus went away (%s); no longer listening for logind's sleep signal\n",
                     program_, std::strerror(-status));
        close();
    }
    std::optional<bool> heard = heard_;
    heard_.reset();
    return heard;
}

}  // namespace platform
