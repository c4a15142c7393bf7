#include "keyfile/keyfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

// Reads bits/8 bytes from the random device into buffer as bits/4 hex digits.
bool read_random_digits(int bits, char* buffer, std::FILE* random) {
  for (int i = 0; i < bits / 8; ++i) {
    const int byte = std::getc(random);
    if (byte == EOF) {
      std::fputs("Error in making key\nCoudn't read from /dev/random\n", stderr);
      return false;
    }
    buffer[2 * i] = hex_digit(static_cast<unsigned>(byte) >> 4);
    buffer[2 * i + 1] = hex_digit(static_cast<unsigned>(byte));
  }
  return true;
}

int open_key_file_for_writing(const char* path, key_file_creation creation) {
  const int flags = O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC |
                    (creation == key_file_creation::create_new ? O_EXCL : O_TRUNC);
  const int fd = open(path, flags, 0600);
  if (fd < 0) return -1;
  // An existing file keeps its mode on open; a key is a secret, so make it the owner's alone.
  // Devices and other special files are written as they are.
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fchmod(fd, 0600) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool is_valid_key_size(std::int64_t bytes) {
  return bytes == 32 || bytes == 48 || bytes == 64;
}

}  // namespace

int generate_key_file(int bits, char* buffer, const char* path, key_file_creation creation,
                      const char* random_device) {
  // The random bytes are read before the key file is touched, so a missing or failing random
  // device leaves an existing key file as it was and creates no empty one.
  std::FILE* random = std::fopen(random_device, "rb");
  if (random == nullptr) {
    std::fputs("Could not open random device\n", stderr);
    return 0;
  }
  const bool have_digits = read_random_digits(bits, buffer, random);
  std::fclose(random);
  if (!have_digits) return 0;

  fd_guard key_file{open_key_file_for_writing(path, creation)};
  if (key_file.fd < 0) {
    std::fputs("Could not create key file\n", stderr);
    return 0;
  }
  const bool written = write_all(key_file.fd, buffer, static_cast<std::size_t>(bits / 4));
  const int close_status = close(key_file.fd);
  key_file.fd = -1;
  if (!written || close_status != 0) {
    std::fprintf(stderr, "Could not write key file %s: %s\n", path, std::strerror(errno));
    return 0;
  }
  return bits;
}

int read_key_file(char* buffer, const char* path) {
  // O_NONBLOCK keeps a FIFO from stalling the open; such files are refused just below.
  fd_guard key_file{open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
  struct stat st;
  if (key_file.fd < 0 || fstat(key_file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fputs("Could not open key file\n", stderr);
    return 0;
  }
  const std::int64_t size = st.st_size;
  if (!is_valid_key_size(size)) {
    std::fprintf(stderr, "Error: %lld Key read in was not valid size, must be 128,192 or 256\n",
                 static_cast<long long>(size) * 4);
    return 0;
  }
  std::size_t got = 0;
  while (got < static_cast<std::size_t>(size)) {
    const ssize_t n = read(key_file.fd, buffer + got, static_cast<std::size_t>(size) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got != static_cast<std::size_t>(size)) {
    std::fprintf(stderr, "Error: Unable to read in entire key read in %zu of %lld\n", got,
                 static_cast<long long>(size) * 4);
    return 0;
  }
  return static_cast<int>(size * 4);
}

}  // namespace vurn
