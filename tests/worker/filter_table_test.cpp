// The worker's seccomp filter, built for each architecture a device may run,
// exported as the BPF program the kernel would run and run here on system
// calls as that architecture's C library makes them: every call the worker
// makes there is allowed, writes, opens for writing, sockets, exec and the
// forbidden forms of allowed calls are not.
#include "worker/confine.h"
#include "worker/syscall_rules.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/net.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int log_fd = 5;

struct arch_case {
  const char *name;
  uint32_t token;
};
const arch_case arches[] = {{"x86_64", SCMP_ARCH_X86_64},
                            {"i386", SCMP_ARCH_X86},
                            {"aarch64", SCMP_ARCH_AARCH64},
                            {"arm", SCMP_ARCH_ARM}};

std::vector<sock_filter> filter_program(uint32_t arch, int log) {
  auto ctx = static_cast<scmp_filter_ctx>(build_worker_filter(arch, log));
  if (ctx == nullptr)
    return {};
  int fd = memfd_create("filter", MFD_CLOEXEC);
  bool exported = seccomp_export_bpf(ctx, fd) == 0;
  seccomp_release(ctx);
  off_t size = lseek(fd, 0, SEEK_END);
  std::vector<sock_filter> program(exported && size > 0 ? static_cast<size_t>(size) / sizeof(sock_filter) : 0);
  if (pread(fd, program.data(), program.size() * sizeof(sock_filter), 0) < 0)
    program.clear();
  close(fd);
  return program;
}

// Runs a classic BPF program over `data` as the kernel does; its return
// value is the filter's verdict. Only the instructions libseccomp emits are
// known (loads of the call's words, jumps, masks and returns): any other
// fails the test rather than being misread.
uint32_t run_program(const std::vector<sock_filter> &program, const seccomp_data &data) {
  uint32_t a = 0;
  for (size_t pc = 0; pc < program.size(); ++pc) {
    const sock_filter &op = program[pc];
    bool taken = false;
    switch (op.code) {
    case BPF_LD | BPF_W | BPF_ABS:
      if (op.k + 4 > sizeof data)
        return ADD_FAILURE() << "load past the data " << op.k, 0;
      memcpy(&a, reinterpret_cast<const unsigned char *>(&data) + op.k, 4);
      continue;
    case BPF_ALU | BPF_AND | BPF_K: a &= op.k; continue;
    case BPF_JMP | BPF_JA: pc += op.k; continue;
    case BPF_JMP | BPF_JEQ | BPF_K: taken = a == op.k; break;
    case BPF_JMP | BPF_JGT | BPF_K: taken = a > op.k; break;
    case BPF_JMP | BPF_JGE | BPF_K: taken = a >= op.k; break;
    case BPF_JMP | BPF_JSET | BPF_K: taken = (a & op.k) != 0; break;
    case BPF_RET | BPF_K: return op.k;
    case BPF_RET | BPF_A: return a;
    default: return ADD_FAILURE() << "instruction " << op.code, 0;
    }
    pc += taken ? op.jt : op.jf;
  }
  return ADD_FAILURE() << "the program ran off its end", 0;
}

// A system call as the C library of an architecture makes it. `on` names
// the architectures it is meant for (all where the call exists when null).
struct call {
  const char *name;
  std::vector<uint64_t> args;
  const char *on = nullptr;
};

// The action the filter for `arch` takes on `c`, or -1 when the call does not
// exist there (or `on` excludes the architecture).
long verdict(const std::vector<sock_filter> &program, const arch_case &arch, const call &c) {
  if (c.on != nullptr && std::string(" ") .append(c.on).append(" ").find(std::string(" ") + arch.name + " ") ==
                             std::string::npos)
    return -1;
  int nr = seccomp_syscall_resolve_name_arch(arch.token, c.name);
  if (nr < 0)
    return -1;
  seccomp_data data{};
  data.nr = nr;
  data.arch = arch.token;
  for (size_t i = 0; i < c.args.size() && i < 6; ++i)
    data.args[i] = c.args[i];
  return run_program(program, data) & SECCOMP_RET_ACTION_FULL;
}

const uint64_t rdonly_open = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
const uint64_t own_pid = static_cast<uint64_t>(getpid());

// What the worker calls: reading, stat and fstatfs of what it opened, flags
// of its descriptors, memory, its answers and log lines, time, locks and the
// signals of its own death.
const std::vector<call> worker_calls = {
    {"read", {3, 0x1000, 8}}, {"readv", {3}}, {"pread64", {3}}, {"lseek", {3, 0, SEEK_SET}},
    {"_llseek", {3, 0, 0, 0x1000, SEEK_SET}}, {"fstat", {3}}, {"fstat64", {3}}, {"newfstatat", {3, 0, 0, 0x1000}},
    {"fstatat64", {3, 0, 0, 0x1000}}, {"statx", {3}}, {"fstatfs", {3}}, {"fstatfs64", {3}}, {"close", {3}},
    {"getdents64", {3}}, {"fcntl", {3, F_GETFL}}, {"fcntl", {3, F_SETFL, O_RDONLY}}, {"fcntl", {3, F_GETFD}},
    {"fcntl", {3, F_SETFD, FD_CLOEXEC}}, {"fcntl64", {3, F_GETFL}}, {"fcntl64", {3, F_SETFL, O_RDONLY}},
    {"fcntl64", {3, F_GETFD}}, {"fcntl64", {3, F_SETFD, FD_CLOEXEC}},
    {"openat", {static_cast<uint64_t>(AT_FDCWD), 0x1000, rdonly_open}}, {"open", {0x1000, rdonly_open}},
    {"ioctl", {3, TCGETS}}, {"mmap", {0, 0x1000, PROT_READ | PROT_WRITE}, "x86_64 aarch64"},
    {"mmap2", {0, 0x1000, PROT_READ | PROT_WRITE}}, {"mprotect", {0x1000, 0x1000, PROT_READ}},
    {"munmap", {0x1000}}, {"mremap", {0x1000}}, {"brk", {0}}, {"madvise", {0x1000}},
    {"write", {STDOUT_FILENO}}, {"write", {STDERR_FILENO}}, {"write", {log_fd}}, {"writev", {STDERR_FILENO}},
    {"sendto", {log_fd, 0x1000, 8, 0, 0, 0}}, {"send", {log_fd, 0x1000, 8, 0}}, {"socketcall", {SYS_SEND, 0x1000}},
    {"clock_gettime", {0}}, {"clock_gettime64", {0}}, {"gettimeofday", {0}}, {"getrandom", {0}}, {"futex", {0}},
    {"futex_time64", {0}}, {"getpid", {}}, {"gettid", {}}, {"tgkill", {own_pid, own_pid, SIGABRT}},
    {"rt_sigprocmask", {}}, {"rt_sigaction", {}}, {"rt_sigreturn", {}}, {"sigreturn", {}},
    {"exit_group", {0}},
};

// What no worker may do, or not in that form.
const std::vector<call> forbidden_calls = {
    {"write", {3}}, {"write", {log_fd + 1}}, {"writev", {7}}, {"pwrite64", {3}}, {"sendfile", {1, 3}},
    {"openat", {static_cast<uint64_t>(AT_FDCWD), 0x1000, O_WRONLY}},
    {"openat", {static_cast<uint64_t>(AT_FDCWD), 0x1000, O_RDWR}},
    {"openat", {static_cast<uint64_t>(AT_FDCWD), 0x1000, O_RDONLY | O_CREAT}},
    {"openat", {static_cast<uint64_t>(AT_FDCWD), 0x1000, O_RDONLY | O_TRUNC}}, {"open", {0x1000, O_WRONLY}},
    {"open", {0x1000, O_RDONLY | O_CREAT}}, {"creat", {0x1000}}, {"openat2", {}}, {"unlinkat", {}},
    {"unlink", {}}, {"rename", {}}, {"mkdirat", {}}, {"truncate", {}}, {"ftruncate", {3}},
    {"socket", {AF_INET, SOCK_STREAM}}, {"socket", {AF_UNIX, SOCK_DGRAM}}, {"connect", {3}},
    {"socketcall", {SYS_SOCKET, 0x1000}}, {"socketcall", {SYS_SENDTO, 0x1000}},
    {"socketcall", {SYS_CONNECT, 0x1000}}, {"sendto", {log_fd, 0x1000, 8, 0, 0x2000, 16}},
    {"sendto", {log_fd + 1, 0x1000, 8, 0, 0, 0}}, {"send", {log_fd + 1}}, {"sendmsg", {log_fd}},
    {"execve", {}}, {"execveat", {}}, {"fork", {}}, {"vfork", {}}, {"clone", {SIGCHLD}},
    {"fcntl", {3, F_SETOWN, 1}}, {"fcntl", {0, F_SETSIG, SIGKILL}}, {"fcntl", {0, F_SETFL, O_ASYNC}},
    {"fcntl", {3, F_DUPFD, 10}}, {"fcntl64", {3, F_SETOWN, 1}}, {"fcntl64", {0, F_SETSIG, SIGKILL}},
    {"fcntl64", {0, F_SETFL, O_ASYNC | O_NONBLOCK}}, {"mmap", {0, 0x1000, PROT_READ | PROT_EXEC}},
    {"mmap", {0x1000}, "i386"}, // the old call, whose arguments sit in memory
    {"mmap2", {0, 0x1000, PROT_READ | PROT_EXEC}}, {"mprotect", {0x1000, 0x1000, PROT_EXEC}},
    {"kill", {1, SIGKILL}}, {"tgkill", {own_pid + 1, own_pid + 1, SIGKILL}}, {"tkill", {1, SIGKILL}},
    {"capset", {}}, {"setuid", {0}}, {"mount", {}}, {"bpf", {}}, {"process_vm_writev", {}},
};

} // namespace

TEST(SeccompFilter, EachArchitectureAllowsTheWorkersCallsAndNothingElse) {
  for (const arch_case &arch : arches) {
    SCOPED_TRACE(arch.name);
    std::vector<sock_filter> program = filter_program(arch.token, log_fd);
    ASSERT_FALSE(program.empty());
    size_t checked = 0;
    for (const call &c : worker_calls) {
      long action = verdict(program, arch, c);
      checked += action >= 0;
      EXPECT_TRUE(action < 0 || action == SECCOMP_RET_ALLOW) << c.name << " " << (c.args.size() > 1 ? c.args[1] : 0);
    }
    EXPECT_GT(checked, 35u);
    for (const call &c : forbidden_calls) {
      long action = verdict(program, arch, c);
      EXPECT_TRUE(action < 0 || action == SECCOMP_RET_TRAP) << c.name << " " << (c.args.size() > 1 ? c.args[1] : 0);
    }
    // Without a log socket, nothing is sent or written but the answers and
    // standard error.
    std::vector<sock_filter> no_log = filter_program(arch.token, -1);
    for (const call &c : {call{"write", {log_fd}}, call{"sendto", {log_fd, 0x1000, 8, 0, 0, 0}}})
      EXPECT_NE(verdict(no_log, arch, c), SECCOMP_RET_ALLOW) << c.name;
  }
}

// The 32-bit forms the filter must name exist where the C library uses them,
// and a call made under another architecture's numbering (int 0x80 from a
// 64-bit process) ends the process outright.
TEST(SeccompFilter, ThirtyTwoBitFormsExistAndForeignCallsAreKilled) {
  for (const char *name : {"mmap2", "_llseek", "fcntl64", "fstatat64", "fstatfs64", "clock_gettime64", "futex_time64"})
    for (uint32_t arch : {SCMP_ARCH_X86, SCMP_ARCH_ARM})
      EXPECT_GE(seccomp_syscall_resolve_name_arch(arch, name), 0) << name;
  std::vector<sock_filter> program = filter_program(SCMP_ARCH_X86_64, log_fd);
  seccomp_data data{};
  data.arch = SCMP_ARCH_X86;
  data.nr = seccomp_syscall_resolve_name_arch(SCMP_ARCH_X86, "read");
  EXPECT_EQ(run_program(program, data) & SECCOMP_RET_ACTION_FULL, static_cast<uint32_t>(SECCOMP_RET_KILL_THREAD));
}

// Every row of the allow-list names a call of at least one of these
// architectures: a misspelt name would be skipped everywhere without a word.
TEST(SeccompFilter, EveryRuleNamesARealCall) {
  for (size_t i = 0; i < worker_syscall_rule_count; ++i) {
    const char *name = worker_syscall_rules[i].name;
    bool somewhere = false;
    for (const arch_case &arch : arches)
      somewhere = somewhere || seccomp_syscall_resolve_name_arch(arch.token, name) >= 0;
    EXPECT_TRUE(somewhere) << name;
  }
}
