  FNum  [ui8 ]  2 (bytes 02)
! fail read e00002ed
