[playlist]
NumberOfEntries=1
File1=Café.mp3
Title1=ÿ
Version=2
