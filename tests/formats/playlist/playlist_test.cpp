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

const std::string too_large = "Playlist is too large to use!\n";
const std::string song = R"({"m3u":{"extended":false,"entries":[{"location":"song.mp3"}]}})";
const std::string pls_head = "[playlist]\nNumberOfEntries=1\nFile1=a.mp3\nVersion=2\n";
const std::string pls_one = R"({"pls":{"Version":2,"NumberOfEntries":1,"entries":[{"File":"a.mp3","Length":0}]}})";

// What the crafted fixtures cannot show: empty files (the dispatch gives them
// no format) and sizes at the bounds. The line and key rules are crafted
// fixtures under tests/data/playlist/crafted.
const playlist_case cases[] = {
    {"m3u empty", parse_m3u, "", R"({"m3u":{"extended":false,"entries":[]}})", {}},
    {"m3u line longer than 65,535 bytes arrives in pieces", parse_m3u, std::string(70000, 'a') + "\n",
     R"({"m3u":{"extended":false,"entries":[{"location":")" + std::string(65535, 'a') + R"("},{"location":")" +
         std::string(4465, 'a') + R"("}]}})", {}},
    {"m3u size limit", parse_m3u, sized("song.mp3\n", 131072), song, {}},
    {"m3u too large", parse_m3u, sized("song.mp3\n", 131073), R"({"m3u":{"tooLarge":true}})", {too_large}},
    {"pls size limit", parse_pls, sized(pls_head, 131072), pls_one, {}},
    {"pls too large", parse_pls, sized(pls_head, 131073), R"({"pls":{"error":"tooLarge"}})", {too_large}},
    {"pls empty", parse_pls, "", R"({"pls":{"error":"noMemory"}})", {}},
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

// A crafted key number stops the entries of a count of two billion at the
// bound of what the largest accepted file could number densely.
TEST(Pls, DeclaredCountIsBoundedByTheEntriesPresent) {
  const struct {
    std::string keys;
    size_t entries;
  } rows[] = {
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

} // namespace
