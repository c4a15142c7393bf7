#include "cli/commands.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/compressor.h"
#include "cli/output_file.h"
#include "container/container.h"

namespace vurn {
namespace {

constexpr const char* CONTAINER_SUFFIX = ".vurn";
constexpr const char* FALLBACK_SUFFIX = ".vurndecrypted";

// With descriptor 0, 1 or 2 closed, the next file opened would take its place and data meant for
// it would land in that file. A placeholder that fails every transfer keeps the slot taken, so a
// closed standard stream shows up as a read or write error instead.
void reserve_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      const int placeholder = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
      if (placeholder >= 0 && placeholder != fd) {
        dup2(placeholder, fd);
        close(placeholder);
      }
    }
  }
}

// A broken pipe must be a write error the driver reports, not a silent death.
void prepare_process() {
  reserve_standard_descriptors();
  signal(SIGPIPE, SIG_IGN);
}

// Opens input_path, or returns standard input when there is none; null after a message.
std::FILE* open_input(const char* input_path) {
  if (input_path == nullptr) return stdin;
  std::FILE* input = std::fopen(input_path, "re");
  if (input == nullptr) std::fprintf(stderr, "File not found for encrypting: %s\n", input_path);
  return input;
}

// The decryptor's output name: the part of the input name before its first ".vurn", or the whole
// name followed by ".vurndecrypted" after a warning.
std::string decrypted_name(const char* input_path, const char* program_name) {
  const char* suffix = std::strstr(input_path, CONTAINER_SUFFIX);
  if (suffix != nullptr) return std::string(input_path, suffix);
  std::fprintf(stderr,
               "Warning: file: %s does not have the standard extension: %s\nfor %s. using %s "
               "extension for output instead\n",
               input_path, CONTAINER_SUFFIX, program_name, FALLBACK_SUFFIX);
  return std::string(input_path) + FALLBACK_SUFFIX;
}

// Where the output goes: standard output (null), the -o name, or a name derived from the input.
// Returns false when there is no name to derive from.
bool choose_output(const run_options& options, const std::string& derived, const char** target) {
  if (options.to_stdout) {
    *target = nullptr;
  } else if (options.output_given) {
    *target = options.output_path;
  } else if (options.input_path != nullptr) {
    *target = derived.c_str();
  } else {
    std::fputs(
        "There is no file name to derive the output name from when reading standard input; "
        "use -c to write to standard output or -o <file> to name the output file\n",
        stderr);
    return false;
  }
  return true;
}

// What one command works on, and what it must clean up when it ends.
struct command_run {
  std::FILE* input = nullptr;
  output_file output;
  compressor_child child;
};

void close_input(command_run& run) {
  if (run.input != nullptr && run.input != stdin) std::fclose(run.input);
  run.input = nullptr;
}

// A driver that succeeds has closed the two streams it was given; forget them.
void forget_streams_closed_by_driver(command_run& run, const stream_pair& streams) {
  for (std::FILE* closed : {streams.input, streams.output}) {
    if (closed == run.input) run.input = nullptr;
    if (closed == run.output.stream) run.output.stream = nullptr;
    if (closed == run.child.pipe_end) run.child.pipe_end = nullptr;
  }
}

// Ends a command after its driver returned: checks the child, then keeps or removes the output.
// Returns the exit status.
int finish_run(command_run& run, const stream_pair& streams, int driver_status,
               const char* failure_line) {
  if (driver_status == STREAM_OK || driver_status == STREAM_FAILED_CLOSED) {
    forget_streams_closed_by_driver(run, streams);
  }
  const bool child_ok = run.child.pid < 0 || finish_child(&run.child, driver_status != STREAM_OK);
  close_input(run);
  bool ok = driver_status == STREAM_OK && child_ok;
  // With a decompressor the child wrote the output; this process's copy was never used.
  if (ok && run.output.stream != nullptr && run.output.stream != stdout) {
    if (std::fclose(run.output.stream) != 0) {
      std::fprintf(stderr, "Error writing %s: %s\n", run.output.name, std::strerror(errno));
      ok = false;
    }
    run.output.stream = nullptr;
  }
  if (ok && commit_output(&run.output)) return 0;
  discard_output(&run.output);
  if (driver_status != STREAM_NO_KEY) std::fputs(failure_line, stderr);
  return 1;
}

const char* input_display_name(const run_options& options) {
  return options.input_path != nullptr ? options.input_path : "standard input";
}

// Opens the chosen output. Returns false, with the input closed, when the command must end.
bool open_chosen_output(const run_options& options, const std::string& derived, command_run& run) {
  const char* target = nullptr;
  if (!choose_output(options, derived, &target) || !open_output(target, &run.output)) {
    close_input(run);
    return false;
  }
  return true;
}

}  // namespace

int run_encrypt_command(const run_options& options) {
  prepare_process();
  command_run run;
  run.input = open_input(options.input_path);
  if (run.input == nullptr) return 1;
  const std::string derived =
      options.input_path != nullptr ? std::string(options.input_path) + CONTAINER_SUFFIX : "";
  if (!open_chosen_output(options, derived, run)) return 1;

  stream_pair streams{run.input, input_display_name(options), run.output.stream, run.output.name};
  int status = STREAM_FAILED;
  if (options.compressor == nullptr || start_compressor("gzip", fileno(run.input), &run.child)) {
    if (options.compressor != nullptr) streams.input = run.child.pipe_end;
    status = encrypt_stream(options.block_size, options.key_size, options.key_path,
                            options.interactive, streams);
  }
  const int exit_status = finish_run(run, streams, status, "Encryption operation failed\n");
  if (exit_status == 0 && options.verbose) {
    std::fputs("Encryption operation completed successfully\n", stderr);
  }
  return exit_status;
}

int run_decrypt_command(const run_options& options, const char* program_name) {
  prepare_process();
  command_run run;
  run.input = open_input(options.input_path);
  if (run.input == nullptr) return 1;
  const bool derive = !options.to_stdout && !options.output_given && options.input_path != nullptr;
  const std::string derived = derive ? decrypted_name(options.input_path, program_name) : "";
  if (!open_chosen_output(options, derived, run)) return 1;

  stream_pair streams{run.input, input_display_name(options), run.output.stream, run.output.name};
  int status = STREAM_FAILED;
  if (options.compressor == nullptr ||
      start_decompressor("gunzip", fileno(run.output.stream), &run.child)) {
    if (options.compressor != nullptr) streams.output = run.child.pipe_end;
    status = decrypt_stream(options.key_size, options.key_path, streams);
  }
  const int exit_status = finish_run(run, streams, status, "Decryption operation failed\n");
  if (exit_status == 0 && options.verbose) {
    std::fputs("Decryption operation completed successful\n", stderr);
  }
  return exit_status;
}

}  // namespace vurn
