// What the encrypt and decrypt commands share: the input, the output, the compressor child, and
// how a run ends.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include <vurn/cipher.h>
#include "cli/key_source.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/progress.h"
#include "container/body.h"
#include "filter/filter.h"

namespace vurn {

// The cipher's records of one file's key; cleared when done.
struct cipher_records {
  key_state key{};
  mode_state mode{};

  cipher_records() = default;
  cipher_records(const cipher_records&) = delete;
  cipher_records& operator=(const cipher_records&) = delete;
  ~cipher_records();
};

// One file of a run: the name messages call it (from which the output's name is derived), and
// where to open it.
struct run_input {
  const char* path = nullptr;  // as named, or the walk's operand/.../name; null: standard input
  int folder_fd = AT_FDCWD;    // in a walk, the folder that holds the file (and its output)
  const char* name = nullptr;  // in a walk, the file's name within folder_fd
};

// The streams and the children of one file's run, each with exactly one owner: the input here,
// the output in output_file, the pipe end and the compressor children in filter_run.
struct data_run {
  std::FILE* input = nullptr;
  const char* input_name = nullptr;     // the path, or "standard input"
  const char* output_path = nullptr;    // null for standard output; what messages call it
  int output_folder = AT_FDCWD;         // where output_target is
  const char* output_target = nullptr;  // the output's name within output_folder
  std::string derived_name;             // the output's name when it was derived from the input's
  // A name found by walking a folder was chosen by whoever made the file: messages show these,
  // with control characters escaped, instead of the names themselves.
  std::string shown_input;
  std::string shown_output;
  output_file output;
  folder_syncs* later = nullptr;  // where the output's folder is left to be synced, if anywhere
  filter_run filter;
  // What the body reads and writes: the input and the output, or a compressor's pipe between.
  std::FILE* body_input = nullptr;
  std::FILE* body_output = nullptr;

  data_run() = default;
  data_run(const data_run&) = delete;
  data_run& operator=(const data_run&) = delete;
  ~data_run();  // stops children still running; the output is left as it was unless committed
};

// Opens the input, or takes standard input when it has no path; false after a message. In a walk
// the file is opened within its folder, and only a regular file, never through a symbolic link.
bool open_input(data_run& run, const run_input& input);

// The name of an output made next to its input; false after a message when there is none.
using output_namer = bool (*)(const char* input_path, std::string& output_name);

// Opens standard output (-c), the -o name, or the name `namer` derives from the input's (beside
// it, in a walk, and never through a symbolic link); false after a message.
bool open_output(data_run& run, const settings& with, const run_input& input, output_namer namer);

// What the output's name leads to; false when it is standard output or leads to nothing.
bool stat_output(const data_run& run, struct stat& st);

// Puts gzip in front of the body (reading the input) or gunzip behind it (writing the output).
// False after a message.
bool compress_input(data_run& run);
bool decompress_output(data_run& run);

// Whether the output is not the key file (by device and inode); false after a message. Writing
// over the key file would lose the key.
bool output_spares_key(const data_run& run, const std::string& key_name);

// Runs the container's body from the body's input to its output, showing its progress.
body_result run_body(data_run& run, run_progress& progress, int direction, chunk_size chunk,
                     const cipher_records& cipher);

struct outcome_texts {
  const char* failed;
  const char* done;  // said with -v
};

// How the run of one file ends.
enum class ending {
  refused,   // before anything was started
  failed,    // after the output was opened, before the body ran
  body_ran,  // the body ran, well or not
};

struct run_end {
  ending how = ending::refused;
  body_result body{};  // body_ran: what the body returned
};

// Ends the run of one file, after the step that went wrong has said what it was. Every ending
// goes through here; each prints:
//   refused   nothing more (the input, the output or the key could not be had, or a refusal kept
//             data from being lost); status 1.
//   failed    the compressor children are stopped and the output dropped, then texts.failed
//             ("Encryption operation failed" / "Decryption operation failed"); status 1.
//   body_ran  the compressor children are waited for; the body's trouble is said (a last chunk
//             cut short first), then a child's failure (rather than the broken pipe the child
//             left the body); when both succeeded the output is put in place and, with verbose,
//             texts.done follows, status 0; otherwise, or when putting it in place fails (its
//             write error said), the output is dropped and texts.failed follows, status 1.
// Returns the status.
int end_run(data_run& run, const run_end& end, const outcome_texts& texts, bool verbose);

}  // namespace vurn
