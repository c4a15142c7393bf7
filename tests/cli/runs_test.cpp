// Runs over several files on the built binary: every operand in order, one key for the run, a
// failure that stops only its file, refusals before anything is written, results that later files
// leave alone, and signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "workspace.h"

namespace vurn::test {
namespace {

const std::string A = "alpha\n";
const std::string B = "beta\n";
const std::string DONE = "Encryption operation completed successfully\n";

TEST(Runs, EveryOperandInOrderEachFailureItsOwn) {
  // Arguments are lines of words. after names files by words: "-name" must not exist, "name=a"
  // holds a's plaintext zero-filled, and any other name decrypts to the plaintext of the file its
  // name begins with ("a" or "b").
  const struct {
    std::string before;  // runs that must succeed first, separated by ";"
    std::string args;
    std::string input;
    int status;
    int new_files;  // names in the folder afterwards that were not there before
    std::string err, after;
    std::string out = "";
    std::optional<int> signal = std::nullopt;  // sent once vurn has written to standard error
  } cases[] = {
      {"", "-e -k key a missing b", "", 1, 2, "missing:\nFile not found for encrypting: missing\n",
       "a.vurn b.vurn -missing.vurn"},
      // One prompt for the run; the second name of one file is refused, as is the key file.
      {"", "-e a ./a key b", "key\n", 1, 2,
       "Enter key filename: ./a:\n./a.vurn was written earlier in this run; it is left as it "
       "is\nkey:\nkey is the key file of this run; it is left as it is\n",
       "a.vurn b.vurn -key.vurn"},
      {"-e -k key -o x.vurn a; -e -k key -o x.vurn.old b", "-d -k key x.vurn x.vurn.old", "", 1, 1,
       "x.vurn:\nBlocksize is 256\nx.vurn.old:\nx was written earlier in this run; it is left as "
       "it is\n",
       "x=a"},
      {"", "-e -k key a a.vurn", "", 1, 1,
       "a.vurn:\na.vurn was written earlier in this run; it is left as it is\n", "-a.vurn.vurn"},
      {"-e -k key a b", "-v -d -c a.vurn b.vurn", "", 0, 0,
       "a.vurn:\nThe keyname found was key\nThe 256 bit key read in is key \nBlocksize is 256\n"
       "Decryption operation completed successful\nb.vurn:\nThe keyname found was key\nThe 256 "
       "bit key read in is key \nBlocksize is 256\nDecryption operation completed successful\n",
       "", zero_filled(A) + zero_filled(B)},
      {"", "-e -k key -o out a b", "", 1, 0,
       "-o names one output file; name one input file with -o, or leave -o off\n", "-out -a.vurn"},
      {"", "-e -c -k key a b", "", 1, 0,
       "Several containers on standard output cannot be decrypted; encrypt one file with -c\n", ""},
      {"", "-e -k nosuch a b", "", 1, 0,
       "Could not open key file nosuch: No such file or directory\nError Reading in Key\n",
       "-a.vurn"},
      // A signal ends the run in its second file, blocked opening a FIFO: the first stays done,
      // the third is never started.
      {"", "-v -e -k key a fifo b", "", -1, 1, "a:\n" + DONE, "a.vurn -fifo.vurn -b.vurn", "",
       SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    // Under a runner such as valgrind, a run that a signal ends reports what memory it held.
    if (c.signal && test::vurn_runs_under_test_runner()) continue;
    workspace ws(A, "a");
    write_file(ws / "b", B);
    ASSERT_EQ(mkfifo((ws / "fifo").c_str(), 0600), 0);
    std::istringstream before(c.before);
    for (std::string run; std::getline(before, run, ';');) ASSERT_EQ(ws.run(words(run)).status, 0);
    const int entries = count_entries(ws.dir.path);
    process_request request;
    request.cwd = ws.dir.path;
    request.args = words(c.args);
    request.stdin_data = c.input;
    request.signal_after_output = c.signal;
    const process_result result = run_process(request);
    expect_run(result, c.status, c.err);
    EXPECT_EQ(result.out, c.out);
    for (const std::string& name : words(c.after)) {
      if (name[0] == '-') {
        EXPECT_FALSE(file_exists(ws / name.substr(1))) << name;
      } else if (name.ends_with("=a")) {
        EXPECT_EQ(read_file(ws / name.substr(0, name.size() - 2)), zero_filled(A)) << name;
      } else {
        EXPECT_EQ(ws.run({"-d", "-c", "-k", "key", name}).out, zero_filled(name[0] == 'a' ? A : B))
            << name;
      }
    }
    // Nothing else appeared, not even a temporary file.
    EXPECT_EQ(count_entries(ws.dir.path), entries + c.new_files);
    EXPECT_EQ(read_file(ws / "key"), KEY_HEX);
  }
}

// -e -i: one key file for the run, named in every container; none left when no container uses it.
TEST(Runs, OneGeneratedKeyFileForTheRun) {
  workspace ws(A, "a");
  write_file(ws / "b", B);
  const process_result made = ws.run({"-e", "-i", "a", "b"});
  EXPECT_EQ(made.status, 0) << made.err;
  const std::string prefix = "The 256 bit key created is ";
  ASSERT_EQ(made.err.rfind(prefix, 0), 0u) << made.err;
  ASSERT_EQ(made.err.find('\n'), made.err.size() - 1) << made.err;  // said once, nothing else
  const std::string key = made.err.substr(prefix.size(), made.err.size() - prefix.size() - 2);
  EXPECT_EQ(read_file(ws / "a.vurn").substr(0, key.size() + 1), key + " ");
  EXPECT_EQ(read_file(ws / "b.vurn").substr(0, key.size() + 1), key + " ");
  EXPECT_EQ(count_entries(ws.dir.path), 6);
  EXPECT_EQ(ws.run({"-e", "-i", "missing", "also-missing"}).status, 1);
  EXPECT_EQ(count_entries(ws.dir.path), 6);
}

// -r, step by step over one tree: links (also one planted where an output goes), a FIFO and a
// name holding .vurn are skipped or refused, and never followed.
TEST(Runs, FoldersWithR) {
  workspace ws;
  for (const char* folder : {"d", "d/s", "d/t"}) ASSERT_EQ(mkdir((ws / folder).c_str(), 0755), 0);
  write_file(ws / "d/a", A);
  write_file(ws / "d/s/b", B);
  write_file(ws / "d/s/\033old.vurn", "old");  // a name that could drive a terminal
  write_file(ws / "d/x", "x");
  write_file(ws / "outside", "outside");
  ASSERT_EQ(symlink("../a", (ws / "d/s/link").c_str()), 0);
  ASSERT_EQ(symlink("../outside", (ws / "d/x.vurn").c_str()), 0);
  ASSERT_EQ(mkfifo((ws / "d/t/fifo").c_str(), 0600), 0);
  const std::string skips =
      "Skipping d/s/\\033old.vurn: its name holds .vurn\nSkipping d/s/link: symbolic link, not "
      "followed\nSkipping d/t/fifo: not a regular file or folder\n";
  const std::string link_skip = "Skipping d/x.vurn: symbolic link, not followed\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::vector<std::string> removed_before = {};
  } steps[] = {
      {{"-d", "-r", "d"},
       1,
       "Name the key file with -k to decrypt folders: without it each container would choose the "
       "key file that decrypts it\n"},
      {{"-e", "-r", "-k", "key", "d"},
       1,
       skips +
           "d/x:\nUnable to create file: d/x.vurn for writing: Too many levels of symbolic "
           "links\n" +
           link_skip},
      {{"-d", "-r", "-k", "key", "d"},
       1,
       "d/a.vurn:\nBlocksize is 256\nd/s/\\033old.vurn:\nd/s/\\033old.vurn is not a valid vurn "
       "container\nDecryption operation failed\nd/s/b.vurn:\nBlocksize is 256\nSkipping d/s/link: "
       "symbolic link, not followed\nSkipping d/t/fifo: not a regular file or folder\n" +
           link_skip,
       {"d/a", "d/s/b"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.args[0]);
    for (const auto& name : step.removed_before) ASSERT_EQ(std::remove((ws / name).c_str()), 0);
    expect_run(ws.run(step.args), step.status, step.err);
  }
  EXPECT_EQ(read_file(ws / "d/a"), zero_filled(A));
  EXPECT_EQ(read_file(ws / "d/s/b"), zero_filled(B));
  EXPECT_EQ(read_file(ws / "outside"), "outside");
  EXPECT_EQ(read_file(ws / "d/x"), "x");
  EXPECT_EQ(count_entries(ws / "d"), 6);  // a, a.vurn, s, t, x, x.vurn
  EXPECT_EQ(count_entries(ws / "d/s"), 4);
  EXPECT_EQ(count_entries(ws / "d/t"), 1);
}

}  // namespace
}  // namespace vurn::test
