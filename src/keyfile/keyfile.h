// Key files: exactly 32, 48 or 64 hexadecimal digits (a 128-, 192- or 256-bit key), nothing else.
// The routines that return a key size write their own message to standard error before failing.
#pragma once

#include <cstddef>
#include <span>

namespace vurn {

// Digits in the largest key. Every key-text buffer is this long, whatever key size is expected,
// so that a key file of any valid size fits.
inline constexpr int KEY_TEXT_MAX = 64;

enum class key_file_creation {
  replace,     // create the file, or replace an existing one once the new digits are on disk
  create_new,  // create the file; fail with EEXIST if the name exists or appears meanwhile
};

// Fills buffer with bits/4 fresh upper-case hexadecimal digits read from random_device. Returns
// false after a message when the device cannot be opened or read.
bool make_key_digits(int bits, char* buffer, const char* random_device = "/dev/random");

// Writes digits to path as a complete key file, readable and writable by its owner only (0600).
// Before it returns 0, the file's data and the name in its folder are on stable storage. On
// failure there is no new file and an existing one is exactly as before. An existing file is
// replaced as a file opened with "w" would be: through a symbolic link, keeping its owner and
// links. *replaced (when given) tells whether a regular file held the name before. Returns 0
// or an errno value; writes no message.
int write_key_file(std::span<const char> digits, const char* path, key_file_creation creation,
                   bool* replaced = nullptr);

// make_key_digits, then write_key_file. When an existing key file was replaced, warns on standard
// error that containers made with its old key will not decrypt with the new one. Returns bits,
// or 0 on failure.
int generate_key_file(int bits, char* buffer, const char* path,
                      key_file_creation creation = key_file_creation::replace,
                      const char* random_device = "/dev/random");

// Copies the digits of the key file at path into buffer (KEY_TEXT_MAX characters, no terminator)
// and returns the key size in bits (file size * 4). Only a regular file is opened: a device or
// FIFO of that name is refused without being opened. A size other than 32, 48 or 64 bytes is
// refused without being read. Returns 0 on failure.
int read_key_file(char* buffer, const char* path);

}  // namespace vurn
