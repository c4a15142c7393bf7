// Key files: exactly 32, 48 or 64 hexadecimal digits (a 128-, 192- or 256-bit key), nothing else.
// Every routine returns a key_file_result saying what went wrong; the caller words the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vurn {

// Digits in the largest key. Every key-text buffer is this long, whatever key size is expected,
// so that a key file of any valid size fits.
inline constexpr int KEY_TEXT_MAX = 64;

// Where fresh keys come from.
inline constexpr char RANDOM_DEVICE[] = "/dev/random";

enum class key_file_error {
  none,
  cannot_open_device,  // the random device; error_number tells why
  random_read_failed,  // the random device failed (error_number) or ended early (0)
  exists,              // a key file is never replaced: the name is taken, maybe by a link
  cannot_create,       // error_number tells why
  cannot_open,         // missing or unreadable; error_number tells why
  not_regular,         // a folder, device, FIFO or socket: not opened
  bad_size,            // file_bytes is not 32, 48 or 64
  short_read,          // only bytes_read of file_bytes could be read; error_number, if any
};

struct key_file_result {
  key_file_error error = key_file_error::none;
  int error_number = 0;  // the errno value behind the error, 0 when there is none
  std::int64_t file_bytes = 0;
  std::size_t bytes_read = 0;
  int bits = 0;  // the key size: made, or read (file_bytes * 4)
  bool ok() const { return error == key_file_error::none; }
};

// Fills digits (at least bits/4 characters) with bits/4 fresh upper-case hexadecimal digits read
// from random_device.
key_file_result make_key_digits(int bits, std::span<char> digits,
                                const char* random_device = RANDOM_DEVICE);

// Creates path as a complete key file holding digits, readable and writable by its owner only
// (0600). The file is created exclusively: a name that exists, a symbolic link included (dangling
// or not), or that appears meanwhile, is refused with `exists` and left as it is. Before it
// returns, the file's data and the name in its folder are on stable storage; on failure there is
// no new file.
key_file_result write_key_file(std::span<const char> digits, const char* path);

// make_key_digits into digits, then write_key_file; a failing random device touches no file.
key_file_result generate_key_file(int bits, std::span<char> digits, const char* path,
                                  const char* random_device = RANDOM_DEVICE);

// Copies the digits of the key file at path into digits (no terminator). Only a regular file is
// opened: a device or FIFO of that name is refused without being opened. A size other than 32,
// 48 or 64 bytes is refused without being read.
key_file_result read_key_file(const char* path, std::span<char, KEY_TEXT_MAX> digits);

}  // namespace vurn
