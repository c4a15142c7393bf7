#include "cli/compressor.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fileio/fd.h"
#include "fileio/termination.h"

namespace vurn {
namespace {

// A program looked up on the search path before any child is forked: between fork and exec, a
// child of a process with several threads may only call async-signal-safe functions, and a path
// search is not one.
struct filter_program {
  const char* name = nullptr;
  std::string path;  // empty when the search path holds no such program
};

bool is_executable_file(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

// Searches PATH as execvp does: folders in order, an empty entry for the working folder, and
// "/bin:/usr/bin" when PATH is not set.
filter_program find_program(const char* name) {
  filter_program program{name, {}};
  if (std::strchr(name, '/') != nullptr) {
    program.path = name;
    return program;
  }
  const char* search = std::getenv("PATH");
  const std::string folders = search != nullptr ? search : "/bin:/usr/bin";
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = folders.find(':', begin);
    const std::string folder = folders.substr(begin, end - begin);
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (is_executable_file(candidate)) {
      program.path = candidate;
      return program;
    }
    if (end == std::string::npos) return program;
    begin = end + 1;
  }
}

// In the child: connect the descriptors and become the program; never returns. Only
// async-signal-safe calls, as the parent may have other threads.
[[noreturn]] void become_filter(const filter_program& program, int stdin_fd, int stdout_fd,
                                pid_t parent) {
  if (dup2(stdin_fd, 0) < 0 || dup2(stdout_fd, 1) < 0) _exit(127);
  // A thread that forks may hold every signal, and the parent ignores SIGPIPE: the filter
  // should inherit neither.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
#ifdef __linux__
  // Should this process end without its handler (SIGKILL), the child ends with it. The kernel
  // sends the signal when the forking thread ends: every thread here that forks waits for its
  // children first.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
#ifdef SYS_close_range
  // Every descriptor of ours is close-on-exec; this keeps out any that a library left open.
  syscall(SYS_close_range, 3U, ~0U, 0U);
#endif
#else
  (void)parent;
#endif
  if (!program.path.empty()) {
    char* const arguments[] = {const_cast<char*>(program.name), nullptr};
    execv(program.path.c_str(), arguments);
  }
  static const char message[] = "Error running gzip...\n";
  (void)!write(2, message, sizeof message - 1);
  _exit(127);
}

filter_failure start_failure(filter_fault fault, const char* program, int error_number) {
  return {fault, program, error_number, 0, 0};
}

// Forks a watched child that becomes program between stdin_fd and stdout_fd. Returns its pid, or
// -1 with errno set.
pid_t fork_filter(const filter_program& program, int stdin_fd, int stdout_fd) {
  const pid_t parent = getpid();
  const pid_t pid = fork_watched_child();
  if (pid == 0) become_filter(program, stdin_fd, stdout_fd, parent);
  return pid;
}

// Waits for a child and tells how it ended. The termination handler knows the child until it has
// ended but is not yet reaped, so the handler never signals a pid that may have been reused.
filter_failure wait_for_child(const char* program, pid_t pid, bool asked_to_stop) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  forget_child(pid);
  int status = 0;
  pid_t waited;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  // Only the termination handler reaps a child behind our back, after SIGKILL.
  if (waited != pid) return {filter_fault::signal, program, 0, 0, SIGKILL};
  if (WIFEXITED(status)) {
    if (WEXITSTATUS(status) == 0) return {};
    return {filter_fault::exit_status, program, 0, WEXITSTATUS(status), 0};
  }
  const int signal_number = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (asked_to_stop && signal_number == SIGTERM) return {};
  return {filter_fault::signal, program, 0, 0, signal_number};
}

bool set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool fits_one_segment(int source_fd, std::size_t segment_size) {
  struct stat status {};
  if (fstat(source_fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const off_t position = lseek(source_fd, 0, SEEK_CUR);
  if (position < 0) return false;
  return status.st_size <= position ||
         static_cast<std::uint64_t>(status.st_size - position) <= segment_size;
}

// A segment of the input on its way through a child. The buffers are allocated once per run;
// the member is kept here only until it is handed on, so a child ahead of its turn can go on
// until its member is whole (and then waits for room, never for longer).
struct segment_slot {
  std::unique_ptr<std::byte[]> input;
  std::unique_ptr<std::byte[]> output;
  std::size_t input_length = 0;
  std::size_t input_fed = 0;
  bool input_whole = false;    // the segment is full, or the input has ended
  bool input_refused = false;  // the child stopped reading before the end of its segment
  std::size_t output_length = 0;
  std::size_t output_sent = 0;
  bool in_use = false;
  pid_t pid = -1;
  int to_child = -1;
  int from_child = -1;
};

// Cuts the input into segments, gives each to a gzip child of its own (at most plan.children at a
// time) and writes their members in input order into the pipe the encryptor reads. All of it on a
// thread of its own, which holds every signal, as the body's writer thread does: signals reach the
// main thread, whose handler ends the children.
class compression_pipeline {
 public:
  compression_pipeline(filter_program program, int source_fd, int out_fd,
                       const compression_plan& plan)
      : program_(std::move(program)),
        source_fd_(source_fd),
        out_fd_(out_fd),
        segment_size_(plan.segment_size),
        // Room for a member of incompressible data (stored blocks add a few bytes a block).
        output_capacity_(plan.segment_size + plan.segment_size / 64 + 4096),
        slots_(static_cast<std::size_t>(std::min(plan.children, MOST_CHILDREN))) {}

  compression_pipeline(const compression_pipeline&) = delete;
  compression_pipeline& operator=(const compression_pipeline&) = delete;

  ~compression_pipeline() {
    if (thread_.joinable()) {
      stop();
      thread_.join();
    }
    close_fd(out_fd_);
    close_fd(stop_read_);
    close_fd(stop_write_);
  }

  // Allocates the buffers and starts the thread; 0, or the errno of what failed.
  int start() {
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
    if (!set_nonblocking(out_fd_)) return errno;
    const all_signals_blocked blocked;
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& failure) {
      return failure.code().value();
    }
    return 0;
  }

  // Asks the thread to end the children and itself: their work is no longer wanted.
  void stop() {
    const char byte = 0;
    (void)!write(stop_write_, &byte, 1);
  }

  // Waits for the thread, which has ended every child, and returns the first failure.
  filter_failure join() {
    if (thread_.joinable()) thread_.join();
    return failure_;
  }

  std::uint64_t input_bytes() const { return input_bytes_.load(std::memory_order_relaxed); }

 private:
  void run() {
    while (!stopping_ && !failed(failure_)) {
      begin_segment();
      advance_head();
      if (source_ended_ && head_ == next_segment_) break;
      wait_and_move();
    }
    close_fd(out_fd_);  // the encryptor sees the end of the members
    end_children();
  }

  segment_slot& slot_of(std::uint64_t segment) { return slots_[segment % slots_.size()]; }

  // Takes the next slot for the next segment once the one before has been read whole and the
  // slot's earlier segment has been handed on. The first segment has its child at once, even
  // for an empty input; the others get theirs with their first byte.
  void begin_segment() {
    if (source_ended_ || loading_ != nullptr) return;
    segment_slot& slot = slot_of(next_segment_);
    if (slot.in_use) return;
    slot.in_use = true;
    slot.input_length = slot.input_fed = slot.output_length = slot.output_sent = 0;
    slot.input_whole = slot.input_refused = false;
    loading_ = &slot;
    ++next_segment_;
    if (next_segment_ == 1) start_child(slot);
  }

  // Frees the slots whose members have been handed on whole, in input order.
  void advance_head() {
    while (head_ < next_segment_) {
      segment_slot& slot = slot_of(head_);
      if (!slot.input_whole || slot.pid > 0 || slot.output_sent < slot.output_length) return;
      slot.in_use = false;
      ++head_;
    }
  }

  void start_child(segment_slot& slot) {
    int to_child[2];
    int from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0) return fail(start_failure_now(errno));
    if (pipe2(from_child, O_CLOEXEC) != 0) {
      const int error = errno;
      close(to_child[0]);
      close(to_child[1]);
      return fail(start_failure_now(error));
    }
    const pid_t pid = fork_filter(program_, to_child[0], from_child[1]);
    const int error = errno;
    close(to_child[0]);
    close(from_child[1]);
    slot.to_child = to_child[1];
    slot.from_child = from_child[0];
    if (pid < 0) return fail(start_failure_now(error));
    slot.pid = pid;
    if (!set_nonblocking(slot.to_child) || !set_nonblocking(slot.from_child)) {
      fail(start_failure_now(errno));
    }
  }

  filter_failure start_failure_now(int error) const {
    return start_failure(filter_fault::cannot_start, program_.name, error);
  }

  void fail(const filter_failure& failure) {
    if (!failed(failure_)) failure_ = failure;
  }

  // Polls every descriptor that can move data now and moves it.
  void wait_and_move() {
    std::vector<pollfd>& fds = poll_fds_;
    fds.clear();
    fds.push_back({stop_read_, POLLIN, 0});
    if (loading_ != nullptr) fds.push_back({source_fd_, POLLIN, 0});
    for (const segment_slot& slot : slots_) {
      if (slot.to_child >= 0 && slot.input_fed < slot.input_length) {
        fds.push_back({slot.to_child, POLLOUT, 0});
      }
      if (slot.from_child >= 0 && slot.output_length < output_capacity_) {
        fds.push_back({slot.from_child, POLLIN, 0});
      }
    }
    segment_slot& head = slot_of(head_);
    if (head.in_use && head.output_sent < head.output_length) {
      fds.push_back({out_fd_, POLLOUT, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
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

  void read_source() {
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
      if (slot.input_length == 0 && slot.pid < 0 && slot.to_child < 0) {
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
    }
    if (slot.pid < 0 && slot.to_child < 0) start_child(slot);
  }

  void move_child_data(int fd) {
    for (segment_slot& slot : slots_) {
      if (fd == slot.to_child) feed(slot);
      if (fd == slot.from_child) drain(slot);
    }
  }

  void feed(segment_slot& slot) {
    if (slot.input_fed < slot.input_length) {
      const ssize_t put = write(slot.to_child, slot.input.get() + slot.input_fed,
                                slot.input_length - slot.input_fed);
      if (put > 0) {
        slot.input_fed += static_cast<std::size_t>(put);
      } else if (put < 0 && errno != EINTR && errno != EAGAIN) {
        // The child no longer reads: its end says why; its segment is lost either way.
        slot.input_refused = true;
        close_fd(slot.to_child);
        return;
      }
    }
    close_fed_input(slot);
  }

  // Closes the child's input once its whole segment is in: the end of its member.
  static void close_fed_input(segment_slot& slot) {
    if (slot.input_whole && slot.input_fed == slot.input_length) close_fd(slot.to_child);
  }

  void drain(segment_slot& slot) {
    const ssize_t got = read(slot.from_child, slot.output.get() + slot.output_length,
                             output_capacity_ - slot.output_length);
    if (got > 0) {
      slot.output_length += static_cast<std::size_t>(got);
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      close_fd(slot.from_child);
      close_fd(slot.to_child);
      filter_failure outcome = wait_for_child(program_.name, slot.pid, false);
      slot.pid = -1;
      if (!failed(outcome) && (slot.input_refused || !slot.input_whole)) {
        outcome = {filter_fault::exit_status, program_.name, 0, 0, 0};
      }
      fail(outcome);
    }
  }

  // Writes what the head segment's child has made so far into the pipe to the encryptor.
  void hand_on(segment_slot& slot) {
    const ssize_t put =
        write(out_fd_, slot.output.get() + slot.output_sent, slot.output_length - slot.output_sent);
    if (put > 0) {
      slot.output_sent += static_cast<std::size_t>(put);
      if (slot.output_sent == slot.output_length) slot.output_sent = slot.output_length = 0;
    } else if (put < 0 && errno != EINTR && errno != EAGAIN) {
      stopping_ = true;  // the encryptor closed its end: the run is being abandoned
    }
  }

  // Ends and reaps the children still running after a failure or a stop.
  void end_children() {
    for (segment_slot& slot : slots_) {
      close_fd(slot.to_child);
      close_fd(slot.from_child);
      if (slot.pid > 0) {
        kill(slot.pid, SIGTERM);
        wait_for_child(program_.name, slot.pid, true);
        slot.pid = -1;
      }
    }
  }

  const filter_program program_;
  const int source_fd_;
  int out_fd_;
  const std::size_t segment_size_;
  const std::size_t output_capacity_;
  std::vector<segment_slot> slots_;
  std::vector<pollfd> poll_fds_;
  segment_slot* loading_ = nullptr;  // the slot the input is being read into
  std::uint64_t next_segment_ = 0;   // segments begun so far
  std::uint64_t head_ = 0;           // the segment whose member is being handed on
  bool source_ended_ = false;
  bool stopping_ = false;
  filter_failure failure_;
  std::atomic<std::uint64_t> input_bytes_{0};
  int stop_read_ = -1;
  int stop_write_ = -1;
  std::thread thread_;
};

}  // namespace

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

filter_failure start_compressor(const char* program, int source_fd, filter_run& run,
                                const compression_plan& plan) {
  auto state = std::make_unique<filter_state>();
  state->program = find_program(program);
  int child_end = -1;
  const filter_failure opened = open_pipe(program, "r", run, child_end);
  if (failed(opened)) return opened;
  // A missing program gets one child too, which says so once.
  if (plan.children < 2 || plan.segment_size == 0 || state->program.path.empty() ||
      fits_one_segment(source_fd, plan.segment_size)) {
    state->source_fd = source_fd;
    state->source_start = lseek(source_fd, 0, SEEK_CUR);
    const filter_failure started = start_one_child(*state, source_fd, child_end, child_end, run);
    if (failed(started)) return started;
  } else {
    state->pipeline =
        std::make_unique<compression_pipeline>(state->program, source_fd, child_end, plan);
    const int error = state->pipeline->start();  // the pipeline owns child_end now
    if (error != 0) {
      state->pipeline.reset();
      std::fclose(run.pipe_end);
      run.pipe_end = nullptr;
      return start_failure(filter_fault::cannot_start, program, error);
    }
  }
  run.state = std::move(state);
  return {};
}

filter_failure start_decompressor(const char* program, int sink_fd, filter_run& run) {
  auto state = std::make_unique<filter_state>();
  state->program = find_program(program);
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
  if (state != nullptr && state->pipeline != nullptr && abandon) state->pipeline->stop();
  // Stopped before its pipe closes: a gunzip that saw its input end first would complain of a
  // truncated stream nobody meant to finish.
  if (state != nullptr && state->pipeline == nullptr && abandon) kill(state->pid, SIGTERM);
  if (run.pipe_end != nullptr) std::fclose(run.pipe_end);
  run.pipe_end = nullptr;
  if (state == nullptr) return {};
  if (state->pipeline != nullptr) return state->pipeline->join();
  return wait_for_child(state->program.name, state->pid, abandon);
}

}  // namespace vurn
