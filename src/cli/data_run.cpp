#include "cli/data_run.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <span>

#include "cli/messages.h"
#include "cli/progress.h"
#include "cli/reports.h"
#include "fileio/fd.h"
#include "fileio/wipe.h"

namespace vurn {

cipher_records::~cipher_records() {
  const scrub_on_exit scrub{std::as_writable_bytes(std::span(&key, 1))};
}

data_run::~data_run() {
  finish_filter(filter, true);
  discard_output(output);
  if (input != nullptr && input != stdin) std::fclose(input);
}

namespace {

constexpr filter_command GZIP{"gzip", text::FILTER_CANNOT_RUN};
constexpr filter_command GUNZIP{"gunzip", text::FILTER_CANNOT_RUN};

// Puts the output in place when all went well, else drops it, and says the outcome.
int conclude(data_run& run, bool succeeded, const outcome_texts& texts, bool verbose) {
  if (succeeded && commit_output(run.output, run.later)) {
    if (verbose) say("%s", texts.done);
    return 0;
  }
  discard_output(run.output);
  say("%s", texts.failed);
  return 1;
}

// A file of a walk, opened within its folder: not through a symbolic link, and only when it is
// still a regular file (a FIFO put in its place would block the open without O_NONBLOCK).
std::FILE* open_regular_in(int folder_fd, const char* name) {
  unique_fd fd(openat(folder_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || fcntl(fd.get(), F_SETFL, 0) != 0) {
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return nullptr;
  }
  std::FILE* stream = fdopen(fd.get(), "r");
  if (stream != nullptr) fd.release();
  return stream;
}

}  // namespace

bool open_input(data_run& run, const run_input& input) {
  run.input_name = input.path != nullptr ? input.path : text::STANDARD_INPUT;
  if (input.path == nullptr) {
    run.input = stdin;
  } else if (input.folder_fd == AT_FDCWD) {
    run.input = std::fopen(input.path, "re");
  } else {
    run.shown_input = printable(input.path);
    run.input_name = run.shown_input.c_str();
    run.input = open_regular_in(input.folder_fd, input.name);
  }
  if (run.input == nullptr) report_unopened_input(run.input_name, errno);
  run.body_input = run.input;
  return run.input != nullptr;
}

bool open_output(data_run& run, const settings& with, const run_input& input, output_namer namer) {
  if (with.to_stdout) {
    run.output_path = nullptr;
  } else if (with.output_path != nullptr) {
    run.output_path = with.output_path;
  } else if (input.path == nullptr) {
    say(text::NO_NAME_TO_DERIVE);
    return false;
  } else {
    if (!namer(input.path, run.derived_name)) return false;
    run.output_path = run.derived_name.c_str();
  }
  run.output_target = run.output_path;
  const bool beside = run.output_path == run.derived_name.c_str() && input.folder_fd != AT_FDCWD;
  if (beside) {
    // The derived name differs from the input's in its last component only.
    run.output_folder = input.folder_fd;
    run.output_target += run.derived_name.find_last_of('/') + 1;
    run.shown_output = printable(run.derived_name);
    run.output_path = run.shown_output.c_str();
  }
  const bool opened = open_output(run.output, run.output_path, run.input, run.output_folder,
                                  beside ? run.output_target : nullptr);
  run.body_output = run.output.stream;
  return opened;
}

bool stat_output(const data_run& run, struct stat& st) {
  return run.output_target != nullptr && fstatat(run.output_folder, run.output_target, &st, 0) == 0;
}

bool compress_input(data_run& run) {
  if (!report(start_compressor(GZIP, fileno(run.input), run.filter), run.input_name)) {
    return false;
  }
  run.body_input = run.filter.pipe_end;
  return true;
}

bool decompress_output(data_run& run) {
  if (!report(start_decompressor(GUNZIP, fileno(run.output.stream), run.filter), run.input_name)) {
    return false;
  }
  run.body_output = run.filter.pipe_end;
  return true;
}

bool output_spares_key(const data_run& run, const std::string& key_name) {
  struct stat key;
  struct stat output;
  if (stat(key_name.c_str(), &key) != 0 || !stat_output(run, output) || !same_file(key, output)) {
    return true;
  }
  say(text::OUTPUT_IS_KEY_FILE, run.output_path);
  return false;
}

body_result run_body(data_run& run, run_progress& progress, int direction, chunk_size chunk,
                     const cipher_records& cipher) {
  // With gzip in front the body counts compressed bytes: the compressor counts the input.
  input_counter counter;
  if (run.body_input != run.input) {
    counter.count = [](const void* filter) {
      return input_bytes_read(*static_cast<const filter_run*>(filter));
    };
    counter.context = &run.filter;
  }
  progress_line line(progress, fileno(run.input), counter, run.output_path == nullptr);
  return transform_body(run.body_input, run.body_output, direction, chunk, cipher.key, cipher.mode,
                        line.hook());
}

int end_run(data_run& run, const run_end& end, const outcome_texts& texts, bool verbose) {
  switch (end.how) {
    case ending::refused:
      return 1;
    case ending::failed:
      finish_filter(run.filter, true);
      return conclude(run, false, texts, false);
    case ending::body_ran:
      break;
  }
  const body_result& body = end.body;
  const bool body_ok = body.error == body_error::none;
  // Said before the pipe to gunzip closes, so that it comes before what gunzip says of the cut.
  if (body.ended_inside_chunk) say(text::ENDS_INSIDE_CHUNK, run.input_name);
  filter_failure filter = finish_filter(run.filter, !body_ok);
  body_result shown = body;
  shown.ended_inside_chunk = false;
  const bool into_filter = run.body_output != run.output.stream;
  // A child that failed has closed its end of the pipe, and the body's next write into it broke:
  // the child is what to name, not the output.
  if (failed(filter) && body.error == body_error::write_failed && into_filter) {
    shown.error = body_error::none;
  }
  // gunzip ended by a broken pipe: the output's reader went away, a write error as without -z.
  if (into_filter && filter.fault == filter_fault::signal && filter.signal == SIGPIPE) {
    shown = {body_error::write_failed, EPIPE};
    filter = {};
  }
  const bool shown_ok = report(shown, run.input_name, run.output.name);
  const bool filter_ok = report(filter, run.input_name);
  return conclude(run, body_ok && shown_ok && filter_ok, texts, verbose);
}

}  // namespace vurn
