// Ending the process by SIGINT, SIGTERM or SIGHUP without leaving anything behind: the handler
// ends every watched child process, removes the names of results not yet committed, and then
// lets the signal end the process as it would have without a handler.
#pragma once

#include <signal.h>
#include <sys/types.h>

namespace vurn {

// The signals the handler takes care of.
inline constexpr int TERMINATING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Holds off TERMINATING_SIGNALS while it lives; one that arrives meanwhile takes effect when the
// holder goes. For steps that must finish once begun: a pending name and its entry that come or
// go together, a forked child not yet known to the handler, an existing file being rewritten.
class termination_signals_held {
 public:
  termination_signals_held();
  ~termination_signals_held();
  termination_signals_held(const termination_signals_held&) = delete;
  termination_signals_held& operator=(const termination_signals_held&) = delete;

 private:
  sigset_t previous_{};
};

// Blocks every signal in the calling thread while it lives. A thread started meanwhile inherits
// that mask and never receives a signal, so signals reach the main thread as they would without it.
class all_signals_blocked {
 public:
  all_signals_blocked();
  ~all_signals_blocked();
  all_signals_blocked(const all_signals_blocked&) = delete;
  all_signals_blocked& operator=(const all_signals_blocked&) = delete;

 private:
  sigset_t previous_{};
};

// Installs the handler for each of TERMINATING_SIGNALS that was not ignored at start (a run under
// nohup keeps ignoring SIGHUP). The handler is reset as it runs, so the re-raised signal ends
// the process.
void install_termination_handlers();

// Forks a child that the handler ends (SIGKILL, then waits for it) before the process ends; in
// the child returns 0, which runs with the default handlers. Up to 32 children are watched at
// once; beyond that the fork fails with EAGAIN. Safe from any thread: once the handler has begun
// (on another thread), the fork fails with EINTR, so no child outlives the process. Returns -1
// with errno set on failure.
pid_t fork_watched_child();

// The child pid has been waited for: the handler has nothing to end there any more.
void forget_child(pid_t pid);

}  // namespace vurn
