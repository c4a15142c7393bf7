#include "container/format.h"

#include <algorithm>
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

// Offers the stream's bytes to the parser until `enough` says so or the input ends; a byte the
// parser leaves goes back to the stream. Sets header.error to read_failed after a read error, or
// to the parser's error.
template <typename Enough>
void feed(std::FILE* in, header_result& header, Enough enough) {
  header_parser& parser = header.parser;
  while (!enough(parser) && parser.error() == header_error::none) {
    const int c = std::getc(in);
    if (c == EOF) {
      if (std::ferror(in)) {
        header.error = header_error::read_failed;
        header.read_errno = errno;
        return;
      }
      parser.end_of_input();
      break;
    }
    if (!parser.take(static_cast<std::uint8_t>(c))) std::ungetc(c, in);
  }
  header.error = parser.error();
}

}  // namespace

std::string header_bytes(std::string_view key_name, chunk_size chunk) {
  const field_bytes field = encode_le64(chunk.bits);
  std::string bytes(key_name);
  bytes += ' ';
  bytes.append(field.begin(), field.end());
  return bytes;
}

bool header_parser::take(std::uint8_t byte) {
  switch (phase_) {
    case phase::leading_space:
      if (is_header_space(byte)) return true;
      if (use_ == name_use::skip_name) {
        name_ += static_cast<char>(byte);
        phase_ = phase::field;
        return true;
      }
      phase_ = phase::name;
      [[fallthrough]];
    case phase::name:
      if (!is_header_space(byte)) {
        if (name_.size() == STORED_NAME_MAX) {
          fail(header_error::name_too_long);
        } else {
          name_ += static_cast<char>(byte);
        }
        return true;
      }
      phase_ = phase::space_after;
      [[fallthrough]];
    case phase::space_after:
      if (is_header_space(byte)) return true;
      phase_ = phase::field;
      return false;
    case phase::field:
      if (use_ == name_use::keep_name) {
        take_field_byte(byte);
      } else {
        slide_window(byte);
      }
      return true;
    case phase::done:
    case phase::failed:
      break;
  }
  return false;
}

void header_parser::take_field_byte(std::uint8_t byte) {
  window_[held_++] = byte;
  if (held_ < FIELD_SIZE) return;
  const std::int64_t bits = decode_le64(window_.data());
  if (!is_valid_bit_size(bits)) {
    fail(header_error::bad_chunk_field);
    return;
  }
  chunk_.bits = static_cast<int>(bits);
  phase_ = phase::done;
}

void header_parser::slide_window(std::uint8_t byte) {
  if (held_ == window_.size()) {
    // The byte leaving the window was part of the name.
    if (!name_overflow_ && name_.size() < STORED_NAME_MAX) {
      name_ += static_cast<char>(window_[0]);
    } else {
      name_overflow_ = true;
      forget_name();
    }
    std::memmove(window_.data(), window_.data() + 1, window_.size() - 1);
    --held_;
  }
  window_[held_++] = byte;
  if (held_ < window_.size()) return;
  const std::int64_t bits = decode_le64(window_.data() + 1);
  if (is_header_space(window_[0]) && is_valid_bit_size(bits)) {
    chunk_.bits = static_cast<int>(bits);
    phase_ = phase::done;
  }
}

void header_parser::end_of_input() {
  if (phase_ == phase::done || phase_ == phase::failed) return;
  fail(phase_ == phase::leading_space ? header_error::no_key_name : header_error::bad_chunk_field);
}

void header_parser::fail(header_error error) {
  error_ = error;
  phase_ = phase::failed;
}

void header_parser::forget_name() {
  std::fill(name_.begin(), name_.end(), '\0');
  name_.clear();
}

int write_header(std::FILE* out, std::string_view key_name, chunk_size chunk) {
  const std::string bytes = header_bytes(key_name, chunk);
  if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
    return errno != 0 ? errno : EIO;
  }
  return 0;
}

header_result read_key_name(std::FILE* in, name_use use) {
  header_result header;
  header.parser = header_parser(use);
  // keep_name: the name may end with the input; step two then finds no field.
  feed(in, header, [](const header_parser& parser) { return parser.name_read(); });
  if (header.error == header_error::bad_chunk_field) header.error = header_error::none;
  if (use == name_use::keep_name) header.key_name = header.parser.key_name();
  return header;
}

void read_chunk_field(std::FILE* in, name_use, header_result& header) {
  // After a name that ended with the input the parser has its error already.
  if (header.parser.error() != header_error::none) {
    header.error = header.parser.error();
    return;
  }
  feed(in, header, [](const header_parser& parser) { return parser.done(); });
  if (header.error == header_error::none) header.chunk = header.parser.chunk();
}

header_result read_header(std::FILE* in, name_use use) {
  header_result header = read_key_name(in, use);
  if (header.error == header_error::none) read_chunk_field(in, use, header);
  return header;
}

}  // namespace vurn
