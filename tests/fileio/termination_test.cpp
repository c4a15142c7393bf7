// What a terminating signal does to the watched children, in a process of its own that the signal
// ends.
#include "fileio/termination.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace vurn {
namespace {

constexpr int WATCHED = 3;

// Forks children that wait for a signal, forgets the last one, sends itself SIGTERM, and tells the
// parent through report what it forked. Never returns.
[[noreturn]] void run_and_terminate(int report) {
  install_termination_handlers();
  std::array<pid_t, WATCHED + 1> children{};
  for (pid_t& child : children) {
    child = fork_watched_child();
    if (child == 0) {
      for (;;) pause();
    }
    if (child < 0) _exit(2);
  }
  forget_child(children.back());
  if (write(report, children.data(), sizeof children) != sizeof children) _exit(3);
  raise(SIGTERM);
  _exit(4);
}

TEST(Termination, ASignalEndsEveryWatchedChildThenTheProcess) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t process = fork();
  ASSERT_GE(process, 0);
  if (process == 0) {
    close(report[0]);
    run_and_terminate(report[1]);
  }
  close(report[1]);
  std::array<pid_t, WATCHED + 1> children{};
  const ssize_t got = read(report[0], children.data(), sizeof children);
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(process, &status, 0), process);
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof children));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  for (int i = 0; i < WATCHED; ++i) {
    EXPECT_EQ(kill(children[static_cast<std::size_t>(i)], 0), -1) << "watched child " << i;
    EXPECT_EQ(errno, ESRCH);
  }
  // The forgotten child outlives the process; it is ended here.
  EXPECT_EQ(kill(children.back(), SIGKILL), 0);
}

}  // namespace
}  // namespace vurn
