// The make-key command (-m): a new key file of the chosen size.
#pragma once

#include "cli/options.h"

namespace vurn {

// Returns the exit status of the process.
int run_make_key(const settings& with);

}  // namespace vurn
