// Test helper: Prometheus's own checker, promtool, run over an exposition.
#pragma once

#include "support/Process.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace testing_support {

// Whether promtool is on PATH; the tests that need it skip, saying so, when
// it is not (scripts/setup.sh installs it).
inline bool havePromtool()
{
    return std::system("command -v promtool >/dev/null 2>&1") == 0;
}

// `promtool check metrics` over `exposition`: its status and what it said.
inline ProcessResult checkMetrics(const std::string& exposition)
{
    char path[] = "/tmp/host-metrics-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return {"", "cannot create a temporary file", -1};
    FILE* file = fdopen(fd, "w");
    std::fwrite(exposition.data(), 1, exposition.size(), file);
    std::fclose(file);
    ProcessResult result = runProgram(std::string("promtool check metrics < ") + path, {}, {}, {"sh", "-c"});
    unlink(path);
    return result;
}

}  // namespace testing_support
