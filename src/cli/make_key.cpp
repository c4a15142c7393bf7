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
  const key_file_result made = generate_key_file(with.key_bits, digits, with.key_path);
  if (!report(made, with.key_path)) {
    // A name that is taken is refused in one line that says what to do instead.
    if (made.error != key_file_error::exists) say(text::KEY_NOT_MADE);
    return 1;
  }
  if (with.verbose) say(text::KEY_MADE, with.key_bits);
  return 0;
}

}  // namespace vurn
