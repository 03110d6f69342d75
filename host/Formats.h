// The output formats of sensors-host: the text report, JSON and Prometheus's
// text exposition format. Each turns one Report into text and nothing else.
#pragma once

#include "host/Report.h"

#include <string>

enum class OutputFormat { Text, Json, Prometheus };

// The report for people: temperatures by priority with one decimal, then
// the fans with their limits and mode.
std::string formatText(const Report& report, bool fahrenheit);

// One JSON document (see the README for its fields); always valid JSON,
// whatever bytes the names hold.
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
