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

// Opens the regular file at path for reading, checking what it is before opening it: opening a
// device or FIFO can have effects of its own (a tape rewinds, a FIFO's writer is released). On
// Linux the name is resolved once into a handle that opens nothing, which is then reopened for
// reading through /proc. Elsewhere, or without /proc, the name is checked and then opened without
// blocking and must still be the same file. Returns -1 when path is not a readable regular file.
int open_regular_file(const char* path) {
  struct stat seen;
#ifdef O_PATH
  const unique_fd handle(open(path, O_PATH | O_CLOEXEC));
  if (!handle.valid() || fstat(handle.get(), &seen) != 0 || !S_ISREG(seen.st_mode)) return -1;
  std::array<char, 32> through_proc{};
  std::snprintf(through_proc.data(), through_proc.size(), "/proc/self/fd/%d", handle.get());
  const int reopened = open(through_proc.data(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (reopened >= 0 || errno != ENOENT) return reopened;
#endif
  if (stat(path, &seen) != 0 || !S_ISREG(seen.st_mode)) return -1;
  const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  struct stat opened;
  if (fd >= 0 && (fstat(fd, &opened) != 0 || !same_file(seen, opened))) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

key_digits_result make_key_digits(int bits, std::span<char> digits, const char* random_device) {
  const unique_fd random(open(random_device, O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!random.valid()) return {key_digits_error::cannot_open_device, errno};
  std::array<char, KEY_TEXT_MAX / 2> bytes{};
  const scrub_on_exit scrub{std::as_writable_bytes(std::span(bytes))};
  const std::span<char> key_bytes(bytes.data(), static_cast<std::size_t>(bits / 8));
  if (!read_exactly(random.get(), key_bytes)) return {key_digits_error::read_failed, errno};
  for (std::size_t i = 0; i < key_bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(key_bytes[i]);
    digits[2 * i] = hex_digit(byte >> 4u);
    digits[2 * i + 1] = hex_digit(byte);
  }
  return {};
}

int write_key_file(std::span<const char> digits, const char* path, key_file_creation creation,
                   bool* replaced) {
  atomic_file key_file;
  atomic_file_options options;
  options.new_mode = 0600;
  options.force_mode = true;  // a key is a secret, whatever mode the file it replaces had
  options.create_only = creation == key_file_creation::create_new;
  const int open_status = key_file.open(path, options);
  if (open_status != 0) return open_status;
  const int write_status = write_all(key_file.fd(), digits);
  if (write_status != 0) return write_status;
  const commit_result result = key_file.commit();
  if (result.error == 0 && replaced != nullptr) *replaced = result.replaced;
  return result.error;
}

key_generation_result generate_key_file(int bits, std::span<char> digits, const char* path,
                                        key_file_creation creation, const char* random_device) {
  key_generation_result result;
  // The digits exist before the key file is touched, so a missing or failing random device
  // leaves an existing key file as it was and creates no empty one.
  result.digits = make_key_digits(bits, digits, random_device);
  if (result.digits.error != key_digits_error::none) return result;
  result.write_error = write_key_file(digits.first(static_cast<std::size_t>(bits / 4)), path,
                                      creation, &result.replaced);
  return result;
}

key_file_result read_key_file(const char* path, std::span<char, KEY_TEXT_MAX> digits) {
  key_file_result result;
  const unique_fd key_file(open_regular_file(path));
  struct stat st;
  if (!key_file.valid() || fstat(key_file.get(), &st) != 0) {
    result.error = key_file_error::cannot_open;
    result.error_number = errno;
    return result;
  }
  result.file_bytes = st.st_size;
  if (!is_valid_key_size(result.file_bytes)) {
    result.error = key_file_error::bad_size;
    return result;
  }
  const auto size = static_cast<std::size_t>(result.file_bytes);
  result.bytes_read = read_up_to(key_file.get(), std::span(digits.data(), size));
  if (result.bytes_read != size) {
    result.error = key_file_error::short_read;
    result.error_number = errno;
    return result;
  }
  result.bits = static_cast<int>(result.file_bytes * 4);
  return result;
}

}  // namespace vurn
