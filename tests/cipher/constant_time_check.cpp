// Constant-time check, run under valgrind's memcheck: the key and the data are marked undefined,
// so memcheck reports every branch and every memory address computed from them. Key set-up, the
// block and chain routines of each implementation, the cipher interface's block and chunk routines
// and the one-block routines of aes.h then run on them, once per implementation this process can
// run. Those the dispatch may choose must cause no report. The table-driven core must cause reports
// (its lookups are indexed by key and data bytes): that proves the check can fail, and it fails if
// the core ever comes out clean. Under valgrind the process runs on valgrind's virtual processor,
// which lacks some instructions of the real one (VAES, AVX-512): the implementations needing them
// are not examined, and the output names every implementation examined and every one left out.
// Exits 77 (skipped) when not run under valgrind or built without valgrind's header.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <vurn/aes.h>
#include "cipher/aes_impl.h"
#include "cipher/chunks.h"

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>

namespace {

using namespace vurn;
using u8 = std::uint8_t;

constexpr std::size_t CHUNK_OCTETS = 32, CHUNKS = 40, BLOCKS = CHUNK_OCTETS * CHUNKS / 16;

template <typename T>
void make_secret(T* data, std::size_t octets) {
  VALGRIND_MAKE_MEM_UNDEFINED(data, octets);
}

// Records of both directions set up, through the cipher interface, from undefined key digits, and
// an undefined IV. The digits are written first (so the record knows its key size) and then marked
// undefined; key_state_init without text parses and expands what the record holds. Whether the
// digits were valid is the status key_state_init returns, which every caller learns; so the
// record's usable field, set from it, is declared defined.
struct secrets {
  key_state encrypt{}, decrypt{};
  mode_state mode{};
};

void init_from_secret_digits(key_state& key, int direction, int bits) {
  const std::string digits(static_cast<std::size_t>(bits / 4), '0');
  key_state_init(&key, direction, bits, digits.c_str());
  make_secret(key.key_text, digits.size());
  key_state_init(&key, direction, bits, nullptr);
  VALGRIND_MAKE_MEM_DEFINED(&key.usable, sizeof key.usable);
}

secrets set_up(int bits) {
  secrets s;
  init_from_secret_digits(s.encrypt, DIRECTION_ENCRYPT, bits);
  init_from_secret_digits(s.decrypt, DIRECTION_DECRYPT, bits);
  mode_state_init(&s.mode, CIPHER_MODE_CBC, nullptr);
  make_secret(s.mode.iv, sizeof s.mode.iv);
  return s;
}

// Every routine that touches the key or the data, for every key size.
void run_all(const aes_impl& impl) {
  std::vector<u8> in(16 * BLOCKS), out(16 * BLOCKS);
  for (int bits : {128, 192, 256}) {
    const secrets s = set_up(bits);
    make_secret(in.data(), in.size());
    impl.encrypt_ecb(s.encrypt, in.data(), out.data(), BLOCKS);
    impl.decrypt_ecb(s.decrypt, in.data(), out.data(), BLOCKS);
    impl.encrypt_cbc(s.encrypt, s.mode.iv, in.data(), out.data(), 5, BLOCKS / 5);
    impl.decrypt_cbc(s.decrypt, s.mode.iv, in.data(), out.data(), 5, BLOCKS / 5);
    const int all_bits = static_cast<int>(8 * in.size());
    encrypt_blocks(&s.mode, &s.encrypt, in.data(), all_bits, out.data());
    decrypt_blocks(&s.mode, &s.decrypt, in.data(), all_bits, out.data());
    encrypt_chunks(&s.mode, &s.encrypt, in.data(), CHUNK_OCTETS, CHUNKS, out.data());
    decrypt_chunks(&s.mode, &s.decrypt, in.data(), CHUNK_OCTETS, CHUNKS, out.data());

    u8 key_bytes[32] = {}, round_keys[15][16];
    make_secret(key_bytes, sizeof key_bytes);
    aes_expand_key(key_bytes, round_keys, s.encrypt.rounds);
    aes_invert_round_keys(round_keys, s.encrypt.rounds);
    aes_encrypt_block(in.data(), out.data(), s.encrypt.round_keys, s.encrypt.rounds);
    aes_decrypt_block(in.data(), out.data(), s.decrypt.round_keys, s.decrypt.rounds);
  }
}

// The number of memcheck errors the implementation's routines cause.
unsigned errors_from(aes_impl_id id) {
  select_aes_impl(id);
  const unsigned before = VALGRIND_COUNT_ERRORS;
  run_all(*find_aes_impl(id));
  return VALGRIND_COUNT_ERRORS - before;
}

bool check(aes_impl_id id) {
  const bool must_leak = id == aes_impl_id::table;
  const unsigned errors = errors_from(id);
  const bool as_expected = must_leak ? errors > 0 : errors == 0;
  std::printf("%-11s %6u memcheck errors: %s%s\n", aes_impl_name(id), errors,
              as_expected ? "as expected" : "FAILED",
              must_leak ? " (table lookups indexed by key and data)" : " (constant-time)");
  return as_expected;
}

}  // namespace

int main() {
  if (RUNNING_ON_VALGRIND == 0) {
    std::puts("skipped: run this under valgrind (memcheck)");
    return 77;
  }
  std::printf("under valgrind the dispatch chooses %s\n",
              vurn::aes_impl_name(vurn::active_aes_impl_id()));
  bool ok = true;
  std::string left_out;
  for (vurn::aes_impl_id id : vurn::all_aes_impls()) {
    if (vurn::find_aes_impl(id) != nullptr) {
      ok = check(id) && ok;
    } else {
      left_out += std::string(" ") + vurn::aes_impl_name(id);
    }
  }
  if (!left_out.empty()) {
    std::printf("not examined (valgrind's processor or this one lacks their instructions):%s\n",
                left_out.c_str());
  }
  return ok ? 0 : 1;
}

#else

int main() {
  std::puts("skipped: valgrind/memcheck.h is not installed (Debian package valgrind)");
  return 77;
}

#endif
