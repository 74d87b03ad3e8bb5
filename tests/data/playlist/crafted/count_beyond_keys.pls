[playlist]
NumberOfEntries=3
Title1=A
Length2=9
Version=2
