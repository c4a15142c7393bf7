#include "support/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace vurn::test {
namespace {

[[noreturn]] void child_fail(const char* what) {
  const std::string text = std::string("run_process child: ") + what + "\n";
  (void)!write(2, text.data(), text.size());
  _exit(127);
}

void redirect(int fd, const std::string& path, int flags) {
  const int opened = open(path.c_str(), flags, 0666);
  if (opened < 0 || dup2(opened, fd) < 0) child_fail("cannot open a redirection");
  close(opened);
}

// The program to execute and its argument vector, prepared before the fork.
struct command_line {
  std::string path;
  std::vector<std::string> words;  // argument 0 first
  bool through_runner = false;
};

std::vector<std::string> runner_words() {
  std::vector<std::string> words;
  const char* runner = std::getenv("VURN_TEST_RUNNER");
  if (runner == nullptr) return words;
  std::istringstream stream(runner);
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

// The runner is found in the test process's own search path: a test may give the child a PATH
// that holds nothing at all.
std::string find_in_path(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const std::string found = program_in_path(name);
  if (found.empty()) throw std::runtime_error("VURN_TEST_RUNNER: " + name + " not found in PATH");
  return found;
}

// A copy of the vurn binary in a temporary folder that every user may enter, removed when the
// test program ends. The build folder may lie under one that only its owner can enter (root's
// home is 0700), where a test acting as another user could not execute the binary itself.
class reachable_binary {
 public:
  reachable_binary() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vurn-bin-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    path_ = folder_ + "/vurn";
    std::error_code error;
    std::filesystem::copy_file(VURN_BINARY, path_, error);
    if (error || chmod(folder_.c_str(), 0755) != 0 || chmod(path_.c_str(), 0755) != 0) {
      throw std::runtime_error("cannot copy " + std::string(VURN_BINARY) + " to " + path_);
    }
  }
  ~reachable_binary() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  reachable_binary(const reachable_binary&) = delete;
  reachable_binary& operator=(const reachable_binary&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

// setpriv runs the rest of the command as another user, who may not reach the build folder.
bool prefix_changes_user(const std::vector<std::string>& prefix) {
  return !prefix.empty() && std::filesystem::path(prefix.front()).filename() == "setpriv";
}

// The vurn binary itself, or under a prefix that changes the user, a copy that user can execute.
std::string program_to_run(const process_request& request) {
  if (request.program != VURN_BINARY || !prefix_changes_user(request.prefix)) {
    return request.program;
  }
  static const reachable_binary copy;
  return copy.path();
}

command_line build_command_line(const process_request& request) {
  command_line command;
  const bool is_vurn = request.program == VURN_BINARY;
  const std::string program = program_to_run(request);
  std::vector<std::string> runner = is_vurn ? runner_words() : std::vector<std::string>{};
  if (runner.empty()) {
    command.path = program;
    command.words.push_back(program);
  } else {
    command.path = find_in_path(runner.front());
    command.through_runner = true;
    command.words = std::move(runner);
    command.words.push_back(program);
  }
  command.words.insert(command.words.end(), request.args.begin(), request.args.end());
  if (!request.prefix.empty()) {
    command.words.erase(command.words.begin());  // argument 0 is the prefix's own
    command.words.insert(command.words.begin(), command.path);
    command.words.insert(command.words.begin(), request.prefix.begin(), request.prefix.end());
    command.path = find_in_path(request.prefix.front());
  }
  return command;
}

// The program starts with its standard streams only, as from a shell, whatever descriptors the
// test runner was given: the descriptor-limit and leak cases count on it.
void close_inherited_descriptors() {
#if defined(__linux__)
  if (close_range(3, ~0U, 0) == 0) return;
#endif
  for (int fd = 3; fd < 1024; ++fd) close(fd);
}

[[noreturn]] void exec_child(const process_request& request, const char* path, char* const argv[],
                             int in_pipe[2], int out_pipe[2], int err_pipe[2]) {
  if (!request.cwd.empty() && chdir(request.cwd.c_str()) != 0) child_fail("chdir");
  for (const auto& name : request.unset_env) unsetenv(name.c_str());
  for (const auto& [name, value] : request.env) setenv(name.c_str(), value.c_str(), 1);
  dup2(in_pipe[0], 0);
  if (request.close_stdout) {
    close(1);
  } else if (request.stdout_path) {
    redirect(1, *request.stdout_path, O_WRONLY | O_CREAT | O_TRUNC);
  } else {
    dup2(out_pipe[1], 1);
  }
  dup2(err_pipe[1], 2);
  for (int* p : {in_pipe, out_pipe, err_pipe}) {
    close(p[0]);
    close(p[1]);
  }
  close_inherited_descriptors();
  signal(SIGPIPE, SIG_DFL);
  execv(path, argv);
  child_fail("execv");
}

// Feeds standard input and drains both outputs together, so that no pipe fills up and stalls.
void pump(const process_request& request, int timeout_seconds, pid_t pid, int in_fd, int out_fd,
          int err_fd, process_result& result) {
  std::size_t written = 0;
  bool signalled = false;
  if (request.stdin_data.empty() && !request.keep_stdin_open) {
    close(in_fd);
    in_fd = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (out_fd >= 0 || err_fd >= 0) {
    const bool more_input = in_fd >= 0 && written < request.stdin_data.size();
    pollfd fds[3] = {
        {out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {more_input ? in_fd : -1, POLLOUT, 0}};
    const int ready = poll(fds, 3, 100);
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
        if (i == 1 && request.signal_after_output && !signalled) {
          kill(pid, *request.signal_after_output);
          signalled = true;
        }
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        (i == 0 ? out_fd : err_fd) = -1;
      }
    }
    // Once the signal is pending, the input may end: the child meets the signal first.
    const bool input_may_end =
        !request.keep_stdin_open || (signalled && request.end_input_after_signal);
    if (in_fd >= 0 && fds[2].revents != 0) {
      const ssize_t n =
          write(in_fd, request.stdin_data.data() + written, request.stdin_data.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        close(in_fd);
        in_fd = -1;
      }
    }
    if (in_fd >= 0 && input_may_end && written == request.stdin_data.size()) {
      close(in_fd);
      in_fd = -1;
    }
  }
  if (in_fd >= 0) close(in_fd);
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);
}

}  // namespace

process_result run_process(const process_request& request) {
  command_line command = build_command_line(request);
  std::vector<char*> argv;
  for (auto& word : command.words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // A runner such as valgrind slows the program down many times over.
  const int timeout_seconds = request.timeout_seconds * (command.through_runner ? 10 : 1);

  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  // A child that stops reading its input must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) exec_child(request, command.path.c_str(), argv.data(), in_pipe, out_pipe, err_pipe);
  close(in_pipe[0]);
  // A large input is written as the pipe drains, never in one write that blocks while the child
  // waits for its own output to be read.
  fcntl(in_pipe[1], F_SETFL, fcntl(in_pipe[1], F_GETFL) | O_NONBLOCK);
  close(out_pipe[1]);
  close(err_pipe[1]);
  process_result result;
  pump(request, timeout_seconds, pid, in_pipe[1], out_pipe[0], err_pipe[0], result);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  return result;
}

std::string program_in_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

bool vurn_runs_under_test_runner() {
  return !runner_words().empty();
}

process_result run_vurn(std::vector<std::string> args, const std::string& cwd,
                        const std::string& stdin_data) {
  process_request request;
  request.args = std::move(args);
  request.cwd = cwd;
  request.stdin_data = stdin_data;
  return run_process(request);
}

}  // namespace vurn::test
