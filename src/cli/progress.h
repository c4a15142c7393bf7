// When and what to show of a long run's progress: the input bytes done, of how many when that is
// known, and the rate. Only where progress_wanted(), only after the run has lasted a second, at
// most five times a second; the message writer draws the line and erases it before any message
// and at the end.
#pragma once

#include <chrono>
#include <cstdint>

#include "container/body.h"

namespace vurn {

// Where the count of input bytes done comes from when the body does not read the input itself.
struct input_counter {
  std::uint64_t (*count)(const void* context) = nullptr;
  const void* context = nullptr;
};

class progress_line {
 public:
  // input_fd: the run's input; when it is a regular file, what is left of it from its position
  // (and what the counter has counted so far) is the total. The bytes done are the body's counts,
  // or the counter's when it has one.
  // data_to_stdout: the run writes its data to standard output.
  progress_line(int input_fd, input_counter counter, bool data_to_stdout);
  ~progress_line();
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;

  // What the body calls after each pass.
  progress_hook hook();

 private:
  using clock = std::chrono::steady_clock;
  static void on_pass(void* self, std::uint64_t input_bytes);
  void update(std::uint64_t input_bytes);

  bool wanted_ = false;
  input_counter counter_;
  std::uint64_t total_ = 0;  // 0: unknown
  clock::time_point start_;
  clock::time_point last_drawn_;
  bool drawn_ = false;
};

}  // namespace vurn
