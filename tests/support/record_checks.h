// Records checked whole: tool-made fixtures against the expected record
// beside them, and byte-built files against a table of expected members.
#pragma once

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

// The record of tests/data/FOLDER/FILE must equal FILE.json beside it.
inline void expect_golden_records(const std::string &folder, std::initializer_list<const char *> files) {
  for (const char *file : files) {
    const std::string path = data_path(folder + "/" + file);
    EXPECT_EQ(record_text(path), canonical_json(read_file(path + ".json"))) << file;
  }
}

// One byte-built file, the parser's member for it as plain JSON text ("" for
// none) and every line logged, in order.
struct member_case {
  const char *name;
  std::string bytes;
  std::string member;
  std::vector<std::string> logs;
};

template <typename Parse>
void expect_member_cases(const char *key, Parse parse, const std::vector<member_case> &cases) {
  for (const member_case &c : cases) {
    log_capture logs;
    EXPECT_EQ(parsed_member(c.bytes, key, parse), c.member) << c.name;
    EXPECT_EQ(logs.lines, c.logs) << c.name;
  }
}
