#include "cli/reports.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "cli/messages.h"

namespace vurn {
bool report(const key_file_result& key_file, const char* path) {
  const auto shown_bits = static_cast<long long>(key_file.file_bytes) * 4;
  switch (key_file.error) {
    case key_file_error::none:
      return true;
    case key_file_error::cannot_open_device:
      say(text::NO_RANDOM_DEVICE, RANDOM_DEVICE, std::strerror(key_file.error_number));
      break;
    case key_file_error::random_read_failed:
      say(text::RANDOM_READ_FAILED);
      break;
    case key_file_error::exists:
      say(text::KEY_FILE_EXISTS, path);
      break;
    case key_file_error::cannot_create:
      say(text::CANNOT_CREATE_KEY_FILE, path, std::strerror(key_file.error_number));
      break;
    case key_file_error::cannot_open:
      say(text::CANNOT_OPEN_KEY_FILE, path, std::strerror(key_file.error_number));
      break;
    case key_file_error::not_regular:
      say(text::CANNOT_OPEN_KEY_FILE, path, text::NOT_A_REGULAR_FILE);
      break;
    case key_file_error::bad_size:
      say(text::BAD_KEY_SIZE, shown_bits);
      break;
    case key_file_error::short_read:
      say(text::SHORT_KEY_READ, key_file.bytes_read, shown_bits);
      break;
  }
  return false;
}

void report_unopened_input(const char* path, int error_number) {
  if (error_number == ENOENT) {
    say(text::INPUT_NOT_FOUND, path);
  } else {
    say(text::CANNOT_OPEN_INPUT, path, std::strerror(error_number));
  }
}

bool report(const header_result& header, const char* input_name) {
  switch (header.error) {
    case header_error::none:
      return true;
    case header_error::no_key_name:
    case header_error::bad_chunk_field:
      say(text::NOT_A_CONTAINER, input_name);
      break;
    case header_error::name_too_long:
      say(text::STORED_NAME_TOO_LONG, input_name, static_cast<int>(STORED_NAME_MAX));
      break;
    case header_error::read_failed:
      say(text::READ_FAILED, input_name, std::strerror(header.read_errno));
      break;
  }
  return false;
}

bool report(const body_result& body, const char* input_name, const char* output_name) {
  if (body.ended_inside_chunk) say(text::ENDS_INSIDE_CHUNK, input_name);
  switch (body.error) {
    case body_error::none:
      return true;
    case body_error::no_memory:
      say(text::NO_MEMORY);
      break;
    case body_error::read_failed:
      say(text::READ_FAILED, input_name, std::strerror(body.error_number));
      break;
    case body_error::write_failed:
      say(text::WRITE_FAILED, output_name, std::strerror(body.error_number));
      break;
    case body_error::cipher_failed:
      break;
  }
  return false;
}

bool report(const filter_failure& failure, const char* input_name) {
  switch (failure.fault) {
    case filter_fault::none:
      return true;
    case filter_fault::cannot_start:
      say(text::CANNOT_START_FILTER, failure.program, std::strerror(failure.error_number));
      break;
    case filter_fault::cannot_stream:
      say(text::CANNOT_OPEN_FILTER_PIPE, std::strerror(failure.error_number));
      break;
    case filter_fault::read_failed:
      say(text::READ_FAILED, input_name, std::strerror(failure.error_number));
      break;
    case filter_fault::exit_status:
      if (failure.exit_status != CHILD_CANNOT_RUN) {
        say(text::FILTER_EXIT_STATUS, failure.program, failure.exit_status);
      }
      break;
    case filter_fault::signal:
      say(text::FILTER_SIGNAL, failure.program, failure.signal);
      break;
    case filter_fault::input_unread:
      say(text::FILTER_INPUT_UNREAD, failure.program);
      break;
  }
  return false;
}

bool report_skip(const walk_entry& found) {
  const char* reason = nullptr;
  switch (found.skipped) {
    case walk_skip::none:
      return true;
    case walk_skip::symbolic_link:
      reason = text::SKIP_SYMBOLIC_LINK;
      break;
    case walk_skip::not_regular:
      reason = text::SKIP_NOT_REGULAR;
      break;
    case walk_skip::other_file_system:
      reason = text::SKIP_OTHER_FILE_SYSTEM;
      break;
    case walk_skip::visited_already:
      reason = text::SKIP_VISITED;
      break;
    case walk_skip::unreadable:
      say(text::WALK_FAILED, printable(found.path).c_str(), std::strerror(found.error));
      return false;
  }
  say(text::WALK_SKIPPED, printable(found.path).c_str(), reason);
  return true;
}

void report_uncreated_output(const char* path, int error) {
  say(text::CANNOT_CREATE_OUTPUT, path, std::strerror(error));
}

void report_write_error(const char* name, int error) {
  say(text::WRITE_FAILED, name, std::strerror(error));
}

void report_folder_sync_error(int error) {
  say(text::FOLDER_SYNC_FAILED, std::strerror(error));
}

void report_stdin_read_error(int error) {
  say(text::STDIN_READ_FAILED, std::strerror(error));
}

}  // namespace vurn
