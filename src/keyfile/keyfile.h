// Key files: exactly 32, 48 or 64 hexadecimal digits (a 128-, 192- or 256-bit key), nothing else.
// The routines return what went wrong; the caller words the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vurn {

// Digits in the largest key. Every key-text buffer is this long, whatever key size is expected,
// so that a key file of any valid size fits.
inline constexpr int KEY_TEXT_MAX = 64;

enum class key_file_creation {
  replace,     // create the file, or replace an existing one once the new digits are on disk
  create_new,  // create the file; fail with EEXIST if the name exists or appears meanwhile
};

enum class key_digits_error {
  none,
  cannot_open_device,  // error_number tells why
  read_failed,         // the device failed or ended early
};

struct key_digits_result {
  key_digits_error error = key_digits_error::none;
  int error_number = 0;
};

// Fills digits (at least bits/4 characters) with bits/4 fresh upper-case hexadecimal digits read
// from random_device.
key_digits_result make_key_digits(int bits, std::span<char> digits,
                                  const char* random_device = "/dev/random");

// Writes digits to path as a complete key file, readable and writable by its owner only (0600).
// Before it returns 0, the file's data and the name in its folder are on stable storage. On
// failure there is no new file and an existing one is exactly as before. An existing file is
// replaced as a file opened with "w" would be: through a symbolic link, keeping its owner and
// links. *replaced (when given) tells whether a regular file held the name before. Returns 0
// or an errno value; writes no message.
int write_key_file(std::span<const char> digits, const char* path, key_file_creation creation,
                   bool* replaced = nullptr);

struct key_generation_result {
  key_digits_result digits;  // when it failed, the key file was not touched
  int write_error = 0;       // write_key_file's errno
  bool replaced = false;     // an existing key file now holds the new key
  bool ok() const { return digits.error == key_digits_error::none && write_error == 0; }
};

// make_key_digits into digits, then write_key_file.
key_generation_result generate_key_file(int bits, std::span<char> digits, const char* path,
                                        key_file_creation creation = key_file_creation::replace,
                                        const char* random_device = "/dev/random");

enum class key_file_error {
  none,
  cannot_open,  // missing, unreadable, or not a regular file; error_number tells why
  bad_size,     // file_bytes is not 32, 48 or 64
  short_read,   // only bytes_read of file_bytes could be read
};

struct key_file_result {
  key_file_error error = key_file_error::none;
  int error_number = 0;
  std::int64_t file_bytes = 0;
  std::size_t bytes_read = 0;
  int bits = 0;  // the key size (file_bytes * 4) when it was read
};

// Copies the digits of the key file at path into digits (no terminator). Only a regular file is
// opened: a device or FIFO of that name is refused without being opened. A size other than 32,
// 48 or 64 bytes is refused without being read.
key_file_result read_key_file(const char* path, std::span<char, KEY_TEXT_MAX> digits);

}  // namespace vurn
