// logind's word that the machine goes to sleep or woke, from the system
// bus, for a daemon's own poll or epoll loop. Where there is no system bus
// or no logind it stays silent: the sleep clock still tells a resume.
#pragma once

#include <optional>

struct sd_bus;

namespace platform {

class LogindSleep {
public:
    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS where set) and
    // listens for PrepareForSleep. A failure leaves it without a
    // descriptor, said once on stderr under `program`'s name.
    explicit LogindSleep(const char* program);
    ~LogindSleep();
    LogindSleep(const LogindSleep&) = delete;
    LogindSleep& operator=(const LogindSleep&) = delete;

    // The descriptor to wait on for POLLIN, -1 when not connected. It is
    // closed when the bus goes away; a descriptor in an epoll set leaves it then.
    int fd() const;

    // Takes every message waiting, without blocking: true when logind said
    // the machine goes to sleep, false when it woke (the last word when it
    // said both), nothing when it said neither.
    std::optional<bool> process();

private:
    void close();

    const char* program_;
    sd_bus* bus_ = nullptr;
    std::optional<bool> heard_;
};

}  // namespace platform
