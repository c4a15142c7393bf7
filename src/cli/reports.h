// The one place that turns the typed results of the layers below into vurn's messages.
#pragma once

#include "container/body.h"
#include "container/format.h"
#include "fileio/walk.h"
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
// What a walk skipped, or could not read; false for the latter, which is a failure.
bool report_skip(const walk_entry& found);

// An output that could not be created, and why (an errno value).
void report_uncreated_output(const char* path, int error);
// A file that could not be written, and why (an errno value).
void report_write_error(const char* name, int error);
// The folders of a run's outputs could not be synced, and why (an errno value).
void report_folder_sync_error(int error);
// Standard input could not be read, and why (an errno value).
void report_stdin_read_error(int error);
// A child that could not run the program has said so itself ("Error running gzip...").
bool report(const filter_failure& failure, const char* input_name);

}  // namespace vurn
