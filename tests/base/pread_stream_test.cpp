// The seek-cheap stream must read exactly what a plain stream of the same
// file reads, whatever the seeks, across its window's edges and past the end.
#include "base/pread_stream.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Read alone, and with the file's first bytes already read (a head that
// ends inside the second window).
class PreadStream : public testing::TestWithParam<size_t> {};

TEST_P(PreadStream, ReadsWhatAPlainStreamReads) {
  // Three windows and a bit, with bytes that tell their own offset apart.
  std::string bytes(3 * 64 * 1024 + 777, '\0');
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(i * 7 + i / 251);
  file_ptr plain(stream_from_bytes(bytes));
  ASSERT_NE(plain, nullptr);
  ASSERT_EQ(fseeko(plain.get(), 100, SEEK_SET), 0);
  source_file source(plain.get());
  source.head = reinterpret_cast<const unsigned char *>(bytes.data());
  source.head_length = GetParam();
  file_ptr fast(pread_stream_open(source));
  ASSERT_NE(fast, nullptr);
  EXPECT_EQ(ftello(fast.get()), 100) << "starts where the given stream stands";

  std::mt19937 rng(7);
  auto below = [&](long n) { return std::uniform_int_distribution<long>(0, n - 1)(rng); };
  const long size = static_cast<long>(bytes.size());
  for (int step = 0; step < 3000; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    switch (below(4)) {
    case 0: {
      long to = below(size + 100);
      ASSERT_EQ(fseeko(fast.get(), to, SEEK_SET), fseeko(plain.get(), to, SEEK_SET));
      break;
    }
    case 1: {
      long by = below(140000) - 70000;
      int a = fseeko(fast.get(), by, SEEK_CUR), b = fseeko(plain.get(), by, SEEK_CUR);
      ASSERT_EQ(a == 0, b == 0) << "seek by " << by;
      break;
    }
    case 2: {
      long back = below(1000);
      ASSERT_EQ(fseeko(fast.get(), -back, SEEK_END), fseeko(plain.get(), -back, SEEK_END));
      break;
    }
    default: {
      std::string a(static_cast<size_t>(below(70000)), '\0'), b(a.size(), '\0');
      size_t got_a = fread(&a[0], 1, a.size(), fast.get()), got_b = fread(&b[0], 1, b.size(), plain.get());
      ASSERT_EQ(got_a, got_b);
      ASSERT_TRUE(a == b);
      clearerr(fast.get());
      clearerr(plain.get());
    }
    }
    ASSERT_EQ(ftello(fast.get()), ftello(plain.get()));
  }
  EXPECT_NE(fseeko(fast.get(), -1, SEEK_SET), 0);
}

INSTANTIATE_TEST_SUITE_P(Head, PreadStream, testing::Values(0, 70001));

TEST(PreadStreamOpen, NeedsADescriptor) {
  char bytes[4] = {1, 2, 3, 4};
  file_ptr memory(fmemopen(bytes, sizeof bytes, "rb"));
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(pread_stream_open(memory.get()), nullptr);
}

} // namespace
