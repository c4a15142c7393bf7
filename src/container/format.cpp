#include "container/format.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <vurn/cipher.h>

namespace vurn {
namespace {

constexpr std::size_t FIELD_SIZE = 8;
using field_bytes = std::array<std::uint8_t, FIELD_SIZE>;

constexpr field_bytes encode_le64(std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  field_bytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  return bytes;
}

constexpr std::int64_t decode_le64(const std::uint8_t* bytes) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < FIELD_SIZE; ++i) {
    bits |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  }
  return static_cast<std::int64_t>(bits);
}

static_assert(decode_le64(encode_le64(256).data()) == 256 && encode_le64(256)[1] == 1);
static_assert(decode_le64(encode_le64(-2).data()) == -2);

// Sets the error of a read that met EOF: read_failed with its errno after a read error, else
// at_end.
void fail_at_end(std::FILE* in, header_error at_end, header_result& header) {
  if (std::ferror(in)) {
    header.error = header_error::read_failed;
    header.read_errno = errno;
  } else {
    header.error = at_end;
  }
}

// The first byte that is not white space, or EOF.
int skip_space(std::FILE* in) {
  int c;
  do c = std::getc(in);
  while (c != EOF && is_header_space(c));
  return c;
}

void read_whole_name(std::FILE* in, header_result& header) {
  int c = skip_space(in);
  while (c != EOF && !is_header_space(c)) {
    if (header.key_name.size() == STORED_NAME_MAX) {
      header.error = header_error::name_too_long;
      return;
    }
    header.key_name += static_cast<char>(c);
    c = std::getc(in);
  }
  while (c != EOF && is_header_space(c)) c = std::getc(in);
  if (c != EOF) {
    std::ungetc(c, in);
  } else {
    // The name is empty only when the input ended before any byte that is not white space.
    fail_at_end(in, header.key_name.empty() ? header_error::no_key_name : header_error::none,
                header);
  }
}

void read_fixed_field(std::FILE* in, header_result& header) {
  field_bytes field{};
  if (std::fread(field.data(), 1, field.size(), in) != field.size()) {
    fail_at_end(in, header_error::bad_chunk_field, header);
    return;
  }
  const std::int64_t bits = decode_le64(field.data());
  if (!is_valid_bit_size(bits)) {
    header.error = header_error::bad_chunk_field;
    return;
  }
  header.chunk.bits = static_cast<int>(bits);
}

// Slides a window of one byte and a field over the input until the byte is white space and the
// field is valid; stops right after that field.
void find_field_after_skipped_name(std::FILE* in, header_result& header) {
  std::array<std::uint8_t, 1 + FIELD_SIZE> window{};
  std::size_t held = 0;
  for (;;) {
    while (held < window.size()) {
      const int c = std::getc(in);
      if (c == EOF) {
        fail_at_end(in, header_error::bad_chunk_field, header);
        return;
      }
      window[held++] = static_cast<std::uint8_t>(c);
    }
    const std::int64_t bits = decode_le64(window.data() + 1);
    if (is_header_space(window[0]) && is_valid_bit_size(bits)) {
      header.chunk.bits = static_cast<int>(bits);
      return;
    }
    std::memmove(window.data(), window.data() + 1, window.size() - 1);
    held = window.size() - 1;
  }
}

}  // namespace

int write_header(std::FILE* out, std::string_view key_name, chunk_size chunk) {
  const field_bytes field = encode_le64(chunk.bits);
  if (std::fwrite(key_name.data(), 1, key_name.size(), out) != key_name.size() ||
      std::fputc(' ', out) == EOF ||
      std::fwrite(field.data(), 1, field.size(), out) != field.size()) {
    return errno != 0 ? errno : EIO;
  }
  return 0;
}

header_result read_key_name(std::FILE* in, name_use use) {
  header_result header;
  if (use == name_use::keep_name) {
    read_whole_name(in, header);
  } else if (skip_space(in) == EOF) {
    fail_at_end(in, header_error::no_key_name, header);
  }
  return header;
}

void read_chunk_field(std::FILE* in, name_use use, header_result& header) {
  if (use == name_use::keep_name) {
    read_fixed_field(in, header);
  } else {
    find_field_after_skipped_name(in, header);
  }
}

header_result read_header(std::FILE* in, name_use use) {
  header_result header = read_key_name(in, use);
  if (header.error == header_error::none) read_chunk_field(in, use, header);
  return header;
}

}  // namespace vurn
