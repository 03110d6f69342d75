// The command-line conventions every program follows: --help and --version
// print to standard output and exit 0 (1 when that output cannot be
// written), usage errors exit 2 with one line and a hint on standard error.
#pragma once

#include "smc-sensors/version.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <string_view>

namespace cli {

inline constexpr int kUsageError = 2;

// Flushes standard output. 0, or 1 after saying on standard error why what
// was printed could not be written (a full disk, a closed pipe).
inline int outputStatus(const char* program)
{
    errno = 0;
    bool flushed = std::fflush(stdout) == 0;
    if (flushed && !std::ferror(stdout))
        return 0;
    if (!flushed && errno != 0)
        std::fprintf(stderr, "%s: cannot write standard output: %s\n", program, std::strerror(errno));
    else
        std::fprintf(stderr, "%s: cannot write standard output\n", program);
    return 1;
}

// Prints `text` (--help, say) on standard output; the exit status.
inline int printText(const char* program, std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    return outputStatus(program);
}

// Prints "PROGRAM VERSION" (--version); the exit status.
inline int printVersion(const char* program)
{
    std::printf("%s %s\n", program, SMC_SENSORS_VERSION);
    return outputStatus(program);
}

// Says what is wrong with the command line, and where to read how it goes;
// the exit status for it, 2.
inline int usageError(const char* program, const std::string& problem)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, problem.c_str(), program);
    return kUsageError;
}

// The mistake behind getopt_long's '?' or ':' (an option string that starts
// with ':' and opterr 0), read from optopt and the argument just passed.
inline std::string getoptProblem(int letter, const char* optionString, char* const argv[])
{
    const char* argument = optind > 0 ? argv[optind - 1] : "";
    std::string_view longName = argument;
    if (longName.starts_with("--"))
        longName = longName.substr(0, longName.find('='));
    else
        longName = {};
    // Letters in the option string are known short options; any other
    // nonzero optopt belongs to a long option.
    bool knownLetter = optopt > 0 && optopt < 256 && optopt != ':' && optopt != '+' &&
                       std::strchr(optionString, optopt) != nullptr;
    bool shortOption = optopt > 0 && optopt < 256 && (letter == '?' ? !knownLetter : longName.empty());
    std::string name = shortOption ? std::string("-") + char(optopt) : std::string(longName);
    if (name.empty())
        name = argument;
    if (letter == ':')
        return "option " + name + " needs an argument";
    if (optopt != 0 && !shortOption)
        return "option " + name + " takes no argument";
    return "unknown option " + name;
}

}  // namespace cli
