// One filter child: the program looked up on the search path, the fork that makes a child become
// it between two descriptors, and the wait that tells how it ended.
#pragma once

#include <sys/types.h>

#include <string>

#include "filter/filter.h"

namespace vurn {

// A program looked up on the search path before any child is forked: between fork and exec, a
// child of a process with several threads may only call async-signal-safe functions, and a path
// search is not one.
struct filter_program {
  const char* name = nullptr;
  std::string cannot_run_text;
  std::string path;  // empty when the search path holds no such program
};

filter_program find_program(const filter_command& command);

// Forks a watched child that becomes program between stdin_fd and stdout_fd, or says
// program.cannot_run_text and exits with CHILD_CANNOT_RUN. Returns its pid, or -1 with errno set.
pid_t fork_filter(const filter_program& program, int stdin_fd, int stdout_fd);

// Waits for a child and tells how it ended; with asked_to_stop, ending by SIGTERM is no failure.
filter_failure wait_for_child(const char* program, pid_t pid, bool asked_to_stop);

filter_failure start_failure(filter_fault fault, const char* program, int error_number);

// Closes fd if it is open and marks it closed.
void close_fd(int& fd);

}  // namespace vurn
