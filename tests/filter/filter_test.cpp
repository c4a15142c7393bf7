// The child filters: members that decode to the input, one child making exactly what gzip alone
// makes, children that hold only the standard descriptors; and runs of the built binary with -z
// that leave a container that decodes, or a failure that says why, nothing kept and no child
// behind (failing, stubborn or missing programs, signals, process and descriptor limits).
#include "filter/filter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vurn {
namespace {

using test::count_entries;
using test::file_exists;
using test::process_request;
using test::process_result;
using test::read_file;
using test::run_process;
using test::temp_dir;
using test::write_file;

constexpr std::size_t SEGMENT = 64 * 1024;
constexpr filter_command GZIP{"gzip", "cannot run gzip\n"};

// Text that compresses about as well as prose, with random numbers so no two segments are alike.
std::string text_of_size(std::size_t size) {
  std::mt19937 random(static_cast<unsigned>(size));
  std::string text;
  while (text.size() < size) {
    text += "line " + std::to_string(random() % 100000) + " of the text, with words\n";
  }
  text.resize(size);
  return text;
}

const std::string REAL_GZIP = test::program_in_path("gzip");
const bool SEVERAL_CHILDREN = default_compression_plan().children > 1;

// What the real gzip, with `options`, makes of the file input_path on its standard input: the
// file itself, or through a pipe (gzip stamps a file's time into its member, not a pipe's).
std::string gzip_output(const std::string& input_path, bool through_pipe = false,
                        const char* options = "") {
  process_request request;
  request.program = "/bin/sh";
  request.args = {"-c", through_pipe ? "cat < \"$0\" | \"$1\" $2" : "exec \"$1\" $2 < \"$0\"",
                  input_path, REAL_GZIP, options};
  const process_result result = run_process(request);
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out;
}

// What gzip decodes from `members`.
std::string gunzipped(const std::string& members, const temp_dir& dir) {
  write_file(dir / "members", members);
  return gzip_output(dir / "members", false, "-dc");
}

// Large data compare with == so that a failure does not print megabytes.
constexpr const char* BECOMES_REAL = "exec \"$REAL\" \"$@\"";

// A stand-in for program (gzip or gunzip) first on PATH while it lives. Every child notes the
// descriptors it holds (a line in <program>.fds) and its pid (<program>.pids), then runs `body`,
// which by default becomes the real program ($REAL).
struct stand_in {
  temp_dir dir;
  std::string program;
  std::string old_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
  std::string path = dir.path + ":" + old_path;

  explicit stand_in(const char* body = BECOMES_REAL, std::string name = "gzip")
      : program(std::move(name)) {
    write_file(dir / program,
               "#!/bin/sh\necho \"$(ls /proc/self/fd | tr '\\n' ' ')\" >> \"$0.fds\"\n"
               "echo $$ >> \"$0.pids\"\nREAL='" +
                   test::program_in_path(program) + "'\n" + body + "\n");
    EXPECT_EQ(chmod((dir / program).c_str(), 0755), 0);
    setenv("PATH", path.c_str(), 1);
  }
  ~stand_in() { setenv("PATH", old_path.c_str(), 1); }

  // Whether every child that started has ended and been reaped.
  bool children_gone() const {
    for (const std::string& pid : lines("pids")) {
      if (kill(std::stoi(pid), 0) == 0 || errno != ESRCH) return false;
    }
    return true;
  }

  std::vector<std::string> lines(const std::string& kind) const {
    std::vector<std::string> found;
    const std::string file = dir / (program + "." + kind);
    if (!file_exists(file)) return found;
    std::istringstream text(read_file(file));
    for (std::string line; std::getline(text, line);) found.push_back(line);
    return found;
  }
};

enum class source_kind { file, pipe };

// The input descriptor for one run: a file in `dir`, or a pipe fed by a thread.
struct test_source {
  int fd = -1;
  std::thread writer;

  test_source(source_kind kind, const std::string& data, const temp_dir& dir) {
    if (kind == source_kind::file) {
      write_file(dir / "input", data);
      fd = open((dir / "input").c_str(), O_RDONLY | O_CLOEXEC);
      return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    fd = fds[0];
    writer = std::thread([&data, end = fds[1]] {
      // Should the compressor stop reading, the write fails rather than the test process.
      sigset_t pipe_signal;
      sigemptyset(&pipe_signal);
      sigaddset(&pipe_signal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
      for (std::size_t done = 0; done < data.size();) {
        const ssize_t put = write(end, data.data() + done, data.size() - done);
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
      }
      close(end);
    });
  }
  ~test_source() {
    if (fd >= 0) close(fd);
    if (writer.joinable()) writer.join();
  }
};

std::string read_to_end(std::FILE* stream) {
  std::string all;
  char buffer[65536];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) {
    all.append(buffer, got);
  }
  return all;
}

TEST(Filter, MembersInInputOrderGiveTheInputBack) {
  struct case_t {
    const char* name;
    source_kind source;
    std::size_t size;
    int children;
    std::size_t members;  // one member is byte for byte what gzip makes reading the same source
  };
  const case_t cases[] = {
      {"empty file", source_kind::file, 0, 3, 1},
      {"empty pipe", source_kind::pipe, 0, 3, 1},
      {"file of one segment", source_kind::file, SEGMENT, 3, 1},
      {"pipe of one segment", source_kind::pipe, SEGMENT, 3, 1},
      {"one byte more", source_kind::pipe, SEGMENT + 1, 3, 2},
      {"file of two segments", source_kind::file, 2 * SEGMENT, 3, 2},
      {"more segments than children", source_kind::file, 9 * SEGMENT + 100, 2, 10},
      {"pipe of many segments", source_kind::pipe, 7 * SEGMENT - 3, 3, 7},
      {"one child for a large file", source_kind::file, 5 * SEGMENT, 1, 1},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.name);
    const stand_in gzip;
    const std::string data = text_of_size(c.size);
    temp_dir dir;
    std::string output;
    filter_failure failure;
    {
      test_source source(c.source, data, dir);
      filter_run run;
      ASSERT_FALSE(failed(start_compressor(GZIP, source.fd, run, {c.children, SEGMENT})));
      output = read_to_end(run.pipe_end);
      // The count is known wherever this process reads the input, or the child reads a file.
      EXPECT_EQ(input_bytes_read(run), c.size);
      failure = finish_filter(run, false);
    }
    EXPECT_FALSE(failed(failure));
    if (c.members == 1) {
      if (c.source == source_kind::pipe) write_file(dir / "input", data);
      EXPECT_TRUE(output == gzip_output(dir / "input", c.source == source_kind::pipe));
    }
    EXPECT_TRUE(gunzipped(output, dir) == data);
    EXPECT_EQ(gzip.lines("fds"), std::vector<std::string>(c.members, "0 1 2 3 "));
  }
}

// A folder for runs of the binary: a key; "small", one child's input; "big", several children's
// (three default segments); "z.vurn", a random MiB encrypted with -z, whose gunzip still works
// while the body writes; "plain.vurn", the same without -z; "cut.vurn", z.vurn cut inside its last
// chunk.
struct binary_workspace {
  temp_dir dir;
  std::string big = text_of_size(3 * SEGMENT_SIZE);

  binary_workspace() {
    write_file(dir / "key", std::string(64, 'a'));
    write_file(dir / "other-key", std::string(64, '7'));
    write_file(dir / "small", text_of_size(1000));
    write_file(dir / "big", big);
    write_file(dir / "random", test::random_bytes(1 << 20));
    EXPECT_EQ(run({"-z", "-e", "-k", "key", "-o", "z.vurn", "random"}).status, 0);
    EXPECT_EQ(run({"-e", "-k", "key", "-o", "plain.vurn", "random"}).status, 0);
    const std::string whole = read_file(dir / "z.vurn");
    write_file(dir / "cut.vurn", whole.substr(0, whole.size() - 7));
  }
  process_result run(std::vector<std::string> args, std::vector<std::string> prefix = {}) const {
    process_request request;
    request.cwd = dir.path;
    request.prefix = std::move(prefix);
    request.args = std::move(args);
    return run_process(request);
  }
};

TEST(Filter, TheBinaryRoundTripsThroughItsChildren) {
  binary_workspace ws;
  for (const std::string& plain :
       {std::string(), std::string("x"), test::random_bytes(100000), ws.big}) {
    SCOPED_TRACE(plain.size());
    const stand_in gzip;
    write_file(ws.dir / "in", plain);
    const process_result made = ws.run({"-z", "-e", "-k", "key", "-o", "c.vurn", "in"});
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(gzip.children_gone());
    EXPECT_TRUE(ws.run({"-z", "-d", "-c", "-k", "key", "c.vurn"}).out == plain);
    // Decrypted alone, the container holds members that gzip decodes; the zero fill of the last
    // chunk after them is ignored.
    EXPECT_TRUE(gunzipped(ws.run({"-d", "-c", "-k", "key", "c.vurn"}).out, ws.dir) == plain);
  }
}

// Whether err is what pattern shows, where a "*" stands for any text.
bool matches(const std::string& err, const std::string& pattern) {
  const std::size_t first_star = pattern.find('*');
  if (first_star == std::string::npos) return err == pattern;
  if (!err.starts_with(pattern.substr(0, first_star))) return false;
  std::size_t at = first_star;  // in err, past the text before the first "*"
  for (std::size_t from = first_star + 1;;) {
    const std::size_t star = pattern.find('*', from);
    const std::string part = pattern.substr(from, star - from);
    if (star == std::string::npos) return err.size() >= at + part.size() && err.ends_with(part);
    at = err.find(part, at);
    if (at == std::string::npos) return false;
    at += part.size();
    from = star + 1;
  }
}

// The second child and those after it run `then`; the first one compresses.
#define LATER_CHILDREN(then) "[ $(wc -l < \"$0.pids\") -lt 2 ] && exec \"$REAL\"\n" then
constexpr const char* IGNORES_SIGTERM = "trap '' TERM\nhead -c 100000 /dev/zero\nexec sleep 60";
#define ENCRYPTION_FAILED "Encryption operation failed\n"
#define DECRYPTION_FAILED "Decryption operation failed\n"
#define GUNZIP_FAILED "gunzip failed with exit status 1\n"
#define UNREAD "gzip ended before reading all of its input\n"
#define BROKEN_PIPE \
  "Blocksize is 256\nError writing standard output: Broken pipe\n" DECRYPTION_FAILED
#define FULL "Error writing /dev/full: No space left on device\n" ENCRYPTION_FAILED

TEST(Filter, FailingChildrenFailTheRunSayingWhyAndLeaveNothing) {
  enum class search { real, stand_in, nothing, unrunnable_first };
  const std::string small = "-z -e -k key -o out small";
  const std::string big = "-z -e -k key -o out big";
  const struct {
    const char* name;
    search path;
    const char* gzip;  // the stand-in's body
    std::string args;  // as words
    int status;
    const char* err;           // a "*" stands for any text
    bool several = false;      // needs more than one child
    bool reader_goes = false;  // standard output is a pipe whose reader goes after one byte
  } cases[] = {
      {"gzip fails unread", search::stand_in, "exit 3", small, 1,
       "gzip failed with exit status 3\n" ENCRYPTION_FAILED},
      {"a later child fails", search::stand_in, LATER_CHILDREN("cat > /dev/null; exit 4"), big, 1,
       "gzip failed with exit status 4\n" ENCRYPTION_FAILED, true},
      {"a child is killed", search::stand_in, "kill -9 $$", big, 1,
       "gzip was ended by signal 9\n" ENCRYPTION_FAILED, true},
      {"the one gzip exits 0 unread", search::stand_in, "exit 0", small, 1,
       UNREAD ENCRYPTION_FAILED},
      {"a later gzip exits 0 half read", search::stand_in,
       LATER_CHILDREN("head -c 1000 > /dev/null; exit 0"), big, 1, UNREAD ENCRYPTION_FAILED, true},
      {"the one gzip ignores SIGTERM", search::stand_in, IGNORES_SIGTERM,
       "-z -e -k key -o /dev/full small", 1, FULL},
      {"every gzip ignores SIGTERM", search::stand_in, IGNORES_SIGTERM,
       "-z -e -k key -o /dev/full big", 1, FULL, true},
      {"an unrunnable gzip before the real one", search::unrunnable_first, nullptr, small, 0, ""},
      {"no gzip", search::nothing, nullptr, small, 1, "Error running gzip...\n" ENCRYPTION_FAILED},
      {"no gunzip", search::nothing, nullptr, "-z -d -k key -o out z.vurn", 1,
       "*Error running gzip...\n*" DECRYPTION_FAILED "*"},
      {"gunzip given the wrong key", search::real, nullptr, "-z -d -k other-key -o out z.vurn", 1,
       "*Blocksize is 256\n*" GUNZIP_FAILED "*" DECRYPTION_FAILED "*"},
      {"gunzip given what gzip did not make", search::real, nullptr,
       "-z -d -k key -o out plain.vurn", 1,
       "*Blocksize is 256\n*" GUNZIP_FAILED "*" DECRYPTION_FAILED "*"},
      {"a container cut inside a chunk", search::real, nullptr, "-z -d -k key -o out cut.vurn", 1,
       "*Blocksize is 256\nWarning: cut.vurn ends inside a chunk; its last chunk was zero-filled\n*"
       "\ngzip: *" GUNZIP_FAILED "*" DECRYPTION_FAILED "*"},
      // gunzip ended by the broken pipe says what the same run without -z says.
      {"a reader that goes away", search::real, nullptr, "-z -d -c -k key z.vurn", 1, BROKEN_PIPE,
       false, true},
      {"the same without -z", search::real, nullptr, "-d -c -k key plain.vurn", 1, BROKEN_PIPE,
       false, true},
  };
  const std::vector<std::string> reader_goes = {
      "bash", "-c", "set -o pipefail; \"$0\" \"$@\" | head -c1 >/dev/null"};
  binary_workspace ws;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.several && !SEVERAL_CHILDREN) continue;  // one processor: one child
    std::optional<stand_in> gzip;
    temp_dir first;
    const char* path = std::getenv("PATH");
    const std::string old_path = path != nullptr ? path : "/usr/bin:/bin";
    if (c.path == search::stand_in) gzip.emplace(c.gzip);
    if (c.path == search::nothing) setenv("PATH", first.path.c_str(), 1);
    if (c.path == search::unrunnable_first) {
      write_file(first / "gzip", "#!/nonexistent/sh\n");
      ASSERT_EQ(chmod((first / "gzip").c_str(), 0755), 0);
      setenv("PATH", (first.path + ":" + old_path).c_str(), 1);
    }
    const process_result result =
        ws.run(test::words(c.args), c.reader_goes ? reader_goes : std::vector<std::string>{});
    if (c.path != search::stand_in) setenv("PATH", old_path.c_str(), 1);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_TRUE(matches(result.err, c.err)) << result.err;
    EXPECT_EQ(result.err.find("Error writing out"), std::string::npos) << result.err;
    EXPECT_EQ(file_exists(ws.dir / "out"), c.status == 0);
    if (gzip) {
      EXPECT_TRUE(gzip->children_gone());
    }
    std::remove((ws.dir / "out").c_str());
  }
}

// A run that a signal ends takes its children with it, wherever they are, and leaves nothing.
TEST(Filter, ATerminatedRunEndsItsChildren) {
  const struct {
    const char* name;
    const char* program;
    std::vector<std::string> args;  // reading a standard input kept open, but for "big"
  } cases[] = {
      {"gzip reading a pipe", "gzip", {"-z", "-e", "-k", "key", "-o", "out"}},
      {"gzip children reading a file", "gzip", {"-z", "-e", "-k", "key", "-o", "out", "big"}},
      {"gunzip", "gunzip", {"-z", "-d", "-k", "key", "-o", "out"}},
  };
  binary_workspace ws;
  const int entries = count_entries(ws.dir.path);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const stand_in filter("echo started >&2\nexec \"$REAL\" \"$@\"", c.program);
    process_request request;
    request.cwd = ws.dir.path;
    request.args = c.args;
    request.stdin_data = "key ";  // a header begun: the key is known, gunzip may start
    request.keep_stdin_open = true;
    request.signal_after_output = SIGTERM;
    const process_result result = run_process(request);
    EXPECT_EQ(result.signal, SIGTERM) << result.err;
    EXPECT_TRUE(filter.children_gone());
    EXPECT_EQ(count_entries(ws.dir.path), entries);
    // None of the files vurn opened (the input, the output, its folder) reaches a child.
    for (const std::string& fds : filter.lines("fds")) EXPECT_EQ(fds, "0 1 2 3 ");
  }
}

// Under a limit on processes (threads count) or descriptors, -z starts as many children as fit:
// where one can run, the run succeeds. The process limit binds only another user than root, one
// with no other processes; the descriptor limit binds everyone.
TEST(Filter, UnderAProcessOrDescriptorLimitFewerChildrenRun) {
  if (test::vurn_runs_under_test_runner()) GTEST_SKIP() << "a runner counts against the limits";
#ifdef VURN_SANITIZED
  GTEST_SKIP() << "the sanitizer runtime needs descriptors and threads that the limits deny it";
#endif
  // A user of its own, so that no other test's processes count against its limit.
  const std::vector<std::string> as_user = {"setpriv", "--reuid=64731", "--regid=64731",
                                            "--clear-groups"};
  const struct {
    const char* name;
    std::vector<std::string> limit;
    bool other_user;
  } cases[] = {
      {"twelve descriptors", {"prlimit", "--nofile=12"}, false},
      {"three processes: this one, its pipeline's thread, one child",
       {"prlimit", "--nproc=3"},
       true},
  };
  binary_workspace ws;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> prefix = c.limit;
    if (c.other_user) {
      if (geteuid() != 0) {
        GTEST_SKIP() << "a process limit binds only a user with no other processes: root runs it";
      }
      ASSERT_EQ(chown(ws.dir.path.c_str(), 64731, 64731), 0);
      prefix.insert(prefix.begin(), as_user.begin(), as_user.end());
    }
    const process_result made = ws.run({"-z", "-e", "-k", "key", "-o", "c.vurn", "big"}, prefix);
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");
    EXPECT_TRUE(ws.run({"-z", "-d", "-c", "-k", "key", "c.vurn"}).out == ws.big);
    std::remove((ws.dir / "c.vurn").c_str());
  }
}

}  // namespace
}  // namespace vurn
