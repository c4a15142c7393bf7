// Runs a program in a child process with chosen arguments, standard input, working folder and
// environment, and captures what it writes and how it ends.
//
// When the environment variable VURN_TEST_RUNNER holds a command prefix (words separated by
// spaces, e.g. "valgrind -q --error-exitcode=99"), the built vurn binary (VURN_BINARY) is run
// through it: the runner gets the binary's path followed by the arguments, so the binary sees its
// own path as argument 0. The runner's program is looked up
// in the search path of the test process, not in the child's environment, and timeouts are ten
// times longer. Other programs are run directly. A prefix comes before the runner, and its first
// word is looked up in the same way.
//
// A prefix that starts with setpriv runs vurn as another user, who may not be able to enter the
// build folder (a checkout in root's home, mode 0700): vurn is then run from a copy in a temporary
// folder that every user may enter, made once per test program, and sees that copy's path as its
// argument 0.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vurn::test {

struct process_request {
  std::string program = VURN_BINARY;
  std::vector<std::string> prefix;  // a command that runs the rest: setpriv, nohup, prlimit ...
  std::vector<std::string> args;
  std::string stdin_data;                  // written to a pipe on standard input
  bool keep_stdin_open = false;            // leave that pipe open after the data, until the end
  std::optional<std::string> stdout_path;  // standard output opened (for writing) on this file
  bool close_stdout = false;               // start with descriptor 1 closed
  std::string cwd;                         // working folder; the test's own when empty
  std::vector<std::pair<std::string, std::string>> env;  // variables to set
  std::vector<std::string> unset_env;                    // variables to remove
  int timeout_seconds = 60;                              // killed with SIGKILL after this long
  std::optional<int> signal_after_output;  // sent once the child has written to standard error
  bool end_input_after_signal = false;     // then close standard input even if kept open
};

struct process_result {
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the signal that ended it, or 0
  std::string out;
  std::string err;
};

process_result run_process(const process_request& request);

// The path of the program name in this process's search path, or empty when it is not there.
std::string program_in_path(const std::string& name);

// Whether VURN_TEST_RUNNER is set, i.e. the vurn binary runs under another program. For the rare
// test whose outcome depends on running natively (timing, resource limits).
bool vurn_runs_under_test_runner();

// Runs the built vurn with these arguments in folder cwd (the test's own folder when empty).
process_result run_vurn(std::vector<std::string> args, const std::string& cwd = {},
                        const std::string& stdin_data = {});

}  // namespace vurn::test
