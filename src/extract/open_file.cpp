#include "extract/open_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The kernel's pseudo file systems, by the magic number fstatfs reports.
// Their "regular" files are views of the kernel and of processes: reading
// one may block (/proc/kmsg), consume what others wait for, cost seconds
// (/proc/kallsyms), or hand the caller the worker's own memory map and
// environment (/proc/self/maps, a playlist link to /proc/self/environ).
const unsigned long pseudo_file_systems[] = {
    0x9fa0,     // proc
    0x62656572, // sysfs
    0x64626720, // debugfs
    0x74726163, // tracefs
    0x73636673, // securityfs
    0x27e0eb,   // cgroup
    0x63677270, // cgroup2
    0x1cd1,     // devpts
    0x62656570, // configfs
    0xcafe4a11, // bpf
    0x6165676c, // pstore
    0xde5e81e4, // efivarfs
    0xf97cff8c, // selinuxfs
    0x43415d53, // smackfs
    0x42494e4d, // binfmt_misc
    0x65735543, // fusectl
    0x6e736673, // nsfs
    0x19800202, // mqueue
    0x67596969, // rpc_pipefs
    0x6e667364, // nfsd
    0x9fa1,     // openprom
    0x9fa2,     // usbdevfs
    0xabba1974, // xenfs
};

} // namespace

bool is_pseudo_file_system(unsigned long magic) {
  // f_type is a signed word on some architectures: compare its low 32 bits.
  magic &= 0xffffffffUL;
  for (unsigned long pseudo : pseudo_file_systems)
    if (magic == pseudo)
      return true;
  return false;
}

open_refusal open_refusal_of_errno(int err) {
  switch (err) {
  case ENOENT:
  case ENOTDIR:
  case ELOOP:
  case ENAMETOOLONG:
    return open_refusal::not_found;
  case EACCES:
  case EPERM:
    return open_refusal::permission_denied;
  case ENXIO:   // a socket, or a device without its driver
  case ENODEV:
  case EISDIR:
    return open_refusal::not_regular_file;
  default:
    return open_refusal::failed;
  }
}

const char *open_refusal_word(open_refusal refusal) {
  switch (refusal) {
  case open_refusal::none:
    return "";
  case open_refusal::empty_path:
    return "emptyPath";
  case open_refusal::not_found:
    return "notFound";
  case open_refusal::permission_denied:
    return "permissionDenied";
  case open_refusal::not_regular_file:
    return "notRegularFile";
  case open_refusal::failed:
    break;
  }
  return "openFailed";
}

// Opens `path` for reading only if it is a regular file on a file system
// that holds data. The open itself must not block (a named pipe would wait
// for a writer forever), and anything that is not a regular file (a pipe, a
// device such as /dev/zero, a folder, a socket, a kernel pseudo-file) is
// refused before a byte is read: it could stall the worker, feed a parser
// endlessly or leak the worker's own state.
bool open_source_file(const char *path, open_refusal *refusal, unsigned char *head, size_t head_size,
                      source_file *file) {
  if (path[0] == '\0') {
    *refusal = open_refusal::empty_path;
    return false;
  }
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *refusal = open_refusal_of_errno(errno);
    return false;
  }
  struct stat st;
  struct statfs fs;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fstatfs(fd, &fs) != 0 ||
      is_pseudo_file_system(static_cast<unsigned long>(fs.f_type))) {
    *refusal = open_refusal::not_regular_file;
    close(fd);
    return false;
  }
  // Of the flags F_SETFL can change, the open set only O_NONBLOCK: clearing
  // them all makes reads block as on any file, without asking for the flags.
  fcntl(fd, F_SETFL, 0);
  ssize_t n;
  do {
    n = pread(fd, head, head_size, 0);
  } while (n < 0 && errno == EINTR);
  FILE *stream = pread_stream_adopt(fd, st, head, n > 0 ? static_cast<size_t>(n) : 0);
  if (stream == nullptr) {
    *refusal = open_refusal::failed;
    close(fd);
    return false;
  }
  file->stream = stream;
  file->fd = fd;
  file->st = st;
  file->stat_known = true;
  file->head = head;
  file->head_length = n > 0 ? static_cast<size_t>(n) : 0;
  return true;
}
