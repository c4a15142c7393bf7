// The encrypt command: input -> (gzip) -> header and body -> output.
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "cli/data_run.h"
#include "cli/key_source.h"
#include "cli/messages.h"
#include "container/format.h"

namespace vurn {
namespace {

constexpr outcome_texts ENCRYPTION{text::ENCRYPTION_FAILED, text::ENCRYPTION_DONE};

bool encrypted_name(const char* input_path, std::string& name) {
  name = std::string(input_path) + ".vurn";
  return true;
}

}  // namespace

int run_encrypt(const settings& with) {
  data_run run;
  if (!open_input(run, with.input_path) || !open_output(run, with, encrypted_name)) return 1;
  if (with.compress && !compress_input(run)) return fail_run(run, ENCRYPTION);

  key_material key;
  made_key_file made;
  if (!obtain_encryption_key(with, key, made) || !output_spares_key(run, key.name)) return 1;

  cipher_records cipher;
  const int key_status =
      key_state_init(&cipher.key, DIRECTION_ENCRYPT, key.bits, key.digits.data());
  if (key_status != 1) {
    say(text::ENCRYPTION_KEY_FAILED, key_status);
    return fail_run(run, ENCRYPTION);
  }
  if (mode_state_init(&cipher.mode, CIPHER_MODE_CBC, nullptr) != 1) {
    say(text::ENCRYPTION_MODE_FAILED);
    return fail_run(run, ENCRYPTION);
  }

  const chunk_size chunk{with.chunk_bits};
  if (const int error = write_header(run.body_output, key.name, chunk); error != 0) {
    say(text::WRITE_FAILED, run.output.name, std::strerror(error));
    return fail_run(run, ENCRYPTION);
  }
  const body_result body = run_body(run, DIRECTION_ENCRYPT, chunk, cipher);
  const int status = finish_run(run, body, ENCRYPTION, with.verbose);
  if (status == 0) made.keep();
  return status;
}

}  // namespace vurn
