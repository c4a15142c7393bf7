#include "child.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "fileio/termination.h"

namespace vurn {
namespace {
bool is_executable_file(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

}  // namespace

// Searches PATH as execvp does: folders in order, an empty entry for the working folder, and
// "/bin:/usr/bin" when PATH is not set.
filter_program find_program(const filter_command& command) {
  const char* name = command.program;
  filter_program program{
      name, command.cannot_run_text != nullptr ? command.cannot_run_text : "", {}};
  if (std::strchr(name, '/') != nullptr) {
    program.paths.emplace_back(name);
    return program;
  }
  const char* search = std::getenv("PATH");
  const std::string folders = search != nullptr ? search : "/bin:/usr/bin";
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = folders.find(':', begin);
    const std::string folder = folders.substr(begin, end - begin);
    std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (is_executable_file(candidate)) program.paths.push_back(std::move(candidate));
    if (end == std::string::npos) return program;
    begin = end + 1;
  }
}

namespace {

// In the child: becomes the program at path, or returns whether execvp would try the next path.
// A file the kernel cannot run as it is goes to /bin/sh as a script, as execvp does.
bool try_exec(const char* name, const char* path) {
  char* const arguments[] = {const_cast<char*>(name), nullptr};
  execv(path, arguments);
  if (errno == ENOEXEC) {
    char* const script[] = {const_cast<char*>("/bin/sh"), const_cast<char*>(path), nullptr};
    execv("/bin/sh", script);
  }
  switch (errno) {
    case EACCES:
    case ENOENT:  // also a script whose interpreter is missing
    case ESTALE:
    case ENOTDIR:
    case ENODEV:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

// In the child: connect the descriptors and become the program; never returns. Only
// async-signal-safe calls, as the parent may have other threads.
[[noreturn]] void become_filter(const filter_program& program, int stdin_fd, int stdout_fd,
                                pid_t parent) {
  if (dup2(stdin_fd, 0) < 0 || dup2(stdout_fd, 1) < 0) _exit(CHILD_CANNOT_RUN);
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
  if (getppid() != parent) _exit(CHILD_CANNOT_RUN);
#ifdef SYS_close_range
  // Every descriptor of ours is close-on-exec; this keeps out any that a library left open.
  syscall(SYS_close_range, 3U, ~0U, 0U);
#endif
#else
  (void)parent;
#endif
  for (const std::string& path : program.paths) {
    if (!try_exec(program.name, path.c_str())) break;
  }
  (void)!write(2, program.cannot_run_text.data(), program.cannot_run_text.size());
  _exit(CHILD_CANNOT_RUN);
}

}  // namespace

filter_failure start_failure(filter_fault fault, const char* program, int error_number) {
  return {fault, program, error_number, 0, 0};
}

pid_t fork_filter(const filter_program& program, int stdin_fd, int stdout_fd) {
  const pid_t parent = getpid();
  const pid_t pid = fork_watched_child();
  if (pid == 0) become_filter(program, stdin_fd, stdout_fd, parent);
  return pid;
}

// The termination handler knows the child until it has ended but is not yet reaped, so the handler
// never signals a pid that may have been reused.
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

bool child_has_ended(pid_t pid) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
    if (errno != EINTR) return true;  // already reaped (by the termination handler)
  }
  return info.si_pid == pid;
}

filter_failure stop_children(const char* program, std::span<const pid_t> pids, bool writing_to_us) {
  for (const pid_t pid : pids) kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(STOP_GRACE_MS);
  const auto all_ended = [pids] { return std::all_of(pids.begin(), pids.end(), child_has_ended); };
  while (!all_ended() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (const pid_t pid : pids) {
    if (!child_has_ended(pid)) kill(pid, SIGKILL);
  }
  filter_failure first;
  for (const pid_t pid : pids) {
    const filter_failure outcome = wait_for_child(program, pid, true);
    const bool ours = outcome.fault == filter_fault::signal &&
                      (outcome.signal == SIGKILL || (writing_to_us && outcome.signal == SIGPIPE));
    if (failed(outcome) && !ours && !failed(first)) first = outcome;
  }
  return first;
}

}  // namespace vurn
