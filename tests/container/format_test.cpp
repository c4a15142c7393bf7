#include "container/format.h"

#include <gtest/gtest.h>
#include <vurn/container.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_data.h"

namespace vurn {
namespace {

using test::header;
using test::le64;

// A read-only stream over bytes whose reads fail with EIO once `fail_at` bytes have been read
// (never when fail_at is npos). Closed by its destructor.
class byte_stream {
 public:
  explicit byte_stream(std::string bytes, std::size_t fail_at = std::string::npos)
      : bytes_(std::move(bytes)), fail_at_(fail_at) {
    file_ = fopencookie(this, "rb", {&byte_stream::read, nullptr, nullptr, nullptr});
    if (file_ == nullptr) throw std::runtime_error("fopencookie failed");
    std::setvbuf(file_, nullptr, _IONBF, 0);  // each read reaches read(), so errors come on time
  }
  ~byte_stream() { std::fclose(file_); }
  byte_stream(const byte_stream&) = delete;
  byte_stream& operator=(const byte_stream&) = delete;

  std::FILE* file() const { return file_; }
  std::string rest() {
    std::string bytes;
    for (int c; (c = std::getc(file_)) != EOF;) bytes += static_cast<char>(c);
    return bytes;
  }

 private:
  static ssize_t read(void* cookie, char* buffer, std::size_t size) {
    auto& self = *static_cast<byte_stream*>(cookie);
    if (self.offset_ >= self.fail_at_) {
      errno = EIO;
      return -1;
    }
    const std::size_t n =
        std::min({size, self.bytes_.size() - self.offset_, self.fail_at_ - self.offset_});
    self.bytes_.copy(buffer, n, self.offset_);
    self.offset_ += n;
    return static_cast<ssize_t>(n);
  }

  std::string bytes_;
  std::size_t fail_at_;
  std::size_t offset_ = 0;
  std::FILE* file_;
};

// A name of every byte that a kept name may hold: all but white space, NUL included.
std::string every_name_byte() {
  std::string name;
  for (int c = 0; c < 256; ++c) {
    if (!is_header_space(c)) name += static_cast<char>(c);
  }
  return name;
}

// Reads bytes, all of the input, with the container engine: with a key set first for skip_name (as
// -k does), without one for keep_name. The status, and the stored name once the header is read.
int read_with_engine(const std::string& bytes, name_use use, std::string& name) {
  vurn_reader* r = nullptr;
  if (vurn_reader_new(&r) != VURN_OK) return VURN_E_MEMORY;
  if (use == name_use::skip_name) vurn_reader_set_key(r, test::KEY_HEX.data(), 64);
  vurn_in in{bytes.data(), bytes.size(), 0};
  vurn_out out{nullptr, 0, 0};
  const int status = vurn_reader_pull(r, &in, &out, 1);
  const char* stored = nullptr;
  std::size_t length = 0;
  if (vurn_reader_header(r, &stored, &length, nullptr) == VURN_OK) name.assign(stored, length);
  vurn_reader_free(r);
  return status;
}

TEST(Format, WrittenHeadersReadBackWhicheverWayTheNameIsUsed) {
  const std::vector<std::string> names = {"k", "keys/a.key", std::string("a\0b", 3),
                                          every_name_byte(), std::string(STORED_NAME_MAX, 'n')};
  for (const int bits : {128, 192, 256}) {
    for (const std::string& name : names) {
      SCOPED_TRACE(testing::Message() << bits << " bits, name of " << name.size() << " bytes");
      char* written = nullptr;
      std::size_t size = 0;
      std::FILE* out = open_memstream(&written, &size);
      ASSERT_EQ(write_header(out, name, chunk_size{bits}), 0);
      std::fclose(out);
      const std::string bytes(written, size);
      std::free(written);
      EXPECT_EQ(bytes, header(name, static_cast<std::uint64_t>(bits)));

      for (const name_use use : {name_use::keep_name, name_use::skip_name}) {
        byte_stream in(bytes + "body");
        const header_result read = read_header(in.file(), use);
        ASSERT_EQ(read.error, header_error::none);
        EXPECT_EQ(read.chunk.bits, bits);
        EXPECT_EQ(read.key_name, use == name_use::keep_name ? name : "");
        EXPECT_EQ(in.rest(), "body");
      }
    }
  }
}

// The header routines on a stream, and the engine on the same bytes: the engine tells a header cut
// short (VURN_E_TRUNCATED) from bytes that are none (VURN_E_HEADER), and with a complete header
// (the rest left out) it has read a container with an empty body, or wants the key (READ).
TEST(Format, HeadersAsEachNameUseReadsThem) {
  constexpr int READ = VURN_NEED_KEY, CUT = VURN_E_TRUNCATED, BAD = VURN_E_HEADER;
  const std::string f128 = le64(128), f256 = le64(256);
  const std::string long_name(STORED_NAME_MAX + 1, 'n');
  const std::string cut_field = "name " + std::string(7, '\0');
  struct {
    const char* what;
    std::string bytes;
    name_use use;
    header_error error;
    int engine;
    std::string name = {};
    int bits = 0;
    std::string rest = {};
  } const cases[] = {
      {"white space around the name", "\n\t k1 \t\n\v\f\r" + f128 + "rest", name_use::keep_name,
       header_error::none, READ, "k1", 128, "rest"},
      {"blank in the name", "my keys/a.key " + f256, name_use::keep_name,
       header_error::bad_chunk_field, BAD},
      {"empty", "", name_use::keep_name, header_error::no_key_name, CUT},
      {"white space only", " \n\t", name_use::keep_name, header_error::no_key_name, CUT},
      {"no field", "name", name_use::keep_name, header_error::bad_chunk_field, CUT},
      {"field cut short", cut_field, name_use::keep_name, header_error::bad_chunk_field, CUT},
      {"name too long", long_name + " " + f256, name_use::keep_name, header_error::name_too_long,
       BAD},

      {"blank in the name", "my keys/a.key " + f256 + "rest", name_use::skip_name,
       header_error::none, VURN_DONE, "", 256, "rest"},
      {"leading blank", " k1 " + f256 + "rest", name_use::skip_name, header_error::none, VURN_DONE,
       "", 256, "rest"},
      {"white space after the name", "k1 \n" + f128 + "rest", name_use::skip_name,
       header_error::none, VURN_DONE, "", 128, "rest"},
      {"the first valid field ends it", "k " + f256 + " " + f128, name_use::skip_name,
       header_error::none, VURN_DONE, "", 256, " " + f128},
      {"long name", long_name + " " + f256 + "rest", name_use::skip_name, header_error::none,
       VURN_DONE, "", 256, "rest"},
      {"empty", "", name_use::skip_name, header_error::no_key_name, CUT},
      {"white space only", " \n\t", name_use::skip_name, header_error::no_key_name, CUT},
      {"no white space before the field", "k1" + f256 + "rest", name_use::skip_name,
       header_error::bad_chunk_field, CUT},
      {"no name before the field", "  " + f256 + "rest", name_use::skip_name,
       header_error::bad_chunk_field, CUT},
      {"field cut short", cut_field, name_use::skip_name, header_error::bad_chunk_field, CUT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.what << (c.use == name_use::keep_name ? ", kept" : ", skipped"));
    std::string engine_name;
    EXPECT_EQ(
        read_with_engine(c.bytes.substr(0, c.bytes.size() - c.rest.size()), c.use, engine_name),
        c.engine);
    byte_stream in(c.bytes);
    const header_result read = read_header(in.file(), c.use);
    EXPECT_EQ(read.error, c.error);
    if (c.error != header_error::none) continue;
    EXPECT_EQ(read.key_name, c.name);
    EXPECT_EQ(read.chunk.bits, c.bits);
    EXPECT_EQ(in.rest(), c.rest);
    if (c.use == name_use::keep_name) {
      EXPECT_EQ(engine_name, c.name);
    }
  }
  // With a key set first the engine gives the name with its blanks.
  std::string engine_name;
  EXPECT_EQ(read_with_engine("my keys/a.key " + f256, name_use::skip_name, engine_name), VURN_DONE);
  EXPECT_EQ(engine_name, "my keys/a.key");

  const std::uint64_t bad_fields[] = {
      0, 64, 100, 512, static_cast<std::uint64_t>(-256), 1ull << 62, 256ull << 8, 1ull << 56};
  for (const std::uint64_t field : bad_fields) {
    for (const name_use use : {name_use::keep_name, name_use::skip_name}) {
      byte_stream in("name " + le64(field) + std::string(32, 'x'));
      EXPECT_EQ(read_header(in.file(), use).error, header_error::bad_chunk_field) << field;
    }
    EXPECT_EQ(read_with_engine("name " + le64(field), name_use::keep_name, engine_name), BAD);
  }
}

// A read error at any byte of the header is reported as one, in either step; no byte after the
// header is read.
TEST(Format, ReadAndWriteErrorsAreReturned) {
  const std::string bytes = header("k1");
  for (const name_use use : {name_use::keep_name, name_use::skip_name}) {
    for (std::size_t fail_at = 0; fail_at <= bytes.size(); ++fail_at) {
      SCOPED_TRACE(fail_at);
      byte_stream in(bytes + "body", fail_at);
      const header_result read = read_header(in.file(), use);
      if (fail_at == bytes.size()) {
        EXPECT_EQ(read.error, header_error::none);
      } else {
        EXPECT_EQ(read.error, header_error::read_failed);
        EXPECT_EQ(read.read_errno, EIO);
      }
    }
  }

  std::FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(write_header(full, "k1", chunk_size{}), ENOSPC);
  std::fclose(full);
}

}  // namespace
}  // namespace vurn
