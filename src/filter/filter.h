// Child filters: a compressor in front of the encryptor, a decompressor behind the decryptor,
// joined to this process by one pipe. Nothing here prints; every outcome is returned.
//
// Compression may run several gzip children at once. A gzip stream may hold several members, which
// gunzip decodes as the concatenation of what they hold; so the input is cut into segments, each
// segment is compressed by a child of its own, and a thread of this process hands the members on
// through the pipe in input order. A file that fits in one segment, or any input on one processor,
// has one child that reads the input descriptor itself; a pipe that ends within one segment reaches
// one child through the thread. Either way the output is the one member gzip alone makes of that
// input.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace vurn {

// What to run: a program looked up on the search path and run with no arguments, and the line its
// child writes to standard error when no program of that name can be run.
struct filter_command {
  const char* program = nullptr;
  const char* cannot_run_text = nullptr;
};

// What went wrong with a filter run, if anything.
enum class filter_fault {
  none,
  cannot_start,   // a pipe, a child process or a thread could not be made: error_number says why
  cannot_stream,  // this process's end of the pipe could not be opened as a stream: error_number
  read_failed,    // reading the input failed: error_number (the input is read here when it is cut)
  exit_status,    // a child exited with a status other than 0; CHILD_CANNOT_RUN when it could
                  // not run the program, which it has said (cannot_run_text)
  signal,         // a signal ended a child
  input_unread,   // a compressor child exited with status 0 before reading all of its input
};

struct filter_failure {
  filter_fault fault = filter_fault::none;
  const char* program = nullptr;  // the program of the child that failed, or that was to start
  int error_number = 0;           // cannot_start, cannot_stream, read_failed
  int exit_status = 0;            // exit_status
  int signal = 0;                 // signal
};

// The exit status of a child that could not run its program, after it said so.
inline constexpr int CHILD_CANNOT_RUN = 127;

constexpr bool failed(const filter_failure& failure) {
  return failure.fault != filter_fault::none;
}

// How compression is spread over children: at most `children` at a time, each compressing
// `segment_size` bytes of the input (the last segment may be shorter).
struct compression_plan {
  int children = 1;
  std::size_t segment_size = 0;
};

// The segment size chosen from measurements: members of this size compress text to within 0.2% of
// one gzip over the whole input, and each child takes long enough to start to be worth its start.
inline constexpr std::size_t SEGMENT_SIZE = std::size_t{2} << 20;
inline constexpr int MOST_CHILDREN = 16;

// One child per processor this process may run on (at most MOST_CHILDREN), SEGMENT_SIZE each. Under
// a process or descriptor limit a run starts as many as fit, down to one.
compression_plan default_compression_plan();

// The children of a run and, when the input is cut into segments, the thread that feeds them.
struct filter_state;

// A running filter: this process's end of the pipe and the children behind it, which it owns.
// Destroying a run that was not finished abandons it (as finish_filter(run, true)).
struct filter_run {
  std::FILE* pipe_end = nullptr;  // read the compressed input from it, or write what gunzip decodes
  std::unique_ptr<filter_state> state;

  filter_run();
  filter_run(const filter_run&) = delete;
  filter_run& operator=(const filter_run&) = delete;
  ~filter_run();
};

// Starts compressing what source_fd holds from its current position to its end; the members can
// then be read from run.pipe_end to its end. Nothing is printed: a failure to start is returned
// (cannot_start, cannot_stream) and the run holds nothing.
filter_failure start_compressor(const filter_command& command, int source_fd, filter_run& run,
                                const compression_plan& plan = default_compression_plan());

// Starts the program reading from run.pipe_end (written by this process) and writing to sink_fd.
filter_failure start_decompressor(const filter_command& command, int sink_fd, filter_run& run);

// The input bytes the compressor has taken so far, while it runs (finish_filter on another thread
// must not race with it); 0 when this cannot be known (one child reading a pipe by itself).
std::uint64_t input_bytes_read(const filter_run& run);

// Closes this process's end of the pipe if it is still open, waits for the children and returns
// the first failure among them. With abandon, the run's work is no longer wanted: the children
// are all asked to stop at once (SIGTERM), as they might otherwise wait for input forever, and
// those still running a second later are killed; ending so (or, for gzip, by the broken pipe it
// wrote into) is no failure. A compressor that exits with status 0 before reading all of its
// input fails (input_unread): what it left would be lost.
filter_failure finish_filter(filter_run& run, bool abandon);

}  // namespace vurn
