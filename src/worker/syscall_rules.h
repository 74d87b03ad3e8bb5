// The worker's system-call allow-list as data: the seccomp filter is built
// from it, and the tests check it, architecture by architecture.
#pragma once

#include <cstddef>
#include <cstdint>

// Where the value an argument is compared with comes from.
enum class arg_source {
  constant,       // `value` itself
  log_descriptor, // the worker's log socket (the row is left out without one)
  own_process,    // the worker's own process id
};

// (args[arg] & mask) == value.
struct syscall_arg_check {
  unsigned arg;
  uint64_t mask;
  uint64_t value;
  arg_source source;
};

constexpr size_t max_arg_checks = 2;

// One allowed form of a call. Calls are named, not numbered: a name is looked
// up on each architecture, and a row whose call does not exist there, or is
// reached only through a multiplexer such as socketcall, is left out there.
struct syscall_rule {
  const char *name;
  size_t n_checks;
  syscall_arg_check checks[max_arg_checks];
  // A libseccomp architecture name on which `name` is a different call with
  // other arguments (i386's "mmap" takes a pointer to its arguments), or null.
  const char *not_on;
  // Only sanitizer builds need it: their runtime's own calls.
  bool sanitizer_only;
};

extern const syscall_rule worker_syscall_rules[];
extern const size_t worker_syscall_rule_count;
