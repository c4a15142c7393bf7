// The one place that turns the typed results of the layers below into vurn's messages.
#pragma once

#include "keyfile/keyfile.h"

namespace vurn {

// Each says what went wrong, if anything, and returns whether all went well.
bool report(const key_digits_result& made);
bool report(const key_file_result& read);

}  // namespace vurn
