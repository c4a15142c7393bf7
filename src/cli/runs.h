// A run over every file named on the command line: what its files share, and the loop that takes
// them in turn.
#pragma once

#include <optional>
#include <vector>

#include "cli/data_run.h"
#include "cli/key_source.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "fileio/atomic_file.h"
#include "fileio/fd.h"

namespace vurn {

// What the files of one run share.
struct run_state {
  run_state(const settings& with, bool encrypting);

  const settings& with;
  bool encrypting;
  bool many;                            // several files: each file's messages follow its name
  key_material key;                     // the run's key: encryption's, or decryption's from -k
  std::optional<key_outcome> key_read;  // once it was read
  std::optional<file_id> key_file;      // the key file, once read
  made_key_file made;                   // the key file made for this run (-e -i)
  std::vector<file_id> outputs;         // the files this run has written
  folder_syncs folders;                 // their folders, synced once at the end (several files)
  run_progress progress;
};

// The run's key, read the first time it is asked for, with its messages then.
key_outcome run_key(run_state& run);

// Opens the input and the output of one file of the run. In a run of several files, refuses an
// input that is a file this run has written or the run's key file, and an output that leads to a
// file this run has written (a later file would destroy an earlier result). False after a message.
bool open_file_run(run_state& run, data_run& file, const run_input& input, output_namer namer);

// Notes the output of file, if it has a name, as written by this run.
void note_output(run_state& run, const data_run& file);

// Runs one file and returns its status.
using file_command = int (*)(run_state& run, const run_input& input);

// Refuses what several files cannot do, then runs command over every input in order (standard
// input when there is none); with -r, over the files in every folder operand (encryption: each
// regular file whose name does not hold ".vurn"; decryption: each whose name ends in ".vurn").
// Returns 0 when every file succeeded, else 1. What a walk skips is said, and is no failure.
int run_files(const settings& with, bool encrypting, file_command command);

}  // namespace vurn
