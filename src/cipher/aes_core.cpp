#include "aes_core.h"

#include <bit>
#include <cstdint>
#include <utility>

namespace vurn {
namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;

// --- GF(2^8) arithmetic modulo x^8 + x^4 + x^3 + x + 1, used only to build the tables ---

constexpr u8 xtime(u8 a) {
  return static_cast<u8>((a << 1) ^ ((a & 0x80) != 0 ? 0x1b : 0x00));
}

constexpr u8 gf_mul(u8 a, u8 b) {
  u8 product = 0;
  for (; b != 0; b = static_cast<u8>(b >> 1), a = xtime(a)) {
    if ((b & 1) != 0) product ^= a;
  }
  return product;
}

// a^254 is the multiplicative inverse of a; 0 maps to 0, as SubBytes requires.
constexpr u8 gf_inverse(u8 a) {
  u8 result = 1;
  for (int exponent = 254; exponent != 0; exponent >>= 1, a = gf_mul(a, a)) {
    if ((exponent & 1) != 0) result = gf_mul(result, a);
  }
  return result;
}

constexpr u8 rotl8(u8 b, int n) {
  return static_cast<u8>((b << n) | (b >> (8 - n)));
}

// SubBytes: the inverse followed by the affine transformation
// b'i = bi ^ b(i+4) ^ b(i+5) ^ b(i+6) ^ b(i+7) ^ ci with c = 0x63.
constexpr u8 sub_byte(u8 a) {
  const u8 b = gf_inverse(a);
  return static_cast<u8>(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63);
}

// Rows 0..3 of a column go to bits 0-7, 8-15, 16-23 and 24-31, so a rotation left by 8r moves
// every row r places down the column.
constexpr u32 column(u8 b0, u8 b1, u8 b2, u8 b3) {
  return u32{b0} | u32{b1} << 8 | u32{b2} << 16 | u32{b3} << 24;
}

constexpr aes_table_set build_tables() {
  aes_table_set t{};
  for (int i = 0; i < 256; ++i) {
    const u8 x = static_cast<u8>(i);
    t.sbox[x] = sub_byte(x);
    t.inv_sbox[t.sbox[x]] = x;
  }
  for (int i = 0; i < 256; ++i) {
    const u8 x = static_cast<u8>(i), s = t.sbox[x], v = t.inv_sbox[x];
    const u32 enc = column(gf_mul(s, 2), s, s, gf_mul(s, 3));
    const u32 dec = column(gf_mul(v, 0x0e), gf_mul(v, 0x09), gf_mul(v, 0x0d), gf_mul(v, 0x0b));
    const u32 conv = column(gf_mul(x, 0x0e), gf_mul(x, 0x09), gf_mul(x, 0x0d), gf_mul(x, 0x0b));
    for (int r = 0; r < 4; ++r) {
      t.enc[r][x] = std::rotl(enc, 8 * r);
      t.dec[r][x] = std::rotl(dec, 8 * r);
      t.key_conv[r][x] = std::rotl(conv, 8 * r);
    }
  }
  return t;
}

static_assert(sizeof(aes_table_set) == 256 + 4 * 1024 + 4 * 1024 + 256 + 4 * 1024,
              "the tables must form one block without gaps");

}  // namespace

constexpr aes_table_set aes_tables = build_tables();

namespace {

constexpr const aes_table_set& T = aes_tables;

inline u8 row(u32 w, int r) {
  return static_cast<u8>(w >> (8 * r));
}

// Row r of a column as a table index.
inline std::size_t at(u32 w, int r) {
  return w >> (8 * r) & 0xff;
}

inline u32 sub_word(u32 w) {
  return column(T.sbox[row(w, 0)], T.sbox[row(w, 1)], T.sbox[row(w, 2)], T.sbox[row(w, 3)]);
}

// The table-driven rounds for both directions; decryption runs the equivalent inverse cipher,
// round keys from last to first. A column of a round is built from the state columns a, b, c, d
// that follow one another from it: ShiftRows takes row r from the r-th after it (a, b, c, d),
// InvShiftRows from the r-th before it (a, d, c, b).
template <bool Decrypt>
struct rounds_of {
  static constexpr const u32 (&mix)[4][256] = Decrypt ? T.dec : T.enc;
  static constexpr const u8 (&sub)[256] = Decrypt ? T.inv_sbox : T.sbox;

  // SubBytes, ShiftRows and MixColumns, or their inverses.
  static u32 mixed(u32 a, u32 b, u32 c, u32 d) {
    if constexpr (Decrypt) std::swap(b, d);
    return mix[0][at(a, 0)] ^ mix[1][at(b, 1)] ^ mix[2][at(c, 2)] ^ mix[3][at(d, 3)];
  }

  // The last round has no MixColumns.
  static u32 substituted(u32 a, u32 b, u32 c, u32 d) {
    if constexpr (Decrypt) std::swap(b, d);
    return column(sub[row(a, 0)], sub[row(b, 1)], sub[row(c, 2)], sub[row(d, 3)]);
  }

  static void run(const u8 in[16], u8 out[16], const u8 round_keys[15][16], int rounds) {
    const u8* k = round_keys[Decrypt ? rounds : 0];
    u32 s0 = load_column(in) ^ load_column(k), s1 = load_column(in + 4) ^ load_column(k + 4),
        s2 = load_column(in + 8) ^ load_column(k + 8),
        s3 = load_column(in + 12) ^ load_column(k + 12);
    for (int step = 1; step < rounds; ++step) {
      k = round_keys[Decrypt ? rounds - step : step];
      const u32 t0 = mixed(s0, s1, s2, s3) ^ load_column(k);
      const u32 t1 = mixed(s1, s2, s3, s0) ^ load_column(k + 4);
      const u32 t2 = mixed(s2, s3, s0, s1) ^ load_column(k + 8);
      const u32 t3 = mixed(s3, s0, s1, s2) ^ load_column(k + 12);
      s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    k = round_keys[Decrypt ? 0 : rounds];
    store_column(out, substituted(s0, s1, s2, s3) ^ load_column(k));
    store_column(out + 4, substituted(s1, s2, s3, s0) ^ load_column(k + 4));
    store_column(out + 8, substituted(s2, s3, s0, s1) ^ load_column(k + 8));
    store_column(out + 12, substituted(s3, s0, s1, s2) ^ load_column(k + 12));
  }
};

}  // namespace

void table_expand_key(const std::uint8_t* key_bytes, std::uint8_t round_keys[15][16], int rounds) {
  aes_expand_key_with(sub_word, key_bytes, round_keys, rounds);
}

void table_invert_round_keys(std::uint8_t round_keys[15][16], int rounds) {
  for (int r = 1; r < rounds; ++r) {
    for (int c = 0; c < 16; c += 4) {
      u8* p = round_keys[r] + c;
      store_column(
          p, T.key_conv[0][p[0]] ^ T.key_conv[1][p[1]] ^ T.key_conv[2][p[2]] ^ T.key_conv[3][p[3]]);
    }
  }
}

void table_encrypt_block(const std::uint8_t in[16], std::uint8_t out[16],
                         const std::uint8_t round_keys[15][16], int rounds) {
  rounds_of<false>::run(in, out, round_keys, rounds);
}

void table_decrypt_block(const std::uint8_t in[16], std::uint8_t out[16],
                         const std::uint8_t round_keys[15][16], int rounds) {
  rounds_of<true>::run(in, out, round_keys, rounds);
}

}  // namespace vurn
