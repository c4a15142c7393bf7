// The progress line on the built binary: on a terminal (a pseudo-terminal from script(1)) and
// without one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "support/run_process.h"
#include "workspace.h"

namespace vurn {
namespace {

using test::process_request;
using test::process_result;
using test::workspace;

// Half the data, a pause past the quiet first second, the other half: the line shows up only once
// the run has lasted that second.
const std::string SLOW_DATA = "(head -c 100000 /dev/zero; sleep 1.5; head -c 100000 /dev/zero)";
const std::string VURN_RUN = "$VURN_TEST_RUNNER \"$0\" -v -e -k key ";
const std::string VURN = " | " + VURN_RUN;
const std::string DONE = "Encryption operation completed successfully";
const std::string FIGURES = "[0-9.]+ K?i?B, [0-9.]+ [KM]?i?B/s";

TEST(Progress, ShownOnlyOnATerminalAndErasedBeforeTheNextMessage) {
  if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "needs script(1) from util-linux";
  const struct {
    bool terminal;
    std::string term;
    std::string command;
    std::string shown;  // what a terminal shows, as a pattern
  } cases[] = {
      {false, "xterm", SLOW_DATA + VURN + "-o out", DONE + "\n"},
      // Each line drawn over the last, then erased.
      {true, "xterm", SLOW_DATA + VURN + "-o out",
       "(\r\033\\[K" + FIGURES + ")+\r\033\\[K" + DONE + "\r\n"},
      // Without escapes: blanks over what was drawn.
      {true, "dumb", SLOW_DATA + VURN + "-o out",
       "(\r( +\r)?" + FIGURES + ")+\r +\r" + DONE + "\r\n"},
      // The data goes to the same terminal: no line drawn into it (only the data's end is matched).
      {true, "xterm", SLOW_DATA + VURN + "-c", ".*" + DONE + "\r\n"},
      // Several files: which one of how many.
      {true, "xterm", "mkfifo fifo; " + SLOW_DATA + " > fifo & " + VURN_RUN + "notes.txt fifo",
       "notes.txt:\r\n" + DONE + "\r\n(\r\033\\[K2 of 2 fifo: " + FIGURES +
           ")+\r\033\\[Kfifo:\r\n" + DONE + "\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    workspace ws;
    process_request request;
    request.cwd = ws.dir.path;
    request.env = {{"SHELL", "/bin/sh"}, {"TERM", c.term}};
    const std::string& command = c.command;
    if (c.terminal) {
      // script runs the command with standard error (and output) on a pseudo-terminal and copies
      // what appears there to its own standard output.
      request.program = "/usr/bin/script";
      request.args = {"-qec", "sh -c '" + command + "' " + VURN_BINARY, "/dev/null"};
    } else {
      request.program = "/bin/sh";
      request.args = {"-c", command, VURN_BINARY};
    }
    const process_result result = run_process(request);
    ASSERT_EQ(result.status, 0) << result.err << result.out;
    if (c.command.ends_with("-o out")) {
      EXPECT_EQ(test::read_file(ws / "out").size(), 4u + 8u + 200000u);
    }
    std::string shown = c.terminal ? result.out : result.err;
    if (c.command.ends_with("-c")) {
      EXPECT_EQ(shown.find("B/s"), std::string::npos);
      shown = shown.substr(shown.size() - DONE.size() - 3);
    }
    EXPECT_TRUE(std::regex_match(shown, std::regex(c.shown))) << shown;
  }
}

}  // namespace
}  // namespace vurn
