// Compression over several children: the input cut into segments, each compressed by a gzip child
// of its own, and the members handed on in input order through one pipe.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "child.h"
#include "filter/filter.h"

namespace vurn {

// Whether what is left of the regular file source_fd fits in one segment.
bool fits_one_segment(int source_fd, std::size_t segment_size);

// A segment of the input on its way through a child. The buffers are allocated once per run;
// the member is kept here only until it is handed on, so a child ahead of its turn can go on
// until its member is whole (and then waits for room, never for longer).
struct segment_slot {
  enum class stage {
    no_child,  // not yet started: waits for its first byte, or for room for one more child
    running,
    reaped,
  };
  std::unique_ptr<std::byte[]> input;
  std::unique_ptr<std::byte[]> output;
  std::size_t input_length = 0;
  std::size_t input_fed = 0;
  bool input_whole = false;  // the segment is full, or the input has ended
  std::size_t output_length = 0;
  std::size_t output_sent = 0;
  bool in_use = false;
  stage child = stage::no_child;
  bool output_ended = false;  // the child closed its output: it is reaped once it has ended
  pid_t pid = -1;
  int to_child = -1;
  int from_child = -1;
  // The child's end of to_child, kept until it is reaped: what the pipe still holds then, the
  // child never read (a write into a pipe says nothing of whether it is read).
  int child_input = -1;
};

// Cuts the input into segments, gives each to a gzip child of its own (at most plan.children at a
// time, fewer when no more can be started) and writes their members in input order into the pipe
// the encryptor reads. All of it on a thread of its own, which holds every signal, as the body's
// writer thread does: signals reach the main thread, whose handler ends the children.
class compression_pipeline {
 public:
  compression_pipeline(filter_program program, int source_fd, const compression_plan& plan);
  compression_pipeline(const compression_pipeline&) = delete;
  compression_pipeline& operator=(const compression_pipeline&) = delete;
  ~compression_pipeline();

  // Allocates the buffers, starts the first child and the thread, which then owns out_fd; 0, or
  // the errno of what failed, after which nothing is left running and out_fd is the caller's.
  int start(int out_fd);

  // Asks the thread to end the children and itself: their work is no longer wanted.
  void stop();

  // Waits for the thread, which has ended every child, and returns the first failure.
  filter_failure join();

  std::uint64_t input_bytes() const { return input_bytes_.load(std::memory_order_relaxed); }

 private:
  void run();
  segment_slot& slot_of(std::uint64_t segment) { return slots_[segment % slots_.size()]; }
  void begin_segment();
  void advance_head();
  void start_children();
  int start_child(segment_slot& slot);
  filter_failure start_failure_now(int error) const;
  void fail(const filter_failure& failure);
  void wait_and_move();
  void read_source();
  void move_child_data(int fd);
  void feed(segment_slot& slot);
  static void close_fed_input(segment_slot& slot);
  void drain(segment_slot& slot);
  void reap_ended_children();
  void hand_on(segment_slot& slot);
  void end_children();

  const filter_program program_;
  const int source_fd_;
  int out_fd_ = -1;
  const std::size_t segment_size_;
  const std::size_t output_capacity_;
  std::vector<segment_slot> slots_;
  std::vector<pollfd> poll_fds_;
  segment_slot* loading_ = nullptr;  // the slot the input is being read into
  std::uint64_t next_segment_ = 0;   // segments begun so far
  std::uint64_t head_ = 0;           // the segment whose member is being handed on
  std::size_t running_ = 0;          // children started and not yet reaped
  std::size_t most_running_;         // lowered when a child cannot be started for want of room
  bool source_ended_ = false;
  bool stopping_ = false;
  filter_failure failure_;
  std::atomic<std::uint64_t> input_bytes_{0};
  int stop_read_ = -1;
  int stop_write_ = -1;
  std::thread thread_;
};

}  // namespace vurn
