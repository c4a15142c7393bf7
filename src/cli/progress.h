// When and what to show of a long run's progress: which file of how many (in a run of several),
// the input bytes of the file in progress done, of how many when that is known, and the rate. Only
// where progress_wanted(), only after the run has lasted a second, at most five times a second;
// the message writer draws the line and erases it before any message and at the run's end.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "container/body.h"

namespace vurn {

// The progress of a whole run.
class run_progress {
 public:
  // counted: show which file of how many; file_count 0 when that is not known (a walk).
  run_progress(bool counted, std::size_t file_count);
  ~run_progress();  // erases the line
  run_progress(const run_progress&) = delete;
  run_progress& operator=(const run_progress&) = delete;

  // The next file of the run begins; name is what messages call it.
  void begin_file(const char* name);

 private:
  friend class progress_line;
  using clock = std::chrono::steady_clock;

  bool counted_;
  std::size_t file_count_;
  std::size_t file_number_ = 0;
  const char* file_name_ = "";
  std::uint64_t bytes_before_ = 0;  // the input bytes of the files done
  clock::time_point start_ = clock::now();
  clock::time_point last_drawn_;
  bool drawn_ = false;
};

// Where the count of input bytes done comes from when the body does not read the input itself.
struct input_counter {
  std::uint64_t (*count)(const void* context) = nullptr;
  const void* context = nullptr;
};

// The progress of one file, within its run.
class progress_line {
 public:
  // input_fd: the file's input; when it is a regular file, what is left of it from its position
  // (and what the counter has counted so far) is the total. The bytes done are the body's counts,
  // or the counter's when it has one. data_to_stdout: the data goes to standard output.
  progress_line(run_progress& run, int input_fd, input_counter counter, bool data_to_stdout);
  ~progress_line();  // adds the file's bytes to the run's
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;

  // What the body calls after each pass.
  progress_hook hook();

 private:
  static void on_pass(void* self, std::uint64_t input_bytes);
  void update(std::uint64_t input_bytes);

  run_progress& run_;
  bool wanted_ = false;
  input_counter counter_;
  std::uint64_t total_ = 0;  // 0: unknown
  std::uint64_t done_ = 0;
};

}  // namespace vurn
