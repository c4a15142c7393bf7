// What the encrypt and decrypt commands share: the input, the output, the compressor child, and
// how a run ends.
#pragma once

#include <cstdio>
#include <string>

#include "cli/key_source.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "container/body.h"
#include "filter/filter.h"

namespace vurn {

// The streams and the children of one run, each with exactly one owner: the input here, the output
// in output_file, the pipe end and the compressor children in filter_run.
struct data_run {
  std::FILE* input = nullptr;
  const char* input_name = nullptr;   // the path, or "standard input"
  const char* output_path = nullptr;  // null for standard output
  std::string derived_name;           // the output's name when it was derived from the input's
  output_file output;
  filter_run filter;
  // What the body reads and writes: the input and the output, or a compressor's pipe between.
  std::FILE* body_input = nullptr;
  std::FILE* body_output = nullptr;

  data_run() = default;
  data_run(const data_run&) = delete;
  data_run& operator=(const data_run&) = delete;
  ~data_run();  // stops children still running; the output is left as it was unless committed
};

// Opens input_path, or takes standard input when there is none; false after a message.
bool open_input(data_run& run, const char* input_path);

// The name of an output made next to its input; false after a message when there is none.
using output_namer = bool (*)(const char* input_path, std::string& output_name);

// Opens standard output (-c), the -o name, or the name `namer` derives from the input; false after
// a message.
bool open_output(data_run& run, const settings& with, output_namer namer);

// Puts gzip in front of the body (reading the input) or gunzip behind it (writing the output).
// False after a message.
bool compress_input(data_run& run);
bool decompress_output(data_run& run);

// Whether the output is not the key file (by device and inode); false after a message. Writing
// over the key file would lose the key.
bool output_spares_key(const data_run& run, const std::string& key_name);

// Runs the container's body from the body's input to its output.
body_result run_body(data_run& run, int direction, chunk_size chunk, const cipher_records& cipher);

struct outcome_texts {
  const char* failed;
  const char* done;  // said with -v
};

// Ends a run that failed before its body ran, after what went wrong has been said: stops the
// compressor children, drops the output and says the failure. Returns the exit status.
int fail_run(data_run& run, const outcome_texts& texts);

// Ends a run after its body: waits for the compressor children, says what went wrong with either
// (a failed child rather than the broken pipe it left behind) and, when both succeeded, puts the
// output in place (otherwise drops it). Says the outcome and returns the exit status.
int finish_run(data_run& run, const body_result& body, const outcome_texts& texts, bool verbose);

}  // namespace vurn
