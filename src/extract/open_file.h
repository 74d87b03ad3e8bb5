// Opening a file for parsing, and the reasons a file is refused.
#pragma once

#include "base/pread_stream.h"

#include <cstddef>

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

// Opens `path` for reading if it is a regular file that holds data, without
// blocking on the open and before reading a byte, then reads its first
// `head_size` bytes into `head` with one read. True with `*file` filled (its
// stream reads from the start; fclose of it closes the descriptor); else
// false with the reason in `*refusal`.
bool open_source_file(const char *path, open_refusal *refusal, unsigned char *head, size_t head_size,
                      source_file *file);

const char *open_refusal_word(open_refusal refusal);
// The refusal an open(2) failure with `err` stands for.
open_refusal open_refusal_of_errno(int err);
// True for the magic numbers (statfs f_type) of the kernel's pseudo file
// systems, whose "regular" files are views of the kernel and of processes.
bool is_pseudo_file_system(unsigned long magic);

