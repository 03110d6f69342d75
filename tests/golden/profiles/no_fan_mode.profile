# Two fans and no "FS! " key: every fan shows auto.
  FNum  [ui16]  2 (bytes 00 02)
  F1Ac  [fpe2]  1234 (bytes 13 4b)
