// The host's table of candidate temperature keys: one line a key, its
// priority (1 to 4 are shown) and its display name, "#" for comments:
//   TC0D  1  CPU Die
#pragma once

#include "host/Report.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct KeyEntry {
    std::string key;       // four characters
    int priority = 0;
    std::string name;      // empty: the key has no display name
};

// Parses a table; on failure returns nothing and sets `error` to
// "LINE: problem".
std::optional<std::vector<KeyEntry>> parseKeysTable(std::string_view text, std::string& error);

// The table used when the user names none: common keys with readable names.
std::string_view defaultKeysTable();

// Sensors of machines whose SMC keeps readings as floats (Apple Silicon
// Macs), beyond the table's: each is taken only when the SMC types it
// "flt ", as Intel machines keep other values under some of these names.
// Grouped by quantity, temperatures first.
struct FloatSensorKey {
    const char* key;
    Quantity quantity;
};
std::span<const FloatSensorKey> floatSensorKeys();

// Whether `key` is one of the CPU die temperatures the host knows.
bool isCpuDieKey(const std::string& key);
