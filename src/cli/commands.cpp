#include "cli/commands.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/compressor.h"
#include "cli/output_file.h"
#include "container/container.h"

namespace vurn {
namespace {

// What sets encryption and decryption apart; everything else they do alike.
struct data_command {
  bool encrypts;                // encrypt_stream with the compressor in front, or decrypt_stream
  const char* compressor;       // with the compressor behind
  const char* stripped_suffix;  // the output is named after the input up to the first of these,
  const char* added_suffix;     // or, lacking one, after the whole input name with this added
  const char* failure_line;
  const char* success_line;
};

constexpr data_command ENCRYPTION = {true,
                                     "gzip",
                                     nullptr,
                                     ".vurn",
                                     "Encryption operation failed\n",
                                     "Encryption operation completed successfully\n"};
constexpr data_command DECRYPTION = {false,
                                     "gunzip",
                                     ".vurn",
                                     ".vurndecrypted",
                                     "Decryption operation failed\n",
                                     "Decryption operation completed successful\n"};

// The streams and the child of one command, each with exactly one owner: the input here, the
// output in output_file, the pipe end in filter_run. The driver only borrows them.
struct command_run {
  std::FILE* input = nullptr;
  output_file output;
  filter_run child;

  command_run() = default;
  command_run(const command_run&) = delete;
  command_run& operator=(const command_run&) = delete;
  ~command_run() {
    if (input != nullptr && input != stdin) std::fclose(input);
  }
};

// Opens input_path, or takes standard input when there is none; false after a message.
bool open_input(command_run& run, const char* input_path) {
  if (input_path == nullptr) {
    run.input = stdin;
    return true;
  }
  run.input = std::fopen(input_path, "re");
  if (run.input == nullptr) std::fprintf(stderr, "File not found for encrypting: %s\n", input_path);
  return run.input != nullptr;
}

std::string derived_output_name(const data_command& command, const char* input_path,
                                const char* program_name) {
  if (command.stripped_suffix != nullptr) {
    const char* suffix = std::strstr(input_path, command.stripped_suffix);
    if (suffix != nullptr) return std::string(input_path, suffix);
    std::fprintf(stderr,
                 "Warning: file: %s does not have the standard extension: %s\nfor %s. using %s "
                 "extension for output instead\n",
                 input_path, command.stripped_suffix, program_name, command.added_suffix);
  }
  return std::string(input_path) + command.added_suffix;
}

// Opens standard output, the -o name, or a name derived from the input; false after a message.
bool open_chosen_output(const data_command& command, const run_options& options,
                        const char* program_name, command_run& run) {
  if (options.to_stdout) return open_output(run.output, nullptr);
  if (options.output_given) return open_output(run.output, options.output_path);
  if (options.input_path == nullptr) {
    std::fputs(
        "There is no file name to derive the output name from when reading standard input; "
        "use -c to write to standard output or -o <file> to name the output file\n",
        stderr);
    return false;
  }
  const std::string derived = derived_output_name(command, options.input_path, program_name);
  return open_output(run.output, derived.c_str());
}

// Says what went wrong with the compressor where its child has not said it itself.
void report_filter_failure(const filter_failure& failure, const char* input_name) {
  if (failure.fault == filter_fault::cannot_start) {
    std::fprintf(stderr, "Cannot start %s: %s\n", failure.program,
                 std::strerror(failure.error_number));
  } else if (failure.fault == filter_fault::cannot_stream) {
    std::fprintf(stderr, "Cannot open the pipe to the compressor: %s\n",
                 std::strerror(failure.error_number));
  } else if (failure.fault == filter_fault::read_failed) {
    std::fprintf(stderr, "Error reading %s: %s\n", input_name, std::strerror(failure.error_number));
  }
}

// Puts the compressor child in front of or behind the driver and points the driver's streams at
// its pipe. Without -z there is nothing to do.
bool start_filter(const data_command& command, const run_options& options, command_run& run,
                  stream_pair& streams) {
  if (options.compressor == nullptr) return true;
  const filter_failure failure =
      command.encrypts
          ? start_compressor(command.compressor, fileno(run.input), run.child)
          : start_decompressor(command.compressor, fileno(run.output.stream), run.child);
  if (failed(failure)) {
    report_filter_failure(failure, streams.input_name);
    return false;
  }
  (command.encrypts ? streams.input : streams.output) = run.child.pipe_end;
  return true;
}

int run_driver(const data_command& command, const run_options& options,
               const stream_pair& streams) {
  if (command.encrypts) {
    return encrypt_stream(options.block_size, options.key_size, options.key_path,
                          options.interactive, streams);
  }
  return decrypt_stream(options.key_size, options.key_path, streams);
}

// Opens the streams, runs the driver and, only when it and the child both succeeded, puts the
// output in place. Returns the exit status.
int run_data_command(const data_command& command, const run_options& options,
                     const char* program_name) {
  command_run run;
  if (!open_input(run, options.input_path) ||
      !open_chosen_output(command, options, program_name, run)) {
    return 1;
  }
  stream_pair streams{run.input,
                      options.input_path != nullptr ? options.input_path : "standard input",
                      run.output.stream, run.output.name};
  int status = STREAM_FAILED;
  if (start_filter(command, options, run, streams)) status = run_driver(command, options, streams);
  const filter_failure child_failure = finish_filter(run.child, status != STREAM_OK);
  report_filter_failure(child_failure, streams.input_name);
  const bool child_ok = !failed(child_failure);
  if (status == STREAM_OK && child_ok && commit_output(run.output)) {
    if (options.verbose) std::fputs(command.success_line, stderr);
    return 0;
  }
  discard_output(run.output);
  if (status != STREAM_NO_KEY) std::fputs(command.failure_line, stderr);
  return 1;
}

}  // namespace

int run_encrypt_command(const run_options& options) {
  return run_data_command(ENCRYPTION, options, nullptr);
}

int run_decrypt_command(const run_options& options, const char* program_name) {
  return run_data_command(DECRYPTION, options, program_name);
}

}  // namespace vurn
