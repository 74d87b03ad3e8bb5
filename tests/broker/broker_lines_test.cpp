#include "broker/broker_lines.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Splits `bytes` into lines the way the worker reads its input: a channel
// with no encoding and automatic line-end detection.
std::vector<std::string> worker_lines(const std::string &bytes) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  GIOChannel *channel = g_io_channel_unix_new(fds[0]);
  g_io_channel_set_encoding(channel, nullptr, nullptr);
  std::vector<std::string> lines;
  char *line = nullptr;
  while (g_io_channel_read_line(channel, &line, nullptr, nullptr, nullptr) == G_IO_STATUS_NORMAL) {
    lines.emplace_back(line);
    g_free(line);
  }
  g_io_channel_unref(channel);
  close(fds[0]);
  return lines;
}

// The refused paths are those the worker's reader would split, and a path
// ending in a carriage return, which the reader takes together with the line
// feed as one line end.
TEST(broker_lines, refused_paths_are_those_the_worker_would_split) {
  const char *pieces[] = {"\n", "\r", "\r\n", "\xe2\x80\xa9", "\xe2\x80\xa8", "\xc2\x85", "\t", "\v", "\f",
                          "\xe2\x80", "\xe2", ":", " "};
  for (const char *piece : pieces) {
    for (std::string path : {"/a" + std::string(piece) + "b", "/a" + std::string(piece)}) {
      SCOPED_TRACE(path);
      bool split = worker_lines("1:" + path + "\n").size() > 1;
      EXPECT_EQ(path_has_line_end(path.c_str()), split || path.back() == '\r');
    }
  }
  // NUL ends a line too, but it can't be part of a path handed over as text.
  EXPECT_EQ(worker_lines(std::string("1:/a\0b\n", 7)).size(), 2u);
}

// An answer's id, the size and time of the file the worker opened, and its
// record; the older form without size and time still reads, as 0 and 0.
TEST(broker_lines, answers_give_their_record_size_and_time) {
  const struct {
    const char *answer;
    answer_match match;
    const char *json; // on collect
    double size, modified;
  } rows[] = {
      {"1:{}", answer_match::collect, "{}", 0, 0},
      {"1:15:1700000000:{\"a\":1}", answer_match::collect, "{\"a\":1}", 15, 1700000000},
      {"01:0:-86400:{}", answer_match::collect, "{}", 0, -86400},
      {"1:5368709120:1:{}", answer_match::collect, "{}", 5368709120.0, 1}, // past 32 bits
      {"1:3:4:x:y", answer_match::collect, "x:y", 3, 4},                   // the record is not looked into
      {"1:15:{}", answer_match::no_text, nullptr, 0, 0},
      {"1:15:17", answer_match::no_text, nullptr, 0, 0},
      {"1:15:17:", answer_match::no_text, nullptr, 0, 0},
      {"1:-5:17:{}", answer_match::no_text, nullptr, 0, 0},
      {"1:15a:17:{}", answer_match::no_text, nullptr, 0, 0},
      {"1:", answer_match::no_text, nullptr, 0, 0},
      {"1", answer_match::no_text, nullptr, 0, 0},
      {"2:3:4:{}", answer_match::other_id, nullptr, 0, 0},
      {"{\"returnValue\":false}", answer_match::other_id, nullptr, 0, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.answer);
    answer_text text;
    ASSERT_EQ(match_answer("1:/a", row.answer, &text), row.match);
    if (row.match != answer_match::collect)
      continue;
    EXPECT_STREQ(text.json, row.json);
    EXPECT_EQ(text.size, row.size);
    EXPECT_EQ(text.modified, row.modified);
  }
}

} // namespace
