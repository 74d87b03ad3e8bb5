#include "base/byte_readers.h"
#include "base/log.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

TEST(ByteReaders, BothOrdersAtAnOddOffset) {
  const unsigned char bytes[] = {0x00, 0x12, 0x34, 0x56, 0xff};
  EXPECT_EQ(read_32(bytes + 1), 0x123456ffu);
  EXPECT_EQ(read_32_flip(bytes + 1), 0xff563412u);
  EXPECT_EQ(read_16(bytes + 3), 0x56ffu);
  EXPECT_EQ(read_16_flip(bytes + 3), 0xff56u);
}

TEST(GetFileSize, SizeWithoutMovingTheStreamClampedOrFailed) {
  FILE *file = stream_from_bytes(std::string(1234, 'x'));
  fseek(file, 10, SEEK_SET);
  EXPECT_EQ(get_file_size(file), 1234);
  EXPECT_EQ(ftell(file), 10);
  // A size past 32 bits reads as the largest one, never as a negative.
  ASSERT_EQ(ftruncate(fileno(file), 3LL << 30), 0);
  EXPECT_EQ(get_file_size(file), INT32_MAX);

  log_capture logs;
  close(fileno(file)); // the stream's descriptor is gone
  EXPECT_EQ(get_file_size(file), -1);
  EXPECT_EQ(logs.lines, std::vector<std::string>{"Failed to get file stat.\n"});
  fclose(file);
}
