// Output files that appear only when the command succeeds.
//
// A named regular-file target is written through a temporary file in the target's folder, which
// replaces the target by rename only on success. Other targets (devices, FIFOs, terminals,
// standard output) are written directly. While a temporary file exists, SIGINT, SIGTERM and
// SIGHUP remove it before the process ends by the signal, and so does any exit().
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

namespace vurn {

struct output_file {
  std::FILE* stream = nullptr;
  const char* name = nullptr;  // what messages call it: the target as given, or "standard output"
  std::string temp_path;       // empty when the target is written directly
  std::string final_path;      // what the temporary file is renamed to (symbolic links followed)
  mode_t final_mode = 0;       // permission bits the finished file gets
  bool created_directly = false;  // a new target had to be written in place; removed on failure
};

// Opens standard output (path null) or the named target. On failure writes
// "Unable to create file: <path> for writing" and returns false.
bool open_output(const char* path, output_file* output);

// Gives a finished output its final name and permissions. The stream must be closed already.
// Returns false after a message when that fails; the temporary file is then removed.
bool commit_output(output_file* output);

// Removes what a failed command wrote: the temporary file, or a target it created in place.
// Closes the stream first if it is still open.
void discard_output(output_file* output);

}  // namespace vurn
