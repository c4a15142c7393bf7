// A line on standard error that shows how far a long run has got: the input bytes done, of how
// many when that is known, the rate and the time left. Only on a terminal, only after the run has
// lasted a second, redrawn in place at most five times a second, and erased before any message
// and at the end.
#pragma once

#include <chrono>
#include <cstdint>

#include "container/body.h"

namespace vurn {

class progress_line {
 public:
  // input_fd: the run's input. When it is a regular file its file position is the progress (also
  // while a compressor child reads it through the same open file) and its size the total;
  // otherwise the counts the body reports are, when counted_by_body.
  progress_line(int input_fd, bool counted_by_body);
  ~progress_line();
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;

  // What the body calls after each pass.
  progress_hook hook();

 private:
  using clock = std::chrono::steady_clock;
  static void on_pass(void* self, std::uint64_t input_bytes);
  static void erase_current();
  void update(std::uint64_t input_bytes);
  void erase();

  bool wanted_ = false;
  int input_fd_ = -1;
  bool positioned_ = false;  // the input's file position is the progress
  std::uint64_t total_ = 0;  // 0: unknown
  clock::time_point start_;
  clock::time_point last_drawn_;
  bool shown_ = false;
};

}  // namespace vurn
