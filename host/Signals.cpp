#include "host/Signals.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t signalSet(bool resize)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (resize)
        sigaddset(&set, SIGWINCH);
    return set;
}

}  // namespace

StopSignals::StopSignals(bool resize) : resize_(resize)
{
    sigset_t set = signalSet(resize);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

StopSignals::~StopSignals()
{
    if (fd_ >= 0)
        close(fd_);
    sigset_t set = signalSet(resize_);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int StopSignals::take()
{
    signalfd_siginfo info;
    return read(fd_, &info, sizeof info) == ssize_t(sizeof info) ? int(info.ssi_signo) : 0;
}

bool StopSignals::waitFor(double seconds)
{
    pollfd entry{fd_, POLLIN, 0};
    int got = poll(&entry, 1, int(seconds * 1000));
    if (got < 0 && errno != EINTR)
        return true;  // nothing left to wait on: stop rather than spin
    if (got <= 0)
        return false;
    int signal = take();
    return signal != 0 && signal != SIGWINCH;
}
