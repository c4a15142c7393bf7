// The .vurn container's header.
//
// Layout: the key file name as used for encryption, one space, the chunk size in bits as a signed
// 64-bit little-endian integer (128, 192 or 256), then the body (body.h): chunks of chunk size / 8
// bytes, each encrypted with AES-CBC from an all-zero IV (the chain restarts at every chunk), the
// last chunk zero-filled. An empty input gives the header alone.
//
// These routines neither print nor open files: they work on the streams they are given and return
// what they found; the caller words the messages.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace vurn {

// The container's chunk, in bits: a type of its own, so that it cannot be swapped with a key size.
struct chunk_size {
  int bits = 256;
};

constexpr std::size_t chunk_bytes(chunk_size chunk) {
  return static_cast<std::size_t>(chunk.bits / 8);
}

// The longest stored key name read back as a name; a longer one can only be skipped.
inline constexpr std::size_t STORED_NAME_MAX = PATH_MAX;

enum class header_error {
  none,
  no_key_name,      // nothing but white space before the end: not a container
  bad_chunk_field,  // the chunk-size field is cut short or holds no valid size: not a container
  name_too_long,    // the stored name is longer than STORED_NAME_MAX bytes
  read_failed,      // read_errno tells why
};

// White space as the C locale has it, whatever locale the process runs in: space \t \n \v \f \r.
// A stored key name ends at the first of them.
constexpr bool is_header_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// How the stored key name is read.
enum class name_use {
  // The name is one word: leading white space skipped, then the run of non-white-space bytes, then
  // all the white space after it. A name longer than STORED_NAME_MAX is name_too_long.
  keep_name,
  // The name is not wanted (the key file is named otherwise), so it may hold anything, blanks
  // included: the header ends at the first white-space byte, after at least one byte that is not
  // white space, that is followed by a valid chunk-size field. Each valid field holds zero bytes,
  // which no stored name can. This reads back containers made under key names with blanks.
  skip_name,
};

// The whole header as written: "<key_name> <8-byte chunk-size field>".
std::string header_bytes(std::string_view key_name, chunk_size chunk);

// Reads a header a byte at a time, whatever pieces the input comes in: the one reading of the
// header, behind both the stream routines below and the container engine.
class header_parser {
 public:
  explicit header_parser(name_use use = name_use::keep_name) : use_(use) {}

  // Offers the next input byte. Returns false when the byte was not taken: keep_name leaves the
  // first byte of the chunk-size field to be offered again once the name step is over.
  bool take(std::uint8_t byte);
  // The input ended: sets error() (no_key_name before any name byte, else bad_chunk_field)
  // unless the header is complete.
  void end_of_input();

  // Step one is over: the name and the white space after it are read (keep_name), or the first
  // byte that is not white space (skip_name).
  bool name_read() const { return phase_ == phase::field || phase_ == phase::done; }
  bool done() const { return phase_ == phase::done; }
  header_error error() const { return error_; }
  chunk_size chunk() const { return chunk_; }
  // The stored name: with keep_name the word read, with skip_name every byte from the first one
  // that is not white space up to the separator (empty when that is over STORED_NAME_MAX bytes).
  const std::string& key_name() const { return name_; }
  // Clears the name (which may be held in memory that is freed later).
  void forget_name();

 private:
  enum class phase { leading_space, name, space_after, field, done, failed };
  void fail(header_error error);
  void take_field_byte(std::uint8_t byte);
  void slide_window(std::uint8_t byte);

  name_use use_;
  phase phase_ = phase::leading_space;
  header_error error_ = header_error::none;
  chunk_size chunk_{};
  std::string name_;
  bool name_overflow_ = false;
  // keep_name: the field's bytes; skip_name: one byte and a field, slid until the byte is white
  // space and the field valid.
  std::array<std::uint8_t, 9> window_{};
  std::size_t held_ = 0;
};

struct header_result {
  header_error error = header_error::none;
  int read_errno = 0;    // for read_failed
  std::string key_name;  // the stored name (any bytes but white space); empty when skipped
  chunk_size chunk{};    // valid once the chunk-size field has been read
  header_parser parser;  // where step one left off, for step two
};

// Writes "<key_name> <8-byte chunk-size field>" to out. Returns 0, or the errno of the failed
// write (the bytes may sit in the stream's buffer until the body's flush reports them).
int write_header(std::FILE* out, std::string_view key_name, chunk_size chunk);

// The header is read in two steps, so that a caller can do other work between them (the key is
// set up after the name is known and before the chunk size is). Each step reads byte by byte and
// stops at the last byte it needs, so after the second the stream is at the first body byte.
//
// Step one: the key name. keep_name reads the whole name and the white space after it; skip_name
// reads up to and including the first byte that is not white space, so that an input of white
// space alone fails here as no_key_name. Fails with no_key_name, name_too_long or read_failed.
header_result read_key_name(std::FILE* in, name_use use);

// Step two: the chunk-size field, right after step one with the same `use`. keep_name reads the 8
// bytes; skip_name reads the rest of the name and the field through a 9-byte window. Fills
// header.chunk, or header.error with bad_chunk_field or read_failed.
void read_chunk_field(std::FILE* in, name_use use, header_result& header);

// Both steps.
header_result read_header(std::FILE* in, name_use use);

}  // namespace vurn
