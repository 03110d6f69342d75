// The daemon's state text: any bytes parse or fail with a line number, and
// what parses comes back exactly when written out and parsed again, fans to
// put back and what the daemon last wrote to them included.
#include "smcd/StateFile.h"
#include "support/FuzzSupport.h"

#include <algorithm>
#include <cstring>

using namespace platform;
using fuzz_support::check;

namespace {

bool sameValues(const std::vector<smcd::SavedValue>& a, const std::vector<smcd::SavedValue>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].key != b[i].key || a[i].size != b[i].size ||
            std::memcmp(a[i].bytes.data(), b[i].bytes.data(), a[i].size) != 0)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<smcd::SavedValue> values;
    std::vector<smcd::FanRecord> fans;
    if (auto failed = smcd::parseStateText(text, values, &fans)) {
        size_t lines = 1 + std::count(text.begin(), text.end(), '\n');
        check(failed->line >= 1 && failed->line <= lines && !failed->problem.empty(),
              "a failure names a line of the text and its problem", std::to_string(failed->line));
        return 0;
    }
    // The profile form of earlier daemons is read, never written.
    if (!text.starts_with("# smcd state 4") && !text.starts_with("# smcd state 3") &&
        !text.starts_with("# smcd state 2"))
        return 0;
    std::vector<SMCKeyEntry> keys;
    for (const smcd::SavedValue& value : values)
        keys.push_back({value.key, 0, value.size, value.bytes, true, {}});
    std::string written = smcd::stateText(keys, fans);
    std::vector<smcd::SavedValue> valuesAgain;
    std::vector<smcd::FanRecord> fansAgain;
    auto failed = smcd::parseStateText(written, valuesAgain, &fansAgain);
    check(!failed, "the text written parses", failed ? failed->problem : "");
    check(sameValues(values, valuesAgain), "every value comes back");
    check(fansAgain.size() == fans.size(), "every fan record comes back", std::to_string(fansAgain.size()));
    for (size_t i = 0; i < fans.size(); ++i) {
        const smcd::FanRecord &was = fans[i], &now = fansAgain[i];
        check(now.fan == was.fan && now.forced == was.forced && now.forcedWritten == was.forcedWritten &&
                  sameValues(now.values, was.values) && sameValues(now.written, was.written),
              "a fan record comes back exactly", std::to_string(was.fan));
    }
    return 0;
}
