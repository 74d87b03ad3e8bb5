#!/usr/bin/python3
"""Writes the crafted fixtures: small files built byte by byte for what no
tool writes (cut, inconsistent or hostile structures and rare layouts), one
per case, into FORMAT/crafted/. The suite's golden loop reads each file
through the dispatch and compares its record with FILE.json and its log
lines with FILE.log beside it; after changing a case, run the golden test
with MS_UPDATE_GOLDEN=1 and read the new record before committing it.

The crafted folders are seeds of the fuzz targets too; the peer checks
(check_peers.py, check_images.py) leave them out.

Run from anywhere; writes into the folders beside this script."""
import base64
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def le16(v): return struct.pack('<H', v & 0xFFFF)
def le32(v): return struct.pack('<I', v & 0xFFFFFFFF)
def le64(v): return struct.pack('<Q', v)
def be16(v): return struct.pack('>H', v & 0xFFFF)
def be24(v): return struct.pack('>I', v)[1:]
def be32(v): return struct.pack('>I', v & 0xFFFFFFFF)
def be64(v): return struct.pack('>Q', v)


def box(kind, payload):
    """An ISO media box with a 32-bit size."""
    return be32(8 + len(payload)) + kind + payload


def full_box(kind, version, body):
    return box(kind, bytes([version]) + b'\0\0\0' + body)


def comment_list(vendor, fields, count=None):
    """A Vorbis comment list: vendor, field count, fields; lengths little-endian."""
    out = le32(len(vendor)) + vendor + le32(len(fields) if count is None else count)
    return out + b''.join(le32(len(f)) + f for f in fields)


def picture_block(kind, mime, description, data, declared=None):
    """A FLAC picture block's payload; `declared` overrides the data length."""
    return (be32(kind) + be32(len(mime)) + mime + be32(len(description)) + description + be32(1) + be32(2) +
            be32(24) + be32(0) + be32(len(data) if declared is None else declared) + data)


def synchsafe(n):
    return bytes([n >> 21 & 0x7F, n >> 14 & 0x7F, n >> 7 & 0x7F, n & 0x7F])


def id3_tag(version, flags, body):
    return b'ID3' + bytes([version, 0, flags]) + synchsafe(len(body)) + body


WRITTEN = []


def write(folder, name, data):
    path = os.path.join(HERE, folder, 'crafted', name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)
    WRITTEN.append(path)


# Playlists: the line rules of M3U and the keys of PLS. Content decides the
# format where it starts with a signature, the extension otherwise.
def playlists():
    pls_head = b'[playlist]\nNumberOfEntries=1\nFile1=a.mp3\nVersion=2\n'
    for name, data in (
            ('radio.m3u', b'#EXTINF:-1,Radio\nhttp://r.example/live\nnext.mp3\n'),
            ('space_before_number_commas_in_title.m3u', b'#EXTINF: 42,A, B\nsong.mp3\n'),
            ('space_before_comma.m3u', b'#EXTINF:42 ,A\nsong.mp3\n'),
            ('no_comma.m3u', b'#EXTINF:42\nsong.mp3\n'),
            ('no_number.m3u', b'#EXTINF:,A\nsong.mp3\n'),
            ('comma_only.m3u', b'#EXTINF:7,\nsong.mp3\n'),
            ('beyond_long.m3u', b'#EXTINF:99999999999999999999,A\nsong.mp3\n'),
            ('beyond_32_bits.m3u', b'#EXTINF:3000000000,A\nsong.mp3\n'),
            ('comment_between.m3u', b'#EXTINF:7,A\n# note\nsong.mp3\n'),
            ('blank_lines_between.m3u', b'#EXTINF:7,A\n\n\r\nsong.mp3\n'),
            ('second_info_replaces_first.m3u', b'#EXTINF:7,A\n#EXTINF:8,B\nsong.mp3\n'),
            ('header_after_blank_line.m3u', b'\n#EXTM3U\nsong.mp3'),
            ('header_later.m3u', b'song.mp3\n#EXTM3U\n'),
            ('bom_before_header.m3u', b'\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:7,A\r\nsong.mp3\r\n'),
            ('bom_before_entry_and_later.m3u', b'\xEF\xBB\xBFsong.mp3\n\xEF\xBB\xBF#EXTM3U\n'),
            ('lower_case.m3u', b'#extm3u\n#extinf:7,A\nsong.mp3\n'),
            ('spaces_then_one_byte.m3u', b'   \nx'),
            ('cr_lf.m3u', b'#EXTM3U x\r\n#EXTINF:7,A\r\nsong.mp3\r\nb.mp3\r\n'),
            ('lf_cr.m3u', b'#EXTM3U\n\r#EXTINF:7,A\n\rsong.mp3\n\rb.mp3\n\r'),
            ('cr_before_last_byte.m3u', b'song.mp3\rx'),
            # Latin-1: each invalid byte is escaped alone, the bytes after it kept.
            ('not_utf8.m3u', b'#EXTINF:7,d\xFF\nCaf\xE9 Noir.mp3\n'),
            ('bom.pls', b'\xEF\xBB\xBF' + pls_head),
            ('bom_only.pls', b'\xEF\xBB\xBF'),
            ('no_key_file.pls', b'[playlist]\nno equals sign\n'),
            ('capital_group.pls', b'[Playlist]\nNumberOfEntries=1\n'),
            ('lower_case_count.pls', b'[playlist]\nnumberofentries=1\nFile1=a.mp3\nVersion=2\n'),
            ('count_0.pls', b'[playlist]\nNumberOfEntries=0\nnumberofentries=1\nFile1=a.mp3\nVersion=2\n'),
            ('count_beyond_keys.pls', b'[playlist]\nNumberOfEntries=3\nTitle1=A\nLength2=9\nVersion=2\n'),
            # Entries are bounded by number, not by how many keys the bytes hold.
            ('numbered_entry_past_key_count.pls', b'[playlist]\nNumberOfEntries=20\nFile20=/music/x.mp3\n'),
            ('count_below_keys.pls', b'[playlist]\nNumberOfEntries=1\nFile1=a.mp3\nFile2=b.mp3\nVersion=2\n'),
            ('keys_not_numbered_as_entries.pls', b'[playlist]\nNumberOfEntries=9\nFile01=a\nFile1[de]=a\nFile-3=a\n'
             b'Files4=a\nfile5=a\nFile2x=a\nLength1=3\n'),
            ('no_version.pls', b'[playlist]\nNumberOfEntries=1\nFile1=a.mp3\n'),
            ('other_groups.pls', b'[x]\nFile1=x.mp3\nVersion=9\n' + pls_head),
            ('not_utf8.pls', b'[playlist]\nNumberOfEntries=1\nFile1=Caf\xE9.mp3\nTitle1=\xFF\nVersion=2\n'),
            # A count of two billion costs nothing: entries stop at the highest number present.
            ('huge_count_one_entry.pls', b'[playlist]\nNumberOfEntries=2000000000\nFile1=a.mp3\n')):
        write('playlist', name, data)


# FLAC: the block walk's bounds, the comment list and the picture block.
def flac_block(kind, payload, last=False, length=None):
    return bytes([(0x80 if last else 0) | kind]) + be24(len(payload) if length is None else length) + payload


def stream_info(rate, channels, bits, samples):
    packed = rate << 44 | (channels - 1) << 41 | (bits - 1) << 36 | samples
    return b'\0' * 10 + struct.pack('>Q', packed) + b'\0' * 16


def flac():
    info = stream_info(44100, 2, 16, 441000)
    tags = [b'title=A', b'Artist=B', b'ARTIST=C', b'artist=D', b'no equals sign', b'bad\x01key=x', b'=empty',
            b'COMMENT=caf\xe9']
    picture = picture_block(3, b'image/png', b'd', b'abc')
    long_picture = picture_block(3, b'image/png', b'd', b'abc', 100)
    for name, data in (
            ('unknown_length.flac', b'fLaC' + flac_block(0, stream_info(8000, 1, 8, 0), True)),
            ('short_stream_info.flac', b'fLaC' + flac_block(0, info[:20], True)),
            ('no_marker.flac', b'fLaX' + flac_block(0, info, True)),
            ('header_cut_short.flac', b'fLaC\x80\x00'),
            ('no_last_block.flac', b'fLaC' + flac_block(0, info)),
            ('block_past_the_file.flac', b'fLaC' + flac_block(4, b'abc', True, 4096)),
            ('too_many_blocks.flac', b'fLaC' + flac_block(1, b'') * 1025),
            # An ID3 tag in front: its size counts neither header nor footer.
            ('id3_with_footer_in_front.flac', b'ID3\x04\0\x10\0\0\0\x01' + b'x' + b'f' * 10 + b'fLaC' +
             flac_block(0, info, True)),
            ('comments.flac', b'fLaC' + flac_block(4, comment_list(b'vendor', tags), True)),
            ('comment_past_the_block.flac', b'fLaC' + flac_block(4, comment_list(b'v', [b'A=1'], 2) + le32(1000) +
                                                                 b'B=2', True)),
            ('comment_count_beyond_bound.flac', b'fLaC' + flac_block(4, comment_list(b'v', [b'A=1'], 0xFFFFFFFF),
                                                                     True)),
            ('vendor_past_the_block.flac', b'fLaC' + flac_block(4, le32(50) + b'v', True)),
            # The picture block starts at offset 8, its data 42 bytes further.
            ('picture_located.flac', b'fLaC' + flac_block(6, picture, True)),
            ('picture_data_past_the_block.flac', b'fLaC' + flac_block(6, long_picture, True)),
            ('picture_data_past_the_file.flac', b'fLaC' + flac_block(6, long_picture, True, 42 + 100)),
            ('picture_mime_past_the_block.flac', b'fLaC' + flac_block(6, be32(3) + be32(1000) + b'image/png' +
                                                                      b'\0' * 30, True))):
        write('flac', name, data)


# Ogg: packets across pages, interleaved streams, the last granule position.
def ogg_page(serial, granule, lacing, body):
    return b'OggS\0\0' + le64(granule) + le32(serial) + le32(0) + le32(0) + bytes([len(lacing)]) + lacing + body


def packet_pages(serial, packet, per_page=255, granule=0):
    """The pages of one packet: at most `per_page` segments a page."""
    lacing = b'\xff' * (len(packet) // 255) + bytes([len(packet) % 255])
    out, at = b'', 0
    for first in range(0, len(lacing), per_page):
        part = lacing[first:first + per_page]
        out += ogg_page(serial, granule, part, packet[at:at + sum(part)])
        at += sum(part)
    return out


def vorbis_head(channels, rate):
    return b'\x01vorbis' + le32(0) + bytes([channels]) + le32(rate) + le32(0) + le32(64000) + le32(0) + b'\xb8\x01'


def vorbis_tags(fields):
    return b'\x03vorbis' + comment_list(b'v', fields) + b'\x01'


def ogg():
    head = packet_pages(7, vorbis_head(1, 8000))
    tags = vorbis_tags([b'TITLE=' + b'x' * 2000])
    audio_end = ogg_page(7, 16000, b'\x01', b'a')
    tags_pages = packet_pages(7, vorbis_tags([b'A=1']))
    opus_head = b'OpusHead\x01\x02' + le16(312) + le32(44100) + le16(-512) + b'\0'
    b64 = base64.b64encode
    pictures = [b'METADATA_BLOCK_PICTURE=' + b64(picture_block(3, b'image/png', b'd', b'abcd')),
                b'metadata_block_picture=' + b64(picture_block(4, b'image/gif', b'', b'abcd', 5000)),
                b'METADATA_BLOCK_PICTURE=' + b64(b'short'), b'COVERART=' + b64(b'12345')]
    for name, data in (
            # One segment a page: the comment packet spans nine pages.
            ('comments_over_many_pages.ogg', head + packet_pages(7, tags, 1) + audio_end),
            # Pages of another stream are stepped over, also in the tail.
            ('interleaved_stream.ogg', head + packet_pages(9, b'other') + packet_pages(7, tags, 2) + audio_end +
             ogg_page(9, 99999, b'\x01', b'b')),
            # The last page ends no packet: the one before gives the length.
            ('last_granule_unset.ogg', head + packet_pages(7, vorbis_tags([])) + audio_end +
             ogg_page(7, 2**64 - 1, b'\xff', b'c' * 255)),
            ('opus.opus', packet_pages(3, opus_head) + packet_pages(3, b'OpusTags' + comment_list(b'v', [])) +
             ogg_page(3, 48000 + 312, b'\x01', b'a')),
            ('not_ogg.ogg', b'RIFX0000WAVE'),
            ('empty_pages_before_head.ogg', ogg_page(7, 0, b'', b'') * 2 + head + packet_pages(7, vorbis_tags([]))),
            ('other_codec.ogg', packet_pages(7, b'\x80theora' + b'\0' * 40)),
            ('no_comment_page.ogg', head),
            ('comment_page_cut.ogg', head + tags_pages[:-5]),
            ('second_packet_not_comments.ogg', head + packet_pages(7, b'\x05vorbis')),
            # A picture gets its size only when the text holds the data.
            ('pictures_in_comments.ogg', head + packet_pages(7, vorbis_tags(pictures)))):
        write('ogg', name, data)


# WAV: odd sizes, sizes past the file, the unknown size, INFO and ID3 chunks.
def chunk(kind, payload, size=None):
    out = kind + le32(len(payload) if size is None else size) + payload
    return out + b'\0' if len(payload) % 2 else out


def riff(chunks):
    return b'RIFF' + le32(4 + len(chunks)) + b'WAVE' + chunks


def wav():
    fmt = chunk(b'fmt ', le16(1) + le16(1) + le32(8000) + le32(8000) + le16(1) + le16(8))
    audio = b'a' * 2000
    info = b'INFO' + chunk(b'INAM', b'Song\0') + chunk(b'IART', b'Me') + chunk(b'ISFT', b'x')
    frame = b'TIT2' + be32(4) + b'\0\0' + b'\0Hey'
    for name, data in (
            ('odd_chunk_padded.wav', riff(chunk(b'junk', b'abc') + fmt + chunk(b'data', audio))),
            ('unknown_data_size.wav', riff(fmt) + b'data' + le32(0xFFFFFFFF) + audio),
            ('data_past_the_file.wav', riff(fmt) + b'data' + le32(8000) + audio),
            # A chunk that claims more than the file ends the walk.
            ('huge_chunk.wav', riff(fmt) + b'junk' + le32(0xFFFFFFFF) + chunk(b'data', audio)),
            ('short_fmt.wav', riff(chunk(b'fmt ', le16(1) + le16(1)) + chunk(b'data', audio))),
            ('not_wave.wav', b'RIFF' + le32(4) + b'AVI '),
            ('info.wav', riff(chunk(b'LIST', info))),
            ('info_text_past_its_list.wav', riff(chunk(b'LIST', b'INFO' + chunk(b'INAM', b'Song') + b'IART' +
                                                       le32(99) + b'Me'))),
            ('info_list_of_unknown_size.wav', riff(b'LIST' + le32(0xFFFFFFFF) + info)),
            ('id3_chunk.wav', riff(chunk(b'id3 ', id3_tag(3, 0, frame)))),
            ('no_tag_in_id3_chunk.wav', riff(chunk(b'ID3 ', b'nothing')))):
        write('wav', name, data)


# ID3: tag and frame layouts of every version, unsynchronisation, frame
# flags, pictures the library cannot locate, and the MPEG audio behind a tag.
def id3_frame(version, ident, data, flags=0):
    """A frame: 3-letter id and 3-byte size in 2.2, plain size in 2.3,
    synchsafe size in 2.4, then two flag bytes."""
    if version == 2:
        return ident + be24(len(data)) + data
    return ident + (synchsafe(len(data)) if version == 4 else be32(len(data))) + b'\0' + bytes([flags]) + data


def unsynchronised(data):
    """The zero a tagger inserts after every 0xFF followed by a zero or a byte of 0xE0 and up."""
    out = bytearray()
    for i, b in enumerate(data):
        out.append(b)
        if b == 0xFF and (i + 1 == len(data) or data[i + 1] == 0 or data[i + 1] >= 0xE0):
            out.append(0)
    return bytes(out)


def id3v1(title):
    return (b'TAG' + title).ljust(127, b'\0') + b'\xff'


def mpeg_frame(version, layer, bitrate, rate, length, mode=0):
    """A frame of `length` bytes: the header (no CRC), then zeros."""
    head = bytes([0xFF, 0xE0 | version << 3 | layer << 1 | 1, bitrate << 4 | rate << 2, mode << 6])
    return head + b'\0' * (length - 4)


def id3():
    f, tag = id3_frame, id3_tag
    # An APIC payload whose image starts 13 bytes in: Latin-1, image/png, type 3.
    png = b'\0image/png\0\x03\0IMG'
    png_ff = b'\0image/png\0\x03\0\xFF\xE0G'  # unsynchronisation changes the image
    compressed = zlib.compress(png)
    pic22 = b'\0JPG\x03\0IMG'
    for name, data in (
            ('ext_header_v23.mp3', tag(3, 0x40, be32(6) + b'\0' * 6 + f(3, b'APIC', png))),
            ('ext_header_v24.mp3', tag(4, 0x40, synchsafe(6) + b'\x01\0' + f(4, b'APIC', png))),
            ('grouping_byte.mp3', tag(4, 0, f(4, b'APIC', b'\x07' + png, 0x40))),
            # The k-th picture frame is the library's k-th picture, located when
            # the file holds its decoded image as the frame's last bytes.
            ('unsync_tag_image_unchanged.mp3', tag(3, 0x80, f(3, b'APIC', png))),
            ('unsync_tag_zero_before_image.mp3', tag(3, 0x80, unsynchronised(f(3, b'TIT2', b'\0\xFF\xE0') +
                                                                             f(3, b'APIC', png)))),
            ('unsync_tag_zero_in_image.mp3', tag(3, 0x80, unsynchronised(f(3, b'APIC', png_ff)))),
            ('unsync_frame_image_unchanged.mp3', tag(4, 0, f(4, b'APIC', png, 0x02))),
            ('unsync_frame_zero_in_image_then_plain.mp3', tag(4, 0, f(4, b'APIC', unsynchronised(png_ff), 0x02) +
                                                              f(4, b'APIC', png))),
            ('data_length_indicator.mp3', tag(4, 0, f(4, b'APIC', synchsafe(len(png)) + png, 0x01))),
            ('unsync_frame_with_data_length.mp3', tag(4, 0, f(4, b'APIC', synchsafe(len(png)) + png, 0x03))),
            # An unlocated frame is matched to its own object: a later frame of
            # the same type gets the later object.
            ('encrypted_then_plain.mp3', tag(3, 0, f(3, b'APIC', b'\x80' + png, 0x40) + f(3, b'APIC', png))),
            ('compressed_then_plain.mp3', tag(3, 0, f(3, b'APIC', be32(len(png)) + compressed, 0x80) +
                                              f(3, b'APIC', png))),
            ('two_covers_of_one_type.mp3', tag(4, 0, f(4, b'APIC', png) * 2)),
            # A frame declaring 2 GiB decompressed made the library allocate it all.
            ('frame_declaring_2gib.mp3', tag(3, 0, f(3, b'APIC', b'\x7F\xFF\xFF\xFF' + compressed, 0x80))),
            ('image_of_one_byte.mp3', tag(4, 0, f(4, b'APIC', b'\0image/png\0\x03\0X'))),
            ('frames_left_out.mp3', tag(3, 0, f(3, b'TIT2', b'\0t') + f(3, b'TXXX', b'\0d\0v') +
                                        f(3, b'WXXX', b'\0d\0http://w') + f(3, b'PRIV', b'o\0x') +
                                        f(3, b'COMM', b'\0engd\0c') + f(3, b'TDAT', b'\x000101') +
                                        f(3, b'WOAR', b'http://a') + f(3, b'TPE1', b'\0'))),
            ('invalid_utf8_escaped.mp3', tag(4, 0, f(4, b'TIT2', b'\x03a\xED\xA0\x80b'))),
            ('v22_pictures.mp3', tag(2, 0, f(2, b'TT2', b'\0Title\0') + f(2, b'PIC', pic22) +
                                     f(2, b'PIC', b'\x01PNG\x04\xFF\xFEB\0k\0\0\0PNGDATA'))),
            ('v22_unsync_image_unchanged.mp3', tag(2, 0x80, f(2, b'PIC', pic22))),
            ('v22_unsync_zero_in_image.mp3', tag(2, 0x80, unsynchronised(f(2, b'PIC', b'\0JPG\x03\0\xFF\xE0G')))),
            # Frames the library accepts but that are not whole pictures fail alone.
            ('v22_bad_pictures_before_good.mp3', tag(2, 0, f(2, b'PIC', b'\0J\0\0') + f(2, b'PIC', b'\0JPG\0abc') +
                                                     f(2, b'PIC', b'\0PNG\x03\0IMG'))),
            ('v22_compressed_tag.mp3', tag(2, 0x40, f(2, b'PIC', pic22))),
            ('rejected_tag_no_id3v1_fallback.mp3', tag(4, 0, f(4, b'TIT2', b'\x09x')) + id3v1(b'v1')),
            ('no_tag_at_start_id3v1_read.mp3', b'\0' * 200 + id3v1(b'v1')),
            ('file_shorter_than_its_tag.mp3', b'ID3\x04\0\0' + synchsafe(1000) + b'\0' * 50 + id3v1(b'v1')),
            ('too_short_for_a_header.mp3', b'ID3\x04')):
        write('id3', name, data)

    # The audio behind a tag. MPEG 1 layer III, 128 kbit/s, 44.1 kHz, stereo:
    # 417 bytes a frame; MPEG 2 layer III, 64 kbit/s, 22.05 kHz, mono: 208.
    cbr = mpeg_frame(3, 1, 9, 0, 417)
    mono = mpeg_frame(2, 1, 8, 0, 208, 3)
    xing = cbr[:4] + b'\0' * 32 + b'Xing' + be32(3) + be32(1225) + be32(400000)
    for name, data in (
            # Two valid frame headers 208 bytes apart inside the tag: without
            # the tag's length the search would take them for the stream.
            ('tag_holding_a_fake_sync.mp3', tag(4, 0, mono * 2 + b'\0' * 10) + cbr * 4),
            ('footer_of_a_v24_tag.mp3', tag(4, 0x10, b'') + b'3DI\x04\0\x10\0\0\0\0' + cbr * 4),
            ('xing_after_a_tag.mp3', tag(4, 0, b'pad') + xing.ljust(417, b'\0') + cbr * 2),
            ('garbage_only.mp3', b'\xFF\xFB\x90\x00 no frames here' * 50),
            ('tag_longer_than_the_file.mp3', tag(4, 0, b'x' * 100)[:50])):
        write('id3', name, data)


# MPEG-4: the box walk's paths and bounds, and the tracks behind the
# "audio" and "video" members.
def data_box(indicator, payload, size=None):
    """A "data" box: type indicator (1 text, 13 JPEG...), locale 0."""
    return be32(size if size else 16 + len(payload)) + b'data' + be32(indicator) + be32(0) + payload


def item_list(items):
    return box(b'udta', box(b'meta', b'\0' * 4 + box(b'ilst', items)))


def mp4():
    def handler_track(kind, version=0):
        return box(b'trak', box(b'mdia', box(b'hdlr', bytes([version]) + b'\0' * 7 + kind + b'\0' * 12 + b'x')))

    def mvhd_v0(scale, duration):
        return box(b'mvhd', be32(0) + be32(1) + be32(2) + be32(scale) + be32(duration) + b'\0' * 52 + be32(3) +
                   be32(4) + be32(5) + b'\0' * 16)

    mvhd_v1 = (b'\x01\0\0\0' + be64(0x123456789A) + be64(0x223456789A) + be32(90000) + be64(0x300000001) +
               b'\0' * 52 + be32(3) + be32(4) + be32(5) + b'\0' * 16)
    ftyp = box(b'ftyp', b'M4A ' + be32(0) + b'M4A mp42isom')
    title = item_list(box(b'\xa9nam', data_box(1, b'Song')))
    movie = box(b'moov', mvhd_v0(600, 300))
    for name, data in (
            # The file type box is stepped over; after each nested walk the
            # movie's walk is back at its own level and still decodes the header.
            ('tracks_then_header.m4a', ftyp + box(b'moov', handler_track(b'soun') + handler_track(b'hint') +
                                                  handler_track(b'vide') + mvhd_v0(600, 300))),
            # The walk inside the movie runs on past its end and enters this udta.
            ('udta_after_the_movie.m4a', box(b'moov', b'') + title),
            # The movie's own walk is at level 2 and steps over a second movie.
            ('second_movie_entered_once.m4a', box(b'moov', b'') + box(b'moov', handler_track(b'soun'))),
            ('text_item_at_the_top.m4a', box(b'desc', data_box(1, b'About'))),
            ('udta_inside_a_track.m4a', box(b'moov', box(b'trak', title))),
            ('cover_outside_the_item_list.m4a', box(b'covr', data_box(13, b'JPEG'))),
            ('handler_of_unknown_type.m4a', box(b'moov', handler_track(b'text'))),
            ('handler_of_version_1.m4a', box(b'moov', handler_track(b'soun', 1))),
            ('movie_header_of_50_bytes.m4a', box(b'moov', box(b'mvhd', b'\0' * 50))),
            ('movie_header_empty.m4a', box(b'moov', box(b'mvhd', b''))),
            ('movie_header_v1.m4a', box(b'moov', box(b'mvhd', mvhd_v1))),
            # Cut inside the 12 bytes a version 1 header has beyond version 0's.
            ('movie_header_v1_cut.m4a', box(b'moov', box(b'mvhd', mvhd_v1[:105]))),
            # Both the movie's walk (running on past its end) and the top-level
            # walk meet the broken box; what came before stays.
            ('box_size_below_8.m4a', movie + be32(4) + b'free'),
            ('stray_bytes_met_by_every_walk.m4a', box(b'moov', item_list(b'')) + b'abc'),
            ('box_past_the_end.m4a', movie + be32(1000) + b'free'),
            ('movie_after_64_bit_media.m4a', ftyp + be32(1) + b'mdat' + be64(21) + b'media' + movie),
            ('size_64_bit_below_16.m4a', be32(1) + b'mdat' + be64(15) + movie),
            ('size_64_bit_past_any_file.m4a', movie + be32(1) + b'mdat' + be64(2**64 - 1)),
            ('size_0_media_last.m4a', movie + be32(0) + b'mdat' + b'media bytes'),
            ('size_0_movie_entered.m4a', be32(0) + b'moov' + mvhd_v0(600, 300)),
            # The size-0 box holds the rest of the file: no box is read inside it.
            ('size_0_box_ends_the_walk.m4a', be32(0) + b'free' + movie)):
        write('mp4', name, data)

    full = b'\0' * 4

    def stsd(fmt, channels, rate, children=b''):
        sound = be16(0) + be16(0) + be32(0) + be16(channels) + be16(16) + be32(0) + be32(rate << 16)
        return full + be32(1) + box(fmt, b'\0' * 6 + be16(1) + sound + children)

    def esds(asc):
        specific = b'\x05' + bytes([len(asc)]) + asc
        config = b'\x04' + bytes([13 + len(specific)]) + b'\x40\x15' + b'\0' * 11 + specific
        return box(b'esds', full + b'\x03' + bytes([3 + len(config)]) + b'\x00\x01\x00' + config)

    def hdlr(kind): return box(b'hdlr', full + be32(0) + kind + b'\0' * 12)
    def mdhd(scale, duration): return box(b'mdhd', full + be32(0) + be32(0) + be32(scale) + be32(duration) + be32(0))
    def tkhd(w, h): return box(b'tkhd', full + b'\0' * 72 + be32(w << 16) + be32(h << 16))
    def stbl(entry): return box(b'minf', box(b'stbl', box(b'stsd', entry)))

    mvhd = box(b'mvhd', full + be32(0) + be32(0) + be32(1000) + be32(2000) + b'\0' * 80)
    sound = box(b'trak', tkhd(0, 0) + box(b'mdia', mdhd(44100, 88200) + hdlr(b'soun') +
                                        stbl(stsd(b'mp4a', 2, 44100, esds(b'\x12\x08')))))
    edited_sound = box(b'trak', box(b'edts', box(b'elst', full + be32(1) + be32(1900) + be32(1024) + be32(0x10000))) +
                       box(b'mdia', mdhd(44100, 88200) + hdlr(b'soun') + stbl(stsd(b'mp4a', 2, 44100))))
    picture = box(b'trak', tkhd(320, 240) + box(b'mdia', mdhd(25, 75) + hdlr(b'vide')))
    # Version 1 headers: 64-bit times and durations.
    wide_picture = box(b'trak', box(b'tkhd', b'\x01\0\0\0' + b'\0' * 84 + be32(1280 << 16) + be32(720 << 16)) +
                       box(b'mdia', box(b'mdhd', b'\x01\0\0\0' + be64(0) + be64(0) + be32(90000) + be64(450000) +
                                        be32(0)) + hdlr(b'vide')))
    # A media box that claims more bytes than its track holds: not read.
    overrun = box(b'mdia', mdhd(8000, 8000) + hdlr(b'soun'))
    overrun = be32(0x7FFF) + overrun[4:]
    for name, data in (
            ('sound_and_video.mp4', box(b'ftyp', b'isom') + box(b'moov', mvhd + sound + picture)),
            ('first_track_of_each_kind.mp4', box(b'moov', mvhd + picture + edited_sound + sound)),
            ('version_1_track_headers.mp4', box(b'moov', mvhd + wide_picture)),
            ('media_box_beyond_its_track.mp4', box(b'moov', mvhd + box(b'trak', overrun) + sound)),
            ('tracks_of_the_first_movie_only.mp4', box(b'moov', mvhd) + box(b'moov', mvhd + sound)),
            ('movie_box_running_to_the_end.mp4', be32(0) + b'moov' + mvhd + sound),
            ('movie_box_of_64_bit_size.mp4', be32(1) + b'moov' + be64(16 + len(mvhd) + len(sound)) + mvhd + sound),
            ('movie_box_larger_than_the_file.mp4', be32(0x7FFFFFFF) + b'moov' + mvhd + sound)):
        write('mp4', name, data)


# JPEG and TIFF: EXIF blocks no camera writes, GPS positions that are none,
# image headers of rare layouts or cut short.
BYTE, ASCII, SHORT, LONG, RATIONAL, SBYTE, UNDEFINED, SSHORT, SLONG, SRATIONAL, FLOAT, DOUBLE = range(1, 13)


def put(block, intel, pos, value, width=4):
    """Writes the low `width` bytes of `value` at `pos` in the block's byte order."""
    for i in range(width):
        block[pos + (i if intel else width - 1 - i)] = value >> (8 * i) & 0xFF


def exif_payload(intel, ifd0, tiff_size, ifds):
    """An APP1 payload: "Exif\0\0", a TIFF header naming IFD 0 at `ifd0`, then
    `tiff_size` bytes of TIFF data holding the IFDs (offset, entries, next),
    each entry (tag, format, count, 32-bit value)."""
    block = bytearray(b'Exif\0\0' + (b'II' if intel else b'MM') + b'\0' * (tiff_size - 2))
    put(block, intel, 8, 42, 2)
    put(block, intel, 10, ifd0)
    for offset, entries, following in ifds:
        p = 6 + offset
        put(block, intel, p, len(entries), 2)
        for tag, fmt, count, value in entries:
            put(block, intel, p + 2, tag, 2)
            put(block, intel, p + 4, fmt, 2)
            put(block, intel, p + 6, count)
            put(block, intel, p + 10, value)
            p += 12
        put(block, intel, p + 2, following)
    return block


def segment(marker, payload):
    return be16(marker) + be16(len(payload) + 2) + bytes(payload)


def jpeg_of(app1_payload):
    return b'\xFF\xD8' + segment(0xFFE1, app1_payload) + b'\xFF\xD9'


def app1_of(jpeg):
    """The first EXIF APP1 segment of a JPEG, marker and length included."""
    at = jpeg.index(b'Exif\0\0') - 4
    return jpeg[at:at + 2 + (jpeg[at + 2] << 8 | jpeg[at + 3])]


def image():
    def thumb_block(ifd0, ifd1):
        """IFD 0 with Make, IFD 1 with a 10-byte thumbnail at TIFF offset 100."""
        block = exif_payload(True, ifd0, 120, [(ifd0, [(0x010F, ASCII, 5, 80)], ifd1),
                                               (ifd1, [(0x0201, LONG, 1, 100), (0x0202, LONG, 1, 10)], 0)])
        block[6 + 80:6 + 85] = b'Kivo\0'
        return block

    # One IFD 0 entry of each numeric and skipped format, data from 150 on.
    formats = exif_payload(True, 8, 200, [(8, [(0x0100, LONG, 1, 3000000000), (0x0101, SSHORT, 1, 0xFFFE),
                                               (0x0102, SBYTE, 1, 0xFF), (0x010E, FLOAT, 1, 0x3F800000),
                                               (0x010F, ASCII, 5, 150), (0x0112, SLONG, 1, 0xFFFFFFFB),
                                               (0x011A, RATIONAL, 3, 160), (0x011B, SRATIONAL, 1, 184),
                                               (0x0131, UNDEFINED, 4, 0x01020304), (0x013B, DOUBLE, 1, 192)], 0)])
    formats[6 + 150:6 + 155] = b'Kivo\0'
    for i in range(3):  # 72/1, 2/1, 3/1: only the first counts
        put(formats, True, 6 + 160 + 8 * i, 72 if i == 0 else i + 1)
        put(formats, True, 6 + 164 + 8 * i, 1)
    put(formats, True, 6 + 184, 0xFFFFFFFF)
    put(formats, True, 6 + 188, 3)

    def copyright_block(parts):
        """A copyright of a photographer's and an editor's part, at 30."""
        block = exif_payload(True, 8, 60, [(8, [(0x8298, ASCII, len(parts), 30)], 0)])
        block[6 + 30:6 + 30 + len(parts)] = parts
        return block

    def altitude_block(ref):
        """A GPS IFD whose one-byte altitude reference libexif names in words."""
        return exif_payload(True, 8, 60, [(8, [(0x8825, LONG, 1, 26)], 0), (26, [(0x0005, BYTE, 1, ref)], 0)])

    def gps_block(lat_ref, lon_ref, alt_ref, lat_count=3):
        """A GPS IFD at 26: latitude 10/1 30/1 36/10 at 120, longitude 0/1 90/1
        0/1 after it, altitude 1234/10 after that; alt_ref None leaves out the
        altitude reference."""
        entries = [(0x0001, ASCII, 2, 0), (0x0002, RATIONAL, lat_count, 120), (0x0003, ASCII, 2, 0),
                   (0x0004, RATIONAL, 3, 144), (0x0006, RATIONAL, 1, 168)]
        if alt_ref is not None:
            entries.insert(4, (0x0005, BYTE, 1, alt_ref))
        block = exif_payload(True, 8, 200, [(8, [(0x8825, LONG, 1, 26)], 0), (26, entries, 0)])
        # ASCII values of two bytes sit in the value field itself.
        block[6 + 26 + 2 + 8:6 + 26 + 2 + 8 + len(lat_ref)] = lat_ref
        block[6 + 26 + 2 + 24 + 8:6 + 26 + 2 + 24 + 8 + len(lon_ref)] = lon_ref
        for i, value in enumerate((10, 1, 30, 1, 36, 10, 0, 1, 90, 1, 0, 1, 1234, 10)):
            put(block, True, 6 + 120 + 4 * i, value)
        return block

    zero_denominator = gps_block(b'N', b'E', 0)
    put(zero_denominator, True, 6 + 120 + 4 * 3, 0)
    beyond_90 = gps_block(b'N', b'E', 0)
    put(beyond_90, True, 6 + 120, 91)

    def read(name):
        with open(os.path.join(HERE, 'image', name), 'rb') as f:
            return f.read()
    intel, motorola = read('thumb_intel.jpg'), read('thumb_motorola.jpg')
    xmp = segment(0xFFE1, b'http://ns.adobe.com/xap/1.0/\0' + b"<x:xmpmeta xmlns:x='adobe:ns:meta/'/>")
    intel_end = intel.index(app1_of(intel)) + len(app1_of(intel))

    png = b'\x89PNG\r\n\x1a\n' + be32(13) + b'IHDR' + be32(70000) + be32(3) + b'\x08\x02\0\0\0'
    sof0 = segment(0xFFC0, b'\x08\x01\x2C\x02\x80\x03' + b'\0' * 9)
    bmp_info = b'BM' + b'\0' * 12 + le32(40) + le32(640)

    def tiff(intel_order, width_format):
        """IFD 0 after 8 bytes of picture data: Compression, ImageWidth, ImageLength."""
        u16, u32 = (le16, le32) if intel_order else (be16, be32)
        width = u16(1200) + u16(0) if width_format == SHORT else u32(70000)
        return ((b'II' if intel_order else b'MM') + u16(42) + u32(16) + b'x' * 8 + u16(3) + u16(0x0103) + u16(3) +
                u32(1) + u16(1) + u16(0) + u16(0x0100) + u16(width_format) + u32(1) + width + u16(0x0101) + u16(3) +
                u32(1) + u16(900) + u16(0) + u32(0))

    for name, data in (
            ('segment_length_2.jpg', b'\xFF\xD8\xFF\xE0\x00\x02junk'),
            ('app1_length_2.jpg', b'\xFF\xD8\xFF\xE1\x00\x02junk'),
            ('no_marker_at_the_start.jpg', b'AB\x00\x04xy' + segment(0xFFE1, thumb_block(8, 31))),
            ('ifd_chain_pointing_backwards.jpg', jpeg_of(thumb_block(60, 8))),
            ('every_entry_format.jpg', jpeg_of(formats)),
            ('copyright_of_the_photographer.jpg', jpeg_of(copyright_block(b'Kivo Ltd\0'))),
            ('copyright_of_photographer_and_editor.jpg', jpeg_of(copyright_block(b'Kivo\0Ed\0'))),
            ('gps_altitude_below_sea_level.jpg', jpeg_of(altitude_block(1))),
            ('gps_altitude_above_sea_level.jpg', jpeg_of(altitude_block(0))),
            ('gps_no_altitude_reference.jpg', jpeg_of(gps_block(b'N', b'W', None))),
            ('gps_reference_not_of_its_axis.jpg', jpeg_of(gps_block(b'E', b'E', 0))),
            ('gps_no_reference_letter.jpg', jpeg_of(gps_block(b'', b'E', 0))),
            ('gps_two_latitude_components.jpg', jpeg_of(gps_block(b'N', b'E', 0, 2))),
            ('gps_zero_denominator.jpg', jpeg_of(zero_denominator)),
            ('gps_latitude_beyond_90.jpg', jpeg_of(beyond_90)),
            # An XMP block before the EXIF block moves only the offsets; of two
            # EXIF blocks with thumbnails, the later one's is given.
            ('xmp_before_exif.jpg', intel[:2] + xmp + intel[2:]),
            ('later_exif_block_wins.jpg', intel[:intel_end] + app1_of(motorola) + intel[intel_end:]),
            ('png_cut_in_its_header.png', png[:23]),
            ('png_without_ihdr_first.png', png[:12] + b'IDAT' + png[16:]),
            ('gif_cut.gif', b'GIF89a' + le16(300)),
            ('bmp_top_row_first.bmp', bmp_info + le32(-480)),
            ('bmp_cut.bmp', bmp_info),
            ('jpeg_progressive_after_tables.jpg', b'\xFF\xD8' + segment(0xFFE1, b'Exif') +
             segment(0xFFC4, b'\x05' * 20) + segment(0xFFC8, b'\x07' * 5) + segment(0xFFCC, b'\x07' * 5) +
             segment(0xFFC2, b'\x08\x00\x10\x00\x20\x01' + b'\0' * 3)),
            ('jpeg_scan_before_any_frame_header.jpg', b'\xFF\xD8' + segment(0xFFDA, b'x') + sof0),
            ('jpeg_frame_header_cut.jpg', b'\xFF\xD8' + sof0[:8]),
            ('jpeg_height_to_come_later.jpg', b'\xFF\xD8' + segment(0xFFC0, b'\x08\x00\x00\x02\x80\x01' + b'\0' * 3)),
            ('tiff_intel_short_width.tif', tiff(True, SHORT)),
            ('tiff_motorola_long_width.tif', tiff(False, LONG)),
            ('tiff_ifd_cut.tif', tiff(True, SHORT)[:40])):
        write('image', name, data)


# Photos beyond JPEG: EXIF blocks in PNG, WebP and HEIF, the HEIF item boxes,
# PNG texts and WebP canvas headers.
def photo():
    # A little-endian TIFF block with one IFD 0 entry: Make "Kiv".
    tiff = b'II*\0' + le32(8) + le16(1) + le16(0x010f) + le16(2) + le32(4) + b'Kiv\0' + le32(0)

    def entry(tag, kind, count, value): return le16(tag) + le16(kind) + le32(count) + value
    def rationals(a, b, c): return le32(a) + le32(1) + le32(b) + le32(1) + le32(c) + le32(1)
    # IFD 0 (at 8) points to the GPS IFD (at 26), whose rationals follow it (at 80).
    gps = (b'II*\0' + le32(8) + le16(1) + entry(0x8825, 4, 1, le32(26)) + le32(0) + le16(4) +
           entry(1, 2, 2, b'N\0\0\0') + entry(2, 5, 3, le32(80)) + entry(3, 2, 2, b'W\0\0\0') +
           entry(4, 5, 3, le32(104)) + le32(0) + rationals(10, 30, 0) + rationals(20, 15, 0))
    png = b'\x89PNG\r\n\x1a\n'
    def png_chunk(kind, data): return be32(len(data)) + kind + data + be32(0)
    def webp(chunks): return b'RIFF' + le32(4 + len(chunks)) + b'WEBP' + chunks
    def webp_chunk(kind, data): return kind + le32(len(data)) + data + (b'\0' if len(data) % 2 else b'')

    def iinf(item_id, kind, entry_version=2):
        item = be16(item_id) if entry_version == 2 else be32(item_id)
        return full_box(b'iinf', 0, be16(1) + full_box(b'infe', entry_version, item + be16(0) + kind + b'\0'))

    def iloc(item_id, offset, length):
        """Item location version 0: 4-byte offsets and lengths, one extent."""
        return full_box(b'iloc', 0, b'\x44\x40' + be16(1) + be16(item_id) + be16(0) + be32(0) + be16(1) +
                        be32(offset) + be32(length))

    ftyp = box(b'ftyp', b'heic' + be32(0) + b'mif1heic')
    # The size is the primary item's "ispe", found through the associations of
    # "ipma" (8- or 15-bit indexes from 1 into "ipco"), not the first "ispe".
    def ispe(w, h): return full_box(b'ispe', 0, be32(w) + be32(h))
    ipco = box(b'ipco', ispe(512, 512) + box(b'hvcC', b'') + ispe(4032, 3024))
    def sized(primary, ipma): return ftyp + full_box(b'meta', 0, full_box(b'pitm', 0, be16(primary)) +
                                                     box(b'iprp', ipco + ipma))
    narrow = full_box(b'ipma', 0, be32(2) + be16(1) + b'\x02\x81\x82' + be16(2) + b'\x02\x02\x83')
    wide = box(b'ipma', b'\0\0\0\x01' + be32(1) + be16(2) + b'\x01' + be16(0x8003))
    # The EXIF item: the offset of the TIFF header within it, then the block.
    item = be32(6) + b'Exif\0\0' + tiff
    def item_at(offset, length): return ftyp + full_box(b'meta', 0, iinf(1, b'Exif') + iloc(1, offset, length))
    start = len(item_at(0, 0))
    for name, data in (
            ('png_exif_gps.png', png + be32(len(gps)) + b'eXIf' + gps + be32(0)),
            ('webp_exif_gps.webp', b'RIFF' + le32(12 + len(gps)) + b'WEBP' + b'EXIF' + le32(len(gps)) + gps),
            ('heif_size_of_the_primary_item.heic', sized(2, narrow)),
            ('heif_size_of_the_first_item.heic', sized(1, narrow)),
            ('heif_size_by_15_bit_index.heic', sized(2, wide)),
            ('heif_primary_item_without_size.heic', sized(3, narrow)),
            ('heif_size_index_past_the_properties.heic', sized(2, full_box(b'ipma', 0, be32(1) + be16(2) +
                                                                           b'\x01\x09'))),
            ('heif_exif_item.heic', item_at(start, len(item)) + item),
            ('heif_exif_item_outside_the_file.heic', item_at(start, 1000) + item),
            ('heif_exif_item_too_short.heic', item_at(start, 2) + item),
            ('heif_without_meta.heic', ftyp + box(b'mdat', b'')),
            ('png_exif_and_texts.png', png + png_chunk(b'tEXt', b'Title\0Caf\xe9') + png_chunk(b'eXIf', tiff) +
             png_chunk(b'iTXt', b'Author\0\0\0en\0Autor\0J\xc3\xb6rg') + png_chunk(b'iTXt', b'Packed\0\x01\0\0\0x') +
             png_chunk(b'zTXt', b'Z\0\0x') + png_chunk(b'IEND', b'') + png_chunk(b'tEXt', b'After\0end')),
            # A bomb is cut at 64 KiB.
            ('png_compressed_texts.png', png + png_chunk(b'zTXt', b'Zed\0\0' + zlib.compress(b'Caf\xe9')) +
             png_chunk(b'iTXt', b'Packed\0\x01\0en\0\0' + zlib.compress('Jörg'.encode())) +
             png_chunk(b'zTXt', b'Bomb\0\0' + zlib.compress(b'a' * (10 << 20), 9))),
            ('png_chunk_past_the_file.png', png + be32(1000) + b'tEXt' + b'A\0b'),
            ('webp_exif.webp', webp(webp_chunk(b'VP8 ', b'abc') + webp_chunk(b'EXIF', tiff))),
            ('webp_exif_with_identifier.webp', webp(webp_chunk(b'EXIF', b'Exif\0\0' + tiff))),
            ('webp_chunk_past_the_file.webp', webp(b'EXIF' + le32(500) + tiff)),
            ('webp_extended_canvas.webp', webp(webp_chunk(b'VP8X', b'\x10\0\0\0\x7f\x02\0\xdf\x01\0'))),
            ('webp_lossless.webp', webp(webp_chunk(b'VP8L', b'\x2f' + le32(99 | 49 << 14)))),
            # Key frame: the scale bits are left out of the size.
            ('webp_lossy_key_frame.webp', webp(webp_chunk(b'VP8 ', b'\0\0\0\x9d\x01\x2a' + le16(320) +
                                                          le16(240 | 0x4000)))),
            ('webp_canvas_cut_short.webp', webp(webp_chunk(b'VP8X', b'\x10\0\0\0\x7f')))):
        write('photo', name, data)


def main():
    playlists()
    flac()
    ogg()
    wav()
    id3()
    mp4()
    image()
    photo()
    for path in WRITTEN:
        if not os.path.exists(path + '.json'):
            with open(path + '.json', 'w') as f:
                f.write('{}\n')  # a placeholder the golden update replaces


if __name__ == '__main__':
    main()
