#include "worker/confine.h"

#include "base/log.h"
#include "worker/syscall_rules.h"

#include <linux/capability.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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

// The comparison a table check stands for, with its runtime values filled in.
scmp_arg_cmp comparison(const syscall_arg_check &check, int log_fd) {
  scmp_datum_t value = check.value;
  if (check.source == arg_source::log_descriptor)
    value = static_cast<scmp_datum_t>(log_fd);
  else if (check.source == arg_source::own_process)
    value = static_cast<scmp_datum_t>(getpid());
  if (check.mask == ~scmp_datum_t{0})
    return {check.arg, SCMP_CMP_EQ, value, 0};
  return {check.arg, SCMP_CMP_MASKED_EQ, check.mask, value};
}

bool uses_log_socket(const syscall_rule &rule) {
  for (size_t i = 0; i < rule.n_checks; ++i)
    if (rule.checks[i].source == arg_source::log_descriptor)
      return true;
  return false;
}

// Adds one table row to a filter for `arch`, if it applies there.
bool add_rule(scmp_filter_ctx ctx, uint32_t arch, const syscall_rule &rule, int log_fd) {
#ifndef MS_SANITIZER_BUILD
  if (rule.sanitizer_only)
    return true;
#endif
  if ((log_fd < 0 && uses_log_socket(rule)) ||
      (rule.not_on != nullptr && seccomp_arch_resolve_name(rule.not_on) == arch))
    return true;
  // Not a call of its own here (absent, or multiplexed through socketcall,
  // where its arguments would not be the ones the checks mean).
  if (seccomp_syscall_resolve_name_arch(arch, rule.name) < 0)
    return true;
  // Rules take the running architecture's number (or libseccomp's stand-in
  // for a call it lacks), which the library translates for `arch`.
  int call = seccomp_syscall_resolve_name(rule.name);
  scmp_arg_cmp cmp[max_arg_checks];
  for (size_t i = 0; i < rule.n_checks; ++i)
    cmp[i] = comparison(rule.checks[i], log_fd);
  return seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, call, static_cast<unsigned>(rule.n_checks), cmp) == 0;
}

bool apply_seccomp(int log_fd) {
  struct sigaction action {};
  action.sa_sigaction = handle_forbidden_call;
  action.sa_flags = SA_SIGINFO;
  if (sigaction(SIGSYS, &action, nullptr) != 0)
    return false;
  auto ctx = static_cast<scmp_filter_ctx>(build_worker_filter(seccomp_arch_native(), log_fd));
  if (ctx == nullptr)
    return false;
  bool ok = seccomp_load(ctx) == 0;
  seccomp_release(ctx);
  return ok;
}
#endif

// A worker started by a service running as root would keep every capability,
// and with them the power to read, signal or trace what it likes. Drops them
// all: the bounding set first (that needs CAP_SETPCAP, which goes next), then
// the ambient, inheritable, permitted and effective sets. True when none is
// left.
bool drop_capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0)
    return false;
  bool held = false;
  for (const __user_cap_data_struct &word : data)
    held = held || word.effective != 0 || word.permitted != 0 || word.inheritable != 0;
  if (!held)
    return true; // the bounding set matters only to an exec, which is forbidden
  bool ok = true;
  for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap)
    if (prctl(PR_CAPBSET_READ, cap, 0, 0, 0) == 1 && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
      ok = false;
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
  return syscall(SYS_capset, &header, none) == 0 && ok;
}

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

#ifndef MS_HAVE_SECCOMP
void *build_worker_filter(uint32_t, int) { return nullptr; }
#else
void *build_worker_filter(uint32_t arch, int log_fd) {
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_TRAP);
  if (ctx == nullptr)
    return nullptr;
  bool ok = true;
  if (arch != seccomp_arch_native())
    ok = seccomp_arch_add(ctx, arch) == 0 && seccomp_arch_remove(ctx, SCMP_ARCH_NATIVE) == 0;
  for (size_t i = 0; ok && i < worker_syscall_rule_count; ++i)
    ok = add_rule(ctx, arch, worker_syscall_rules[i], log_fd);
  if (!ok) {
    seccomp_release(ctx);
    return nullptr;
  }
  return ctx;
}
#endif

confinement_result confine_worker(int log_fd) {
  confinement_result result{};
  result.memory_ceiling = apply_memory_ceiling();
  // A worker that crashes ends at once, without writing (or piping to a
  // crash handler) a core image that would hold the caller's file contents.
  rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  result.no_capabilities = drop_capabilities();
  result.no_new_privs = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
  result.landlock = result.no_new_privs && apply_landlock();
#ifdef MS_HAVE_SECCOMP
  result.seccomp = result.no_new_privs && apply_seccomp(log_fd);
#else
  (void)log_fd;
#endif
  if (!result.no_capabilities || !result.no_new_privs || !result.landlock || !result.seccomp) {
    std::string missing;
    if (!result.no_capabilities)
      missing += " capability-drop";
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
