// The command's output: standard output, or a named file that appears whole when the command
// succeeds and is left exactly as it was when it fails (see fileio/atomic_file.h).
#pragma once

#include <fcntl.h>

#include <cstdio>

#include "fileio/atomic_file.h"

namespace vurn {

struct output_file {
  atomic_file file;             // the named target; unused for standard output
  std::FILE* stream = nullptr;  // what the driver writes to
  const char* name = nullptr;   // what messages call it: the target as given, or "standard output"

  output_file() = default;
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;
  ~output_file();  // discards what was not committed
};

// Opens standard output (path null) or the named target: path, or target within folder_fd when
// target is given, never through a symbolic link then. A named output made from a regular file,
// input, gets no permission bit that input lacks (a new one 0666 less the umask, an existing one
// its own mode, each narrowed so); from standard input it gets them as "w" would. False after a
// message (CANNOT_CREATE_OUTPUT).
bool open_output(output_file& output, const char* path, std::FILE* input, int folder_fd = AT_FDCWD,
                 const char* target = nullptr);

// Flushes and closes the stream and puts a named result in place, synced to disk (its folder by
// `later` when given). Returns false after a message when that fails; nothing of the result is
// then left.
bool commit_output(output_file& output, folder_syncs* later = nullptr);

// Drops the result: the target stays exactly as it was, and nothing new is left.
void discard_output(output_file& output);

}  // namespace vurn
