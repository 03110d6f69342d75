  #KEY  [ui32]  1 (bytes 00 00 00 01)
  FNum  [ui8 ]  2 (bytes 02)
