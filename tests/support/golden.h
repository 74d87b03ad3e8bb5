// Tool-made fixtures checked whole: the record of tests/data/FOLDER/FILE
// must equal FILE.json beside it.
#pragma once

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

inline void expect_golden_records(const std::string &folder, std::initializer_list<const char *> files) {
  for (const char *file : files) {
    const std::string path = data_path(folder + "/" + file);
    EXPECT_EQ(record_text(path), canonical_json(read_file(path + ".json"))) << file;
  }
}
