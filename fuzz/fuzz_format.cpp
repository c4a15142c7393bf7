// Container headers: any input read as a header both ways; what is accepted is written again
// under the name read back (or a stand-in when the name is skipped) and must read back the same,
// with the same bytes after it. The container engine reads the input too, without a key (the name
// kept) and with one (skipped): whole, and a byte at a time into 7 bytes of room, with the same
// status and output, and a header where the stream routines found one.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <vurn/container.h>

#include "container/format.h"
#include "fuzz_support.h"

namespace {

struct parsed {
  vurn::header_result header;
  std::string rest;  // the bytes after the header
};

parsed parse(std::string bytes, vurn::name_use use) {
  std::FILE* in = fmemopen(bytes.data(), bytes.size(), "rb");
  FUZZ_CHECK(in != nullptr);
  parsed result{vurn::read_header(in, use), {}};
  for (int c; (c = std::getc(in)) != EOF;) result.rest += static_cast<char>(c);
  std::fclose(in);
  return result;
}

std::string written(const std::string& name, vurn::chunk_size chunk, const std::string& rest) {
  char* bytes = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&bytes, &size);
  FUZZ_CHECK(out != nullptr);
  FUZZ_CHECK(vurn::write_header(out, name, chunk) == 0);
  std::fclose(out);
  std::string result(bytes, size);
  std::free(bytes);
  return result + rest;
}

struct engine_read {
  int status;
  std::string out;
  bool header_read;
};

// The input through a reader, in pieces of at most `piece` bytes with `room` bytes of output a
// call, until a status other than VURN_OK.
engine_read read_with_engine(const std::string& input, bool key_first, std::size_t piece,
                             std::size_t room) {
  vurn_reader* r = nullptr;
  FUZZ_CHECK(vurn_reader_new(&r) == VURN_OK);
  const std::string digits = "000102030405060708090a0b0c0d0e0f";
  if (key_first) FUZZ_CHECK(vurn_reader_set_key(r, digits.data(), digits.size()) == VURN_OK);
  engine_read result{VURN_OK, {}, false};
  std::string buffer(room, '\0');
  for (std::size_t offset = 0; result.status == VURN_OK;) {
    const std::size_t n = std::min(piece, input.size() - offset);
    vurn_in in{input.data() + offset, n, 0};
    vurn_out out{buffer.data(), buffer.size(), 0};
    result.status = vurn_reader_pull(r, &in, &out, offset + n == input.size());
    FUZZ_CHECK(result.status != VURN_OK || in.pos + out.pos > 0);
    result.out.append(buffer.data(), out.pos);
    offset += in.pos;
  }
  result.header_read = vurn_reader_header(r, nullptr, nullptr, nullptr) == VURN_OK;
  vurn_reader_free(r);
  return result;
}

void check_engine(const std::string& input, const parsed& by_stream, bool key_first) {
  const engine_read whole = read_with_engine(input, key_first, input.size(), input.size() + 32);
  const engine_read pieces = read_with_engine(input, key_first, 1, 7);
  FUZZ_CHECK(whole.status == pieces.status && whole.out == pieces.out);
  FUZZ_CHECK(whole.header_read == (by_stream.header.error == vurn::header_error::none));
}

void check_same(const parsed& a, const parsed& b) {
  FUZZ_CHECK(b.header.error == vurn::header_error::none);
  FUZZ_CHECK(b.header.chunk.bits == a.header.chunk.bits);
  FUZZ_CHECK(b.rest == a.rest);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vurn::fuzz::prepare_fuzzer_arguments(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // fmemopen wants a buffer
  const std::string input(reinterpret_cast<const char*>(data), size);
  const parsed kept = parse(input, vurn::name_use::keep_name);
  const parsed skipped = parse(input, vurn::name_use::skip_name);
  check_engine(input, kept, false);
  check_engine(input, skipped, true);

  if (kept.header.error == vurn::header_error::none) {
    const std::string& name = kept.header.key_name;
    FUZZ_CHECK(!name.empty() && name.size() <= vurn::STORED_NAME_MAX);
    for (const char c : name) FUZZ_CHECK(!vurn::is_header_space(static_cast<unsigned char>(c)));
    // A header with a one-word name ends at the same byte whichever way it is read.
    check_same(kept, skipped);
    const std::string again = written(name, kept.header.chunk, kept.rest);
    const parsed reread = parse(again, vurn::name_use::keep_name);
    check_same(kept, reread);
    FUZZ_CHECK(reread.header.key_name == name);
    check_same(kept, parse(again, vurn::name_use::skip_name));
  }
  if (skipped.header.error == vurn::header_error::none) {
    FUZZ_CHECK(vurn::is_valid_bit_size(skipped.header.chunk.bits));
    FUZZ_CHECK(skipped.header.key_name.empty());
    check_same(skipped,
               parse(written("k", skipped.header.chunk, skipped.rest), vurn::name_use::skip_name));
  }
  return 0;
}
