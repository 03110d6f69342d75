# A machine whose SMC keeps its sensors and fan speeds as little-endian
# floats: power, voltage and current keys besides temperatures, no CPU die
# temperature, and fan modes that cannot be read back.
  FNum  [ui8 ]  2 (bytes 02)
  F0Ac  [flt ]  (bytes 00 80 09 45)
  F0Md  [ui8 ]  0 (bytes 00)
! fail read e00002c3
  F0Mn  [flt ]  (bytes 00 00 96 44)
  F0Mx  [flt ]  (bytes 00 98 b4 45)
  F0Tg  [flt ]  (bytes 00 80 09 45)
  F1Ac  [flt ]  (bytes 00 08 16 45)
  F1Md  [ui8 ]  0 (bytes 00)
! fail read e00002c3
  F1Mn  [flt ]  (bytes 00 00 96 44)
  F1Mx  [flt ]  (bytes 00 98 b4 45)
  F1Tg  [flt ]  (bytes 00 00 16 45)
  ID0R  [flt ]  (bytes 00 00 c0 3e)
  PDTR  [flt ]  (bytes 00 00 48 41)
  PHPC  [flt ]  (bytes 00 00 50 40)
  PMVR  [flt ]  (bytes 00 00 90 3f)
  PSTR  [flt ]  (bytes 00 00 f8 40)
  SBAV  [flt ]  (bytes 00 00 4e 41)
  TB0T  [flt ]  (bytes 00 00 fa 41)
  TCHP  [flt ]  (bytes 00 00 12 42)
  TH0x  [flt ]  (bytes 00 00 1b 42)
  TW0P  [flt ]  (bytes 00 00 20 42)
  VD0R  [flt ]  (bytes 00 00 a1 41)
