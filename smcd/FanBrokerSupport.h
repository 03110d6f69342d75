// What the fan broker's files share: the words of its notes and the small
// operations on saved values that its checks, leases and put-back all use.
#pragma once

#include "smcd/FanBroker.h"
#include "smcd/StateFile.h"

#include <string>
#include <vector>

namespace smcd {

// Bytes a terminal could take for commands shown as '?'.
std::string printable(std::string text);
// A key's four characters as a note shows them.
std::string keyText(FourCharCode key);
// "2.5 s".
std::string secondsText(BrokerClock::duration duration);
// "fan 1".
std::string fanName(uint32_t fan);
// A status as eight hex digits.
std::string statusText(kern_return_t status);
// "1200 rpm", "1200.25 rpm": whole rpm as they are, fractions to two places at most.
std::string rpmText(double rpm);
// Whether a fan key part is a speed (a minimum or a target).
bool isSpeed(FanKeyRole::Part part);
bool isSpeedKey(FourCharCode key);

// The value of `key` in `values`, not owned; null when there is none.
SavedValue* findValue(std::vector<SavedValue>& values, FourCharCode key);
// Replaces the value of its key in `values`, or adds it.
void setValue(std::vector<SavedValue>& values, const SavedValue& value);
void eraseValue(std::vector<SavedValue>& values, FourCharCode key);
bool sameBytes(const SavedValue& a, const SavedValue& b);
// Equal values of a key of `type`; speeds within a whole rpm count as equal.
bool sameValue(FourCharCode type, const SavedValue& a, const SavedValue& b);
// Fan `fan`'s bit of the forced-mode mask "FS! ".
bool bitOf(const SavedValue& mask, uint32_t fan);
// A value as people read it: a speed in rpm, any other byte by byte.
std::string valueText(FourCharCode type, const SavedValue& value);
// "a, b, c".
std::string joined(const std::vector<std::string>& parts);
// The FS! bit as the notes say it.
std::string modeText(bool forced);

}  // namespace smcd
