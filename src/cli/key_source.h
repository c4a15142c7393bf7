// Where a run's key comes from. Encryption: the key file named with -k, the one named at the
// prompt, or one made for this run. Decryption: the key file named with -k, or the one whose name
// the container stores. Each routine reads the key file and says what went wrong.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include <vurn/cipher.h>
#include "cli/options.h"
#include "fileio/fd.h"
#include "keyfile/keyfile.h"

namespace vurn {

// A key file's digits and the name the key file goes by.
struct key_material {
  std::array<char, KEY_TEXT_MAX> digits{};
  int bits = 0;  // 0 when no key could be read
  std::string name;

  key_material() = default;
  key_material(const key_material&) = delete;
  key_material& operator=(const key_material&) = delete;
  ~key_material();  // clears the digits
};

// The cipher's records of one run's key; cleared when done.
struct cipher_records {
  key_state key{};
  mode_state mode{};

  cipher_records() = default;
  cipher_records(const cipher_records&) = delete;
  cipher_records& operator=(const cipher_records&) = delete;
  ~cipher_records();
};

// The key file this run made (encryption with -i): removed again unless the run keeps it, and only
// while its name still leads to the file made.
class made_key_file {
 public:
  made_key_file() = default;
  made_key_file(const made_key_file&) = delete;
  made_key_file& operator=(const made_key_file&) = delete;
  ~made_key_file();

  void made(const std::string& name);
  void keep() { name_.clear(); }

 private:
  std::string name_;
  file_id id_{};
};

// The key of an encryption: with.key_path, else the name asked for on standard error and read
// from standard input, else (with -i) a new key file. False after the messages (none follow).
bool obtain_encryption_key(const settings& with, key_material& key, made_key_file& made);

// Reads the key file at path into key; its messages when that fails, leaving key.bits 0.
void read_named_key(const char* path, key_material& key);

// The key named in a container's header: says which name was found and reads that key file. False
// after a message when the name cannot be used as a path; key.bits stays 0 when the file cannot be
// read.
bool read_stored_key(const std::string& stored_name, const char* input_name, key_material& key);

// name as it may be shown on a terminal: valid UTF-8 stays as it is, except control characters
// (C0, DEL and C1); they and every byte that is not part of valid UTF-8 become three-digit octal
// escapes such as \033, a byte each, so that a container cannot drive the terminal.
std::string printable(std::string_view name);

}  // namespace vurn
