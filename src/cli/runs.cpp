#include "cli/runs.h"

#include <sys/stat.h>

#include <algorithm>

#include "cli/messages.h"

namespace vurn {
namespace {

bool is_one_of(const std::vector<file_id>& ids, const struct stat& st) {
  return std::any_of(ids.begin(), ids.end(),
                     [&](const file_id& id) { return id.dev == st.st_dev && id.ino == st.st_ino; });
}

bool is_key_file(const run_state& run, const struct stat& st) {
  return run.key_file && run.key_file->dev == st.st_dev && run.key_file->ino == st.st_ino;
}

// What several files in one run cannot do; false after a message.
bool may_run_many(const settings& with, bool encrypting) {
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
      many(with_.inputs.size() > 1),
      progress(many, with_.inputs.size()) {}

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

bool output_is_fresh(const run_state& run, const char* output_path) {
  struct stat st;
  if (!run.many || output_path == nullptr || stat(output_path, &st) != 0 ||
      !is_one_of(run.outputs, st)) {
    return true;
  }
  say(text::OUTPUT_OF_THIS_RUN, output_path);
  return false;
}

void note_output(run_state& run, const char* output_path) {
  struct stat st;
  if (output_path != nullptr && stat(output_path, &st) == 0) {
    run.outputs.push_back(file_id{st.st_dev, st.st_ino});
  }
}

int run_files(const settings& with, bool encrypting, file_command command) {
  run_state run(with, encrypting);
  if (run.many) {
    if (!may_run_many(with, encrypting)) return 1;
    // One key for the run, read before the first file.
    if ((encrypting || with.key_path != nullptr) && run_key(run) != key_outcome::ready) return 1;
  }
  if (with.inputs.empty()) return command(run, nullptr);
  int status = 0;
  for (const char* input : with.inputs) {
    run.progress.begin_file(input);
    begin_file(run.many ? input : nullptr);
    if (command(run, input) != 0) status = 1;
  }
  begin_file(nullptr);
  return status;
}

}  // namespace vurn
