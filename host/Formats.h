// The output formats of sensors-host: the text report, JSON and Prometheus's
// text exposition format. Each turns one Report into text and nothing else.
#pragma once

#include "host/Report.h"

#include <span>
#include <string>

// A format's place in outputFormats(); adding a format is a name here and its
// row there.
enum class OutputFormat { Text, Json, Prometheus };

// One output format: how it is asked for and how it is written.
struct OutputFormatRow {
    OutputFormat format;
    const char* longOption;  // "json" for --json; null when no option asks for it
    char letter;             // its short option, or 0
    const char* usage;       // its line of the usage text, newline included
    // Written for people rather than programs: the access layer's own error
    // lines and the report's errors go to the terminal, --fahrenheit applies,
    // and reports printed one after another are kept apart by a blank line.
    bool forPeople;
    std::string (*write)(const Report& report, bool fahrenheit);
};

// Every format, one row each, in the order of OutputFormat.
std::span<const OutputFormatRow> outputFormats();

// The row of `format`.
const OutputFormatRow& outputFormat(OutputFormat format);

// The report for people: temperatures by priority with one decimal, then
// the fans with their limits and mode.
std::string formatText(const Report& report, bool fahrenheit);

// One JSON document (its fields are listed in sensors-host(1)); always valid
// JSON, whatever bytes the names hold.
std::string formatJson(const Report& report);

// Prometheus's text exposition format, with HELP and TYPE for every family.
std::string formatPrometheus(const Report& report);

// The report in `format`: the one place a format is chosen, for a report
// printed once, the live view's and the exporter's.
std::string formatReport(const Report& report, OutputFormat format, bool fahrenheit);

// A fan's mode in words: "manual", "auto", or "?" when it could not be read.
const char* modeWord(const FanReading& fan);

// Who drives a fan, for people: "driven by smcfand, target 2400" (rpm); empty
// when the fan controller does not drive it.
std::string controllerWords(const Report& report, const FanReading& fan);

// `text` with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string validUtf8(const std::string& text);

// `text` with control characters replaced by '?', safe to print on a terminal.
std::string printable(const std::string& text);

// A temperature in the unit shown, Celsius or Fahrenheit, rounded to one
// decimal with halves away from zero (44.25 shows as 44.3, as people round).
double displayDegrees(double celsius, bool fahrenheit);
