#include "formats/playlist/playlist.h"

#include "base/log.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <vector>

namespace {

using parser = void (*)(const source_file &, json_object *, const char *);
using lines = std::vector<std::string>;

// The record `parse` builds from `file`, which it closes.
std::string record_from(parser parse, FILE *file) {
  json_ptr root(json_object_new_object());
  parse(file, root.get(), "unused");
  fclose(file);
  return json_text(root.get());
}
std::string record_from(parser parse, const std::string &bytes) { return record_from(parse, stream_from_bytes(bytes)); }

std::string repeated(const std::string &text, int times) {
  std::string out;
  while (times-- > 0)
    out += text;
  return out;
}

// A playlist of exactly `size` bytes: `head`, then short comment lines.
std::string sized(std::string bytes, size_t size) {
  if ((size - bytes.size()) % 2 != 0)
    bytes += "#x\n";
  while (bytes.size() < size)
    bytes += "#\n";
  return bytes;
}

struct playlist_case {
  const char *name;
  parser parse;
  std::string bytes;
  std::string record; // expected, as written by hand
  lines logs;
};

const std::string invalid = "Invalid m3u info line.\n", out_of_range = "Playlist track length too large/small.\n";
const std::string too_large = "Playlist is too large to use!\n";
const std::string song = R"({"m3u":{"extended":false,"entries":[{"location":"song.mp3"}]}})";
const std::string pls_head = "[playlist]\nNumberOfEntries=1\nFile1=a.mp3\nVersion=2\n";
const std::string pls_one = R"({"pls":{"Version":2,"NumberOfEntries":1,"entries":[{"File":"a.mp3","Length":0}]}})";

const playlist_case cases[] = {
    {"m3u empty", parse_m3u, "", R"({"m3u":{"extended":false,"entries":[]}})", {}},
    {"m3u radio", parse_m3u, "#EXTINF:-1,Radio\nhttp://r.example/live\nnext.mp3\n",
     R"({"m3u":{"extended":false,"entries":[{"time":-1,"title":"Radio","location":"http://r.example/live"},)"
     R"({"location":"next.mp3"}]}})", {}},
    {"m3u space before number, commas in title", parse_m3u, "#EXTINF: 42,A, B\nsong.mp3\n",
     R"({"m3u":{"extended":false,"entries":[{"time":42,"title":"A, B","location":"song.mp3"}]}})", {}},
    {"m3u space before comma", parse_m3u, "#EXTINF:42 ,A\nsong.mp3\n", song, {invalid}},
    {"m3u no comma", parse_m3u, "#EXTINF:42\nsong.mp3\n", song, {invalid}},
    {"m3u no number", parse_m3u, "#EXTINF:,A\nsong.mp3\n", song, {invalid}},
    {"m3u comma only", parse_m3u, "#EXTINF:7,\nsong.mp3\n",
     R"({"m3u":{"extended":false,"entries":[{"time":7,"title":"","location":"song.mp3"}]}})", {}},
    {"m3u beyond long", parse_m3u, "#EXTINF:99999999999999999999,A\nsong.mp3\n", song, {out_of_range}},
    {"m3u beyond 32 bits", parse_m3u, "#EXTINF:3000000000,A\nsong.mp3\n", song, {out_of_range}},
    {"m3u comment between", parse_m3u, "#EXTINF:7,A\n# note\nsong.mp3\n", song, {}},
    {"m3u blank lines between", parse_m3u, "#EXTINF:7,A\n\n\r\nsong.mp3\n",
     R"({"m3u":{"extended":false,"entries":[{"time":7,"title":"A","location":"song.mp3"}]}})", {}},
    {"m3u second info replaces first", parse_m3u, "#EXTINF:7,A\n#EXTINF:8,B\nsong.mp3\n",
     R"({"m3u":{"extended":false,"entries":[{"time":8,"title":"B","location":"song.mp3"}]}})", {}},
    {"m3u header after blank line", parse_m3u, "\n#EXTM3U\nsong.mp3", song, {}},
    {"m3u header later", parse_m3u, "song.mp3\n#EXTM3U\n", song, {}},
    {"m3u byte-order mark before the header", parse_m3u, "\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:7,A\r\nsong.mp3\r\n",
     R"({"m3u":{"extended":true,"entries":[{"time":7,"title":"A","location":"song.mp3"}]}})", {}},
    {"m3u byte-order mark before an entry, and later", parse_m3u, "\xEF\xBB\xBFsong.mp3\n\xEF\xBB\xBF#EXTM3U\n",
     "{\"m3u\":{\"extended\":false,\"entries\":[{\"location\":\"song.mp3\"},"
     "{\"location\":\"\xEF\xBB\xBF#EXTM3U\"}]}}", {}},
    {"m3u lower case", parse_m3u, "#extm3u\n#extinf:7,A\nsong.mp3\n", song, {}},
    {"m3u spaces, one byte", parse_m3u, "   \nx",
     R"({"m3u":{"extended":false,"entries":[{"location":"   "},{"location":"x"}]}})", {}},
    {"m3u CR LF", parse_m3u, "#EXTM3U x\r\n#EXTINF:7,A\r\nsong.mp3\r\nb.mp3\r\n",
     R"({"m3u":{"extended":true,"entries":[{"time":7,"title":"A","location":"song.mp3"},{"location":"b.mp3"}]}})", {}},
    {"m3u LF CR", parse_m3u, "#EXTM3U\n\r#EXTINF:7,A\n\rsong.mp3\n\rb.mp3\n\r",
     R"({"m3u":{"extended":true,"entries":[{"time":7,"title":"A","location":"song.mp3"},{"location":"b.mp3"}]}})", {}},
    {"m3u CR before a last byte", parse_m3u, "song.mp3\rx", song, {}},
    {"m3u line longer than 65,535 bytes arrives in pieces", parse_m3u, std::string(70000, 'a') + "\n",
     R"({"m3u":{"extended":false,"entries":[{"location":")" + std::string(65535, 'a') + R"("},{"location":")" +
         std::string(4465, 'a') + R"("}]}})", {}},
    // Latin-1: each invalid byte is escaped alone and the bytes after it kept.
    {"m3u not UTF-8", parse_m3u, "#EXTINF:7,d\xFF\nCaf\xE9 Noir.mp3\n",
     R"({"m3u":{"extended":false,"entries":[{"time":7,"title":"d\\u00ff","location":"Caf\\u00e9 Noir.mp3"}]}})", {}},
    {"m3u size limit", parse_m3u, sized("song.mp3\n", 131072), song, {}},
    {"m3u too large", parse_m3u, sized("song.mp3\n", 131073), R"({"m3u":{"tooLarge":true}})", {too_large}},

    {"pls size limit", parse_pls, sized(pls_head, 131072), pls_one, {}},
    {"pls too large", parse_pls, sized(pls_head, 131073), R"({"pls":{"error":"tooLarge"}})", {too_large}},
    {"pls empty", parse_pls, "", R"({"pls":{"error":"noMemory"}})", {}},
    {"pls byte-order mark", parse_pls, "\xEF\xBB\xBF" + pls_head, pls_one, {}},
    {"pls byte-order mark only", parse_pls, "\xEF\xBB\xBF", R"({"pls":{"error":"invalidFile"}})", {}},
    {"pls no key file", parse_pls, "[playlist]\nno equals sign\n", R"({"pls":{"error":"noParse"}})", {}},
    {"pls capital group", parse_pls, "[Playlist]\nNumberOfEntries=1\n", R"({"pls":{"error":"invalidFile"}})", {}},
    {"pls lower-case count", parse_pls, "[playlist]\nnumberofentries=1\nFile1=a.mp3\nVersion=2\n",
     R"({"pls":{"Version":2,"numberofentries":1,"entries":[{"File":"a.mp3","Length":0}]}})",
     {"No NumberOfEntries for playlist.\n"}},
    {"pls count 0", parse_pls, "[playlist]\nNumberOfEntries=0\nnumberofentries=1\nFile1=a.mp3\nVersion=2\n",
     R"({"pls":{"Version":2,"NumberOfEntries":0,"numberofentries":1,"entries":[{"File":"a.mp3","Length":0}]}})", {}},
    {"pls count beyond keys", parse_pls, "[playlist]\nNumberOfEntries=3\nTitle1=A\nLength2=9\nVersion=2\n",
     R"({"pls":{"Version":2,"NumberOfEntries":3,"entries":[{"Title":"A","Length":0},{"Length":9}]}})", {}},
    // Entries are bounded by number, not by how many keys the bytes hold.
    {"pls numbered entry past the key count", parse_pls, "[playlist]\nNumberOfEntries=20\nFile20=/music/x.mp3\n",
     R"({"pls":{"NumberOfEntries":20,"entries":[)" + repeated(R"({"Length":0},)", 19) +
         R"({"File":"\/music\/x.mp3","Length":0}]}})",
     {"No Version for playlist.\n"}},
    {"pls count below keys", parse_pls, "[playlist]\nNumberOfEntries=1\nFile1=a.mp3\nFile2=b.mp3\nVersion=2\n",
     pls_one, {}},
    {"pls keys not numbered as entries", parse_pls,
     "[playlist]\nNumberOfEntries=9\nFile01=a\nFile1[de]=a\nFile-3=a\nFiles4=a\nfile5=a\nFile2x=a\nLength1=3\n",
     R"({"pls":{"NumberOfEntries":9,"entries":[{"Length":3}]}})", {"No Version for playlist.\n"}},
    {"pls no version", parse_pls, "[playlist]\nNumberOfEntries=1\nFile1=a.mp3\n",
     R"({"pls":{"NumberOfEntries":1,"entries":[{"File":"a.mp3","Length":0}]}})", {"No Version for playlist.\n"}},
    {"pls other groups", parse_pls, "[x]\nFile1=x.mp3\nVersion=9\n[playlist]\nNumberOfEntries=1\nFile1=a.mp3\nVersion=2\n",
     pls_one, {}},
    {"pls not UTF-8", parse_pls, "[playlist]\nNumberOfEntries=1\nFile1=Caf\xE9.mp3\nTitle1=\xFF\nVersion=2\n",
     R"({"pls":{"Version":2,"NumberOfEntries":1,"entries":[{"File":"Caf\\u00e9.mp3","Title":"\\u00ff","Length":0}]}})",
     {}},
};

TEST(Playlist, RecordAndLogLines) {
  for (const playlist_case &c : cases) {
    log_capture logs;
    EXPECT_EQ(record_from(c.parse, c.bytes), canonical_json(c.record)) << c.name;
    EXPECT_EQ(logs.lines, c.logs) << c.name;
  }
}

json_object *entries_of(json_object *root, const char *member) {
  return json_object_object_get(json_object_object_get(root, member), "entries");
}

// An endless stream that reports a size of 0 (as a file still being written
// may have when checked): only the bytes read can end the reading.
TEST(M3u, EndlessStreamIsTooLarge) {
  log_capture logs;
  EXPECT_EQ(record_from(parse_m3u, fopen("/dev/zero", "rb")), canonical_json(R"({"m3u":{"tooLarge":true}})"));
  EXPECT_EQ(logs.lines, lines{too_large});
}

TEST(PlaylistFailures, UnusableStreamsAddNoRecordOrAnError) {
  log_capture logs;
  FILE *file = stream_from_bytes("song.mp3\n");
  close(fileno(file));
  EXPECT_EQ(record_from(parse_m3u, file), "{}");
  file = stream_from_bytes(pls_head);
  close(fileno(file));
  EXPECT_EQ(record_from(parse_pls, file), "{}");
  file = stream_from_bytes(pls_head); // a stream that delivers less than the file holds
  fseek(file, 1, SEEK_SET);
  EXPECT_EQ(record_from(parse_pls, file), canonical_json(R"({"pls":{"error":"badRead"}})"));
  EXPECT_EQ(logs.lines, (lines{"Failed to get file info for m3u.\n", "Failed to get file stat.\n",
                               "Failed to get file info for m3u.\n", "Failed to read file contents!\n"}));
}

// A count of two billion costs nothing: entries stop at the highest number
// present, and a crafted key number stops them at the bound of what the
// largest accepted file could number densely.
TEST(Pls, DeclaredCountIsBoundedByTheEntriesPresent) {
  const struct {
    std::string keys;
    size_t entries;
  } rows[] = {
      {"File1=a.mp3\n", 1},
      {"File2000000000=a.mp3\n", 131072 / 6},
      {"Title99999999999999999999=a\n", 131072 / 6},
  };
  for (const auto &row : rows) {
    json_ptr root = parse_json(record_from(parse_pls, "[playlist]\nNumberOfEntries=2000000000\n" + row.keys));
    EXPECT_EQ(json_object_array_length(entries_of(root.get(), "pls")), row.entries) << row.keys;
  }

  std::string dense = "[playlist]\nNumberOfEntries=20000\n";
  for (int i = 1; i <= 12000; ++i)
    dense += "File" + std::to_string(i) + "=\n";
  ASSERT_LE(dense.size(), size_t(playlist_size_limit));
  json_ptr root = parse_json(record_from(parse_pls, dense));
  EXPECT_EQ(json_object_array_length(entries_of(root.get(), "pls")), 12000u);
}

// Whole records of the committed playlists, through the format dispatch.
TEST(PlaylistFixtures, WholeRecords) {
  const struct {
    const char *file;
    std::string record;
  } fixtures[] = {
      {"road_trip.m3u8", R"({"returnValue":true,"m3u":{"extended":true,"entries":[)"
                         R"({"time":215,"title":"Los Lobos – La Bamba","location":"../Music/La Bamba.mp3"},)"
                         R"({"time":-1,"title":"Radio Zürich, live","location":"http://stream.example.net:8000/live.aac"},)"
                         R"({"location":"/media/internal/music/bonus.m4a"}]},"type":"playlist","subtype":"m3u"})"},
      {"windows.m3u", R"({"returnValue":true,"m3u":{"extended":true,"entries":[{"time":187,)"
                      R"("title":"Caf\\u00e9 del Mar","location":"Music\\Cafe del Mar.mp3"},)"
                      R"({"location":"Music\\Ibiza.mp3"}]},"type":"playlist","subtype":"m3u"})"},
      {"radio.pls", R"x({"returnValue":true,"pls":{"Version":2,"NumberOfEntries":3,"entries":[)x"
                    R"x({"File":"http://radio.example.org:8080/stream","Title":"Example Radio (128k)","Length":-1},)x"
                    R"x({"File":"songs/first.mp3","Title":"First, with a comma","Length":241},)x"
                    R"x({"File":"/media/internal/music/third.ogg","Length":0}]},"type":"playlist","subtype":"pls"})x"},
  };
  for (const auto &f : fixtures)
    EXPECT_EQ(record_text(data_path(std::string("playlist/") + f.file)), canonical_json(f.record)) << f.file;
}

} // namespace
