// Every AES implementation this processor runs (bitsliced; AES-NI, VAES on 256- and 512-bit
// vectors) against the table-driven core (the table implementation) on the same input: the key
// records, the result and every octet of the output buffer must match. The input chooses the
// routine (block, padded or chunk routines), mode, direction, key, IV, buffer alignments and data;
// one implementation per input also runs in place, which must equal its own run out of place. Input
// layout: AES_PATHS_HEADER in fuzz_support.h.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include <vurn/cipher.h>
#include "cipher/aes_impl.h"
#include "cipher/chunks.h"
#include "fuzz_support.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using vurn::aes_impl_id;

enum class routine_kind { blocks, padded, chunks };

struct operation {
  const char* mode_name;
  int mode;
  routine_kind kind;
};

constexpr operation OPERATIONS[] = {
    {"ECB", vurn::CIPHER_MODE_ECB, routine_kind::blocks},
    {"CBC", vurn::CIPHER_MODE_CBC, routine_kind::blocks},
    {"CFB-1", vurn::CIPHER_MODE_CFB1, routine_kind::blocks},
    {"ECB", vurn::CIPHER_MODE_ECB, routine_kind::padded},
    {"CBC", vurn::CIPHER_MODE_CBC, routine_kind::padded},
    {"ECB", vurn::CIPHER_MODE_ECB, routine_kind::chunks},
    {"CBC", vurn::CIPHER_MODE_CBC, routine_kind::chunks},
    {"CFB-1", vurn::CIPHER_MODE_CFB1, routine_kind::chunks},
};
static_assert(std::size(OPERATIONS) == vurn::fuzz::AES_PATHS_OPERATIONS);

// The container's chunk sizes (block size / 8: 16, 24, 32 octets; 24 is not whole blocks, so
// nothing is processed), then longer chains, which end inside the batches the vector paths run.
constexpr std::size_t CHUNK_OCTETS[] = {16, 24, 32, 48, 80, 272, 528};

// CFB-1 runs the cipher once per bit, so its data is kept shorter.
constexpr std::size_t MAX_DATA = 4096, MAX_CFB1_DATA = 1024;

// Octets no routine writes, around and after the output.
constexpr std::uint8_t FILL = 0xa5;

std::vector<aes_impl_id> available;
aes_impl_id default_impl = aes_impl_id::table;

// Selects an implementation while it lives, then the default one again.
class selection {
 public:
  explicit selection(aes_impl_id id) { FUZZ_CHECK(vurn::select_aes_impl(id)); }
  ~selection() { vurn::select_aes_impl(default_impl); }
  selection(const selection&) = delete;
  selection& operator=(const selection&) = delete;
};

const char* routine_name(const operation& op, bool decrypt) {
  switch (op.kind) {
    case routine_kind::blocks:
      return decrypt ? "decrypt_blocks" : "encrypt_blocks";
    case routine_kind::padded:
      return decrypt ? "decrypt_padded" : "encrypt_padded";
    case routine_kind::chunks:
      return decrypt ? "decrypt_chunks" : "encrypt_chunks";
  }
  return "?";
}

// One input, decoded: the operation and everything it runs on.
struct fuzz_case {
  vurn::fuzz::aes_paths_case fields;
  operation op;
  int key_bits;
  int key_direction;
  char key_text[65];
  char iv_text[33];
  bytes input;  // what the routine reads
  int bits;     // block routines
  std::size_t chunk_octets, chunks;
  std::size_t out_room;  // the output octets the routine may write
};

// The ciphertext for a padded decryption of encrypt_padded's output, made on the table core.
bytes table_padded_encryption(const fuzz_case& c, std::span<const std::uint8_t> plain) {
  if (plain.empty()) return {};
  const selection table_selected(aes_impl_id::table);
  vurn::mode_state mode{};
  vurn::key_state key{};
  FUZZ_CHECK(vurn::mode_state_init(&mode, c.op.mode, c.iv_text) == 1);
  FUZZ_CHECK(vurn::key_state_init(&key, vurn::DIRECTION_ENCRYPT, c.key_bits, c.key_text) == 1);
  bytes cipher_text(plain.size() / 16 * 16 + 16);
  FUZZ_CHECK(vurn::encrypt_padded(&mode, &key, plain.data(), static_cast<int>(plain.size()),
                                  cipher_text.data()) == static_cast<int>(cipher_text.size()));
  return cipher_text;
}

fuzz_case read_case(const std::uint8_t* data, std::size_t size) {
  fuzz_case c{};
  c.fields = vurn::fuzz::decode_aes_paths_case(
      std::span<const std::uint8_t, vurn::fuzz::AES_PATHS_CASE_BYTES>(
          data, vurn::fuzz::AES_PATHS_CASE_BYTES));
  c.op = OPERATIONS[c.fields.operation];
  c.key_bits = 128 + 64 * c.fields.key_size;
  const bool cfb1 = c.op.mode == vurn::CIPHER_MODE_CFB1;
  c.key_direction = c.fields.decrypt && (!cfb1 || c.fields.variant) ? vurn::DIRECTION_DECRYPT
                                                                    : vurn::DIRECTION_ENCRYPT;
  const std::span<const std::uint8_t> header(data, vurn::fuzz::AES_PATHS_HEADER);
  const std::size_t key_at = vurn::fuzz::AES_PATHS_CASE_BYTES, iv_at = key_at + 32;
  vurn::fuzz::to_hex(header.subspan(key_at, static_cast<std::size_t>(c.key_bits / 8)), c.key_text);
  vurn::fuzz::to_hex(header.subspan(iv_at, 16), c.iv_text);

  const std::size_t limit = cfb1 ? MAX_CFB1_DATA : MAX_DATA;
  const std::span<const std::uint8_t> data_part(
      data + vurn::fuzz::AES_PATHS_HEADER, std::min(size - vurn::fuzz::AES_PATHS_HEADER, limit));
  switch (c.op.kind) {
    case routine_kind::blocks:
      c.input.assign(data_part.begin(), data_part.end());
      c.bits = std::max(0, static_cast<int>(8 * c.input.size()) - c.fields.shape);
      c.out_room = c.input.size();
      break;
    case routine_kind::padded:
      if (c.fields.decrypt && c.fields.variant) {
        c.input = table_padded_encryption(c, data_part);
      } else {
        c.input.assign(data_part.begin(), data_part.end());
      }
      c.out_room = c.fields.decrypt ? c.input.size() : c.input.size() / 16 * 16 + 16;
      break;
    case routine_kind::chunks:
      c.chunk_octets = CHUNK_OCTETS[c.fields.shape % std::size(CHUNK_OCTETS)];
      c.chunks = data_part.size() / c.chunk_octets;
      c.input.assign(data_part.begin(),
                     data_part.begin() + static_cast<std::ptrdiff_t>(c.chunks * c.chunk_octets));
      c.out_room = c.input.size();
      break;
  }
  return c;
}

std::string describe(const fuzz_case& c) {
  char text[256];
  int n = std::snprintf(text, sizeof text, "%s %s, %d-bit %s key, %zu octets", c.op.mode_name,
                        routine_name(c.op, c.fields.decrypt), c.key_bits,
                        c.key_direction == vurn::DIRECTION_ENCRYPT ? "encryption" : "decryption",
                        c.input.size());
  const auto rest = [&] { return sizeof text - static_cast<std::size_t>(n); };
  if (c.op.kind == routine_kind::blocks) {
    n += std::snprintf(text + n, rest(), " (%d bits)", c.bits);
  } else if (c.op.kind == routine_kind::chunks) {
    n += std::snprintf(text + n, rest(), " (%zu chunks of %zu)", c.chunks, c.chunk_octets);
  } else if (c.fields.decrypt && c.fields.variant) {
    n += std::snprintf(text + n, rest(), " (encrypt_padded output)");
  }
  std::snprintf(text + n, rest(), ", input offset %u, output offset %u", c.fields.in_offset,
                c.fields.out_offset);
  return text;
}

struct records {
  vurn::mode_state mode;
  vurn::key_state key;
};

// The records for the case, with the key set up by the implementation in use.
records make_records(const fuzz_case& c) {
  records r{};
  FUZZ_CHECK(vurn::mode_state_init(&r.mode, c.op.mode, c.iv_text) == 1);
  FUZZ_CHECK(vurn::key_state_init(&r.key, c.key_direction, c.key_bits, c.key_text) == 1);
  return r;
}

void check_key(const fuzz_case& c, aes_impl_id id, const vurn::key_state& expected,
               const vurn::key_state& actual) {
  const auto fail = [&](const char* what) {
    vurn::fuzz::report_finding("%s key set-up differs from the table core (%s): %s; key %s",
                               vurn::aes_impl_name(id), what, describe(c).c_str(), c.key_text);
  };
  if (actual.direction != expected.direction || actual.key_bits != expected.key_bits ||
      actual.rounds != expected.rounds) {
    fail("direction, size or rounds");
  }
  if (std::memcmp(actual.key_text, expected.key_text, sizeof actual.key_text) != 0) {
    fail("key text");
  }
  for (int round = 0; round <= expected.rounds; ++round) {
    if (std::memcmp(actual.round_keys[round], expected.round_keys[round], 16) != 0) {
      char what[32];
      std::snprintf(what, sizeof what, "round key %d", round);
      fail(what);
    }
  }
}

// offset + size octets from a 64-octet boundary and no more, so ASan reports any access past the
// end and the offset alone sets the alignment the routines see.
class placed_buffer {
 public:
  placed_buffer(std::size_t offset, std::size_t size)
      : storage_(static_cast<std::uint8_t*>(::operator new[](offset + size, ALIGNMENT))),
        offset_(offset),
        size_(size) {}
  std::uint8_t* data() { return storage_.get() + offset_; }
  std::span<std::uint8_t> view() { return {data(), size_}; }

 private:
  static constexpr std::align_val_t ALIGNMENT{64};
  struct release {
    void operator()(std::uint8_t* p) const { ::operator delete[](p, ALIGNMENT); }
  };
  std::unique_ptr<std::uint8_t[], release> storage_;
  std::size_t offset_, size_;
};

std::ptrdiff_t call_routine(const fuzz_case& c, const records& r, const std::uint8_t* in,
                            std::uint8_t* out) {
  const bool decrypt = c.fields.decrypt;
  switch (c.op.kind) {
    case routine_kind::blocks:
      return (decrypt ? vurn::decrypt_blocks : vurn::encrypt_blocks)(&r.mode, &r.key, in, c.bits,
                                                                     out);
    case routine_kind::padded:
      return (decrypt ? vurn::decrypt_padded : vurn::encrypt_padded)(
          &r.mode, &r.key, in, static_cast<int>(c.input.size()), out);
    case routine_kind::chunks:
      return (decrypt ? vurn::decrypt_chunks : vurn::encrypt_chunks)(&r.mode, &r.key, in,
                                                                     c.chunk_octets, c.chunks, out);
  }
  return 0;
}

// The output octets a routine with this result has written, from the start of the output.
std::size_t written_octets(const fuzz_case& c, std::ptrdiff_t result) {
  if (result < 0) {
    // A failed padded decryption has written the blocks before the last.
    const std::size_t n = c.input.size();
    const bool whole_blocks = c.op.kind == routine_kind::padded && c.fields.decrypt &&
                              result == vurn::ERR_PADDING && n > 0 && n % 16 == 0;
    return whole_blocks ? n - 16 : 0;
  }
  const auto octets = static_cast<std::size_t>(result);
  switch (c.op.kind) {
    case routine_kind::blocks:
      return octets / 8;
    case routine_kind::padded:
      return octets;
    case routine_kind::chunks:
      return result == vurn::CHUNKS_ALL ? c.chunks * c.chunk_octets : 0;
  }
  return 0;
}

struct outcome {
  std::ptrdiff_t result;
  bytes out;  // the whole output room, FILL where nothing was written
};

outcome run_out_of_place(const fuzz_case& c, const records& r) {
  placed_buffer in(c.fields.in_offset, c.input.size());
  placed_buffer out(c.fields.out_offset, c.out_room);
  std::copy(c.input.begin(), c.input.end(), in.data());
  std::fill(out.view().begin(), out.view().end(), FILL);
  const std::ptrdiff_t result = call_routine(c, r, in.data(), out.data());
  return {result, bytes(out.view().begin(), out.view().end())};
}

// In place, at the output offset: the room holds the input, then FILL.
outcome run_in_place(const fuzz_case& c, const records& r) {
  placed_buffer buffer(c.fields.out_offset, c.out_room);
  std::fill(buffer.view().begin(), buffer.view().end(), FILL);
  std::copy(c.input.begin(), c.input.end(), buffer.data());
  const std::ptrdiff_t result = call_routine(c, r, buffer.data(), buffer.data());
  return {result, bytes(buffer.view().begin(), buffer.view().end())};
}

void compare(const fuzz_case& c, aes_impl_id id, const char* against, const char* how,
             const outcome& expected, const outcome& actual) {
  const auto diff = std::mismatch(expected.out.begin(), expected.out.end(), actual.out.begin());
  if (actual.result == expected.result && diff.first == expected.out.end()) return;
  char where[96] = "output equal";
  if (diff.first != expected.out.end()) {
    std::snprintf(where, sizeof where, "first differing output octet %td: %#04x expected, %#04x",
                  diff.first - expected.out.begin(), *diff.first, *diff.second);
  }
  vurn::fuzz::report_finding("%s %s differs from %s: %s; result %td expected, %td; %s",
                             vurn::aes_impl_name(id), how, against, describe(c).c_str(),
                             expected.result, actual.result, where);
}

// The implementation's run in place against its run out of place: the written octets as out of
// place, the rest of the room as before.
void check_in_place(const fuzz_case& c, aes_impl_id id, const records& r,
                    const outcome& out_of_place) {
  outcome expected{out_of_place.result, bytes(c.out_room, FILL)};
  std::copy(c.input.begin(), c.input.end(), expected.out.begin());
  const auto written = static_cast<std::ptrdiff_t>(written_octets(c, out_of_place.result));
  std::copy(out_of_place.out.begin(), out_of_place.out.begin() + written, expected.out.begin());
  compare(c, id, "its run out of place", "in place", expected, run_in_place(c, r));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vurn::fuzz::prepare_fuzzer_arguments(argc, argv);
  default_impl = vurn::active_aes_impl_id();  // before anything is selected
  std::string names;
  for (const aes_impl_id id : vurn::all_aes_impls()) {
    if (vurn::find_aes_impl(id) == nullptr) continue;
    available.push_back(id);
    if (id != aes_impl_id::table) names += std::string(" ") + vurn::aes_impl_name(id);
  }
  std::fprintf(stderr, "fuzz_aes_paths: the table core against%s; default %s\n", names.c_str(),
               vurn::aes_impl_name(default_impl));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < vurn::fuzz::AES_PATHS_HEADER) return 0;
  const fuzz_case c = read_case(data, size);

  vurn::key_state table_key{};
  outcome reference{};
  {
    const selection table_selected(aes_impl_id::table);
    const records r = make_records(c);
    table_key = r.key;
    reference = run_out_of_place(c, r);
  }
  for (std::size_t i = 0; i < available.size(); ++i) {
    const aes_impl_id id = available[i];
    const selection selected(id);
    const records r = make_records(c);
    check_key(c, id, table_key, r.key);
    if (id != aes_impl_id::table) {
      compare(c, id, vurn::aes_impl_name(aes_impl_id::table), "out of place", reference,
              run_out_of_place(c, r));
    }
    if (i == c.fields.in_place % available.size()) check_in_place(c, id, r, reference);
  }
  return 0;
}
