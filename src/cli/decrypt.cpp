// The decrypt command: input -> header, key and body -> (gunzip) -> output.
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "cli/data_run.h"
#include "cli/key_source.h"
#include "cli/messages.h"
#include "cli/reports.h"
#include "cli/runs.h"
#include "container/format.h"

namespace vurn {
namespace {

constexpr outcome_texts DECRYPTION{text::DECRYPTION_FAILED, text::DECRYPTION_DONE};
constexpr const char* SUFFIX = ".vurn";
constexpr const char* FALLBACK_SUFFIX = ".vurndecrypted";

// The input's name up to the first ".vurn" in its last component (a.vurn.old gives a), or, lacking
// one, the whole name with FALLBACK_SUFFIX added. The folder part is never changed.
bool decrypted_name(const char* input_path, std::string& name) {
  const std::string_view path(input_path);
  const std::size_t file_start = path.find_last_of('/') + 1;  // 0 when there is no folder part
  const std::size_t suffix = path.find(SUFFIX, file_start);
  if (suffix == std::string_view::npos) {
    say(text::NO_STANDARD_EXTENSION, input_path, SUFFIX, program_name(), FALLBACK_SUFFIX);
    name = std::string(path) + FALLBACK_SUFFIX;
    return true;
  }
  if (suffix == file_start) {
    say(text::NO_OUTPUT_NAME_LEFT, input_path);
    return false;
  }
  name = path.substr(0, suffix);
  return true;
}

// One file: input -> header, key and body -> (gunzip) -> output.
int decrypt_file(run_state& state, const run_input& input) {
  const settings& with = state.with;
  data_run run;
  const auto end = [&](run_end how) { return end_run(run, how, DECRYPTION, with.verbose); };
  if (!open_file_run(state, run, input, decrypted_name)) return end({ending::refused});

  // With -k the stored name is not needed, so it may be anything, blanks included. A key file
  // that cannot be read is said at once, but the container is looked at first: one that is not a
  // container is the first thing to tell.
  key_material stored;
  const key_material& key = with.key_path != nullptr ? state.key : stored;
  const name_use use = with.key_path != nullptr ? name_use::skip_name : name_use::keep_name;
  key_outcome key_read = key_outcome::ready;
  if (with.key_path != nullptr) key_read = run_key(state);
  header_result header = read_key_name(run.body_input, use);
  if (!report(header, run.input_name)) return end({ending::failed});
  if (with.key_path == nullptr) key_read = read_stored_key(header.key_name, run.input_name, stored);
  if (key_read == key_outcome::unusable_name) return end({ending::failed});
  if (!output_spares_key(run, key.name)) return end({ending::refused});

  cipher_records cipher;
  if (key_read != key_outcome::ready ||
      key_state_init(&cipher.key, DIRECTION_DECRYPT, key.bits, key.digits.data()) != 1) {
    say(text::DECRYPTION_KEY_FAILED);
    return end({ending::failed});
  }
  if (mode_state_init(&cipher.mode, CIPHER_MODE_CBC, nullptr) != 1) {
    say(text::DECRYPTION_MODE_FAILED);
    return end({ending::failed});
  }
  // The key is known before any child starts.
  if (with.compress && !decompress_output(run)) return end({ending::failed});

  read_chunk_field(run.body_input, use, header);
  if (!report(header, run.input_name)) return end({ending::failed});
  say(text::CHUNK_SIZE, header.chunk.bits);
  const body_result body = run_body(run, state.progress, DIRECTION_DECRYPT, header.chunk, cipher);
  const int status = end({ending::body_ran, body});
  if (status == 0) note_output(state, run);
  return status;
}

}  // namespace

int run_decrypt(const settings& with) {
  return run_files(with, false, decrypt_file);
}

}  // namespace vurn
