# Every branch of the listing line. "#KEY" claims one key more than there is.
  #KEY  [ui32]  14 (bytes 00 00 00 0e)
  UI8   [ui8 ]  200 (bytes c8)
  UI8N  [ui8 ]  (bytes c8)
  UI16  [ui16]  511 (bytes 01 ff)
  UI32  [ui32]  500 (bytes 00 00 01 f4)
  FPE2  [fpe2]  2000 (bytes 1f 43)
  NEG   [fpe2]  -8192 (bytes 80 00)
  TEMP  [sp78]  (bytes 32 80)
  NONE  [ui32]  no data
  FINF  [ui16]  1 (bytes 00 01)
! fail info e00002c2
  FRD   [ui16]  1 (bytes 00 01)
! fail read e00002ed
  GONE  [flag]  (bytes 01)
! fail index e00002c2
  LAST  [ch8*]  (bytes 68 69 00)
