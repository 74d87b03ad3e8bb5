[playlist]
NumberOfEntries=3
File1=http://radio.example.org:8080/stream
Title1=Example Radio (128k)
Length1=-1
File2=songs/first.mp3
Title2=First, with a comma
Length2=241
File3=/media/internal/music/third.ogg
Version=2
