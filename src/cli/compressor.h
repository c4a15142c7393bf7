// The compressor child: "gzip" in front of the encryptor, "gunzip" behind the decryptor, joined to
// this process by one pipe.
#pragma once

#include <sys/types.h>

#include <cstdio>

namespace vurn {

struct compressor_child {
  pid_t pid = -1;
  std::FILE* pipe_end = nullptr;  // this process's end of the pipe
};

// Starts program reading from descriptor source_fd and writing into a pipe whose read end this
// process gets as compressor->pipe_end. Returns false after a message when that fails.
bool start_compressor(const char* program, int source_fd, compressor_child* compressor);

// Starts program reading from a pipe whose write end this process gets as compressor->pipe_end,
// and writing to descriptor sink_fd. Returns false after a message when that fails.
bool start_decompressor(const char* program, int sink_fd, compressor_child* compressor);

// Closes this process's end of the pipe if it is still open, waits for the child and returns
// whether it ran and exited with status 0. With abandon, the child is first asked to stop
// (SIGTERM): its work is no longer wanted, and it might otherwise wait for input forever.
bool finish_child(compressor_child* compressor, bool abandon);

}  // namespace vurn
