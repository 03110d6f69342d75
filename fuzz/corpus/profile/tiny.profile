  FNum  [ui8 ]  0 (bytes 00)
