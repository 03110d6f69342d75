# A count no SMC can hold: the listing goes no further than 65535 positions.
  #KEY  [ui32]  2147483647 (bytes 7f ff ff ff)
  FNum  [ui8 ]  0 (bytes 00)
