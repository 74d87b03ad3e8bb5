// What the load and fault tests share: the seed every run prints and the
// corpus of fixture copies.
#pragma once

#include "corpus.h"
#include "support/test_support.h"

// The seed of a seeded test: MS_LOAD_SEED when set, else `fallback`. It is
// printed, so that a failing run can be repeated exactly.
unsigned load_seed(unsigned fallback);

// A corpus of `count` fixture copies in `dir`.
corpus load_corpus(const temp_dir &dir, size_t count);
