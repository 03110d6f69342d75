  FS!   [ui16]  0 (bytes 00 00)
! writable
  F0Mn  [fpe2]  2000 (bytes 1f 40)
! writable
  TC0D  [sp78]  (bytes 32 80)
  ZERO  [ui8 ]  no data
! writable
  WBAD  [ui8 ]  1 (bytes 01)
! writable
! fail write e00002d8
