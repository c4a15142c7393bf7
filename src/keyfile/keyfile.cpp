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

bool make_key_digits(int bits, char* buffer, const char* random_device) {
  const unique_fd random(open(random_device, O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!random.valid()) {
    std::fputs("Could not open random device\n", stderr);
    return false;
  }
  std::array<char, KEY_TEXT_MAX / 2> bytes{};
  const scrub_on_exit scrub{std::as_writable_bytes(std::span(bytes))};
  const std::span<char> key_bytes(bytes.data(), static_cast<std::size_t>(bits / 8));
  if (!read_exactly(random.get(), key_bytes)) {
    std::fputs("Error in making key\nCoudn't read from /dev/random\n", stderr);
    return false;
  }
  for (std::size_t i = 0; i < key_bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(key_bytes[i]);
    buffer[2 * i] = hex_digit(byte >> 4u);
    buffer[2 * i + 1] = hex_digit(byte);
  }
  return true;
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

int generate_key_file(int bits, char* buffer, const char* path, key_file_creation creation,
                      const char* random_device) {
  // The digits exist before the key file is touched, so a missing or failing random device
  // leaves an existing key file as it was and creates no empty one.
  if (!make_key_digits(bits, buffer, random_device)) return 0;
  bool replaced = false;
  const int error = write_key_file(std::span(buffer, static_cast<std::size_t>(bits / 4)), path,
                                   creation, &replaced);
  if (error != 0) {
    std::fprintf(stderr, "Could not create key file %s: %s\n", path, std::strerror(error));
    return 0;
  }
  if (replaced) {
    std::fprintf(stderr,
                 "Warning: replaced the key file %s; containers made with its old key will not "
                 "decrypt with the new one\n",
                 path);
  }
  return bits;
}

int read_key_file(char* buffer, const char* path) {
  const unique_fd key_file(open_regular_file(path));
  struct stat st;
  if (!key_file.valid() || fstat(key_file.get(), &st) != 0) {
    std::fputs("Could not open key file\n", stderr);
    return 0;
  }
  const std::int64_t size = st.st_size;
  if (!is_valid_key_size(size)) {
    std::fprintf(stderr, "Error: %lld Key read in was not valid size, must be 128,192 or 256\n",
                 static_cast<long long>(size) * 4);
    return 0;
  }
  const std::size_t got =
      read_up_to(key_file.get(), std::span(buffer, static_cast<std::size_t>(size)));
  if (got != static_cast<std::size_t>(size)) {
    std::fprintf(stderr, "Error: Unable to read in entire key read in %zu of %lld\n", got,
                 static_cast<long long>(size) * 4);
    return 0;
  }
  return static_cast<int>(size * 4);
}

}  // namespace vurn
