// Opening a file for parsing, and the reasons a file is refused.
#pragma once

#include <cstdio>
#include <sys/stat.h>

// Why a file was not parsed. The worker's record of such a file carries the
// word of open_refusal_word in "errorText".
enum class open_refusal {
  none,
  empty_path,         // nothing to open
  not_found,          // no such file, or a path through something not a folder
  permission_denied,  // the worker may not read it
  not_regular_file,   // a FIFO, device, folder, socket, or a kernel pseudo-file
  failed,             // any other failure of the open (I/O error, no descriptors)
};

// Opens `path` for reading ("rb") if it is a regular file that holds data,
// without blocking on the open and before reading a byte; else null, with
// the reason in `*refusal`. `*opened`, when given, gets the fstat of the
// opened file.
FILE *open_regular_file(const char *path, open_refusal *refusal, struct stat *opened = nullptr);

const char *open_refusal_word(open_refusal refusal);
// The refusal an open(2) failure with `err` stands for.
open_refusal open_refusal_of_errno(int err);
// True for the magic numbers (statfs f_type) of the kernel's pseudo file
// systems, whose "regular" files are views of the kernel and of processes.
bool is_pseudo_file_system(unsigned long magic);

