// The container engine through its C interface: what the command line writes and reads, whatever
// the pieces the calls get, and its refusals.
#include <vurn/container.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "support/run_process.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vurn {
namespace {

using test::header;
using test::KEY_HEX;
using test::random_bytes;
using test::zero_filled;

using writer_ptr = std::unique_ptr<vurn_writer, decltype(&vurn_writer_free)>;
using reader_ptr = std::unique_ptr<vurn_reader, decltype(&vurn_reader_free)>;

writer_ptr new_writer(const std::string& digits, const std::string& name, int chunk_bits) {
  vurn_writer* w = nullptr;
  EXPECT_EQ(vurn_writer_new(&w, digits.data(), digits.size(), name.data(), name.size(), chunk_bits),
            VURN_OK);
  return writer_ptr(w, vurn_writer_free);
}

// A reader; with a key set before the header when key_first.
reader_ptr new_reader(const std::string& digits, bool key_first) {
  vurn_reader* r = nullptr;
  EXPECT_EQ(vurn_reader_new(&r), VURN_OK);
  if (key_first) {
    EXPECT_EQ(vurn_reader_set_key(r, digits.data(), digits.size()), VURN_OK);
  }
  return reader_ptr(r, vurn_reader_free);
}

using call = std::function<int(vurn_in*, vurn_out*, int)>;

call push(vurn_writer* w) {
  return
      [w](vurn_in* in, vurn_out* out, int finish) { return vurn_writer_push(w, in, out, finish); };
}

// Pulls; on VURN_NEED_KEY checks the stored name, sets the key and pulls on.
call pull(vurn_reader* r, const std::string& digits, const std::string& stored_name = {}) {
  return [=](vurn_in* in, vurn_out* out, int finish) {
    int status = vurn_reader_pull(r, in, out, finish);
    if (status != VURN_NEED_KEY) return status;
    const char* name = nullptr;
    std::size_t length = 0;
    EXPECT_EQ(vurn_reader_header(r, &name, &length, nullptr), VURN_OK);
    if (!stored_name.empty()) {
      EXPECT_EQ(std::string(name, length), stored_name);
    }
    EXPECT_EQ(name[length], '\0');
    EXPECT_EQ(vurn_reader_set_key(r, digits.data(), digits.size()), VURN_OK);
    return vurn_reader_pull(r, in, out, finish);
  };
}

struct ran {
  int status = VURN_OK;
  std::string out;
};

// Calls until a status other than VURN_OK, offering the input in pieces of at most `piece` bytes
// and room for `room` bytes of output a call (finish with the piece that reaches the end). Each
// call that returns VURN_OK must take or give something.
ran drive(const call& step, const std::string& input, std::size_t piece = SIZE_MAX,
          std::size_t room = SIZE_MAX) {
  ran result;
  std::string buffer(std::min(room, input.size() + 8192), '\0');
  for (std::size_t offset = 0; result.status == VURN_OK;) {
    const std::size_t n = std::min(piece, input.size() - offset);
    vurn_in in{input.data() + offset, n, 0};
    vurn_out out{buffer.data(), buffer.size(), 0};
    result.status = step(&in, &out, offset + n == input.size());
    result.out.append(buffer.data(), out.pos);
    offset += in.pos;
    if (result.status == VURN_OK && in.pos == 0 && out.pos == 0) {
      ADD_FAILURE() << "no progress at input byte " << offset;
      break;
    }
  }
  return result;
}

TEST(Container, WriterAndReaderGiveWhatTheCommandLineGives) {
  test::temp_dir dir;
  const std::size_t mib = 1 << 20;
  const std::size_t lengths[] = {0, 1, 15, 16, 31, 32, 33, mib - 1, mib, mib + 1};
  for (const int key_bits : {128, 192, 256}) {
    const std::string digits = KEY_HEX.substr(0, static_cast<std::size_t>(key_bits / 4));
    const std::string name = "key" + std::to_string(key_bits);
    test::write_file(dir / name, digits);
    for (const int chunk_bits : {128, 256}) {
      for (const std::size_t length : lengths) {
        SCOPED_TRACE(testing::Message() << key_bits << "-bit key, " << chunk_bits << "-bit chunks, "
                                        << length << " bytes");
        const std::string plain = random_bytes(length, static_cast<unsigned>(length));
        const test::process_result encrypted = test::run_vurn(
            {"-e", "-k", name, "-c", "-b", std::to_string(chunk_bits)}, dir.path, plain);
        ASSERT_EQ(encrypted.status, 0) << encrypted.err;
        const writer_ptr w = new_writer(digits, name, chunk_bits);
        const ran written = drive(push(w.get()), plain);
        EXPECT_EQ(written.status, VURN_DONE);
        EXPECT_TRUE(written.out == encrypted.out);

        const test::process_result decrypted = test::run_vurn({"-d", "-c"}, dir.path, written.out);
        ASSERT_EQ(decrypted.status, 0) << decrypted.err;
        for (const bool key_first : {true, false}) {
          const reader_ptr r = new_reader(digits, key_first);
          const ran read = drive(pull(r.get(), digits, name), written.out);
          EXPECT_EQ(read.status, VURN_DONE);
          EXPECT_TRUE(read.out == decrypted.out);
        }
      }
    }
  }
  // A 192-bit header with no body reads as nothing.
  const test::process_result decrypted =
      test::run_vurn({"-d", "-c"}, dir.path, header("key256", 192));
  const reader_ptr r = new_reader(KEY_HEX, false);
  const ran read = drive(pull(r.get(), KEY_HEX, "key256"), header("key256", 192));
  EXPECT_EQ(decrypted.status, 0);
  EXPECT_EQ(read.status, VURN_DONE);
  EXPECT_EQ(read.out, decrypted.out);
}

TEST(Container, EveryPieceAndOutputSizeGivesTheSameBytes) {
  const std::string plain = random_bytes(45);
  for (const int chunk_bits : {128, 256}) {
    const writer_ptr whole = new_writer(KEY_HEX, "k", chunk_bits);
    const std::string container = drive(push(whole.get()), plain).out;
    const std::string decrypted = zero_filled(plain, static_cast<std::size_t>(chunk_bits / 8));
    for (std::size_t piece = 1; piece <= container.size(); ++piece) {
      for (std::size_t room = 1; room <= container.size(); ++room) {
        SCOPED_TRACE(testing::Message()
                     << chunk_bits << "-bit chunks, pieces of " << piece << ", room for " << room);
        if (piece <= plain.size()) {
          const writer_ptr w = new_writer(KEY_HEX, "k", chunk_bits);
          const ran written = drive(push(w.get()), plain, piece, room);
          ASSERT_EQ(written.status, VURN_DONE);
          ASSERT_EQ(written.out, container);
        }
        const reader_ptr r = new_reader(KEY_HEX, piece % 2 == 0);
        const ran read = drive(pull(r.get(), KEY_HEX), container, piece, room);
        ASSERT_EQ(read.status, VURN_DONE);
        ASSERT_EQ(read.out, decrypted);
      }
    }
  }
}

// A prefix of a container is cut inside the header, a whole container, or cut inside a chunk;
// what it holds of whole chunks is given first.
TEST(Container, EveryPrefixOfAContainerIsClassified) {
  const std::string plain = random_bytes(56);
  for (const int chunk_bits : {128, 256}) {
    const std::size_t chunk = static_cast<std::size_t>(chunk_bits / 8);
    const writer_ptr w = new_writer(KEY_HEX, "dir/k1", chunk_bits);
    const std::string container = drive(push(w.get()), plain).out;
    const std::size_t header_size = header("dir/k1").size();
    for (std::size_t length = 0; length <= container.size(); ++length) {
      for (const bool key_first : {true, false}) {
        SCOPED_TRACE(testing::Message() << chunk_bits << "-bit chunks, " << length << " bytes"
                                        << (key_first ? ", key first" : ""));
        const reader_ptr r = new_reader(KEY_HEX, key_first);
        const ran read = drive(pull(r.get(), KEY_HEX, "dir/k1"), container.substr(0, length));
        const std::size_t body = length < header_size ? 0 : length - header_size;
        const bool whole = length >= header_size && body % chunk == 0;
        EXPECT_EQ(read.status, whole ? VURN_DONE : VURN_E_TRUNCATED);
        EXPECT_EQ(read.out, zero_filled(plain, chunk).substr(0, body / chunk * chunk));
      }
    }
  }
}

// After a negative status every call returns it again, taking and giving nothing.
TEST(Container, ErrorsStay) {
  vurn_out no_room{nullptr, 0, 0};
  vurn_in bad_in{"x", 1, 2};
  const std::string more = "more input";
  struct {
    const char* what;
    std::function<int(vurn_writer*, vurn_reader*)> cause;
    bool reader;
    int status;
  } const cases[] = {
      {"no output",
       [](vurn_writer* w, vurn_reader*) { return vurn_writer_push(w, nullptr, nullptr, 0); }, false,
       VURN_E_ARGUMENT},
      {"position past the end",
       [&](vurn_writer* w, vurn_reader*) { return vurn_writer_push(w, &bad_in, &no_room, 0); },
       false, VURN_E_ARGUMENT},
      {"input after finishing",
       [&](vurn_writer* w, vurn_reader*) {
         vurn_in in{more.data(), more.size(), 0};
         std::string buffer(256, '\0');
         vurn_out out{buffer.data(), buffer.size(), 0};
         vurn_writer_push(w, nullptr, &out, 1);
         return vurn_writer_push(w, &in, &out, 1);
       },
       false, VURN_E_STATE},
      {"truncated",
       [](vurn_writer*, vurn_reader* r) { return drive(pull(r, KEY_HEX), "k1 ").status; }, true,
       VURN_E_TRUNCATED},
      {"no header",
       [](vurn_writer*, vurn_reader* r) { return drive(pull(r, KEY_HEX), header("k", 64)).status; },
       true, VURN_E_HEADER},
      {"192-bit chunks, which are no whole AES blocks",
       [](vurn_writer*, vurn_reader* r) {
         return drive(pull(r, KEY_HEX), header("k", 192) + std::string(48, 'x')).status;
       },
       true, VURN_E_CHUNK_SIZE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const writer_ptr w = new_writer(KEY_HEX, "k", 256);
    const reader_ptr r = new_reader(KEY_HEX, false);
    ASSERT_EQ(c.cause(w.get(), r.get()), c.status);
    for (const int finish : {0, 1}) {
      std::string buffer(64, '\0');
      vurn_in in{more.data(), more.size(), 0};
      vurn_out out{buffer.data(), buffer.size(), 0};
      EXPECT_EQ(c.reader ? vurn_reader_pull(r.get(), &in, &out, finish)
                         : vurn_writer_push(w.get(), &in, &out, finish),
                c.status);
      EXPECT_EQ(in.pos + out.pos, 0u);
      if (c.reader) {
        EXPECT_EQ(vurn_reader_set_key(r.get(), KEY_HEX.data(), KEY_HEX.size()), c.status);
      }
    }
  }
}

TEST(Container, WrongArgumentsAreRefused) {
  const std::string long_name(4097, 'n'), with_nul("\0000", 2);
  std::string bad_digit = KEY_HEX, nul_first = KEY_HEX;
  bad_digit[0] = 'g';
  nul_first[0] = '\0';
  struct {
    const char* what;
    const char* digits;
    std::size_t digit_count;
    const char* name;
    std::size_t name_length;
    int chunk_bits;
    int status;
  } const writers[] = {
      {"no digits", nullptr, 64, "k", 1, 256, VURN_E_ARGUMENT},
      {"no name", KEY_HEX.data(), 64, nullptr, 0, 256, VURN_E_ARGUMENT},
      {"31 digits", KEY_HEX.data(), 31, "k", 1, 256, VURN_E_KEY},
      {"a digit that is none", bad_digit.data(), 64, "k", 1, 256, VURN_E_KEY},
      {"a NUL among the digits", nul_first.data(), 64, "k", 1, 256, VURN_E_KEY},
      {"empty name", KEY_HEX.data(), 64, "k", 0, 256, VURN_E_KEY_NAME},
      {"blank in the name", KEY_HEX.data(), 64, "a b", 3, 256, VURN_E_KEY_NAME},
      {"tab name", KEY_HEX.data(), 64, "\t", 1, 256, VURN_E_KEY_NAME},
      {"NUL in the name", KEY_HEX.data(), 64, with_nul.data(), 2, 256, VURN_E_KEY_NAME},
      {"name too long", KEY_HEX.data(), 64, long_name.data(), long_name.size(), 256,
       VURN_E_KEY_NAME},
      {"192-bit chunks", KEY_HEX.data(), 64, "k", 1, 192, VURN_E_CHUNK_SIZE},
      {"512-bit chunks", KEY_HEX.data(), 64, "k", 1, 512, VURN_E_CHUNK_SIZE},
  };
  for (const auto& c : writers) {
    SCOPED_TRACE(c.what);
    vurn_writer* w = reinterpret_cast<vurn_writer*>(&w);
    EXPECT_EQ(vurn_writer_new(&w, c.digits, c.digit_count, c.name, c.name_length, c.chunk_bits),
              c.status);
    EXPECT_EQ(w, nullptr);
  }
  EXPECT_EQ(vurn_writer_new(nullptr, KEY_HEX.data(), 64, "k", 1, 256), VURN_E_ARGUMENT);
  EXPECT_EQ(vurn_reader_new(nullptr), VURN_E_ARGUMENT);
  EXPECT_EQ(vurn_writer_push(nullptr, nullptr, nullptr, 1), VURN_E_ARGUMENT);
  EXPECT_EQ(vurn_reader_pull(nullptr, nullptr, nullptr, 1), VURN_E_ARGUMENT);
  EXPECT_EQ(vurn_reader_header(nullptr, nullptr, nullptr, nullptr), VURN_E_ARGUMENT);
  EXPECT_EQ(vurn_reader_set_key(nullptr, KEY_HEX.data(), 64), VURN_E_ARGUMENT);
  vurn_writer_free(nullptr);
  vurn_reader_free(nullptr);

  // A refused key leaves the reader as it was; a key once the body has begun is out of order.
  const reader_ptr r = new_reader(KEY_HEX, false);
  EXPECT_EQ(vurn_reader_header(r.get(), nullptr, nullptr, nullptr), VURN_E_STATE);
  EXPECT_EQ(vurn_reader_set_key(r.get(), nullptr, 64), VURN_E_ARGUMENT);
  EXPECT_EQ(vurn_reader_set_key(r.get(), bad_digit.data(), 64), VURN_E_KEY);
  const std::string container = header("k") + std::string(32, 'x');
  vurn_in in{container.data(), container.size(), 0};
  std::string buffer(64, '\0');
  vurn_out out{buffer.data(), buffer.size(), 0};
  EXPECT_EQ(vurn_reader_pull(r.get(), &in, &out, 1), VURN_NEED_KEY);
  EXPECT_EQ(vurn_reader_pull(r.get(), &in, &out, 1), VURN_NEED_KEY);  // taking nothing
  EXPECT_EQ(vurn_reader_set_key(r.get(), KEY_HEX.data(), 64), VURN_OK);
  EXPECT_EQ(vurn_reader_pull(r.get(), &in, &out, 1), VURN_DONE);
  EXPECT_EQ(out.pos, 32u);
  EXPECT_EQ(vurn_reader_set_key(r.get(), KEY_HEX.data(), 64), VURN_E_STATE);
  EXPECT_STREQ(vurn_status_text(3), "unknown status");
}

}  // namespace
}  // namespace vurn
