# "#KEY" comes last and counts only the keys before it.
  FNum  [ui8 ]  0 (bytes 00)
  TC0D  [sp78]  (bytes 32 80)
  #KEY  [ui32]  2 (bytes 00 00 00 02)
