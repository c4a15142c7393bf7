#include "cli/make_key.h"

#include <array>
#include <span>

#include "cli/messages.h"
#include "cli/reports.h"
#include "fileio/wipe.h"
#include "keyfile/keyfile.h"

namespace vurn {

int run_make_key(const settings& with) {
  std::array<char, KEY_TEXT_MAX> digits{};
  const scrub_on_exit scrub{std::as_writable_bytes(std::span(digits))};
  const key_generation_result made = generate_key_file(with.key_bits, digits, with.key_path);
  const bool digits_made = report(made.digits);
  if (digits_made && made.write_error != 0) {
    report_key_file_not_made(with.key_path, made.write_error);
  }
  if (!made.ok()) {
    say(text::KEY_NOT_MADE);
    return 1;
  }
  if (made.replaced) say(text::KEY_FILE_REPLACED, with.key_path);
  if (with.verbose) say(text::KEY_MADE, with.key_bits);
  return 0;
}

}  // namespace vurn
