// The WAV records are golden records (tests/data/wav, tool-made and
// crafted); here the cover of the ID3 chunk must be the image in the file.
#include "support/test_support.h"

#include <gtest/gtest.h>

TEST(WavFixtures, Id3ChunkCoverIsLocatedInTheFile) {
  json_ptr record = record_of(data_path("wav/id3.wav"));
  json_object *picture = json_object_array_get_idx(
      json_object_object_get(json_object_object_get(json_object_object_get(record.get(), "wav"), "id3"), "APIC"), 0);
  const int64_t offset = json_object_get_int64(json_object_object_get(picture, "thumbOffset"));
  const int64_t size = json_object_get_int64(json_object_object_get(picture, "thumbSize"));
  EXPECT_EQ(read_file(data_path("wav/id3.wav")).substr(static_cast<size_t>(offset), static_cast<size_t>(size)),
            read_file(data_path("flac/cover.jpg")));
}
