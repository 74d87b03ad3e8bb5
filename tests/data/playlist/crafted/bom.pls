[playlist]
NumberOfEntries=1
File1=a.mp3
Version=2
