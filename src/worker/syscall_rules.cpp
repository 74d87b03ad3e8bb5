#include "worker/syscall_rules.h"

#include <fcntl.h>
#include <linux/net.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

// The flag and command values below are the same on x86_64, i386, aarch64
// and 32-bit ARM, so one table serves them all.

namespace {

constexpr uint64_t all_bits = ~uint64_t{0};

constexpr syscall_arg_check equals(unsigned arg, uint64_t value) {
  return {arg, all_bits, value, arg_source::constant};
}
constexpr syscall_arg_check masked(unsigned arg, uint64_t mask, uint64_t value) {
  return {arg, mask, value, arg_source::constant};
}
constexpr syscall_arg_check is_log_socket(unsigned arg) { return {arg, all_bits, 0, arg_source::log_descriptor}; }
constexpr syscall_arg_check is_own_process(unsigned arg) { return {arg, all_bits, 0, arg_source::own_process}; }

constexpr syscall_rule any(const char *name) { return {name, 0, {}, nullptr, false}; }
constexpr syscall_rule when(const char *name, syscall_arg_check a) { return {name, 1, {a, {}}, nullptr, false}; }
constexpr syscall_rule when(const char *name, syscall_arg_check a, syscall_arg_check b) {
  return {name, 2, {a, b}, nullptr, false};
}
constexpr syscall_rule sanitizer(syscall_rule rule) {
  rule.sanitizer_only = true;
  return rule;
}
constexpr syscall_rule not_on(const char *arch, syscall_rule rule) {
  rule.not_on = arch;
  return rule;
}

// An open for reading only: no write access mode, no creation, no truncation.
constexpr uint64_t open_mask = O_ACCMODE | O_CREAT | O_TRUNC;

} // namespace

// 32-bit C libraries reach the same services through other calls: mmap2,
// _llseek, fstat64/fstatat64 (or statx), fstatfs64, fcntl64, and the
// 64-bit-time forms clock_gettime64 and futex_time64. Each is listed beside
// its 64-bit twin; a name missing on an architecture is skipped there.
const syscall_rule worker_syscall_rules[] = {
    // Reading, seeking and asking about files.
    any("read"), any("readv"), any("pread64"), any("lseek"), any("_llseek"), any("fstat"), any("fstat64"),
    any("newfstatat"), any("fstatat64"), any("stat"), any("stat64"), any("lstat"), any("lstat64"), any("statx"),
    any("fstatfs"), any("fstatfs64"), any("close"), any("dup"), any("getdents64"),
    // Descriptor flags: reading them, and setting them without signal-driven
    // I/O (O_ASYNC with F_SETOWN/F_SETSIG would let a hijacked worker have the
    // kernel signal another process for it).
    when("fcntl", equals(1, F_GETFL)), when("fcntl", equals(1, F_GETFD)), when("fcntl", equals(1, F_SETFD)),
    when("fcntl", equals(1, F_SETFL), masked(2, O_ASYNC, 0)), when("fcntl64", equals(1, F_GETFL)),
    when("fcntl64", equals(1, F_GETFD)), when("fcntl64", equals(1, F_SETFD)),
    when("fcntl64", equals(1, F_SETFL), masked(2, O_ASYNC, 0)),
    // Opening only for reading.
    when("openat", masked(2, open_mask, O_RDONLY)), when("open", masked(1, open_mask, O_RDONLY)),
    // The terminal check stdio makes on a stream it opens.
    when("ioctl", equals(1, TCGETS)),
    // Memory, never executable.
    not_on("x86", when("mmap", masked(2, PROT_EXEC, 0))), when("mmap2", masked(2, PROT_EXEC, 0)),
    when("mprotect", masked(2, PROT_EXEC, 0)), any("munmap"), any("mremap"), any("brk"), any("madvise"),
    // Writing to its own output and error, and to its log socket, which is
    // connected: a send names no address. i386 sends through socketcall,
    // whose arguments sit in memory the filter can't see; only its plain
    // send (no address) is allowed there.
    when("write", equals(0, STDOUT_FILENO)), when("write", equals(0, STDERR_FILENO)),
    when("writev", equals(0, STDOUT_FILENO)), when("writev", equals(0, STDERR_FILENO)),
    when("write", is_log_socket(0)), when("send", is_log_socket(0)), when("sendto", is_log_socket(0), equals(4, 0)),
    when("socketcall", equals(0, SYS_SEND)),
    // Time, randomness for hash seeds, locks, the signals the process sends
    // itself when it aborts, and exit.
    any("clock_gettime"), any("clock_gettime64"), any("gettimeofday"), any("time"), any("getrandom"), any("futex"),
    any("futex_time64"), any("getpid"), any("gettid"), when("tgkill", is_own_process(0)), any("rt_sigprocmask"),
    any("rt_sigaction"), any("rt_sigreturn"), any("sigreturn"), any("restart_syscall"), any("exit"),
    any("exit_group"),
    // The leak checker stops the process with a ptraced helper thread at exit,
    // and the sanitizer runtime asks about itself. Only thread-like clones
    // that share memory: never a new process.
    sanitizer(when("clone", masked(0, CLONE_VM, CLONE_VM))), sanitizer(any("ptrace")), sanitizer(any("getdents")),
    sanitizer(any("wait4")), sanitizer(any("waitid")), sanitizer(any("prctl")), sanitizer(any("sigaltstack")),
    sanitizer(any("readlink")), sanitizer(any("readlinkat")), sanitizer(any("sched_getaffinity")),
    sanitizer(any("sched_yield")), sanitizer(any("getppid")), sanitizer(any("nanosleep")),
    sanitizer(any("clock_nanosleep")), sanitizer(any("clock_nanosleep_time64")), sanitizer(any("set_robust_list")),
    sanitizer(any("rseq")), sanitizer(any("uname")), sanitizer(any("getrlimit")), sanitizer(any("ugetrlimit")),
    sanitizer(any("prlimit64")), sanitizer(any("munlock")), sanitizer(any("mlock")), sanitizer(any("pipe2")),
    sanitizer(any("pipe")),
};

const size_t worker_syscall_rule_count = sizeof worker_syscall_rules / sizeof worker_syscall_rules[0];
