// The encrypt and decrypt commands: input and output choice, the compressor child, and the outcome
// as messages and an exit status.
#pragma once

#include "cli/options.h"

namespace vurn {

// Each returns the exit status of the process.
int run_encrypt_command(const run_options& options);
int run_decrypt_command(const run_options& options, const char* program_name);

}  // namespace vurn
