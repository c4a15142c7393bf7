// Where a run's key comes from. Encryption: the key file named with -k, the one named at the
// prompt, or one made for this run. Decryption: the key file named with -k, or the one whose name
// the container stores. Each routine reads the key file and says what went wrong.
#pragma once

#include <array>
#include <string>

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

// What a key step came to. Each step has said what went wrong.
enum class key_outcome {
  ready,          // the key is read
  unreadable,     // no key file name was given, or the key file could not be read (key.bits 0)
  unusable_name,  // the name cannot be stored in a container (white space) or used as a path (NUL)
};

// The key of an encryption: with.key_path, else the name asked for on standard error and read
// from standard input, else (with -i) a new key file. Unless ready, nothing follows its messages.
key_outcome obtain_encryption_key(const settings& with, key_material& key, made_key_file& made);

// Reads the key file at path into key: ready, or unreadable after its messages.
key_outcome read_named_key(const char* path, key_material& key);

// The key named in a container's header: says which name was found, reads that key file and says
// how many bits it read.
key_outcome read_stored_key(const std::string& stored_name, const char* input_name,
                            key_material& key);

}  // namespace vurn
