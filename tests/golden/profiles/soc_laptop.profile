# A laptop whose SMC sits behind a driver that keeps each fan's mode to
# itself: speeds and power as little-endian floats, a mode key that takes
# writes but refuses reads, no "FS! ", and no CPU die temperature.
  F0Ac  [flt ]  (bytes 00 00 fa 44)
  F0Md  [ui8 ]  0 (bytes 00)
! writable
! fail read e00002c3
  F0Mn  [flt ]  (bytes 00 00 96 44)
  F0Mx  [flt ]  (bytes 00 40 b5 45)
  F0Tg  [flt ]  (bytes 00 00 fa 44)
! writable
  FNum  [ui8 ]  1 (bytes 01)
  PHPC  [flt ]  (bytes 00 00 08 41)
  PSTR  [flt ]  (bytes 00 00 64 41)
  TB0T  [flt ]  (bytes 00 00 fc 41)
  TW0P  [flt ]  (bytes 00 00 20 42)
