# One past the most fans an SMC holds; no fan keys.
  FNum  [ui32]  (bytes 00 00 01 00)
