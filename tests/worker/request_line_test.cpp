#include "worker/request_line.h"

#include <gtest/gtest.h>

#include <string>

TEST(RequestLine, TakesLinesApart) {
  struct row {
    std::string line;
    bool ok;
    long long id;
    const char *path;
  };
  const row rows[] = {
      {"5:/media/a.mp3\n", true, 5, "/media/a.mp3"},
      {"007:/a\n", true, 7, "/a"},
      {"-3:/a\n", true, -3, "/a"},
      {"abc:/a\n", true, 0, "/a"},
      {"  +12:/a\n", true, 12, "/a"},
      {"9:/dir/with:colon\n", true, 9, "/dir/with:colon"},
      {"4:/a b  \t \r\n", true, 4, "/a b"},
      {"4:  /lead\n", true, 4, "  /lead"},
      {"9223372036854775807:/max\n", true, 9223372036854775807LL, "/max"},
      {"no colon\n", false, 0, nullptr},
      {"\n", false, 0, nullptr},
      {"", false, 0, nullptr},
      {"7:\n", false, 0, nullptr},
      {"7:   \r\n", false, 0, nullptr},
  };
  for (const row &r : rows) {
    std::string buffer = r.line;
    long long id = -99;
    const char *path = nullptr;
    ASSERT_EQ(parse_request_line(buffer.data(), &id, &path), r.ok) << r.line;
    if (!r.ok)
      continue;
    EXPECT_EQ(id, r.id) << r.line;
    EXPECT_STREQ(path, r.path) << r.line;
  }
}

TEST(RequestLine, AnswersAreOneLineEach) {
  EXPECT_EQ(format_answer(7, "{}"), "7:{}\n");
  EXPECT_EQ(format_answer(-3, failed_record), "-3:{\"returnValue\":false}\n");
  EXPECT_EQ(malformed_answer(), "{\"returnValue\":false}\n");
}
