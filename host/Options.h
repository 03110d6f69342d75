// sensors-host's command line: every option in one struct, parsed in one place.
#pragma once

#include "host/Formats.h"

#include <optional>
#include <string>

struct ListenAddress {
    std::string host;  // numeric IPv4 or IPv6 address, without brackets
    int port = 0;
};

struct Options {
    std::string modulePath;          // empty: SensorsModule.so beside the program
    std::string keysPath;            // empty: the built-in table
    bool printKeys = false;          // -p
    bool help = false;               // -h
    bool version = false;            // --version
    bool all = false;                // --all: every temperature sensor of the machine
    bool fahrenheit = false;         // text and live view only
    OutputFormat format = OutputFormat::Text;
    std::string textfileDirectory;   // --textfile DIR
    std::optional<double> interval;  // --interval SECONDS, for --textfile
    std::optional<ListenAddress> listen;
    std::optional<double> watch;     // --watch [SECONDS]
};

// Parses argv. On a mistake returns nothing and sets `error` to what is
// wrong (the usage text is the caller's to print).
std::optional<Options> parseOptions(int argc, char* argv[], std::string& error);

// "ADDR:PORT", "[V6]:PORT" or ":PORT"/"PORT" (the loopback address).
std::optional<ListenAddress> parseListenAddress(const std::string& text);

// The usage text.
const char* usageText();
