# Two fans whose reads fail here and there; fan 1's minimum is missing.
  FNum  [ui8 ]  2 (bytes 02)
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F0Mn  [fpe2]  2000 (bytes 1f 40)
! fail read e00002ca
  F0Mx  [fpe2]  6000 (bytes 5d c0)
  F0Sf  [fpe2]  3000 (bytes 2e e0)
  F0Tg  [fpe2]  2000 (bytes 1f 40)
  F1Ac  [fpe2]  3000 (bytes 2e e0)
  F1Mx  [fpe2]  6000 (bytes 5d c0)
  F1Sf  [fpe2]  3000 (bytes 2e e0)
! fail info e00002c2
  F1Tg  [fpe2]  3000 (bytes 2e e0)
  FS!   [ui16]  2 (bytes 00 02)
