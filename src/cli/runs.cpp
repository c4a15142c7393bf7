#include "cli/runs.h"

#include <sys/stat.h>

#include <algorithm>
#include <string_view>

#include "cli/messages.h"
#include "cli/reports.h"
#include "fileio/walk.h"

namespace vurn {
namespace {

constexpr std::string_view VURN_SUFFIX = ".vurn";

bool is_one_of(const std::vector<file_id>& ids, const struct stat& st) {
  return std::any_of(ids.begin(), ids.end(),
                     [&](const file_id& id) { return id.dev == st.st_dev && id.ino == st.st_ino; });
}

bool is_key_file(const run_state& run, const struct stat& st) {
  return run.key_file && run.key_file->dev == st.st_dev && run.key_file->ino == st.st_ino;
}

// Whether path is a folder, or a symbolic link to one (which the walk then names as not followed).
bool is_folder(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return false;
  return S_ISDIR(st.st_mode) ||
         (S_ISLNK(st.st_mode) && stat(path, &st) == 0 && S_ISDIR(st.st_mode));
}

// Whether a regular file the walk found is for this run: encryption takes the names without
// ".vurn" (the others are said to be skipped), decryption the names that end in it; the run's key
// file is said to be skipped.
bool wanted(const run_state& run, const walk_entry& found) {
  const std::string_view name(found.name);
  const char* skipped = nullptr;
  if (run.encrypting && name.find(VURN_SUFFIX) != std::string_view::npos) {
    skipped = text::SKIP_HOLDS_VURN;
  } else if (!run.encrypting && !name.ends_with(VURN_SUFFIX)) {
    return false;
  } else if (is_key_file(run, found.st)) {
    skipped = text::SKIP_RUN_KEY;
  }
  if (skipped != nullptr) say(text::WALK_SKIPPED, printable(found.path).c_str(), skipped);
  return skipped == nullptr;
}

// What several files in one run cannot do; false after a message.
bool may_run_many(const settings& with, bool encrypting) {
  if (with.recursive && !encrypting && with.key_path == nullptr) {
    say(text::FOLDERS_NEED_KEY);
    return false;
  }
  if (with.output_path != nullptr && !with.to_stdout) {
    say(text::ONE_OUTPUT_FOR_MANY);
    return false;
  }
  if (with.to_stdout && encrypting) {
    say(text::MANY_CONTAINERS_TO_STDOUT);
    return false;
  }
  return true;
}

}  // namespace

run_state::run_state(const settings& with_, bool encrypting_)
    : with(with_),
      encrypting(encrypting_),
      many(with_.inputs.size() > 1 || with_.recursive),
      progress(many, with_.recursive ? 0 : with_.inputs.size()) {}

key_outcome run_key(run_state& run) {
  if (!run.key_read) {
    run.key_read = run.encrypting ? obtain_encryption_key(run.with, run.key, run.made)
                                  : read_named_key(run.with.key_path, run.key);
    struct stat st;
    if (*run.key_read == key_outcome::ready && stat(run.key.name.c_str(), &st) == 0) {
      run.key_file = file_id{st.st_dev, st.st_ino};
    }
  }
  return *run.key_read;
}

namespace {

bool input_is_fresh(const run_state& run, int fd, const char* input_name) {
  struct stat st;
  if (!run.many || fstat(fd, &st) != 0) return true;
  if (is_one_of(run.outputs, st)) {
    say(text::OUTPUT_OF_THIS_RUN, input_name);
    return false;
  }
  if (is_key_file(run, st)) {
    say(text::INPUT_IS_RUN_KEY, input_name);
    return false;
  }
  return true;
}

bool output_is_fresh(const run_state& run, const data_run& file) {
  struct stat st;
  if (!run.many || !stat_output(file, st) || !is_one_of(run.outputs, st)) return true;
  say(text::OUTPUT_OF_THIS_RUN, file.output_path);
  return false;
}

}  // namespace

bool open_file_run(run_state& run, data_run& file, const run_input& input, output_namer namer) {
  if (run.many) file.later = &run.folders;
  return open_input(file, input) && input_is_fresh(run, fileno(file.input), file.input_name) &&
         open_output(file, run.with, input, namer) && output_is_fresh(run, file);
}

void note_output(run_state& run, const data_run& file) {
  struct stat st;
  if (stat_output(file, st)) run.outputs.push_back(file_id{st.st_dev, st.st_ino});
}

int run_files(const settings& with, bool encrypting, file_command command) {
  run_state run(with, encrypting);
  if (run.many) {
    if (!may_run_many(with, encrypting)) return 1;
    // One key for the run, read before the first file.
    if ((encrypting || with.key_path != nullptr) && run_key(run) != key_outcome::ready) return 1;
  }
  if (with.inputs.empty()) return command(run, {});
  int status = 0;
  const auto run_one = [&](const run_input& input) {
    run.progress.begin_file(input.path);
    begin_file(run.many ? input.path : nullptr);
    if (command(run, input) != 0) status = 1;
    begin_file(nullptr);
  };
  for (const char* operand : with.inputs) {
    if (!with.recursive || !is_folder(operand)) {
      run_one({operand});
      continue;
    }
    walk_folder(operand, [&](const walk_entry& found) {
      if (!report_skip(found)) {
        status = 1;
      } else if (found.skipped == walk_skip::none && wanted(run, found)) {
        run_one({found.path.c_str(), found.folder_fd, found.name});
      }
      return walk_next::go_on;
    });
  }
  // Every output on disk, names included, before the run says it succeeded.
  if (const int error = run.folders.sync_all(); error != 0) {
    report_folder_sync_error(error);
    status = 1;
  }
  return status;
}

}  // namespace vurn
