# The SMC stops answering at the third key: nothing after it is listed.
  FNum  [ui8 ]  0 (bytes 00)
  TC0D  [sp78]  (bytes 32 80)
! fail read e00002c0
  TC0H  [sp78]  (bytes 30 00)
