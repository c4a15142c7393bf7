// The one place that turns the typed results of the layers below into vurn's messages.
#pragma once

#include "container/body.h"
#include "container/format.h"
#include "filter/filter.h"
#include "keyfile/keyfile.h"

namespace vurn {

// Each says what went wrong, if anything, and returns whether all went well.
// path names the key file (its name as it may be shown).
bool report(const key_file_result& key_file, const char* path);
// An input that could not be opened: "not found" only when it is missing.
void report_unopened_input(const char* path, int error_number);
bool report(const header_result& header, const char* input_name);
// With ended_inside_chunk, the warning comes first.
bool report(const body_result& body, const char* input_name, const char* output_name);
// A child that could not run the program has said so itself ("Error running gzip...").
bool report(const filter_failure& failure, const char* input_name);

}  // namespace vurn
