#include "cli/commands.h"

#include <cstdio>

namespace vurn {

int run_encrypt_command(const run_options&) {
  std::fputs("vurn: encryption is not available yet\n", stderr);
  return 1;
}

int run_decrypt_command(const run_options&, const char*) {
  std::fputs("vurn: decryption is not available yet\n", stderr);
  return 1;
}

}  // namespace vurn
