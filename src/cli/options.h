// The command line: the parsed options, and the parse step that fills them.
#pragma once

#include <cstdint>

namespace vurn {

// The parsed command line. The strings point into the argument vector.
struct run_options {
  bool help = false;
  bool version = false;
  bool verbose = false;
  bool encrypt = false;
  bool decrypt = false;
  bool make_key = false;
  bool to_stdout = false;
  bool output_given = false;
  bool interactive = true;
  const char* compressor = nullptr;  // "gzip" with -z
  std::int32_t key_size = 256;       // bits
  std::int32_t block_size = 256;     // bits
  const char* key_path = nullptr;
  const char* output_path = nullptr;
  const char* input_path = nullptr;
};

inline constexpr int PARSE_OK = -1;

// Fills options from the argument vector with getopt_long (options and operands in any order,
// unique prefixes of long options, POSIXLY_CORRECT honoured). Returns PARSE_OK, or the exit status
// the process must end with after a usage error, whose messages have then been written to
// standard error. Safe to call more than once in a process.
int parse_options(int argc, char* argv[], run_options* options);

// The 659-byte help text.
extern const char HELP_TEXT[];

// Parses the command line and runs the one command it selects. Returns the exit status.
int run_vurn(int argc, char* argv[]);

}  // namespace vurn
