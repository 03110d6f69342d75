# Two fans; the SMC stops answering at fan 1's actual speed.
  FNum  [ui8 ]  2 (bytes 02)
  F0Ac  [fpe2]  2000 (bytes 1f 40)
  F1Ac  [fpe2]  3000 (bytes 2e e0)
! fail read e00002ed
  FS!   [ui16]  0 (bytes 00 00)
