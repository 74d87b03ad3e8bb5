#include "extract/byte_readers.h"
#include "extract/log.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

TEST(ByteReaders, BothOrdersAtAnyOffset) {
  const unsigned char bytes[] = {0x00, 0x12, 0x34, 0x56, 0x78, 0xff};
  EXPECT_EQ(read_32(bytes + 1), 0x12345678u);
  EXPECT_EQ(read_32_flip(bytes + 1), 0x78563412u);
  EXPECT_EQ(read_16(bytes + 1), 0x1234u);
  EXPECT_EQ(read_16_flip(bytes + 1), 0x3412u);
  EXPECT_EQ(read_32(bytes + 2), 0x345678ffu);
  EXPECT_EQ(read_16_flip(bytes + 4), 0xff78u);
}

TEST(GetFileSize, SizeOfStreamAndFailureOnBadDescriptor) {
  FILE *empty = stream_from_bytes("");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(get_file_size(empty), 0);
  fclose(empty);

  FILE *some = stream_from_bytes(std::string(1234, 'x'));
  ASSERT_NE(some, nullptr);
  fseek(some, 10, SEEK_SET);
  EXPECT_EQ(get_file_size(some), 1234);
  EXPECT_EQ(ftell(some), 10);

  log_capture logs;
  close(fileno(some)); // the stream's descriptor is gone
  EXPECT_EQ(get_file_size(some), -1);
  EXPECT_EQ(logs.count("Failed to get file stat.\n"), 1);
  fclose(some);
}
