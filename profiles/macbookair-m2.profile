# A MacBook Air with an M2 (j413), fanless, as Linux's macsmc_hwmon driver
# sees it: the keys its devicetree names (the common and laptop fragments),
# idle on its battery. The case alone carries the heat away.
! thermal
! thermal idle 1.2
! thermal still-air 0.3
! thermal heatsink-capacity 120

! devicetree upstream 23e400000
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

  #KEY  [ui32]  13 (bytes 00 00 00 0d)
  FNum  [ui8 ]  0 (bytes 00)
  ID0R  [flt ]  (bytes 00 00 00 00)
  PDTR  [flt ]  (bytes 00 00 00 00)
  PHPC  [flt ]  (bytes 9a 99 99 3f)
  PMVR  [flt ]  (bytes a4 70 bd 3e)
  PSTR  [flt ]  (bytes 8f c2 85 40)
  SBAV  [flt ]  (bytes ae 47 4d 41)
  TB0T  [flt ]  (bytes 33 33 eb 41)
! sensor heatsink -1
  TCHP  [flt ]  (bytes 00 00 f8 41)
! sensor die:0.3 1
  TH0x  [flt ]  (bytes 33 33 07 42)
! sensor heatsink 5
  TW0P  [flt ]  (bytes cd cc 0e 42)
! sensor heatsink 4
  VD0R  [flt ]  (bytes 00 00 00 00)
