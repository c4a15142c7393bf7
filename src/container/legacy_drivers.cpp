// Transitional: encrypt_stream and decrypt_stream, the command line's drivers, kept working over
// format.h and body.h with their messages and key prompts until the command line does this work
// itself. Nothing else should come to depend on this file.
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

#include "cipher/cipher.h"
#include "container/body.h"
#include "container/container.h"
#include "container/format.h"
#include "fileio/wipe.h"
#include "keyfile/keyfile.h"

namespace vurn {
namespace {

constexpr std::size_t KEY_NAME_MAX = 99;  // longest key name accepted at the prompt

using key_name_buffer = std::array<char, KEY_NAME_MAX + 1>;

void report_read_error(const stream_pair& streams, int error) {
  std::fprintf(stderr, "Error reading %s: %s\n", streams.input_name, std::strerror(error));
}

void report_write_error(const stream_pair& streams, int error) {
  std::fprintf(stderr, "Error writing %s: %s\n", streams.output_name, std::strerror(error));
}

void report_invalid_container(const stream_pair& streams) {
  std::fprintf(stderr, "%s is not a valid vurn container\n", streams.input_name);
}

// Reports a failed header step; false when there was one.
bool header_ok(const stream_pair& streams, const header_result& header) {
  switch (header.error) {
    case header_error::none:
      return true;
    case header_error::no_key_name:
    case header_error::bad_chunk_field:
      report_invalid_container(streams);
      break;
    case header_error::name_too_long:
      std::fprintf(stderr,
                   "The key file name stored in %s is longer than %d bytes; name the key file "
                   "with -k\n",
                   streams.input_name, PATH_MAX);
      break;
    case header_error::read_failed:
      report_read_error(streams, header.read_errno);
      break;
  }
  return false;
}

// Reports a failed body; false when it failed.
bool body_ok(const stream_pair& streams, const body_result& body) {
  if (body.ended_inside_chunk) {
    std::fprintf(stderr, "Warning: %s ends inside a chunk; its last chunk was zero-filled\n",
                 streams.input_name);
  }
  switch (body.error) {
    case body_error::none:
      return true;
    case body_error::no_memory:
      std::fputs("Not enough memory for the data buffer\n", stderr);
      break;
    case body_error::read_failed:
      report_read_error(streams, body.error_number);
      break;
    case body_error::write_failed:
      report_write_error(streams, body.error_number);
      break;
    case body_error::cipher_failed:
      break;
  }
  return false;
}

// ---- Key step of encryption ----

// Asks for the key file name on standard error and reads one word from standard input. The byte
// after the word stays unread: when the data comes from standard input too, it begins there.
bool ask_for_key_name(key_name_buffer& name) {
  std::fputs("Enter key filename: ", stderr);
  int c;
  do c = std::getc(stdin);
  while (c != EOF && is_header_space(c));
  std::size_t length = 0;
  while (c != EOF && !is_header_space(c)) {
    if (length == KEY_NAME_MAX) {
      std::fputs("Key filename too long: at most 99 characters\n", stderr);
      return false;
    }
    name[length++] = static_cast<char>(c);
    c = std::getc(stdin);
  }
  name[length] = '\0';
  if (c != EOF) {
    std::ungetc(c, stdin);
  } else if (std::ferror(stdin)) {
    std::fprintf(stderr, "Error reading standard input: %s\n", std::strerror(errno));
    return false;
  }
  if (length == 0) {
    std::fputs("No key filename given\n", stderr);
    return false;
  }
  return true;
}

// Creates a fresh key file named after the current time, "keyfile.<seconds>", or the first free
// "keyfile.<seconds>.<n>" when that name is taken, and leaves its digits in key_text. Each name is
// created exclusively, so runs started at the same moment each end up with a key file of their own.
bool create_fresh_key_file(int key_size, char* key_text, key_name_buffer& name) {
  if (!make_key_digits(key_size, key_text)) return false;
  const std::span<const char> digits(key_text, static_cast<std::size_t>(key_size / 4));
  const int seconds = static_cast<std::int32_t>(std::time(nullptr));
  std::snprintf(name.data(), name.size(), "keyfile.%i", seconds);
  int error = write_key_file(digits, name.data(), key_file_creation::create_new);
  for (int n = 1; error == EEXIST && n < INT_MAX; ++n) {
    std::snprintf(name.data(), name.size(), "keyfile.%i.%i", seconds, n);
    error = write_key_file(digits, name.data(), key_file_creation::create_new);
  }
  if (error != 0) {
    std::fprintf(stderr, "Could not create key file %s: %s\n", name.data(), std::strerror(error));
    return false;
  }
  std::fprintf(stderr, "The %d bit key created is %s \n", key_size, name.data());
  return true;
}

// The stored key name as it may be shown on a terminal: control bytes (below 0x20, and 0x7F) as
// three-digit octal escapes such as \033, so that a container cannot drive the terminal.
std::string printable(std::string_view name) {
  std::string shown;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      shown += c;
      continue;
    }
    const char escaped[] = {'\\', static_cast<char>('0' + (byte >> 6)),
                            static_cast<char>('0' + ((byte >> 3) & 7)),
                            static_cast<char>('0' + (byte & 7))};
    shown.append(escaped, sizeof escaped);
  }
  return shown;
}

}  // namespace

int encrypt_stream(int block_size, int key_size, const char* key_path, bool interactive,
                   const stream_pair& streams) {
  if (!is_valid_chunk_size(block_size)) {
    std::fprintf(stderr, "Block size must be 128, 192 or 256, not %d\n", block_size);
    return STREAM_FAILED;
  }
  std::array<char, KEY_TEXT_MAX> key_text{};
  key_state key{};
  mode_state mode{};
  const scrub_on_exit scrub_text{std::as_writable_bytes(std::span(key_text))};
  const scrub_on_exit scrub_key{std::as_writable_bytes(std::span(&key, 1))};

  key_name_buffer name_buffer{};
  const char* key_name = key_path;
  if (key_name == nullptr) {
    const bool named = interactive ? ask_for_key_name(name_buffer)
                                   : create_fresh_key_file(key_size, key_text.data(), name_buffer);
    if (!named) {
      std::fputs("Error Reading in Key\n", stderr);
      return STREAM_NO_KEY;
    }
    key_name = name_buffer.data();
  }
  const int bits = read_key_file(key_text.data(), key_name);
  if (bits == 0) {
    std::fputs("Error Reading in Key\n", stderr);
    return STREAM_NO_KEY;
  }

  const int key_status = key_state_init(&key, DIRECTION_ENCRYPT, bits, key_text.data());
  if (key_status != 1) {
    std::fprintf(stderr, "Failure to initialize key with error code %d\n", key_status);
    return STREAM_FAILED;
  }
  if (mode_state_init(&mode, CIPHER_MODE_CBC, nullptr) != 1) {
    std::fputs("Failure to initialize cipher\n", stderr);
    return STREAM_FAILED;
  }

  const chunk_size chunk{block_size};
  if (const int error = write_header(streams.output, key_name, chunk); error != 0) {
    report_write_error(streams, error);
    return STREAM_FAILED;
  }
  const body_result body =
      transform_body(streams.input, streams.output, DIRECTION_ENCRYPT, chunk, key, mode);
  return body_ok(streams, body) ? STREAM_OK : STREAM_FAILED;
}

int decrypt_stream([[maybe_unused]] int key_size, const char* key_path,
                   const stream_pair& streams) {
  // Whatever size is expected, the key text has room for the largest key; the key file decides.
  std::array<char, KEY_TEXT_MAX> key_text{};
  key_state key{};
  mode_state mode{};
  const scrub_on_exit scrub_text{std::as_writable_bytes(std::span(key_text))};
  const scrub_on_exit scrub_key{std::as_writable_bytes(std::span(&key, 1))};

  int bits = 0;
  const name_use use = key_path != nullptr ? name_use::skip_name : name_use::keep_name;
  if (key_path != nullptr) bits = read_key_file(key_text.data(), key_path);
  header_result header = read_key_name(streams.input, use);
  if (!header_ok(streams, header)) return STREAM_FAILED;
  if (key_path == nullptr) {
    const std::string& name = header.key_name;
    const std::string shown = printable(name);
    std::fprintf(stderr, "The keyname found was %s\n", shown.c_str());
    // As a path the name would end at its first NUL byte and open another file than it says.
    if (name.find('\0') != std::string::npos) {
      std::fprintf(stderr,
                   "The key file name stored in %s holds a NUL byte; name the key file with -k\n",
                   streams.input_name);
      return STREAM_FAILED;
    }
    bits = read_key_file(key_text.data(), name.c_str());
    std::fprintf(stderr, "The %i bit key read in is %s \n", bits, shown.c_str());
  }

  if (key_state_init(&key, DIRECTION_DECRYPT, bits, key_text.data()) != 1) {
    std::fputs("MOLVEX: Error initializing key\n", stderr);
    return STREAM_FAILED;
  }
  if (mode_state_init(&mode, CIPHER_MODE_CBC, nullptr) != 1) {
    std::fputs("MOLVEX: Error initializing cipher\n", stderr);
    return STREAM_FAILED;
  }

  read_chunk_field(streams.input, use, header);
  if (!header_ok(streams, header)) return STREAM_FAILED;
  std::fprintf(stderr, "Blocksize is %d\n", header.chunk.bits);

  const body_result body =
      transform_body(streams.input, streams.output, DIRECTION_DECRYPT, header.chunk, key, mode);
  return body_ok(streams, body) ? STREAM_OK : STREAM_FAILED;
}

}  // namespace vurn