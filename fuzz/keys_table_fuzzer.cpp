// The host's keys table: any text is either refused with "LINE: problem",
// LINE one of its lines, or gives distinct four-character keys whose names
// carry no outer blanks; written out again, one line an entry, the entries
// read back the same.
#include "host/KeysTable.h"
#include "support/FuzzSupport.h"

#include <algorithm>
#include <set>

using fuzz_support::check;
using fuzz_support::escaped;

namespace {

bool sameEntries(const std::vector<KeyEntry>& left, const std::vector<KeyEntry>& right)
{
    return std::equal(left.begin(), left.end(), right.begin(), right.end(), [](const KeyEntry& a, const KeyEntry& b) {
        return a.key == b.key && a.priority == b.priority && a.name == b.name;
    });
}

// What separates the fields of a line, and what is trimmed from a name.
bool separates(char c)
{
    return c == ' ' || c == '\t';
}

bool isBlank(char c)
{
    return separates(c) || c == '\r';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    std::optional<std::vector<KeyEntry>> entries = parseKeysTable(text, error);
    if (!entries) {
        size_t lines = size_t(std::count(text.begin(), text.end(), '\n')) + 1;
        size_t line = 0;
        size_t colon = error.find(": ");
        bool numbered = colon != std::string::npos && colon > 0 && colon < 19 &&
                        error.find_first_not_of("0123456789") == colon;
        if (numbered)
            line = std::stoul(error.substr(0, colon));
        check(numbered && line >= 1 && line <= lines, "a refusal names one of the table's lines", escaped(error));
        return 0;
    }

    std::set<std::string> keys;
    std::string written;
    for (const KeyEntry& entry : *entries) {
        check(entry.key.size() == 4 && std::none_of(entry.key.begin(), entry.key.end(), separates),
              "a key is four characters without blanks", escaped(entry.key));
        check(keys.insert(entry.key).second, "keys are distinct", escaped(entry.key));
        check(entry.name.empty() || (!isBlank(entry.name.front()) && !isBlank(entry.name.back())),
              "a name has no outer blanks", escaped(entry.name));
        written += entry.key + "  " + std::to_string(entry.priority) + "  " + entry.name + "\n";
    }
    std::optional<std::vector<KeyEntry>> reread = parseKeysTable(written, error);
    check(reread && sameEntries(*entries, *reread), "entries written out read back the same",
          escaped(written) + (reread ? "" : "refused: " + escaped(error)));
    return 0;
}
