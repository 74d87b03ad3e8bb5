[playlist]
NumberOfEntries=0
numberofentries=1
File1=a.mp3
Version=2
