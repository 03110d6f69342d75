# A fan count that no SMC holds; no fan keys.
  FNum  [ui32]  (bytes 7f ff ff ff)
