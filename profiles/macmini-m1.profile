# A Mac mini with an M1 (j274), one fan, as Linux's macsmc_hwmon driver
# sees it: the keys its devicetree names (the common and mini fragments),
# idle. No key reads the SoC's die; the system's power (PSTR) follows the load.
! thermal
! thermal idle 4
! thermal die-capacity 8
! thermal heatsink-capacity 80

! devicetree upstream 23e400000
! node power PSTR "Total System Power"
! node power PDTR "AC Input Power"
! node power PMVR "3.8 V Rail Power"
! node temperature TH0x "NAND Flash Temperature"
! node voltage VD0R "AC Input Voltage"
! node current ID0R "AC Input Current"
! node temperature TW0P "WiFi/BT Module Temp"
! node fan F0Ac "Fan" F0Mn F0Mx F0Tg F0Md

  #KEY  [ui32]  14 (bytes 00 00 00 0e)
  F0Ac  [flt ]  (bytes 00 80 d4 44)
  F0Md  [ui8 ]  0 (bytes 00)
! writable
  F0Mn  [flt ]  (bytes 00 80 d4 44)
  F0Mx  [flt ]  (bytes 00 20 99 45)
  F0Tg  [flt ]  (bytes 00 80 d4 44)
! writable
  FNum  [ui8 ]  1 (bytes 01)
  ID0R  [flt ]  (bytes 23 db 79 3d)
  PDTR  [flt ]  (bytes 66 66 fe 40)
  PMVR  [flt ]  (bytes 85 eb d1 3e)
  PSTR  [flt ]  (bytes 5c 8f da 40)
  TH0x  [flt ]  (bytes 66 66 18 42)
! sensor heatsink 5
  TW0P  [flt ]  (bytes 00 00 26 42)
! sensor heatsink 8
  VD0R  [flt ]  (bytes 9a 99 65 43)
