# A count that is negative as a signed number lists nothing.
  #KEY  [ui32]  4294967295 (bytes ff ff ff ff)
  FNum  [ui8 ]  0 (bytes 00)
