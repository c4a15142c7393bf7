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

namespace vurn {
namespace {

// Closes a descriptor when it goes out of scope.
struct fd_guard {
  int fd = -1;
  ~fd_guard() {
    if (fd >= 0) close(fd);
  }
};

constexpr char hex_digit(unsigned nibble) {
  return "0123456789ABCDEF"[nibble & 0xFu];
}

// Reads exactly buffer.size() bytes; false at end of file or on an error.
bool read_exactly(int fd, std::span<unsigned char> buffer) {
  std::size_t got = 0;
  while (got < buffer.size()) {
    const ssize_t n = read(fd, buffer.data() + got, buffer.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool is_valid_key_size(std::int64_t bytes) {
  return bytes == 32 || bytes == 48 || bytes == 64;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the regular file at path for reading, checking what it is before opening it: opening a
// device or FIFO can have effects of its own (a tape rewinds, a FIFO's writer is released). On
// Linux the name is resolved once into a handle that opens nothing, which is then reopened for
// reading through /proc. Elsewhere, or without /proc, the name is checked and then opened without
// blocking and must still be the same file. Returns -1 when path is not a readable regular file.
int open_regular_file(const char* path) {
  struct stat seen;
#ifdef O_PATH
  const fd_guard handle{open(path, O_PATH | O_CLOEXEC)};
  if (handle.fd < 0 || fstat(handle.fd, &seen) != 0 || !S_ISREG(seen.st_mode)) return -1;
  std::array<char, 32> through_proc{};
  std::snprintf(through_proc.data(), through_proc.size(), "/proc/self/fd/%d", handle.fd);
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

scrub_on_exit::~scrub_on_exit() {
  volatile std::byte* p = bytes.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) p[i] = std::byte{0};
}

key_digits_result make_key_digits(int bits, std::span<char> digits, const char* random_device) {
  const fd_guard random{open(random_device, O_RDONLY | O_NOCTTY | O_CLOEXEC)};
  if (random.fd < 0) return {key_digits_error::cannot_open_device, errno};
  std::array<unsigned char, KEY_TEXT_MAX / 2> bytes{};
  const scrub_on_exit scrub{std::as_writable_bytes(std::span(bytes))};
  const std::span<unsigned char> key_bytes(bytes.data(), static_cast<std::size_t>(bits / 8));
  if (!read_exactly(random.fd, key_bytes)) return {key_digits_error::read_failed, errno};
  for (std::size_t i = 0; i < key_bytes.size(); ++i) {
    digits[2 * i] = hex_digit(key_bytes[i] >> 4u);
    digits[2 * i + 1] = hex_digit(key_bytes[i]);
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
  const int open_status = atomic_file_open(key_file, path, options);
  if (open_status != 0) return open_status;
  const bool existing = key_file.plan == atomic_file_plan::rename_over ||
                        key_file.plan == atomic_file_plan::copy_into;
  if (!write_all(key_file.fd, digits.data(), digits.size())) {
    const int error = errno;
    atomic_file_discard(key_file);
    return error;
  }
  const int status = atomic_file_commit(key_file);
  if (status == 0 && replaced != nullptr) *replaced = existing;
  return status;
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
  const fd_guard key_file{open_regular_file(path)};
  struct stat st;
  if (key_file.fd < 0 || fstat(key_file.fd, &st) != 0) {
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
  while (result.bytes_read < size) {
    const ssize_t n =
        read(key_file.fd, digits.data() + result.bytes_read, size - result.bytes_read);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) result.error_number = errno;
    if (n <= 0) break;
    result.bytes_read += static_cast<std::size_t>(n);
  }
  if (result.bytes_read != size) {
    result.error = key_file_error::short_read;
    return result;
  }
  result.bits = static_cast<int>(result.file_bytes * 4);
  return result;
}

bool make_key_digits(int bits, char* buffer) {
  const key_digits_result made =
      make_key_digits(bits, std::span(buffer, static_cast<std::size_t>(KEY_TEXT_MAX)));
  if (made.error == key_digits_error::cannot_open_device) {
    std::fputs("Could not open random device\n", stderr);
  } else if (made.error == key_digits_error::read_failed) {
    std::fputs("Error in making key\nCoudn't read from /dev/random\n", stderr);
  }
  return made.error == key_digits_error::none;
}

int read_key_file(char* buffer, const char* path) {
  const key_file_result read =
      read_key_file(path, std::span<char, KEY_TEXT_MAX>(buffer, KEY_TEXT_MAX));
  switch (read.error) {
    case key_file_error::none:
      break;
    case key_file_error::cannot_open:
      std::fputs("Could not open key file\n", stderr);
      break;
    case key_file_error::bad_size:
      std::fprintf(stderr, "Error: %lld Key read in was not valid size, must be 128,192 or 256\n",
                   static_cast<long long>(read.file_bytes) * 4);
      break;
    case key_file_error::short_read:
      std::fprintf(stderr, "Error: Unable to read in entire key read in %zu of %lld\n",
                   read.bytes_read, static_cast<long long>(read.file_bytes) * 4);
      break;
  }
  return read.bits;
}

}  // namespace vurn
