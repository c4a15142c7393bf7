#include "cli/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "fileio/atomic_file.h"

namespace vurn {
namespace {

// The state the handler needs besides the pending file names: the children to end, 0 in a free
// slot.
constexpr int WATCHED_CHILDREN = 32;
volatile sig_atomic_t children_to_end[WATCHED_CHILDREN] = {};
static_assert(sizeof(pid_t) <= sizeof(sig_atomic_t));

// Another thread may be forking while the handler runs. Each side announces itself before looking
// at the other (both sequentially consistent), so either the fork is refused or the handler waits
// until its child is in children_to_end.
std::atomic<bool> ending{false};
std::atomic<int> forks_under_way{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void end_by_signal(int signal_number) {
  ending = true;
  while (forks_under_way != 0) {
    const timespec pause{0, 100000};
    nanosleep(&pause, nullptr);
  }
  for (const volatile sig_atomic_t& child : children_to_end) {
    if (child > 0) kill(static_cast<pid_t>(child), SIGKILL);
  }
  for (const volatile sig_atomic_t& child : children_to_end) {
    if (child <= 0) continue;
    while (waitpid(static_cast<pid_t>(child), nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  atomic_file_remove_pending();
  // Installed with SA_RESETHAND: once the handler returns, the signal ends the process.
  raise(signal_number);
}

void install_termination_handlers() {
  struct sigaction action {};
  action.sa_handler = end_by_signal;
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  sigemptyset(&action.sa_mask);
  for (int signal_number : TERMINATING_SIGNALS) sigaddset(&action.sa_mask, signal_number);
  for (int signal_number : TERMINATING_SIGNALS) {
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal_number, &action, nullptr);
  }
}

void drop_termination_handlers() {
  for (int signal_number : TERMINATING_SIGNALS) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == end_by_signal) {
      signal(signal_number, SIG_DFL);
    }
  }
}

// With descriptor 0, 1 or 2 closed, the next file opened would take its place and data meant for
// it would land in that file. A placeholder that fails every transfer keeps the slot taken, so a
// closed standard stream shows up as a read or write error instead.
void reserve_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      const int placeholder = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
      if (placeholder >= 0 && placeholder != fd) {
        dup2(placeholder, fd);
        close(placeholder);
      }
    }
  }
}

// Forks and puts the child in `slot`, unless the handler has begun to end the process.
pid_t fork_into(volatile sig_atomic_t& slot) {
  ++forks_under_way;
  pid_t pid = -1;
  if (ending) {
    errno = EINTR;
  } else {
    pid = fork();
    if (pid > 0) slot = pid;
  }
  if (pid != 0) --forks_under_way;
  return pid;
}

}  // namespace

void prepare_process() {
  reserve_standard_descriptors();
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  install_termination_handlers();
}

pid_t fork_watched_child() {
  const termination_signals_held held;
  volatile sig_atomic_t* free_slot = nullptr;
  for (volatile sig_atomic_t& slot : children_to_end) {
    if (slot == 0) {
      free_slot = &slot;
      break;
    }
  }
  if (free_slot == nullptr) {
    errno = EAGAIN;
    return -1;
  }
  const pid_t pid = fork_into(*free_slot);
  if (pid == 0) drop_termination_handlers();
  return pid;
}

void forget_child(pid_t pid) {
  for (volatile sig_atomic_t& slot : children_to_end) {
    if (slot == pid) slot = 0;
  }
}

}  // namespace vurn
