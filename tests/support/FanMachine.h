// Test helper: the laptop the fan tests share, so that each says only what
// its own machine has beyond it.
#pragma once

#include <cstdio>
#include <string>

namespace testing_support {

// The profile's first lines: the fan count, every fan automatic by "FS! ",
// and fan 0 at 2000 rpm, of 1200 to 6000, with a mode key of its own. What
// a client may write is writable, as on the machine. Fan 1 and on, and any
// sensor, follow in the test's own text.
inline std::string fanProfile(int fans)
{
    char count[40];
    std::snprintf(count, sizeof count, "\n  FNum  [ui8 ]  %d (bytes %02x)\n", fans, fans);
    return count + std::string(R"(  FS!   [ui16]  0 (bytes 00 00)
! writable
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0Mn  [fpe2]  1200 (bytes 12 c0)
! writable
  F0Mx  [fpe2]  6000 (bytes 5d c0)
  F0Tg  [fpe2]  2000 (bytes 1f 40)
! writable
  F0Md  [ui8 ]  0 (bytes 00)
! writable
)");
}

}  // namespace testing_support
