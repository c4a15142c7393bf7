// One filter child: the program looked up on the search path, the fork that makes a child become
// it between two descriptors, and the waits that tell how children ended.
#pragma once

#include <sys/types.h>

#include <span>
#include <string>
#include <vector>

#include "fileio/fd.h"  // close_fd
#include "filter/filter.h"

namespace vurn {

// A program looked up on the search path before any child is forked: between fork and exec, a
// child of a process with several threads may only call async-signal-safe functions, and a path
// search is not one.
struct filter_program {
  const char* name = nullptr;
  std::string cannot_run_text;
  // Every executable file of that name on the search path, in its order: the child tries each in
  // turn as execvp would (one whose interpreter is missing gives way to the next). Empty when
  // there is none.
  std::vector<std::string> paths;
};

filter_program find_program(const filter_command& command);

// Forks a watched child that becomes program between stdin_fd and stdout_fd, or says
// program.cannot_run_text and exits with CHILD_CANNOT_RUN. Returns its pid, or -1 with errno set.
pid_t fork_filter(const filter_program& program, int stdin_fd, int stdout_fd);

// Waits for a child and tells how it ended; with asked_to_stop, ending by SIGTERM is no failure.
filter_failure wait_for_child(const char* program, pid_t pid, bool asked_to_stop);

// Whether the child has ended (it can then be waited for at once); it is not reaped.
bool child_has_ended(pid_t pid);

// How long children asked to stop get before they are killed.
inline constexpr int STOP_GRACE_MS = 1000;

// Ends children whose work is no longer wanted, all at once: SIGTERM to each, up to STOP_GRACE_MS
// for them to end, then SIGKILL to any left; reaps them all. Ending by either signal is no
// failure, nor is SIGPIPE for children that write into this process (whose end is closed by
// then); returns the first other failure.
filter_failure stop_children(const char* program, std::span<const pid_t> pids, bool writing_to_us);

filter_failure start_failure(filter_fault fault, const char* program, int error_number);

}  // namespace vurn
