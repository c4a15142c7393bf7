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
const std::string SLOW_FEED =
    "(head -c 100000 /dev/zero; sleep 1.5; head -c 100000 /dev/zero) | $VURN_TEST_RUNNER \"$0\" "
    "-v -e -k key -o out";
const std::string DONE = "Encryption operation completed successfully";

TEST(Progress, ShownOnlyOnATerminalAndErasedBeforeTheNextMessage) {
  if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "needs script(1) from util-linux";
  for (const bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "pipe");
    workspace ws;
    process_request request;
    request.cwd = ws.dir.path;
    request.env = {{"SHELL", "/bin/sh"}};
    if (terminal) {
      // script runs the command with standard error (and output) on a pseudo-terminal and copies
      // what appears there to its own standard output.
      request.program = "/usr/bin/script";
      request.args = {"-qec", "sh -c '" + SLOW_FEED + "' " + VURN_BINARY, "/dev/null"};
    } else {
      request.program = "/bin/sh";
      request.args = {"-c", SLOW_FEED, VURN_BINARY};
    }
    const process_result result = run_process(request);
    ASSERT_EQ(result.status, 0) << result.err << result.out;
    EXPECT_EQ(test::read_file(ws / "out").size(), 4u + 8u + 200000u);
    if (!terminal) {
      EXPECT_EQ(result.err, DONE + "\n");
      continue;
    }
    // Lines such as "161.7 KiB, 103.2 KiB/s", each drawn over the last, then erased.
    const std::regex shown("(\r\033\\[K[0-9.]+ K?i?B, [0-9.]+ [KM]?i?B/s)+\r\033\\[K" + DONE +
                           "\r\n");
    EXPECT_TRUE(std::regex_match(result.out, shown)) << result.out;
  }
}

}  // namespace
}  // namespace vurn
