  FNum  [ui8 ]  0 (bytes 00)
  FS!   [ui16]  65535 (bytes ff ff)
