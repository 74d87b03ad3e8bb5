// What the load, fault and leak tests share: the seed every run prints, the
// corpus, and the entries the service must give.
#pragma once

#include "corpus.h"
#include "support/test_support.h"

#include <map>
#include <string>
#include <vector>

// The seed of a seeded test: MS_LOAD_SEED when set, else `fallback`. It is
// printed, so that a failing run can be repeated exactly.
unsigned load_seed(unsigned fallback);

// A corpus of `count` fixture copies in `dir`.
corpus load_corpus(const temp_dir &dir, size_t count);

// JSON text without layout, or "(not JSON) ..." for anything else.
std::string compact_json(const std::string &text);

// The entries the service must give: path, size, modified and the record an
// in-process parse makes, worked out once per path.
struct expected_entries {
  const std::string &entry(const std::string &path);
  std::string reply(const std::vector<std::string> &paths);
  std::map<std::string, std::string> cache;
};

// The value of ASAN_OPTIONS with `option` added, for a service started by the
// bus; only `option` when the variable is unset.
std::string asan_options_with(const std::string &option);

// The request lines ("ID:PATH") the service logged after `marker` (for
// example "Toxic file "), in the order logged.
std::vector<std::string> logged_request_lines(const std::string &log, const std::string &marker);

// The path of a request line "ID:PATH".
std::string path_of_request(const std::string &line);

// Resident memory of a process in KiB, or -1.
long resident_kib(pid_t pid);
