#include "cli/commands.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/compressor.h"
#include "cli/messages.h"
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

constexpr data_command ENCRYPTION = {
    true, "gzip", nullptr, ".vurn", text::ENCRYPTION_FAILED, text::ENCRYPTION_DONE};
constexpr data_command DECRYPTION = {
    false, "gunzip", ".vurn", ".vurndecrypted", text::DECRYPTION_FAILED, text::DECRYPTION_DONE};

// The streams and the child of one command, each with exactly one owner: the input here, the
// output in output_file, the pipe end in compressor_child. The driver only borrows them.
struct command_run {
  std::FILE* input = nullptr;
  output_file output;
  compressor_child child;

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
  if (run.input == nullptr) say(text::INPUT_NOT_FOUND, input_path);
  return run.input != nullptr;
}

std::string derived_output_name(const data_command& command, const char* input_path) {
  if (command.stripped_suffix != nullptr) {
    const char* suffix = std::strstr(input_path, command.stripped_suffix);
    if (suffix != nullptr) return std::string(input_path, suffix);
    say(text::NO_STANDARD_EXTENSION, input_path, command.stripped_suffix, program_name(),
        command.added_suffix);
  }
  return std::string(input_path) + command.added_suffix;
}

// Opens standard output, the -o name, or a name derived from the input; false after a message.
bool open_chosen_output(const data_command& command, const settings& options, command_run& run) {
  if (options.to_stdout) return open_output(run.output, nullptr);
  if (options.output_path != nullptr) return open_output(run.output, options.output_path);
  if (options.input_path == nullptr) {
    say(text::NO_NAME_TO_DERIVE);
    return false;
  }
  const std::string derived = derived_output_name(command, options.input_path);
  return open_output(run.output, derived.c_str());
}

// Puts the compressor child in front of or behind the driver and points the driver's streams at
// its pipe. Without -z there is nothing to do.
bool start_filter(const data_command& command, const settings& options, command_run& run,
                  stream_pair& streams) {
  if (!options.compress) return true;
  if (command.encrypts) {
    if (!start_compressor(command.compressor, fileno(run.input), &run.child)) return false;
    streams.input = run.child.pipe_end;
  } else {
    if (!start_decompressor(command.compressor, fileno(run.output.stream), &run.child)) {
      return false;
    }
    streams.output = run.child.pipe_end;
  }
  return true;
}

int run_driver(const data_command& command, const settings& options, const stream_pair& streams) {
  if (command.encrypts) {
    return encrypt_stream(options.chunk_bits, options.key_bits, options.key_path,
                          options.interactive, streams);
  }
  return decrypt_stream(options.key_bits, options.key_path, streams);
}

// Opens the streams, runs the driver and, only when it and the child both succeeded, puts the
// output in place. Returns the exit status.
int run_data_command(const data_command& command, const settings& options) {
  command_run run;
  if (!open_input(run, options.input_path) || !open_chosen_output(command, options, run)) {
    return 1;
  }
  stream_pair streams{run.input,
                      options.input_path != nullptr ? options.input_path : "standard input",
                      run.output.stream, run.output.name};
  int status = STREAM_FAILED;
  if (start_filter(command, options, run, streams)) status = run_driver(command, options, streams);
  const bool child_ok = !options.compress || finish_child(&run.child, status != STREAM_OK);
  if (status == STREAM_OK && child_ok && commit_output(run.output)) {
    if (options.verbose) say("%s", command.success_line);
    return 0;
  }
  discard_output(run.output);
  if (status != STREAM_NO_KEY) say("%s", command.failure_line);
  return 1;
}

}  // namespace

int run_encrypt(const settings& with) {
  return run_data_command(ENCRYPTION, with);
}

int run_decrypt(const settings& with) {
  return run_data_command(DECRYPTION, with);
}

}  // namespace vurn
