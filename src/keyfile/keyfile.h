// Key files: exactly 32, 48 or 64 hexadecimal digits (a 128-, 192- or 256-bit key), nothing else.
// Both routines write their own message to standard error before failing.
#pragma once

namespace vurn {

// Digits in the largest key. Every key-text buffer is this long, whatever key size is expected,
// so that a key file of any valid size fits.
inline constexpr int KEY_TEXT_MAX = 64;

enum class key_file_creation {
  replace,     // create the file, or truncate and overwrite an existing one
  create_new,  // create the file; fail if the name exists already
};

// Fills buffer with bits/4 fresh upper-case hexadecimal digits read from random_device and writes
// them to path, which ends up readable and writable by its owner only (0600). An existing key
// file is not touched unless the random bytes were read. Returns bits, or 0 on failure.
int generate_key_file(int bits, char* buffer, const char* path,
                      key_file_creation creation = key_file_creation::replace,
                      const char* random_device = "/dev/random");

// Copies the digits of the key file at path into buffer (KEY_TEXT_MAX characters, no terminator)
// and returns the key size in bits (file size * 4). A file that is not a regular file, or whose
// size is not 32, 48 or 64 bytes, is refused without being read. Returns 0 on failure.
int read_key_file(char* buffer, const char* path);

}  // namespace vurn
