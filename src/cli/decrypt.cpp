// The decrypt command: input -> header, key and body -> (gunzip) -> output.
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "cli/data_run.h"
#include "cli/key_source.h"
#include "cli/messages.h"
#include "cli/reports.h"
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

}  // namespace

int run_decrypt(const settings& with) {
  data_run run;
  if (!open_input(run, with.input_path) || !open_output(run, with, decrypted_name)) return 1;
  if (with.compress && !decompress_output(run)) {
    return fail_run(run, DECRYPTION);
  }

  // With -k the stored name is not needed, so it may be anything, blanks included.
  key_material key;
  const name_use use = with.key_path != nullptr ? name_use::skip_name : name_use::keep_name;
  if (with.key_path != nullptr) read_named_key(with.key_path, key);
  header_result header = read_key_name(run.body_input, use);
  if (!report(header, run.input_name) ||
      (with.key_path == nullptr && !read_stored_key(header.key_name, run.input_name, key))) {
    return fail_run(run, DECRYPTION);
  }
  if (!output_spares_key(run, key.name)) return 1;

  cipher_records cipher;
  if (key_state_init(&cipher.key, DIRECTION_DECRYPT, key.bits, key.digits.data()) != 1) {
    say(text::DECRYPTION_KEY_FAILED);
    return fail_run(run, DECRYPTION);
  }
  if (mode_state_init(&cipher.mode, CIPHER_MODE_CBC, nullptr) != 1) {
    say(text::DECRYPTION_MODE_FAILED);
    return fail_run(run, DECRYPTION);
  }

  read_chunk_field(run.body_input, use, header);
  if (!report(header, run.input_name)) return fail_run(run, DECRYPTION);
  say(text::CHUNK_SIZE, header.chunk.bits);

  const body_result body = run_body(run, DIRECTION_DECRYPT, header.chunk, cipher);
  return finish_run(run, body, DECRYPTION, with.verbose);
}

}  // namespace vurn
