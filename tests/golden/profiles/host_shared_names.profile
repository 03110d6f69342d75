# Two fans of the same name, and a third whose speed cannot be read.
  FNum  [ui8 ]  3 (bytes 03)
  F0Ac  [fpe2]  1200 (bytes 12 c0)
  F0ID  [{fds]  (bytes 00 12 00 00 4d 61 69 6e 20 66 61 6e)
  F1Ac  [fpe2]  3400 (bytes 35 20)
  F1ID  [{fds]  (bytes 00 12 00 00 4d 61 69 6e 20 66 61 6e)
  TC0D  [sp78]  (bytes 32 80)
