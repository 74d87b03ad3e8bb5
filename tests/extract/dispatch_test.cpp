#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace {

const std::string junk = "\x01\x02\x03\x04\x05\x06\x07\x08\x09";

// The members dispatch itself writes: "returnValue" first, then, after any
// member of the format's parser, "type" and "subtype" last.
std::string dispatched(const temp_dir &dir, const std::string &name, const std::string &bytes) {
  std::string text = record_text(dir.write(name, bytes));
  size_t type = text.rfind(",\"type\":");
  return type == std::string::npos ? text : text.substr(0, 19) + text.substr(type);
}

std::string want(const std::string &type_and_subtype) {
  size_t slash = type_and_subtype.find('/');
  return R"({"returnValue":true,"type":")" + type_and_subtype.substr(0, slash) + R"(","subtype":")" +
         type_and_subtype.substr(slash + 1) + "\"}";
}

} // namespace

TEST(Dispatch, ContentBeatsExtensionShortFilesAndAwkwardNames) {
  temp_dir dir;
  ASSERT_EQ(mkdir((dir.path + "/x.mp3").c_str(), 0700), 0);
  const struct {
    const char *name;
    std::string bytes;
    const char *format;
  } cases[] = {
      // Every signature row, under an extension that names another format.
      {"a.jpg", std::string("\x89PNG\r\n\x1a\n", 8) + "rest", "image/png"},
      {"a.png", std::string("\x00\x00\x00\x18" "ftypM4A ", 12), "container/mpeg4"},
      {"b.mp3", std::string("\xff\x00\x00\x00" "ftyp", 8), "container/mpeg4"},
      {"a.pls", "#EXTM3U\n", "playlist/m3u"},
      {"a.m3u", "[playlist]\n", "playlist/pls"},
      {"a.tif", std::string("GIF89a\x01\x00", 8), "image/gif"},
      {"a.gif", std::string("MM\0*\0\0\0\x08", 8), "image/tiff"},
      {"b.gif", std::string("II*\0\x08\0\0\0", 8), "image/tiff"},
      {"a.jpg", "ID3", "audio/mpeg3"},
      {"a.bmp", "\xff\xd8", "image/jpeg"},
      {"a.wav", "BM", "image/bmp"},
      {"a.mp3", std::string("fLaC\0\0\0\x22", 8), "audio/flac"},
      {"a.flac", std::string("OggS") + std::string(24, '\0') + "OpusHead", "audio/opus"},
      {"b.flac", std::string("OggS") + std::string(24, '\0') + "\x01vorbis\0", "audio/ogg"},
      {"a.wav", std::string("RIFF\0\0\0\0WEBP", 12), "image/webp"},
      {"a.mp4", std::string("\0\0\0\x18" "ftypheic", 12), "image/heic"},
      {"b.mp4", std::string("\0\0\0\x18" "ftypheix", 12), "image/heic"},
      {"c.mp4", std::string("\0\0\0\x18" "ftypmif1", 12), "image/heif"},
      {"d.mp4", std::string("\0\0\0\x18" "ftypavif", 12), "image/avif"},
      {"a.heic", std::string("\0\0\0\x18" "ftypmp42", 12), "container/mpeg4"},
      // An ID3 tag in front of a FLAC stream counts only in a file so named.
      {"c.flac", std::string("ID3\x04\0\0\0\0\0\x01", 10) + "x" + "fLaC", "audio/flac"},
      {"c.mp3", std::string("ID3\x04\0\0\0\0\0\x01", 10) + "x" + "fLaC", "audio/mpeg3"},
      {"d.flac", std::string("ID3\x04\0\0\0\0\0\x01", 10) + "x" + "OggS", "audio/mpeg3"},
      // Too short for the 8-byte rows, or one byte only: the extension decides.
      {"short.tif", std::string("II*\0\x01", 5), "image/tiff"},
      {"short.bin", std::string("II*\0\x01", 5), "unknown/unknown"},
      {"seven.pls", "#EXTM3U", "playlist/pls"},
      {"one.gif", "G", "image/gif"},
      {"one.jpg", "\xff", "image/jpeg"},
      // Extensions match whole and in any case.
      {"UPPER.JPEG", junk, "image/jpeg"},
      {"Mixed.M4a", junk, "container/mpeg4"},
      {"near.mp33", junk, "unknown/unknown"},
      {"near.m3", junk, "unknown/unknown"},
      // A broken PNG signature falls back to the name.
      {"broken.png", "\x89PNG\r\x01\x02\x03", "image/png"},
      {"broken.dat", "\x89PNG\r\x01\x02\x03", "unknown/unknown"},
      // No extension: nothing after the dot, or the dot is a folder's.
      {"trailing.", junk, "unknown/unknown"},
      {"noextension", junk, "unknown/unknown"},
      {"x.mp3/file", junk, "unknown/unknown"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(dispatched(dir, c.name, c.bytes), want(c.format)) << c.name;
}

TEST(Dispatch, UnrecognisedAndEmptyFilesGetExactlyThreeMembers) {
  temp_dir dir;
  EXPECT_EQ(record_text(dir.write("a.mp3", "")), want("unknown/unknown")); // empty: no extension lookup
  EXPECT_EQ(record_text(dir.write("a.xyz", junk)), want("unknown/unknown"));
  EXPECT_EQ(record_text(dir.write("a.png", std::string("\x89PNG\r\n\x1a\n", 8))), want("image/png"));
}
