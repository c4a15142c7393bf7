// The compressor: members that decode to the input, one child making exactly what gzip alone makes,
// children that hold only the standard descriptors, failures returned as results, and runs of the
// built binary that leave a container that decodes, or nothing and no child behind.
#include "filter/filter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"

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
constexpr const char* BECOMES_GZIP = "exec \"$REAL_GZIP\" \"$@\"";

// A stand-in "gzip" first on PATH while it lives. Every child notes the descriptors it holds (a
// line in gzip.fds) and its pid (gzip.pids), then runs `body`, which by default becomes the real
// gzip.
struct gzip_stand_in {
  temp_dir dir;
  std::string old_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
  std::string path = dir.path + ":" + old_path;

  explicit gzip_stand_in(const char* body = BECOMES_GZIP) {
    write_file(dir / "gzip",
               "#!/bin/sh\necho \"$(ls /proc/self/fd | tr '\\n' ' ')\" >> \"$0.fds\"\n"
               "echo $$ >> \"$0.pids\"\nREAL_GZIP='" +
                   REAL_GZIP + "'\n" + body + "\n");
    EXPECT_EQ(chmod((dir / "gzip").c_str(), 0755), 0);
    setenv("PATH", path.c_str(), 1);
  }
  ~gzip_stand_in() { setenv("PATH", old_path.c_str(), 1); }

  // Whether every child that started has ended and been reaped.
  bool children_gone() const {
    for (const std::string& pid : lines("gzip.pids")) {
      if (kill(std::stoi(pid), 0) == 0 || errno != ESRCH) return false;
    }
    return true;
  }

  std::vector<std::string> lines(const std::string& file) const {
    std::vector<std::string> found;
    if (!file_exists(dir / file)) return found;
    std::istringstream text(read_file(dir / file));
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

TEST(Compressor, MembersInInputOrderGiveTheInputBack) {
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
    const gzip_stand_in gzip;
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
    EXPECT_EQ(gzip.lines("gzip.fds"), std::vector<std::string>(c.members, "0 1 2 3 "));
  }
}

// Standard error of this process goes to a file while it lives, where the children write too.
struct stderr_capture {
  temp_dir dir;
  int saved = dup(2);

  stderr_capture() {
    const int file = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    dup2(file, 2);
    close(file);
  }
  ~stderr_capture() { restore(); }
  void restore() {
    if (saved < 0) return;
    dup2(saved, 2);
    close(saved);
    saved = -1;
  }
  std::string text() {
    restore();
    return read_file(dir / "err");
  }
};

// The second child and those after it fail; the first one compresses.
constexpr const char* SECOND_CHILD_FAILS =
    "[ $(wc -l < \"$0.pids\") -lt 2 ] && exec \"$REAL_GZIP\" \"$@\"\ncat > /dev/null; exit 4";

TEST(Compressor, AFailingChildIsReportedAndEndsTheRun) {
  struct case_t {
    const char* name;
    const char* body;
    int children;
    filter_fault fault;
    int exit_status;
    int signal;
  };
  const case_t cases[] = {
      {"gzip fails unread", "exit 3", 3, filter_fault::exit_status, 3, 0},
      {"a later child fails", SECOND_CHILD_FAILS, 3, filter_fault::exit_status, 4, 0},
      {"a child is killed", "kill -9 $$", 2, filter_fault::signal, 0, SIGKILL},
      {"the one child fails", "cat > /dev/null; exit 5", 1, filter_fault::exit_status, 5, 0},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.name);
    const gzip_stand_in gzip(c.body);
    temp_dir dir;
    filter_failure failure;
    stderr_capture err;
    {
      test_source source(source_kind::file, text_of_size(5 * SEGMENT), dir);
      filter_run run;
      ASSERT_FALSE(failed(start_compressor(GZIP, source.fd, run, {c.children, SEGMENT})));
      read_to_end(run.pipe_end);
      failure = finish_filter(run, false);
    }
    EXPECT_EQ(err.text(), "");  // no child complains of a pipe closed under it
    EXPECT_EQ(failure.fault, c.fault);
    EXPECT_STREQ(failure.program, "gzip");
    EXPECT_EQ(failure.exit_status, c.exit_status);
    EXPECT_EQ(failure.signal, c.signal);
    EXPECT_TRUE(gzip.children_gone());
  }
}

// The built binary, whose plan is the default one: more than one child only with more than one
// processor to run on. Its container is whole or not there.
TEST(Compressor, TheBinaryLeavesAWholeContainerOrNothingAndNoChild) {
  if (default_compression_plan().children < 2) GTEST_SKIP() << "one processor: one gzip child";
  struct case_t {
    const char* name;
    const char* body;
    int status;
    int signal;
  };
  const case_t cases[] = {
      {"the children succeed", BECOMES_GZIP, 0, 0},
      {"a later child fails", SECOND_CHILD_FAILS, 1, 0},
      {"SIGTERM while children run", "echo started >&2\nexec \"$REAL_GZIP\" \"$@\"", -1, SIGTERM},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.name);
    const gzip_stand_in gzip(c.body);
    temp_dir dir;
    write_file(dir / "key", std::string(64, 'a'));
    const std::string data = text_of_size(3 * SEGMENT_SIZE);
    write_file(dir / "data", data);
    process_request request;
    request.cwd = dir.path;
    request.args = {"-z", "-e", "-k", "key", "-o", "out", "data"};
    if (c.signal != 0) request.signal_after_output = c.signal;
    const process_result result = run_process(request);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.signal, c.signal);
    if (c.status == 1) {
      EXPECT_TRUE(result.err.ends_with("Encryption operation failed\n")) << result.err;
    }
    EXPECT_GE(gzip.lines("gzip.pids").size(), 1u);
    EXPECT_TRUE(gzip.children_gone());
    const bool made = c.status == 0;
    EXPECT_EQ(count_entries(dir.path), made ? 3 : 2);  // the key, the data and the container
    if (made) {
      EXPECT_TRUE(test::run_vurn({"-z", "-d", "-c", "-k", "key", "out"}, dir.path).out == data);
      // Decrypted alone, the container holds members that gzip decodes; the zero fill of the
      // last chunk after them is ignored.
      const process_result members = test::run_vurn({"-d", "-c", "-k", "key", "out"}, dir.path);
      EXPECT_TRUE(gunzipped(members.out, dir) == data);
    }
  }
}

}  // namespace
}  // namespace vurn
