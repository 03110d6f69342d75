# A fan count no SMC can hold, negative as a signed number.
  FNum  [ui32]  4294967295 (bytes ff ff ff ff)
