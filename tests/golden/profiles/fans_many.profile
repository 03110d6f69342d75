# 17 fans. Fans from 10 on read keys cut to four characters: "F10Mn" and
# "F10Mx" both read "F10M". The mode word forces fans 0, 2, 10 and 15.
  FNum  [ui8 ]  17 (bytes 11)
  F0Ac  [fpe2]  -8192 (bytes 80 00)
  F10A  [fpe2]  2000 (bytes 1f 40)
  F10M  [fpe2]  3000 (bytes 2e e0)
  F10S  [fpe2]  6000 (bytes 5d c0)
  F10T  [fpe2]  1 (bytes 00 04)
  F16A  [fpe2]  1 (bytes 00 07)
  FS!   [ui16]  33797 (bytes 84 05)
