# A Mac Studio with an M1 Max (j375c), two fans, as Linux's macsmc_hwmon
# driver sees it: the common and two-fan fragments, whose devicetree has no
# node for VD0R although the SMC has the key; 16.8 W idle. No key reads the
# SoC's die; the system's power (PSTR) follows the load.
! thermal
! thermal idle 8
! thermal die-capacity 10
! thermal heatsink-capacity 150
! thermal airflow 2.5

! devicetree upstream 290400000
! node power PSTR "Total System Power"
! node power PDTR "AC Input Power"
! node power PMVR "3.8 V Rail Power"
! node temperature TH0x "NAND Flash Temperature"
! node current ID0R "AC Input Current"
! node fan F0Ac "Fan 1" F0Mn F0Mx F0Tg F0Md
! node fan F1Ac "Fan 2" F1Mn F1Mx F1Tg F1Md

  #KEY  [ui32]  18 (bytes 00 00 00 12)
  F0Ac  [flt ]  (bytes 00 80 89 44)
  F0Md  [ui8 ]  0 (bytes 00)
! writable
  F0Mn  [flt ]  (bytes 00 80 89 44)
  F0Mx  [flt ]  (bytes 00 c0 5a 45)
  F0Tg  [flt ]  (bytes 00 80 89 44)
! writable
  F1Ac  [flt ]  (bytes 00 80 89 44)
  F1Md  [ui8 ]  0 (bytes 00)
! writable
  F1Mn  [flt ]  (bytes 00 80 89 44)
  F1Mx  [flt ]  (bytes 00 c0 5a 45)
  F1Tg  [flt ]  (bytes 00 80 89 44)
! writable
  FNum  [ui8 ]  2 (bytes 02)
  ID0R  [flt ]  (bytes 73 68 11 3e)
  PDTR  [flt ]  (bytes cd cc 90 41)
  PMVR  [flt ]  (bytes 52 b8 1e 3f)
  PSTR  [flt ]  (bytes 66 66 86 41)
  TH0x  [flt ]  (bytes cd cc 0c 42)
! sensor heatsink 5
  VD0R  [flt ]  (bytes 66 66 67 43)
