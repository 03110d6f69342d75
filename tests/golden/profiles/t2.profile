# A T2 machine: fan speeds as little-endian floats, manual mode per fan
# (F<n>Md), no "FS! " and no fan names.
  F0Ac  [flt ]  (bytes 00 4c 03 45)
  F0Md  [ui8 ]  0 (bytes 00)
! writable
  F0Mn  [flt ]  (bytes 00 00 96 44)
! writable
  F0Mx  [flt ]  (bytes 00 80 bb 45)
  F0Tg  [flt ]  (bytes 00 00 fa 44)
! writable
  F1Ac  [flt ]  (bytes 00 90 bb 44)
  F1Md  [ui8 ]  1 (bytes 01)
! writable
  F1Mn  [flt ]  (bytes 00 00 96 44)
! writable
  F1Mx  [flt ]  (bytes 00 80 bb 45)
  F1Tg  [flt ]  (bytes 00 80 3b 45)
! writable
  FNum  [ui8 ]  2 (bytes 02)
  TC0P  [sp78]  (bytes 3a 40)
  TG0P  [sp78]  (bytes 33 80)
