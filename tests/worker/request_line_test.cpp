// The worker's request lines taken apart, and its answers, as pure functions.
#include "worker/request_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RequestLine, EachShapeWithItsIdAndPath) {
  const struct {
    const char *line;
    request_shape shape;
    long long id;
    const char *path; // for a file
  } rows[] = {
      {"12:/music/a.mp3", request_shape::file, 12, "/music/a.mp3"},
      {"12:/music/a.mp3  \t\r\n", request_shape::file, 12, "/music/a.mp3"}, // trailing white space stripped
      {"3:/a:b:c", request_shape::file, 3, "/a:b:c"},                       // only the first colon ends the id
      {"9223372036854775807:/x", request_shape::file, 9223372036854775807LL, "/x"},
      {"abc:/x", request_shape::file, 0, "/x"}, // no digits: id 0, as strtoll reads it
      {"-4:/x", request_shape::file, -4, "/x"},
      {"  +12:/x", request_shape::file, 12, "/x"},
      {"007:/x", request_shape::file, 7, "/x"},
      {"10: /x", request_shape::file, 10, " /x"}, // a leading space belongs to the path
      {"7:", request_shape::empty_path, 7, nullptr},
      {"7:   ", request_shape::empty_path, 7, nullptr}, // white space alone is stripped away
      {"/music/a.mp3", request_shape::malformed, 0, nullptr},
      {"", request_shape::malformed, 0, nullptr},
  };
  for (const auto &r : rows) {
    std::string line = r.line;
    long long id = -99;
    const char *path = nullptr;
    EXPECT_EQ(parse_request_line(&line[0], &id, &path), r.shape) << r.line;
    if (r.shape != request_shape::malformed) {
      EXPECT_EQ(id, r.id) << r.line;
    }
    if (r.shape == request_shape::file) {
      EXPECT_STREQ(path, r.path) << r.line;
    }
  }
}

TEST(RequestLine, AnswersCarryTheIdOrNothingWhenThereIsNone) {
  EXPECT_EQ(format_answer(5, "{}", 2147483648LL, -1), "5:2147483648:-1:{}\n");
  EXPECT_EQ(refused_answer(6, "notFound"), "6:{\"returnValue\":false,\"errorText\":\"notFound\"}\n");
  EXPECT_EQ(malformed_answer(), "{\"returnValue\":false}\n");
}

} // namespace
