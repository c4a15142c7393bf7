#include "cli/compressor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fileio/termination.h"

namespace vurn {
namespace {

// In the child: connect the descriptors and become program. Never returns.
[[noreturn]] void exec_filter(const char* program, int stdin_fd, int stdout_fd) {
  if (dup2(stdin_fd, 0) < 0 || dup2(stdout_fd, 1) < 0) _exit(127);
  signal(SIGPIPE, SIG_DFL);  // the parent ignores it; the filter should not inherit that
  execlp(program, program, static_cast<char*>(nullptr));
  static const char message[] = "Error running gzip...\n";
  (void)!write(2, message, sizeof message - 1);
  _exit(127);
}

// Creates the pipe and forks. In the parent returns the child's pid, or -1 after a message.
pid_t fork_with_pipe(const char* program, int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "Cannot start %s: %s\n", program, std::strerror(errno));
    return -1;
  }
  const pid_t pid = fork_watched_child();
  if (pid < 0) {
    std::fprintf(stderr, "Cannot start %s: %s\n", program, std::strerror(errno));
    close(fds[0]);
    close(fds[1]);
  }
  return pid;
}

bool open_parent_end(int fd, const char* mode, pid_t pid, compressor_child* compressor) {
  compressor->pid = pid;
  compressor->pipe_end = fdopen(fd, mode);
  if (compressor->pipe_end != nullptr) return true;
  std::fprintf(stderr, "Cannot open the pipe to the compressor: %s\n", std::strerror(errno));
  close(fd);
  return false;
}

}  // namespace

bool start_compressor(const char* program, int source_fd, compressor_child* compressor) {
  int fds[2];
  const pid_t pid = fork_with_pipe(program, fds);
  if (pid < 0) return false;
  if (pid == 0) exec_filter(program, source_fd, fds[1]);
  close(fds[1]);
  return open_parent_end(fds[0], "r", pid, compressor);
}

bool start_decompressor(const char* program, int sink_fd, compressor_child* compressor) {
  int fds[2];
  const pid_t pid = fork_with_pipe(program, fds);
  if (pid < 0) return false;
  if (pid == 0) exec_filter(program, fds[0], sink_fd);
  close(fds[0]);
  return open_parent_end(fds[1], "w", pid, compressor);
}

bool finish_child(compressor_child* compressor, bool abandon) {
  if (compressor->pipe_end != nullptr) std::fclose(compressor->pipe_end);
  compressor->pipe_end = nullptr;
  if (compressor->pid <= 0) return false;
  if (abandon) kill(compressor->pid, SIGTERM);
  int status = 0;
  pid_t waited;
  while ((waited = waitpid(compressor->pid, &status, 0)) < 0 && errno == EINTR) {
  }
  forget_child(compressor->pid);
  compressor->pid = -1;
  return waited > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace vurn
