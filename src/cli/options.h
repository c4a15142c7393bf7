// The command line: what it asks for, and the parse step that reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace vurn {

// What a run does. Several may be asked for at once; the first in this order wins.
enum class command { help, version, make_key, encrypt, decrypt, none };

// How it does it. The strings point into the argument vector.
struct settings {
  bool verbose = false;
  bool to_stdout = false;
  bool interactive = true;        // without -k, ask for the key file's name (else make a key)
  bool compress = false;          // -z
  bool recursive = false;         // -r: a folder operand stands for the files in it
  std::int32_t key_bits = 256;    // the size of keys vurn makes
  std::int32_t chunk_bits = 256;  // -b
  const char* key_path = nullptr;
  const char* output_path = nullptr;
  std::vector<const char*> inputs;  // the operands, in order; none: standard input
};

struct command_line {
  command what = command::none;
  settings with;
};

// A parsed command line to run, or, after a usage error whose messages have been written, the
// status the process ends with.
struct parse_result {
  command_line line;
  std::optional<int> exit_status;
};

// Reads the argument vector with getopt_long (options and operands in any order, unique prefixes
// of long options, POSIXLY_CORRECT honoured). Safe to call more than once in a process.
parse_result parse_options(int argc, char* argv[]);

}  // namespace vurn
