# comment
  #KEY  [ui32]  4 (bytes 00 00 00 04)
  FNum  [ui8 ]  1 (bytes 01)
! writable
  F0Ac  [fpe2]  2000 (bytes 1f 40)
! fail read e00002ed
  ZERO  [ui8 ]  no data
! fail index e00002c2
