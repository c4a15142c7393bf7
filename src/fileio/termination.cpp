#include "fileio/termination.h"

#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <ctime>

#include "fileio/pending_names.h"

namespace vurn {
namespace {

// The handler may only touch storage that already exists, so both lists have a fixed size.

struct pending_name {
  volatile sig_atomic_t in_use = 0;
  int folder_fd = -1;
  char name[NAME_MAX + 1] = {};
};

std::array<pending_name, 8> pending_names;

// Folders of committed results not yet synced, as descriptor + 1: 0 marks a free entry.
std::array<volatile sig_atomic_t, 64> unsynced_folders{};

static_assert(sizeof(pid_t) <= sizeof(sig_atomic_t));
std::array<volatile sig_atomic_t, 32> watched_children{};  // 0 marks a free slot

// Another thread may be forking while the handler runs. Each side announces itself before looking
// at the other (both sequentially consistent), so either the fork is refused or the handler waits
// until its child is watched.
std::atomic<bool> ending{false};
std::atomic<int> forks_under_way{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void end_by_signal(int signal_number) {
  const int saved_errno = errno;
  ending = true;
  while (forks_under_way != 0) {
    const timespec pause{0, 100000};
    nanosleep(&pause, nullptr);
  }
  for (const volatile sig_atomic_t& child : watched_children) {
    if (child > 0) kill(child, SIGKILL);
  }
  for (const volatile sig_atomic_t& child : watched_children) {
    if (child <= 0) continue;
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  for (const pending_name& entry : pending_names) {
    if (entry.in_use) unlinkat(entry.folder_fd, entry.name, 0);
  }
  for (const volatile sig_atomic_t& fd : unsynced_folders) {
    if (fd > 0) fsync(fd - 1);
  }
  errno = saved_errno;
  // Installed with SA_RESETHAND: once the handler returns, the signal ends the process.
  raise(signal_number);
}

// In a forked child, which is about to become another program.
void drop_termination_handlers() {
  for (int signal_number : TERMINATING_SIGNALS) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == end_by_signal) {
      signal(signal_number, SIG_DFL);
    }
  }
}

bool watch_child(pid_t pid) {
  for (volatile sig_atomic_t& slot : watched_children) {
    if (slot == 0) {
      slot = pid;
      return true;
    }
  }
  return false;
}

}  // namespace

int remember_pending(int folder_fd, const std::string& name) {
  if (name.size() > NAME_MAX) return -1;
  for (std::size_t slot = 0; slot < pending_names.size(); ++slot) {
    pending_name& entry = pending_names[slot];
    if (entry.in_use) continue;
    entry.folder_fd = folder_fd;
    name.copy(entry.name, name.size());
    entry.name[name.size()] = '\0';
    entry.in_use = 1;
    return static_cast<int>(slot);
  }
  return -1;
}

bool remember_unsynced_folder(int folder_fd) {
  for (volatile sig_atomic_t& entry : unsynced_folders) {
    if (entry == 0) {
      entry = folder_fd + 1;
      return true;
    }
  }
  return false;
}

void forget_unsynced_folders() {
  for (volatile sig_atomic_t& entry : unsynced_folders) entry = 0;
}

void forget_pending(int& slot) {
  if (slot >= 0) pending_names[static_cast<std::size_t>(slot)].in_use = 0;
  slot = -1;
}

termination_signals_held::termination_signals_held() {
  sigset_t held;
  sigemptyset(&held);
  for (int signal_number : TERMINATING_SIGNALS) sigaddset(&held, signal_number);
  sigprocmask(SIG_BLOCK, &held, &previous_);
}

termination_signals_held::~termination_signals_held() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

all_signals_blocked::all_signals_blocked() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous_);
}

all_signals_blocked::~all_signals_blocked() {
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
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

pid_t fork_watched_child() {
  const termination_signals_held held;
  const struct fork_announced {
    fork_announced() { ++forks_under_way; }
    ~fork_announced() { --forks_under_way; }  // in the parent: the child is watched by then
  } announced;
  if (ending) {
    errno = EINTR;
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    drop_termination_handlers();
  } else if (pid > 0 && !watch_child(pid)) {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    errno = EAGAIN;
    return -1;
  }
  return pid;
}

void forget_child(pid_t pid) {
  if (pid <= 0) return;
  for (volatile sig_atomic_t& slot : watched_children) {
    if (slot == pid) slot = 0;
  }
}

}  // namespace vurn
