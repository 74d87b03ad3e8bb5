#include "worker/confine.h"

#include "base/log.h"

#include <fcntl.h>
#include <sched.h>
#include <linux/landlock.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdint>
#include <string>

#ifdef MS_HAVE_SECCOMP
#include <seccomp.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define MS_SANITIZER_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MS_SANITIZER_BUILD 1
#endif
#endif

namespace {

// Landlock rights by ABI version; older kernel headers lack the later ones.
constexpr uint64_t fs_refer = 1ULL << 13;    // ABI 2
constexpr uint64_t fs_truncate = 1ULL << 14; // ABI 3
constexpr uint64_t fs_ioctl_dev = 1ULL << 15; // ABI 5

// Denies, everywhere, every file-system right that changes or runs anything.
// Reading files and listing folders are not handled, so they stay allowed.
bool apply_landlock() {
  long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1)
    return false;
  landlock_ruleset_attr attr{};
  attr.handled_access_fs = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                           LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                           LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
                           LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
                           LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
                           LANDLOCK_ACCESS_FS_MAKE_SYM;
  if (abi >= 2)
    attr.handled_access_fs |= fs_refer;
  if (abi >= 3)
    attr.handled_access_fs |= fs_truncate;
  if (abi >= 5)
    attr.handled_access_fs |= fs_ioctl_dev;
  // The ruleset attribute grew with later ABIs; passing only the file-system
  // member keeps to what every version accepts.
  int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr.handled_access_fs, 0));
  if (ruleset < 0)
    return false;
  bool ok = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  close(ruleset);
  return ok;
}

#ifdef MS_HAVE_SECCOMP
// A forbidden system call traps here instead of running: the worker logs
// which call it was and then ends itself with SIGSYS, so the broker sees a
// crash like any other. Only async-signal-safe calls.
void handle_forbidden_call(int, siginfo_t *info, void *) {
  char message[64] = "Worker made a forbidden system call ";
  size_t len = strlen(message);
  char digits[16];
  int n = 0;
  unsigned value = static_cast<unsigned>(info->si_syscall);
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < 15);
  while (n > 0 && len < sizeof message - 3)
    message[len++] = digits[--n];
  message[len++] = '!';
  message[len++] = '\n';
  message[len] = '\0';
  log_error_signal_safe(message);
  signal(SIGSYS, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGSYS);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(SIGSYS);
  _exit(128 + SIGSYS);
}

// Argument comparisons spelled out in full (the library's macros leave a
// member to zero-initialisation, which some compilers warn about).
scmp_arg_cmp arg_equals(unsigned arg, scmp_datum_t value) { return {arg, SCMP_CMP_EQ, value, 0}; }
scmp_arg_cmp arg_masked(unsigned arg, scmp_datum_t mask, scmp_datum_t value) {
  return {arg, SCMP_CMP_MASKED_EQ, mask, value};
}

bool allow(scmp_filter_ctx ctx, int call) { return seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0) == 0; }

template <typename... Cmp> bool allow_if(scmp_filter_ctx ctx, int call, Cmp... cmp) {
  return seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, sizeof...(cmp), cmp...) == 0;
}

// Allows what parsing needs; any other system call traps and ends the worker.
bool apply_seccomp(int log_fd) {
  struct sigaction action {};
  action.sa_sigaction = handle_forbidden_call;
  action.sa_flags = SA_SIGINFO;
  if (sigaction(SIGSYS, &action, nullptr) != 0)
    return false;
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_TRAP);
  if (ctx == nullptr)
    return false;
  bool ok = true;
  // Reading, seeking and asking about files.
  for (int call : {SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(lseek), SCMP_SYS(fstat),
                   SCMP_SYS(newfstatat), SCMP_SYS(stat), SCMP_SYS(lstat), SCMP_SYS(statx), SCMP_SYS(close),
                   SCMP_SYS(dup), SCMP_SYS(fcntl), SCMP_SYS(getdents64)})
    ok = ok && allow(ctx, call);
  // Opening only for reading: no write access mode, no creation, no truncation.
  const scmp_datum_t open_mask = O_ACCMODE | O_CREAT | O_TRUNC;
  ok = ok && allow_if(ctx, SCMP_SYS(openat), arg_masked(2, open_mask, O_RDONLY));
  ok = ok && allow_if(ctx, SCMP_SYS(open), arg_masked(1, open_mask, O_RDONLY));
  // Terminal checks that stdio makes on a stream it opens.
  ok = ok && allow_if(ctx, SCMP_SYS(ioctl), arg_equals(1, TCGETS));
  // Memory, never executable.
  ok = ok && allow_if(ctx, SCMP_SYS(mmap), arg_masked(2, PROT_EXEC, 0));
  ok = ok && allow_if(ctx, SCMP_SYS(mprotect), arg_masked(2, PROT_EXEC, 0));
  for (int call : {SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk), SCMP_SYS(madvise)})
    ok = ok && allow(ctx, call);
  // Writing to its own output, error and log descriptors only.
  for (scmp_datum_t fd : {STDOUT_FILENO, STDERR_FILENO}) {
    ok = ok && allow_if(ctx, SCMP_SYS(write), arg_equals(0, fd));
    ok = ok && allow_if(ctx, SCMP_SYS(writev), arg_equals(0, fd));
  }
  if (log_fd >= 0) {
    ok = ok && allow_if(ctx, SCMP_SYS(sendto), arg_equals(0, static_cast<scmp_datum_t>(log_fd)));
    ok = ok && allow_if(ctx, SCMP_SYS(write), arg_equals(0, static_cast<scmp_datum_t>(log_fd)));
  }
  // Time, randomness for hash seeds, locks, signals the process sends itself
  // when it aborts, and exit.
  for (int call : {SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday), SCMP_SYS(time), SCMP_SYS(getrandom),
                   SCMP_SYS(futex), SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(tgkill), SCMP_SYS(rt_sigprocmask),
                   SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigreturn), SCMP_SYS(restart_syscall), SCMP_SYS(exit),
                   SCMP_SYS(exit_group)})
    ok = ok && allow(ctx, call);
#ifdef MS_SANITIZER_BUILD
  // The leak checker stops the process with a ptraced helper thread at exit,
  // and the sanitizer runtime asks about itself; test builds only.
  // Only thread-like clones that share memory: never a new process.
  ok = ok && allow_if(ctx, SCMP_SYS(clone), arg_masked(0, CLONE_VM, CLONE_VM));
  for (int call : {SCMP_SYS(ptrace), SCMP_SYS(getdents), SCMP_SYS(wait4), SCMP_SYS(waitid),
                   SCMP_SYS(prctl), SCMP_SYS(sigaltstack), SCMP_SYS(readlink), SCMP_SYS(readlinkat),
                   SCMP_SYS(sched_getaffinity), SCMP_SYS(sched_yield), SCMP_SYS(getppid), SCMP_SYS(nanosleep),
                   SCMP_SYS(clock_nanosleep), SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(uname),
                   SCMP_SYS(getrlimit), SCMP_SYS(prlimit64), SCMP_SYS(munlock), SCMP_SYS(mlock),
                   SCMP_SYS(pipe2), SCMP_SYS(pipe)})
    ok = ok && allow(ctx, call);
#endif
  ok = ok && seccomp_load(ctx) == 0;
  seccomp_release(ctx);
  return ok;
}
#endif

bool apply_memory_ceiling() {
#ifdef MS_SANITIZER_BUILD
  // Sanitizer builds reserve terabytes of shadow memory up front; a data
  // limit would make them fail at once, so only plain builds set it.
  return false;
#else
  rlimit limit{worker_memory_ceiling, worker_memory_ceiling};
  return setrlimit(RLIMIT_DATA, &limit) == 0;
#endif
}

} // namespace

confinement_result confine_worker(int log_fd) {
  confinement_result result{};
  result.memory_ceiling = apply_memory_ceiling();
  result.no_new_privs = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
  result.landlock = result.no_new_privs && apply_landlock();
#ifdef MS_HAVE_SECCOMP
  result.seccomp = result.no_new_privs && apply_seccomp(log_fd);
#else
  (void)log_fd;
#endif
  if (!result.no_new_privs || !result.landlock || !result.seccomp) {
    std::string missing;
    if (!result.no_new_privs)
      missing += " no-new-privileges";
    if (!result.landlock)
      missing += " landlock";
    if (!result.seccomp)
      missing += " seccomp";
    log_error("Worker confinement is partial, missing:%s\n", missing.c_str());
  }
  return result;
}
