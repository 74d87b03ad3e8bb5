#include "load_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

unsigned load_seed(unsigned fallback) {
  const char *set = getenv("MS_LOAD_SEED");
  unsigned seed = set != nullptr ? static_cast<unsigned>(strtoul(set, nullptr, 10)) : fallback;
  printf("seed %u (set MS_LOAD_SEED=%u to repeat this run)\n", seed, seed);
  fflush(stdout);
  ::testing::Test::RecordProperty("seed", static_cast<int>(seed));
  return seed;
}

corpus load_corpus(const temp_dir &dir, size_t count) {
  corpus c;
  std::string error;
  if (!corpus_build(MS_TEST_DATA_DIR, dir.path, count, &c, &error))
    ADD_FAILURE() << "corpus: " << error;
  return c;
}
