# A 13-inch MacBook Pro with an M1 (j293), one fan, as an older Asahi
# kernel's macsmc_hwmon driver sees it: the devicetree in the grouped shape
# (hwmon/apple,temp-keys/temp-TB0T), labels of that time, no label on TW0P
# (the driver then names the channel by its key), and a node for PMVR, a key
# this SMC lacks: later power channels move up by one. On its battery.
! thermal
! thermal idle 2
! thermal die-capacity 8
! thermal heatsink-capacity 60

! devicetree grouped 23e400000
! node power PSTR "Total System Power"
! node power PDTR "AC Input Power"
! node power PMVR "3.8 V Rail Power"
! node temperature TH0x "NAND Flash Temperature"
! node voltage VD0R "Charger Input Voltage"
! node current ID0R "AC Input Current"
! node power PHPC "Heatpipe Power"
! node temperature TB0T "Battery Hotspot Temperature"
! node temperature TCHP "Charge Regulator Temperature"
! node temperature TW0P
! node voltage SBAV "Battery Voltage"
! node fan F0Ac "Fan" F0Mn F0Mx F0Tg F0Md

  #KEY  [ui32]  17 (bytes 00 00 00 11)
  F0Ac  [flt ]  (bytes 00 00 96 44)
  F0Md  [ui8 ]  0 (bytes 00)
! writable
  F0Mn  [flt ]  (bytes 00 00 96 44)
  F0Mx  [flt ]  (bytes 00 00 e1 45)
  F0Tg  [flt ]  (bytes 00 00 96 44)
! writable
  FNum  [ui8 ]  1 (bytes 01)
  ID0R  [flt ]  (bytes 00 00 00 00)
  PDTR  [flt ]  (bytes 00 00 00 00)
  PHPC  [flt ]  (bytes 66 66 06 40)
  PSTR  [flt ]  (bytes a4 70 bd 40)
  SBAV  [flt ]  (bytes 1f 85 47 41)
  TB0T  [flt ]  (bytes 66 66 ee 41)
! sensor heatsink -1
  TCHP  [flt ]  (bytes 9a 99 01 42)
! sensor die:0.3 1
  TH0x  [flt ]  (bytes 9a 99 0f 42)
! sensor heatsink 5
  TW0P  [flt ]  (bytes 66 66 16 42)
! sensor heatsink 6
  VD0R  [flt ]  (bytes 00 00 00 00)
