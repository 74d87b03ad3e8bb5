[Playlist]
NumberOfEntries=1
