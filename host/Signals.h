// The signals that end sensors-host's long runs (SIGINT, SIGTERM, SIGHUP),
// taken as a descriptor to poll instead of a handler, so that every way out
// runs the same clean-up.
#pragma once

class StopSignals {
public:
    // Blocks the signals in this thread and every thread started after, and
    // opens the descriptor; `resize` adds SIGWINCH.
    explicit StopSignals(bool resize = false);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return fd_; }
    // The pending signal's number, or 0 when none is pending.
    int take();
    // Waits up to `seconds`; true when a stop signal came.
    bool waitFor(double seconds);

private:
    int fd_ = -1;
    bool resize_ = false;
};
