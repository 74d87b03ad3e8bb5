[playlist]
NumberOfEntries=2000000000
File1=a.mp3
