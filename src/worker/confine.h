// Confinement of the parser worker: once its channels and its log are set up,
// the worker holds no capabilities and can read files and write only to its
// own output, error and log descriptors. A parser that is tricked into anything else ends the process with
// SIGSYS, after one log line naming the forbidden system call.
#pragma once

#include <cstddef>
#include <cstdint>

// What confinement could be put in place.
struct confinement_result {
  bool no_capabilities;
  bool no_new_privs;
  bool landlock;
  bool seccomp;
  bool memory_ceiling;
};

// Largest data segment the worker may grow to. The largest legitimate parse
// holds a 2 MiB ID3 tag twice over (file bytes and the library's frames), a
// 128 KiB playlist or a 64 KiB EXIF block, plus json-c's record: a few MiB.
// 256 MiB leaves a wide margin for libraries' own buffers while keeping a
// runaway allocation from starving a small device.
constexpr size_t worker_memory_ceiling = 256u * 1024 * 1024;

// Puts every layer in place that this build and kernel offer, and logs one
// line naming what is missing when the confinement is partial. `log_fd` is
// the worker's already connected log socket, or -1.
confinement_result confine_worker(int log_fd);

// The worker's seccomp filter for `arch` (a libseccomp architecture token: the
// running one confines the worker, the others are built to be checked), as a
// scmp_filter_ctx the caller releases with seccomp_release; null when it
// can't be built or the build has no libseccomp.
void *build_worker_filter(uint32_t arch, int log_fd);
