#include "keyfile/keyfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fileio/atomic_file.h"
#include "fileio/fd.h"
#include "fileio/wipe.h"

namespace vurn {
namespace {

constexpr char hex_digit(unsigned nibble) {
  return "0123456789ABCDEF"[nibble & 0xFu];
}

bool is_valid_key_size(std::int64_t bytes) {
  return bytes == 32 || bytes == 48 || bytes == 64;
}

key_file_result failure(key_file_error error, int error_number = 0) {
  key_file_result result;
  result.error = error;
  result.error_number = error_number;
  return result;
}

// Opens the regular file at path for reading, checking what it is before opening it: opening a
// device or FIFO can have effects of its own (a tape rewinds, a FIFO's writer is released). On
// Linux the name is resolved once into a handle that opens nothing, which is then reopened for
// reading through /proc. Elsewhere, or without /proc, the name is checked and then opened without
// blocking and must still be the same file (else ESTALE). On failure says why in result.
unique_fd open_regular_file(const char* path, key_file_result& result) {
  struct stat seen;
#ifdef O_PATH
  const unique_fd handle(open(path, O_PATH | O_CLOEXEC));
  if (!handle.valid() || fstat(handle.get(), &seen) != 0) {
    result = failure(key_file_error::cannot_open, errno);
    return unique_fd();
  }
  if (!S_ISREG(seen.st_mode)) {
    result = failure(key_file_error::not_regular);
    return unique_fd();
  }
  std::array<char, 32> through_proc{};
  std::snprintf(through_proc.data(), through_proc.size(), "/proc/self/fd/%d", handle.get());
  unique_fd reopened(open(through_proc.data(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (reopened.valid()) return reopened;
  if (errno != ENOENT) {
    result = failure(key_file_error::cannot_open, errno);
    return unique_fd();
  }
#endif
  if (stat(path, &seen) != 0) {
    result = failure(key_file_error::cannot_open, errno);
    return unique_fd();
  }
  if (!S_ISREG(seen.st_mode)) {
    result = failure(key_file_error::not_regular);
    return unique_fd();
  }
  unique_fd fd(open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  struct stat opened;
  if (!fd.valid() || fstat(fd.get(), &opened) != 0) {
    result = failure(key_file_error::cannot_open, errno);
    fd.reset();
  } else if (!same_file(seen, opened)) {
    result = failure(key_file_error::cannot_open, ESTALE);
    fd.reset();
  }
  return fd;
}

}  // namespace

key_file_result make_key_digits(int bits, std::span<char> digits, const char* random_device) {
  const unique_fd random(open(random_device, O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!random.valid()) return failure(key_file_error::cannot_open_device, errno);
  std::array<char, KEY_TEXT_MAX / 2> bytes{};
  const scrub_on_exit scrub{std::as_writable_bytes(std::span(bytes))};
  const std::span<char> key_bytes(bytes.data(), static_cast<std::size_t>(bits / 8));
  const io_result read = read_up_to(random.get(), key_bytes);
  if (read.bytes != key_bytes.size()) {
    return failure(key_file_error::random_read_failed, read.error_number);
  }
  for (std::size_t i = 0; i < key_bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(key_bytes[i]);
    digits[2 * i] = hex_digit(byte >> 4u);
    digits[2 * i + 1] = hex_digit(byte);
  }
  key_file_result made;
  made.bits = bits;
  return made;
}

key_file_result write_key_file(std::span<const char> digits, const char* path) {
  atomic_file key_file;
  atomic_file_options options;
  options.new_mode = 0600;
  options.create_only = true;  // a key is never replaced: containers made with it need it
  io_result status = key_file.open(path, options);
  if (status.ok()) status = write_all(key_file.fd(), digits);
  if (status.ok()) status = key_file.commit();
  if (status.ok()) return {};
  return failure(
      status.error_number == EEXIST ? key_file_error::exists : key_file_error::cannot_create,
      status.error_number);
}

key_file_result generate_key_file(int bits, std::span<char> digits, const char* path,
                                  const char* random_device) {
  // The digits exist before the key file is touched, so a missing or failing random device
  // creates no empty file.
  const key_file_result made = make_key_digits(bits, digits, random_device);
  if (!made.ok()) return made;
  key_file_result written = write_key_file(digits.first(static_cast<std::size_t>(bits / 4)), path);
  if (written.ok()) written.bits = bits;
  return written;
}

key_file_result read_key_file(const char* path, std::span<char, KEY_TEXT_MAX> digits) {
  key_file_result result;
  const unique_fd key_file = open_regular_file(path, result);
  if (!key_file.valid()) return result;
  struct stat st;
  if (fstat(key_file.get(), &st) != 0) return failure(key_file_error::cannot_open, errno);
  result.file_bytes = st.st_size;
  if (!is_valid_key_size(result.file_bytes)) {
    result.error = key_file_error::bad_size;
    return result;
  }
  const auto size = static_cast<std::size_t>(result.file_bytes);
  const io_result read = read_up_to(key_file.get(), std::span(digits.data(), size));
  result.bytes_read = read.bytes;
  if (read.bytes != size) {
    result.error = key_file_error::short_read;
    result.error_number = read.error_number;
    return result;
  }
  result.bits = static_cast<int>(result.file_bytes * 4);
  return result;
}

}  // namespace vurn
