// Test helper: runs the project's programs as separate processes.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

struct ProcessResult {
    std::string output;  // standard output
    std::string errors;  // standard error
    int status = -1;     // the exit status, or 128 + the signal that ended it
};

// Runs `program` with `arguments` (argv[0] is the program's file name) and
// the environment of this process with `environment` ("NAME=value") added
// or replacing, and waits for it. `prefix` goes before the program, as in
// {"setpriv", "--reuid=65534", "--"}.
ProcessResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment = {}, const std::vector<std::string>& prefix = {});

// Whether a daemon answers at the socket `path` within two seconds: the
// wait after starting smcd, before its first client.
bool waitForSocket(const std::string& path);

// A loopback port no one listens on now.
int freePort();

// A program running in the background until stop() or the end of the
// object, which sends SIGTERM (then SIGKILL if it lingers) and waits.
class BackgroundProcess {
public:
    BackgroundProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number);
    // Waits for the end; the exit status, or 128 + the signal.
    int wait();
    // What it printed so far on standard output and standard error.
    std::string output() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outputPath_;
};

}  // namespace testing_support
