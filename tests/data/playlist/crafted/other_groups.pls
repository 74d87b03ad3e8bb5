[x]
File1=x.mp3
Version=9
[playlist]
NumberOfEntries=1
File1=a.mp3
Version=2
