#include "filter/filter.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "child.h"
#include "pipeline.h"

namespace vurn {

struct filter_state {
  filter_program program;
  pid_t pid = -1;           // the one child, when there is no pipeline
  int source_fd = -1;       // the input that child reads itself: its position is the progress
  off_t source_start = -1;  // that position at the start; -1 when the input has none
  std::unique_ptr<compression_pipeline> pipeline;
};

namespace {

// The pipe between this process and the child(ren): this process's end as a stream in `run`, the
// child's end returned. The stream is opened before any fork, so that failing to open it leaves
// no child behind.
filter_failure open_pipe(const char* program, const char* mode, filter_run& run, int& child_end) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return start_failure(filter_fault::cannot_start, program, errno);
  const bool parent_reads = mode[0] == 'r';
  const int parent_end = parent_reads ? fds[0] : fds[1];
  child_end = parent_reads ? fds[1] : fds[0];
  run.pipe_end = fdopen(parent_end, mode);
  if (run.pipe_end == nullptr) {
    const int error = errno;
    close(fds[0]);
    close(fds[1]);
    return start_failure(filter_fault::cannot_stream, program, error);
  }
  return {};
}

// One child between stdin_fd and stdout_fd; the pipe end in `run` is one of the two.
filter_failure start_one_child(filter_state& state, int stdin_fd, int stdout_fd, int child_end,
                               filter_run& run) {
  const pid_t pid = fork_filter(state.program, stdin_fd, stdout_fd);
  const int error = errno;
  close(child_end);
  if (pid < 0) {
    std::fclose(run.pipe_end);
    run.pipe_end = nullptr;
    return start_failure(filter_fault::cannot_start, state.program.name, error);
  }
  state.pid = pid;
  return {};
}

// Whether the one compressor child, having exited with status 0, left input unread: a regular
// file's position short of its end, or a pipe or socket that holds more (or whose writer is still
// there, as a compressor that read to the end would have seen it gone). Of other inputs, such as
// a terminal, nothing can be told.
bool left_input_unread(int source_fd) {
  struct stat status {};
  if (fstat(source_fd, &status) != 0) return false;
  if (S_ISREG(status.st_mode)) {
    const off_t position = lseek(source_fd, 0, SEEK_CUR);
    return position >= 0 && position < status.st_size;
  }
  if (!S_ISFIFO(status.st_mode) && !S_ISSOCK(status.st_mode)) return false;
  pollfd ready{source_fd, POLLIN, 0};
  if (poll(&ready, 1, 0) == 0) return true;
  if ((ready.revents & POLLIN) == 0) return false;
  char byte;
  return read(source_fd, &byte, 1) > 0;
}

}  // namespace

filter_run::filter_run() = default;

filter_run::~filter_run() {
  if (state != nullptr || pipe_end != nullptr) finish_filter(*this, true);
}

compression_plan default_compression_plan() {
  long processors = 0;
#ifdef __linux__
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) processors = CPU_COUNT(&set);
#endif
  if (processors <= 0) processors = sysconf(_SC_NPROCESSORS_ONLN);
  return {static_cast<int>(std::clamp(processors, 1L, static_cast<long>(MOST_CHILDREN))),
          SEGMENT_SIZE};
}

filter_failure start_compressor(const filter_command& command, int source_fd, filter_run& run,
                                const compression_plan& plan) {
  const char* program = command.program;
  auto state = std::make_unique<filter_state>();
  state->program = find_program(command);
  int child_end = -1;
  const filter_failure opened = open_pipe(program, "r", run, child_end);
  if (failed(opened)) return opened;
  // A missing program gets one child too, which says so once.
  if (plan.children > 1 && plan.segment_size > 0 && !state->program.paths.empty() &&
      !fits_one_segment(source_fd, plan.segment_size)) {
    state->pipeline = std::make_unique<compression_pipeline>(state->program, source_fd, plan);
    if (state->pipeline->start(child_end) == 0) {
      run.state = std::move(state);
      return {};
    }
    // No room for the pipeline (memory, or its thread, first child or their pipes under a
    // process or descriptor limit): one child may still fit.
    state->pipeline.reset();
  }
  state->source_fd = source_fd;
  state->source_start = lseek(source_fd, 0, SEEK_CUR);
  const filter_failure started = start_one_child(*state, source_fd, child_end, child_end, run);
  if (failed(started)) return started;
  run.state = std::move(state);
  return {};
}

filter_failure start_decompressor(const filter_command& command, int sink_fd, filter_run& run) {
  const char* program = command.program;
  auto state = std::make_unique<filter_state>();
  state->program = find_program(command);
  int child_end = -1;
  const filter_failure opened = open_pipe(program, "w", run, child_end);
  if (failed(opened)) return opened;
  const filter_failure started = start_one_child(*state, child_end, sink_fd, child_end, run);
  if (failed(started)) return started;
  run.state = std::move(state);
  return {};
}

std::uint64_t input_bytes_read(const filter_run& run) {
  const filter_state* state = run.state.get();
  if (state == nullptr) return 0;
  if (state->pipeline != nullptr) return state->pipeline->input_bytes();
  if (state->source_start < 0) return 0;
  const off_t position = lseek(state->source_fd, 0, SEEK_CUR);
  return position > state->source_start ? static_cast<std::uint64_t>(position - state->source_start)
                                        : 0;
}

filter_failure finish_filter(filter_run& run, bool abandon) {
  std::unique_ptr<filter_state> state = std::move(run.state);
  if (state != nullptr && abandon) {
    if (state->pipeline != nullptr) {
      state->pipeline->stop();
    } else {
      // Stopped before its pipe closes: a gunzip that saw its input end first would complain of
      // a truncated stream nobody meant to finish.
      kill(state->pid, SIGTERM);
    }
  }
  if (run.pipe_end != nullptr) std::fclose(run.pipe_end);
  run.pipe_end = nullptr;
  if (state == nullptr) return {};
  if (state->pipeline != nullptr) return state->pipeline->join();
  if (abandon) return stop_children(state->program.name, {&state->pid, 1}, state->source_fd >= 0);
  const filter_failure outcome = wait_for_child(state->program.name, state->pid, false);
  if (!failed(outcome) && state->source_fd >= 0 && left_input_unread(state->source_fd)) {
    return {filter_fault::input_unread, state->program.name, 0, 0, 0};
  }
  return outcome;
}

}  // namespace vurn
