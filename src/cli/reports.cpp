#include "cli/reports.h"

#include "cli/messages.h"

namespace vurn {

bool report(const key_digits_result& made) {
  switch (made.error) {
    case key_digits_error::none:
      return true;
    case key_digits_error::cannot_open_device:
      say(text::NO_RANDOM_DEVICE);
      break;
    case key_digits_error::read_failed:
      say(text::RANDOM_READ_FAILED);
      break;
  }
  return false;
}

bool report(const key_file_result& read) {
  const auto shown_bits = static_cast<long long>(read.file_bytes) * 4;
  switch (read.error) {
    case key_file_error::none:
      return true;
    case key_file_error::cannot_open:
      say(text::CANNOT_OPEN_KEY_FILE);
      break;
    case key_file_error::bad_size:
      say(text::BAD_KEY_SIZE, shown_bits);
      break;
    case key_file_error::short_read:
      say(text::SHORT_KEY_READ, read.bytes_read, shown_bits);
      break;
  }
  return false;
}

}  // namespace vurn
