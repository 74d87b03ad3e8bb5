#!/bin/sh
# Writes the playlist fixtures: small playlists as music apps and radio
# directories write them. Playlists are plain text, so printf makes them.
# They serve as the expected-record fixtures and as the fuzz seeds.
set -eu
cd "$(dirname "$0")"

# Extended M3U8 in UTF-8: relative, absolute and URL locations, a radio
# stream with an unknown length, a comment and a blank line.
printf '%s\n' \
  '#EXTM3U' \
  '#PLAYLIST:Road trip' \
  '#EXTINF:215,Los Lobos – La Bamba' \
  '../Music/La Bamba.mp3' \
  '' \
  '#EXTINF:-1,Radio Zürich, live' \
  'http://stream.example.net:8000/live.aac' \
  '# bonus track without information' \
  '/media/internal/music/bonus.m4a' > road_trip.m3u8

# Plain M3U written on Windows: CR LF line ends and a Latin-1 title (é as the
# single byte 0xE9), which is not UTF-8.
printf '#EXTM3U\r\n#EXTINF:187,Caf\351 del Mar\r\nMusic\\Cafe del Mar.mp3\r\nMusic\\Ibiza.mp3\r\n' > windows.m3u

# PLS version 2 as internet radio directories publish it.
printf '%s\n' \
  '[playlist]' \
  'NumberOfEntries=3' \
  'File1=http://radio.example.org:8080/stream' \
  'Title1=Example Radio (128k)' \
  'Length1=-1' \
  'File2=songs/first.mp3' \
  'Title2=First, with a comma' \
  'Length2=241' \
  'File3=/media/internal/music/third.ogg' \
  'Version=2' > radio.pls

# A PLS that declares far more entries than its few bytes can hold.
printf '[playlist]\nNumberOfEntries=2000000000\nFile1=a.mp3\n' > huge_count.pls
