# "#KEY" counts no keys, not even itself: the listing is empty.
  #KEY  [ui32]  0 (bytes 00 00 00 00)
  FNum  [ui8 ]  0 (bytes 00)
