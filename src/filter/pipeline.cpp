#include "pipeline.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

#include "fileio/termination.h"

namespace vurn {
namespace {

bool set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Whether the ended child of slot read all of its segment: all of it went into its pipe, and
// nothing of it is left there.
bool took_whole_input(const segment_slot& slot) {
  if (!slot.input_whole || slot.input_fed < slot.input_length) return false;
  pollfd left{slot.child_input, POLLIN, 0};
  return poll(&left, 1, 0) == 0 || (left.revents & POLLIN) == 0;
}

}  // namespace

bool fits_one_segment(int source_fd, std::size_t segment_size) {
  struct stat status {};
  if (fstat(source_fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const off_t position = lseek(source_fd, 0, SEEK_CUR);
  if (position < 0) return false;
  return status.st_size <= position ||
         static_cast<std::uint64_t>(status.st_size - position) <= segment_size;
}

compression_pipeline::compression_pipeline(filter_program program, int source_fd,
                                           const compression_plan& plan)
    : program_(std::move(program)),
      source_fd_(source_fd),
      segment_size_(plan.segment_size),
      // Room for a member of incompressible data (stored blocks add a few bytes a block).
      output_capacity_(plan.segment_size + plan.segment_size / 64 + 4096),
      slots_(static_cast<std::size_t>(std::clamp(plan.children, 1, MOST_CHILDREN))),
      most_running_(slots_.size()) {}

compression_pipeline::~compression_pipeline() {
  if (thread_.joinable()) {
    stop();
    thread_.join();
  }
  close_fd(out_fd_);
  close_fd(stop_read_);
  close_fd(stop_write_);
}

int compression_pipeline::start(int out_fd) {
  for (segment_slot& slot : slots_) {
    slot.input.reset(new (std::nothrow) std::byte[segment_size_]);
    slot.output.reset(new (std::nothrow) std::byte[output_capacity_]);
    if (slot.input == nullptr || slot.output == nullptr) return ENOMEM;
  }
  poll_fds_.reserve(3 + 2 * slots_.size());  // the stop pipe, the input, the output, two a child
  int stop_fds[2];
  if (pipe2(stop_fds, O_CLOEXEC) != 0) return errno;
  stop_read_ = stop_fds[0];
  stop_write_ = stop_fds[1];
  // The first child is started here, before the thread, so that a process limit that leaves
  // room for one child only finds it taken by the thread here, and not in the one-child run the
  // caller then falls back on.
  begin_segment();
  start_children();
  int error = failure_.error_number;
  if (!failed(failure_)) {
    const all_signals_blocked blocked;
    try {
      out_fd_ = out_fd;
      thread_ = std::thread([this] { run(); });
      return 0;
    } catch (const std::system_error& failure) {
      out_fd_ = -1;
      error = failure.code().value();
    }
  }
  end_children();
  return error;
}

void compression_pipeline::stop() {
  const char byte = 0;
  (void)!write(stop_write_, &byte, 1);
}

filter_failure compression_pipeline::join() {
  if (thread_.joinable()) thread_.join();
  return failure_;
}

void compression_pipeline::run() {
  if (!set_nonblocking(out_fd_)) fail(start_failure_now(errno));
  while (!stopping_ && !failed(failure_)) {
    reap_ended_children();
    begin_segment();
    start_children();
    advance_head();
    if (source_ended_ && head_ == next_segment_) break;
    wait_and_move();
  }
  close_fd(out_fd_);  // the encryptor sees the end of the members
  end_children();
}

// Takes the next slot for the next segment once the one before has been read whole and the
// slot's earlier segment has been handed on.
void compression_pipeline::begin_segment() {
  if (source_ended_ || loading_ != nullptr) return;
  segment_slot& slot = slot_of(next_segment_);
  if (slot.in_use) return;
  slot.in_use = true;
  slot.input_length = slot.input_fed = slot.output_length = slot.output_sent = 0;
  slot.input_whole = slot.output_ended = false;
  slot.child = segment_slot::stage::no_child;
  loading_ = &slot;
  ++next_segment_;
}

// Frees the slots whose members have been handed on whole, in input order.
void compression_pipeline::advance_head() {
  while (head_ < next_segment_) {
    segment_slot& slot = slot_of(head_);
    if (!slot.input_whole || slot.child != segment_slot::stage::reaped ||
        slot.output_sent < slot.output_length) {
      return;
    }
    slot.in_use = false;
    ++head_;
  }
}

// Gives children to the segments waiting for one, earliest first: the first segment at once,
// even for an empty input, the others with their first byte. When no more can be started for
// want of processes or descriptors while others run, the segments wait for those to end.
void compression_pipeline::start_children() {
  for (std::uint64_t segment = head_; segment < next_segment_; ++segment) {
    segment_slot& slot = slot_of(segment);
    if (slot.child != segment_slot::stage::no_child) continue;
    if (slot.input_length == 0 && segment != 0) continue;
    if (running_ >= most_running_) return;
    const int error = start_child(slot);
    if (error == 0) continue;
    const bool want_of_room =
        error == EAGAIN || error == EMFILE || error == ENFILE || error == ENOMEM;
    if (running_ == 0 || !want_of_room) return fail(start_failure_now(error));
    most_running_ = running_;
    return;
  }
}

// Starts the child of a segment: 0, or the errno of what failed, with nothing started.
int compression_pipeline::start_child(segment_slot& slot) {
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) return errno;
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    const int error = errno;
    close(to_child[0]);
    close(to_child[1]);
    return error;
  }
  const pid_t pid = fork_filter(program_, to_child[0], from_child[1]);
  const int error = errno;
  close(from_child[1]);
  if (pid < 0) {
    close(to_child[0]);
    close(to_child[1]);
    close(from_child[0]);
    return error;
  }
  slot.child_input = to_child[0];
  slot.to_child = to_child[1];
  slot.from_child = from_child[0];
  slot.pid = pid;
  slot.child = segment_slot::stage::running;
  ++running_;
  if (!set_nonblocking(slot.to_child) || !set_nonblocking(slot.from_child)) {
    fail(start_failure_now(errno));
  }
  close_fed_input(slot);
  return 0;
}

filter_failure compression_pipeline::start_failure_now(int error) const {
  return start_failure(filter_fault::cannot_start, program_.name, error);
}

void compression_pipeline::fail(const filter_failure& failure) {
  if (!failed(failure_)) failure_ = failure;
}

// Polls every descriptor that can move data now and moves it. While a child that closed its
// output has not ended yet, the poll wakes now and then to see whether it has.
void compression_pipeline::wait_and_move() {
  std::vector<pollfd>& fds = poll_fds_;
  fds.clear();
  fds.push_back({stop_read_, POLLIN, 0});
  if (loading_ != nullptr) fds.push_back({source_fd_, POLLIN, 0});
  bool awaiting_end = false;
  for (const segment_slot& slot : slots_) {
    if (slot.to_child >= 0 && slot.input_fed < slot.input_length) {
      fds.push_back({slot.to_child, POLLOUT, 0});
    }
    if (slot.from_child >= 0 && slot.output_length < output_capacity_) {
      fds.push_back({slot.from_child, POLLIN, 0});
    }
    awaiting_end =
        awaiting_end || (slot.output_ended && slot.child == segment_slot::stage::running);
  }
  segment_slot& head = slot_of(head_);
  if (head.in_use && head.output_sent < head.output_length) {
    fds.push_back({out_fd_, POLLOUT, 0});
  }
  if (poll(fds.data(), fds.size(), awaiting_end ? 5 : -1) < 0) {
    if (errno != EINTR) fail(start_failure_now(errno));
    return;
  }
  for (const pollfd& ready : fds) {
    if (ready.revents == 0) continue;
    if (ready.fd == stop_read_) {
      stopping_ = true;
    } else if (ready.fd == source_fd_ && loading_ != nullptr) {
      read_source();
    } else if (ready.fd == out_fd_) {
      hand_on(head);
    } else {
      move_child_data(ready.fd);
    }
  }
}

void compression_pipeline::read_source() {
  segment_slot& slot = *loading_;
  const ssize_t got =
      read(source_fd_, slot.input.get() + slot.input_length, segment_size_ - slot.input_length);
  if (got < 0) {
    if (errno != EINTR && errno != EAGAIN) {
      fail({filter_fault::read_failed, program_.name, errno, 0, 0});
    }
    return;
  }
  if (got == 0) {
    source_ended_ = true;
    slot.input_whole = true;
    loading_ = nullptr;
    // A segment that got no byte is no segment; only the first one has a child regardless.
    if (slot.input_length == 0 && slot.child == segment_slot::stage::no_child) {
      slot.in_use = false;
      --next_segment_;
    }
    close_fed_input(slot);
    return;
  }
  slot.input_length += static_cast<std::size_t>(got);
  input_bytes_.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
  if (slot.input_length == segment_size_) {
    slot.input_whole = true;
    loading_ = nullptr;
    // A child that kept up has taken all of it already: no write is left to close its input.
    close_fed_input(slot);
  }
}

void compression_pipeline::move_child_data(int fd) {
  for (segment_slot& slot : slots_) {
    if (fd == slot.to_child) feed(slot);
    if (fd == slot.from_child) drain(slot);
  }
}

void compression_pipeline::feed(segment_slot& slot) {
  if (slot.input_fed < slot.input_length) {
    const ssize_t put =
        write(slot.to_child, slot.input.get() + slot.input_fed, slot.input_length - slot.input_fed);
    if (put > 0) {
      slot.input_fed += static_cast<std::size_t>(put);
    } else if (put < 0 && errno != EINTR && errno != EAGAIN) {
      // The child no longer reads: how it ends says why; its segment is lost either way.
      close_fd(slot.to_child);
      return;
    }
  }
  close_fed_input(slot);
}

// Closes the child's input once its whole segment is in: the end of its member.
void compression_pipeline::close_fed_input(segment_slot& slot) {
  if (slot.input_whole && slot.input_fed == slot.input_length) close_fd(slot.to_child);
}

void compression_pipeline::drain(segment_slot& slot) {
  const ssize_t got = read(slot.from_child, slot.output.get() + slot.output_length,
                           output_capacity_ - slot.output_length);
  if (got > 0) {
    slot.output_length += static_cast<std::size_t>(got);
  } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
    close_fd(slot.from_child);
    close_fd(slot.to_child);
    slot.output_ended = true;
  }
}

// Reaps the children that closed their output and have ended, and takes how they ended. One
// that succeeded before taking all of its segment lost the rest of it.
void compression_pipeline::reap_ended_children() {
  for (segment_slot& slot : slots_) {
    if (!slot.output_ended || slot.child != segment_slot::stage::running) continue;
    if (!child_has_ended(slot.pid)) continue;
    filter_failure outcome = wait_for_child(program_.name, slot.pid, false);
    slot.pid = -1;
    slot.child = segment_slot::stage::reaped;
    --running_;
    if (!failed(outcome) && !took_whole_input(slot)) {
      outcome = {filter_fault::input_unread, program_.name, 0, 0, 0};
    }
    close_fd(slot.child_input);
    fail(outcome);
  }
}

// Writes what the head segment's child has made so far into the pipe to the encryptor.
void compression_pipeline::hand_on(segment_slot& slot) {
  const ssize_t put =
      write(out_fd_, slot.output.get() + slot.output_sent, slot.output_length - slot.output_sent);
  if (put > 0) {
    slot.output_sent += static_cast<std::size_t>(put);
    if (slot.output_sent == slot.output_length) slot.output_sent = slot.output_length = 0;
  } else if (put < 0 && errno != EINTR && errno != EAGAIN) {
    stopping_ = true;  // the encryptor closed its end: the run is being abandoned
  }
}

// Ends and reaps the children still running after a failure or a stop, all at once.
void compression_pipeline::end_children() {
  std::vector<pid_t> pids;
  for (segment_slot& slot : slots_) {
    close_fd(slot.to_child);
    close_fd(slot.from_child);
    close_fd(slot.child_input);
    if (slot.child == segment_slot::stage::running) {
      pids.push_back(slot.pid);
      slot.pid = -1;
      slot.child = segment_slot::stage::reaped;
    }
  }
  running_ = 0;
  stop_children(program_.name, pids, true);
}

}  // namespace vurn
