[playlist]
NumberOfEntries=20
File20=/music/x.mp3
