// The encrypt command: input -> (gzip) -> header and body -> output.
#include <string>

#include "cli/commands.h"
#include "cli/data_run.h"
#include "cli/key_source.h"
#include "cli/messages.h"
#include "cli/reports.h"
#include "cli/runs.h"
#include "container/format.h"

namespace vurn {
namespace {

constexpr outcome_texts ENCRYPTION{text::ENCRYPTION_FAILED, text::ENCRYPTION_DONE};

bool encrypted_name(const char* input_path, std::string& name) {
  name = std::string(input_path) + ".vurn";
  return true;
}

// One file: input -> (gzip) -> header and body -> output.
int encrypt_file(run_state& state, const run_input& input) {
  const settings& with = state.with;
  data_run run;
  const auto end = [&](run_end how) { return end_run(run, how, ENCRYPTION, with.verbose); };
  if (!open_file_run(state, run, input, encrypted_name)) return end({ending::refused});
  // The key comes before any child: what a shortage of processes says never depends on timing.
  const key_material& key = state.key;
  if (run_key(state) != key_outcome::ready || !output_spares_key(run, key.name)) {
    return end({ending::refused});
  }
  if (with.compress && !compress_input(run)) return end({ending::failed});

  cipher_records cipher;
  const int key_status =
      key_state_init(&cipher.key, DIRECTION_ENCRYPT, key.bits, key.digits.data());
  if (key_status != 1) {
    say(text::ENCRYPTION_KEY_FAILED, key_status);
    return end({ending::failed});
  }
  if (mode_state_init(&cipher.mode, CIPHER_MODE_CBC, nullptr) != 1) {
    say(text::ENCRYPTION_MODE_FAILED);
    return end({ending::failed});
  }

  const chunk_size chunk{with.chunk_bits};
  if (const int error = write_header(run.body_output, key.name, chunk); error != 0) {
    report_write_error(run.output.name, error);
    return end({ending::failed});
  }
  const body_result body = run_body(run, state.progress, DIRECTION_ENCRYPT, chunk, cipher);
  const int status = end({ending::body_ran, body});
  if (status == 0) {
    state.made.keep();  // a container names it
    note_output(state, run);
  }
  return status;
}

}  // namespace

int run_encrypt(const settings& with) {
  return run_files(with, true, encrypt_file);
}

}  // namespace vurn
