#include "extract/dispatch.h"
#include "extract/log.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

std::string member(json_object *record, const char *key) {
  json_object *value = json_object_object_get(record, key);
  return value ? json_object_get_string(value) : "";
}

// The record's member names in order.
std::vector<std::string> keys_of(json_object *record) {
  std::vector<std::string> keys;
  json_object_object_foreach(record, key, value) {
    (void)value;
    keys.emplace_back(key);
  }
  return keys;
}

struct dispatch_case {
  const char *name;   // file name in the temporary folder
  std::string bytes;  // its content
  const char *type;
  const char *subtype;
};

void expect_dispatch(const temp_dir &dir, const dispatch_case &c) {
  std::string path = dir.write(c.name, c.bytes);
  json_ptr record = record_of(path);
  ASSERT_TRUE(record) << c.name;
  EXPECT_EQ(member(record.get(), "type"), c.type) << c.name;
  EXPECT_EQ(member(record.get(), "subtype"), c.subtype) << c.name;
  std::vector<std::string> keys = keys_of(record.get());
  ASSERT_GE(keys.size(), 3u) << c.name;
  EXPECT_EQ(keys.front(), "returnValue") << c.name;
  EXPECT_EQ(keys[keys.size() - 2], "type") << c.name;
  EXPECT_EQ(keys.back(), "subtype") << c.name;
}

const std::string junk = "\x01\x02\x03\x04\x05\x06\x07\x08\x09";

} // namespace

TEST(Dispatch, EverySignatureRowWinsOverTheExtension) {
  temp_dir dir;
  const dispatch_case cases[] = {
      {"a.jpg", std::string("\x89PNG\r\n\x1a\n", 8) + "rest", "image", "png"},
      {"a.png", std::string("\x00\x00\x00\x18" "ftypM4A ", 12), "container", "mpeg4"},
      {"b.mp3", std::string("\xff\x00\x00\x00" "ftyp", 8), "container", "mpeg4"},
      {"a.pls", "#EXTM3U\n", "playlist", "m3u"},
      {"a.m3u", "[playlist]\n", "playlist", "pls"},
      {"a.tif", std::string("GIF89a\x01\x00", 8), "image", "gif"},
      {"a.gif", std::string("MM\0*\0\0\0\x08", 8), "image", "tiff"},
      {"b.gif", std::string("II*\0\x08\0\0\0", 8), "image", "tiff"},
      {"a.jpg", "ID3", "audio", "mpeg3"},
      {"a.bmp", "\xff\xd8", "image", "jpeg"},
      {"a.wav", "BM", "image", "bmp"},
  };
  for (const dispatch_case &c : cases)
    expect_dispatch(dir, c);
}

TEST(Dispatch, EveryExtensionInAnyCaseWhenNoSignatureMatches) {
  temp_dir dir;
  const struct {
    const char *extensions;
    const char *type;
    const char *subtype;
  } rows[] = {
      {"mp3", "audio", "mpeg3"},
      {"m3u m3u8", "playlist", "m3u"},
      {"pls", "playlist", "pls"},
      {"3g2 3gp 3gpp 3gpp2 aac m4a m4v m4r mp4 mpa mpb mpv", "container", "mpeg4"},
      {"wav wv", "audio", "wav"},
      {"jfi jfif jif jpe jpeg jpg", "image", "jpeg"},
      {"bmp", "image", "bmp"},
      {"png", "image", "png"},
      {"gif", "image", "gif"},
      {"tiff tif", "image", "tiff"},
      {"txt mp33 m3", "unknown", "unknown"},
  };
  for (const auto &row : rows) {
    gchar **extensions = g_strsplit(row.extensions, " ", -1);
    for (gchar **ext = extensions; *ext; ++ext) {
      std::string lower = std::string("f.") + *ext;
      gchar *upper_ext = g_ascii_strup(*ext, -1);
      std::string upper = std::string("G.") + upper_ext;
      g_free(upper_ext);
      expect_dispatch(dir, {lower.c_str(), junk, row.type, row.subtype});
      expect_dispatch(dir, {upper.c_str(), junk, row.type, row.subtype});
    }
    g_strfreev(extensions);
  }
}

TEST(Dispatch, ShortFilesAndAwkwardNames) {
  temp_dir dir;
  const dispatch_case cases[] = {
      // Too short for the 8-byte rows: the extension decides.
      {"short.tif", std::string("II*\0\x01", 5), "image", "tiff"},
      {"short.bin", std::string("II*\0\x01", 5), "unknown", "unknown"},
      {"seven.pls", "#EXTM3U", "playlist", "pls"},
      // A broken PNG signature falls back to the name.
      {"broken.png", "\x89PNG\r\x01\x02\x03", "image", "png"},
      {"broken.dat", "\x89PNG\r\x01\x02\x03", "unknown", "unknown"},
      // One byte read: only the extension can tell.
      {"one.gif", "G", "image", "gif"},
      {"one.jpg", "\xff", "image", "jpeg"},
      {"trailing.", junk, "unknown", "unknown"},
      {"noextension", junk, "unknown", "unknown"},
  };
  for (const dispatch_case &c : cases)
    expect_dispatch(dir, c);

  // A dot in a folder name is not an extension.
  std::string sub = dir.path + "/x.mp3";
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  expect_dispatch(dir, {"x.mp3/file", junk, "unknown", "unknown"});
}

TEST(Dispatch, UnrecognisedAndEmptyFilesGetExactlyThreeMembers) {
  temp_dir dir;
  const char *expected = "{\"returnValue\":true,\"type\":\"unknown\",\"subtype\":\"unknown\"}";
  EXPECT_EQ(record_text(dir.write("a.mp3", "")), expected); // empty: no extension lookup
  EXPECT_EQ(record_text(dir.write("a.xyz", junk)), expected);
  EXPECT_EQ(record_text(dir.write("a.png", std::string("\x89PNG\r\n\x1a\n", 8))),
            "{\"returnValue\":true,\"type\":\"image\",\"subtype\":\"png\"}");
}

TEST(Dispatch, UnopenableFileLeavesTheRecordEmpty) {
  log_capture logs;
  json_ptr root(json_object_new_object());
  EXPECT_FALSE(parse_file("/nonexistent/a.mp3", root.get()));
  EXPECT_EQ(json_object_object_length(root.get()), 0);
  EXPECT_EQ(logs.count("Failed to open file!\n"), 1);
}

TEST(Dispatch, OnlyRegularFilesAreOpened) {
  temp_dir dir;
  std::string fifo = dir.path + "/pipe.m3u";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  log_capture logs;
  // A named pipe with no writer, a device that never ends, a folder: each is
  // refused at once as a file that cannot be opened.
  for (const std::string &path : {fifo, std::string("/dev/zero"), dir.path}) {
    json_ptr root(json_object_new_object());
    EXPECT_FALSE(parse_file(path.c_str(), root.get())) << path;
    EXPECT_EQ(json_object_object_length(root.get()), 0) << path;
  }
  EXPECT_EQ(logs.count("Failed to open file!\n"), 3);
  // A symbolic link to a regular file is followed.
  std::string target = dir.write("real.xyz", "data");
  std::string link = dir.path + "/link.xyz";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(record_text(link), "{\"returnValue\":true,\"type\":\"unknown\",\"subtype\":\"unknown\"}");
}
