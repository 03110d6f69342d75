# A 14-inch MacBook Pro with an M1 Pro (j314), two fans, as Linux's
# macsmc_hwmon driver sees it: the keys its devicetree names (the common,
# laptop and two-fan fragments), idle on its charger. No key reads the SoC's
# die: the heat pipe's power (PHPC) and the system's (PSTR) follow the load.
! thermal
! thermal idle 3
! thermal die-capacity 8
! thermal heatsink-capacity 60

! devicetree upstream 290400000
! node power PSTR "Total System Power"
! node power PDTR "AC Input Power"
! node power PMVR "3.8 V Rail Power"
! node temperature TH0x "NAND Flash Temperature"
! node voltage VD0R "Charger Input Voltage"
! node current ID0R "AC Input Current"
! node power PHPC "Heatpipe Power"
! node temperature TB0T "Battery Hotspot"
! node temperature TCHP "Charge Regulator Temp"
! node temperature TW0P "WiFi/BT Module Temp"
! node voltage SBAV "Battery Voltage"
! node fan F0Ac "Fan 1" F0Mn F0Mx F0Tg F0Md
! node fan F1Ac "Fan 2" F1Mn F1Mx F1Tg F1Md

  #KEY  [ui32]  23 (bytes 00 00 00 17)
  F0Ac  [flt ]  (bytes 00 00 96 44)
  F0Md  [ui8 ]  0 (bytes 00)
! writable
  F0Mn  [flt ]  (bytes 00 00 96 44)
  F0Mx  [flt ]  (bytes 00 20 b2 45)
  F0Tg  [flt ]  (bytes 00 00 96 44)
! writable
  F1Ac  [flt ]  (bytes 00 00 96 44)
  F1Md  [ui8 ]  0 (bytes 00)
! writable
  F1Mn  [flt ]  (bytes 00 00 96 44)
  F1Mx  [flt ]  (bytes 00 20 cb 45)
  F1Tg  [flt ]  (bytes 00 00 96 44)
! writable
  FNum  [ui8 ]  2 (bytes 02)
  ID0R  [flt ]  (bytes d7 a3 f0 3e)
  PDTR  [flt ]  (bytes 52 b8 16 41)
  PHPC  [flt ]  (bytes 00 00 40 40)
  PMVR  [flt ]  (bytes 14 ae 07 3f)
  PSTR  [flt ]  (bytes 52 b8 f6 40)
  SBAV  [flt ]  (bytes 8f c2 49 41)
  TB0T  [flt ]  (bytes cd cc f0 41)
! sensor heatsink -1
  TCHP  [flt ]  (bytes 66 66 0a 42)
! sensor die:0.3 2
  TH0x  [flt ]  (bytes 9a 99 11 42)
! sensor heatsink 5
  TW0P  [flt ]  (bytes cd cc 1c 42)
! sensor heatsink 8
  VD0R  [flt ]  (bytes e1 7a a0 41)
