// The encrypt and decrypt commands: input and output choice, the compressor child, and the outcome
// as messages and an exit status.
#pragma once

#include "cli/options.h"

namespace vurn {

// Each returns the exit status of the process.
int run_encrypt(const settings& with);
int run_decrypt(const settings& with);

}  // namespace vurn
