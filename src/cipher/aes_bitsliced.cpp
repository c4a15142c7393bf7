// AES on bit slices, in portable C++: the implementation the dispatch uses wherever the processor
// has no AES instructions. Sixteen blocks travel together as 32 machine words, one word for each
// bit of each row of the state, so SubBytes is a Boolean circuit over whole words, ShiftRows a
// rotation of each word and MixColumns a handful of XORs between words. Long runs go two such
// groups at a time, as plain arrays the compiler may keep in vector registers.
//
// Constant time: every operation here on the key or the data is an AND, XOR, NOT, shift or
// rotation by a fixed amount. No table is indexed and no branch is taken on a key or data value,
// in key expansion and key conversion as well as in the blocks; branches and addresses depend
// only on the key size and the lengths. Blocks are read as little-endian words (octets reversed
// on big-endian hosts), so the result does not depend on the host's byte order.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "aes_impl.h"
#include "aes_key_schedule.h"

namespace vurn {
namespace {

using u8 = std::uint8_t;
using word = std::uint64_t;

constexpr std::size_t GROUP_BLOCKS = 16;  // 4 columns x 16 blocks = 64 lanes of a word
constexpr std::size_t WIDE_GROUPS = 2;    // groups per batch on long runs
constexpr std::size_t BLOCK_OCTETS = 16;

// The state of N groups of up to 16 blocks each. In group g, row[r][b][g] holds bit b
// (0 = least significant) of row r, lane 16c + j being the octet in row r and column c of block
// 16g + j. A ShiftRows step is then a rotation of each word by multiples of 16 lanes. The steps
// below run over the groups in plain loops, which the compiler may turn into vector instructions.
template <std::size_t N>
struct batch {
  std::array<std::array<std::array<word, N>, 8>, 4> row;
};

// A batch holding the same block in every lane, as wide as the widest batch, so that it goes
// into a batch of any width word for word.
using broadcast_block = batch<WIDE_GROUPS>;

// One row of a batch: the eight bit planes of its octets.
template <std::size_t N>
using planes = std::array<std::array<word, N>, 8>;

struct sliced_key {
  std::size_t rounds = 0;
  std::array<broadcast_block, 15> round;
  std::array<planes<1>, 15> packed_round;  // in the packed form below
};

// The forward S-box circuit on eight bit planes, x[b] holding bit b (0 = least significant) of
// 64 octets. u0 is the most significant input bit and s0 the most significant output bit.
inline void s_box(word (&x)[8]) {
  const word u0 = x[7], u1 = x[6], u2 = x[5], u3 = x[4], u4 = x[3], u5 = x[2], u6 = x[1], u7 = x[0];
  const word t1 = u3 ^ u5;
  const word t2 = u0 ^ u6;
  const word t3 = u0 ^ u3;
  const word t4 = u0 ^ u5;
  const word t5 = u1 ^ u2;
  const word t6 = t5 ^ u7;
  const word t7 = t6 ^ u3;
  const word t8 = t2 ^ t1;
  const word t9 = t6 ^ u0;
  const word t10 = t6 ^ u6;
  const word t11 = t10 ^ t4;
  const word t12 = u4 ^ t8;
  const word t13 = t12 ^ u5;
  const word t14 = t12 ^ u1;
  const word t15 = t13 ^ u7;
  const word t16 = t13 ^ t5;
  const word t17 = t14 ^ t3;
  const word t18 = u7 ^ t17;
  const word t19 = t16 ^ t17;
  const word t20 = t16 ^ t4;
  const word t21 = t5 ^ t17;
  const word t22 = t2 ^ t21;
  const word t23 = u0 ^ t21;
  const word t24 = t8 & t13;
  const word t25 = t11 & t15;
  const word t26 = t25 ^ t24;
  const word t27 = t7 & u7;
  const word t28 = t27 ^ t24;
  const word t29 = t2 & t21;
  const word t30 = t10 & t6;
  const word t31 = t30 ^ t29;
  const word t32 = t9 & t18;
  const word t33 = t32 ^ t29;
  const word t34 = t3 & t17;
  const word t35 = t1 & t19;
  const word t36 = t35 ^ t34;
  const word t37 = t4 & t16;
  const word t38 = t37 ^ t34;
  const word t39 = t26 ^ t14;
  const word t40 = t28 ^ t38;
  const word t41 = t31 ^ t36;
  const word t42 = t33 ^ t38;
  const word t43 = t39 ^ t36;
  const word t44 = t40 ^ t20;
  const word t45 = t41 ^ t22;
  const word t46 = t42 ^ t23;
  const word t47 = t43 ^ t44;
  const word t48 = t43 & t45;
  const word t49 = t46 ^ t48;
  const word t50 = t47 & t49;
  const word t51 = t50 ^ t44;
  const word t52 = t45 ^ t46;
  const word t53 = t44 ^ t48;
  const word t54 = t53 & t52;
  const word t55 = t54 ^ t46;
  const word t56 = t45 ^ t55;
  const word t57 = t49 ^ t55;
  const word t58 = t46 & t57;
  const word t59 = t58 ^ t56;
  const word t60 = t49 ^ t58;
  const word t61 = t51 & t60;
  const word t62 = t47 ^ t61;
  const word t63 = t62 ^ t59;
  const word t64 = t51 ^ t55;
  const word t65 = t51 ^ t62;
  const word t66 = t55 ^ t59;
  const word t67 = t64 ^ t63;
  const word t68 = t66 & t13;
  const word t69 = t59 & t15;
  const word t70 = t55 & u7;
  const word t71 = t65 & t21;
  const word t72 = t62 & t6;
  const word t73 = t51 & t18;
  const word t74 = t64 & t17;
  const word t75 = t67 & t19;
  const word t76 = t63 & t16;
  const word t77 = t66 & t8;
  const word t78 = t59 & t11;
  const word t79 = t55 & t7;
  const word t80 = t65 & t2;
  const word t81 = t62 & t10;
  const word t82 = t51 & t9;
  const word t83 = t64 & t3;
  const word t84 = t67 & t1;
  const word t85 = t63 & t4;
  const word t86 = t83 ^ t84;
  const word t87 = t78 ^ t86;
  const word t88 = t77 ^ t87;
  const word t89 = t68 ^ t70;
  const word t90 = t69 ^ t68;
  const word t91 = t71 ^ t72;
  const word t92 = t80 ^ t89;
  const word t93 = t75 ^ t91;
  const word t94 = t76 ^ t92;
  const word t95 = t93 ^ t94;
  const word t96 = t91 ^ t90;
  const word t97 = t71 ^ t73;
  const word t98 = t81 ^ t86;
  const word t99 = t89 ^ t97;
  const word s3 = t88 ^ t96;
  const word t100 = t74 ^ t93;
  const word t101 = t82 ^ t95;
  const word t102 = t98 ^ t99;
  const word s7 = ~(t80 ^ t102);
  const word t103 = t83 ^ t100;
  const word t104 = t87 ^ t79;
  const word s0 = t88 ^ t100;
  const word s6 = ~(t95 ^ t102);
  const word s4 = t99 ^ s3;
  const word s1 = ~(s3 ^ t100);
  const word t105 = t101 ^ t103;
  const word s2 = ~(t105 ^ t85);
  const word s5 = t104 ^ t101;
  const word out[8] = {s7, s6, s5, s4, s3, s2, s1, s0};
  std::copy(out, out + 8, x);
}

// The inverse S-box circuit, with the same bit order.
inline void inv_s_box(word (&x)[8]) {
  const word u0 = x[7], u1 = x[6], u2 = x[5], u3 = x[4], u4 = x[3], u5 = x[2], u6 = x[1], u7 = x[0];
  const word t1 = u0 ^ u3;
  const word t2 = ~(u1 ^ u3);
  const word t3 = u0 ^ t2;
  const word t4 = u6 ^ u7;
  const word t5 = t2 ^ t4;
  const word t6 = ~(u2 ^ t5);
  const word t7 = u3 ^ u4;
  const word t8 = ~(u7 ^ t7);
  const word t9 = t5 ^ t7;
  const word t10 = ~(u0 ^ u2);
  const word t11 = u5 ^ t10;
  const word t12 = t1 ^ t2;
  const word t13 = t5 ^ t9;
  const word t14 = t3 ^ t8;
  const word t15 = t11 ^ t6;
  const word t16 = t1 ^ t5;
  const word t17 = t2 ^ t9;
  const word t18 = t13 ^ t12;
  const word t19 = t3 ^ t11;
  const word t20 = t8 ^ t6;
  const word t21 = t15 ^ t14;
  const word t22 = t13 ^ t15;
  const word t23 = t17 ^ t20;
  const word t24 = t9 ^ t6;
  const word t25 = t12 ^ t14;
  const word t26 = t16 & t19;
  const word t27 = t1 & t3;
  const word t28 = t22 ^ t26;
  const word t29 = t5 & t11;
  const word t30 = t29 ^ t26;
  const word t31 = t17 & t20;
  const word t32 = t2 & t8;
  const word t33 = t23 ^ t31;
  const word t34 = t9 & t6;
  const word t35 = t34 ^ t31;
  const word t36 = t13 & t15;
  const word t37 = t18 & t21;
  const word t38 = t37 ^ t36;
  const word t39 = t12 & t14;
  const word t40 = t39 ^ t36;
  const word t41 = t28 ^ t27;
  const word t42 = t30 ^ t25;
  const word t43 = t33 ^ t32;
  const word t44 = t35 ^ t40;
  const word t45 = t41 ^ t38;
  const word t46 = t42 ^ t40;
  const word t47 = t43 ^ t38;
  const word t48 = t44 ^ t24;
  const word t49 = t47 ^ t48;
  const word t50 = t47 & t45;
  const word t51 = t46 ^ t50;
  const word t52 = t45 ^ t46;
  const word t53 = t48 ^ t50;
  const word t54 = t53 & t52;
  const word t55 = t51 & t49;
  const word t56 = t48 ^ t55;
  const word t57 = t46 ^ t54;
  const word t58 = t45 & t48;
  const word t59 = t52 & t58;
  const word t60 = t52 ^ t50;
  const word t61 = t59 ^ t60;
  const word t62 = t46 & t47;
  const word t63 = t49 & t62;
  const word t64 = t49 ^ t50;
  const word t65 = t63 ^ t64;
  const word t66 = t61 ^ t65;
  const word t67 = t57 ^ t56;
  const word t68 = t57 ^ t61;
  const word t69 = t56 ^ t65;
  const word t70 = t67 ^ t66;
  const word t71 = t69 & t19;
  const word t72 = t65 & t3;
  const word t73 = t56 & t11;
  const word t74 = t68 & t20;
  const word t75 = t61 & t8;
  const word t76 = t57 & t6;
  const word t77 = t67 & t15;
  const word t78 = t70 & t21;
  const word t79 = t66 & t14;
  const word t80 = t69 & t16;
  const word t81 = t65 & t1;
  const word t82 = t56 & t5;
  const word t83 = t68 & t17;
  const word t84 = t61 & t2;
  const word t85 = t57 & t9;
  const word t86 = t67 & t13;
  const word t87 = t70 & t18;
  const word t88 = t66 & t12;
  const word t89 = t72 ^ t71;
  const word t90 = t73 ^ t71;
  const word t91 = t75 ^ t74;
  const word t92 = t76 ^ t74;
  const word t93 = t78 ^ t77;
  const word t94 = t79 ^ t77;
  const word t95 = t89 ^ t93;
  const word t96 = t90 ^ t94;
  const word t97 = t91 ^ t93;
  const word t98 = t92 ^ t94;
  const word t99 = t81 ^ t80;
  const word t100 = t82 ^ t80;
  const word t101 = t84 ^ t83;
  const word t102 = t85 ^ t83;
  const word t103 = t87 ^ t86;
  const word t104 = t88 ^ t86;
  const word t105 = t99 ^ t103;
  const word s7 = t100 ^ t104;
  const word t106 = t101 ^ t103;
  const word t107 = t102 ^ t104;
  const word s3 = t96 ^ t106;
  const word s6 = t97 ^ t106;
  const word s0 = t98 ^ t106;
  const word t108 = t95 ^ t97;
  const word s5 = s0 ^ t108;
  const word t109 = t105 ^ t107;
  const word t110 = t108 ^ t109;
  const word s1 = s3 ^ t110;
  const word t111 = t96 ^ s7;
  const word s2 = t110 ^ t111;
  const word t112 = t95 ^ t105;
  const word t113 = s5 ^ t111;
  const word s4 = t112 ^ t113;
  const word out[8] = {s7, s6, s5, s4, s3, s2, s1, s0};
  std::copy(out, out + 8, x);
}

// SubBytes then ShiftRows, each result rotated as it is stored so that row r moves r columns left
// (lane 16c takes what was in lane 16(c + r)).
template <std::size_t N>
void sub_bytes_shift_rows(batch<N>& s) {
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t g = 0; g < N; ++g) {
      word x[8];
      for (std::size_t b = 0; b < 8; ++b) x[b] = s.row[r][b][g];
      s_box(x);
      for (std::size_t b = 0; b < 8; ++b)
        s.row[r][b][g] = std::rotr(x[b], static_cast<int>(16 * r));
    }
  }
}

// InvShiftRows then InvSubBytes: each word rotated as it is loaded, moving row r back r columns
// right.
template <std::size_t N>
void inv_shift_rows_sub_bytes(batch<N>& s) {
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t g = 0; g < N; ++g) {
      word x[8];
      for (std::size_t b = 0; b < 8; ++b)
        x[b] = std::rotl(s.row[r][b][g], static_cast<int>(16 * r));
      inv_s_box(x);
      for (std::size_t b = 0; b < 8; ++b) s.row[r][b][g] = x[b];
    }
  }
}

template <std::size_t N>
planes<N> sum(planes<N> a, const planes<N>& b) {
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t g = 0; g < N; ++g) a[i][g] ^= b[i][g];
  }
  return a;
}

// Multiplication by 02 in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1: each plane moves up one bit and
// the top one is folded back into bits 0, 1, 3 and 4 (0x1b).
template <std::size_t N>
planes<N> times_two(const planes<N>& x) {
  planes<N> y;
  for (std::size_t b = 0; b < 8; ++b) {
    for (std::size_t g = 0; g < N; ++g) {
      y[b][g] = (b == 0 ? 0 : x[b - 1][g]) ^ ((0x1b >> b & 1) != 0 ? x[7][g] : 0);
    }
  }
  return y;
}

// MixColumns then AddRoundKey. Each row becomes 02*a[r] + 03*a[r+1] + a[r+2] + a[r+3], written as
// a[r] + (the sum of all four) + 02*(a[r] + a[r+1]). Whole rows at a time, each step a loop over
// the groups, which the compiler vectorises here where it does not a loop over whole columns.
template <std::size_t N>
void mix_columns_add_key(batch<N>& s, const broadcast_block& key) {
  auto& a = s.row;
  std::array<planes<N>, 4> next;
  for (std::size_t r = 0; r < 4; ++r) next[r] = sum(a[r], a[(r + 1) % 4]);
  const planes<N> all = sum(next[0], next[2]);
  for (std::size_t r = 0; r < 4; ++r) {
    const planes<N> twice = times_two(next[r]);
    planes<N> mixed;  // computed apart from s, which the compiler cannot tell from the key
    for (std::size_t b = 0; b < 8; ++b) {
      for (std::size_t g = 0; g < N; ++g) {
        mixed[b][g] = a[r][b][g] ^ all[b][g] ^ twice[b][g] ^ key.row[r][b][g];
      }
    }
    a[r] = mixed;
  }
}

// Multiplies each column by 04x^2 + 05, adding 04*(a[r] + a[r+2]) to rows r and r + 2: followed
// by MixColumns this gives InvMixColumns. A loop over the groups with a scalar body here, which
// the compiler vectorises where it does not the row-at-a-time form.
template <std::size_t N>
void premultiply_inverse(batch<N>& s) {
  for (std::size_t g = 0; g < N; ++g) {
    for (std::size_t r = 0; r < 2; ++r) {
      planes<1> both;
      for (std::size_t b = 0; b < 8; ++b) both[b][0] = s.row[r][b][g] ^ s.row[r + 2][b][g];
      const planes<1> times4 = times_two(times_two(both));
      for (std::size_t b = 0; b < 8; ++b) {
        s.row[r][b][g] ^= times4[b][0];
        s.row[r + 2][b][g] ^= times4[b][0];
      }
    }
  }
}

// XORs a batch of the same width, or a broadcast block, into s.
template <std::size_t N, std::size_t M>
void add(batch<N>& s, const batch<M>& other) {
  static_assert(M >= N);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t b = 0; b < 8; ++b) {
      for (std::size_t g = 0; g < N; ++g) s.row[r][b][g] ^= other.row[r][b][g];
    }
  }
}

template <std::size_t N>
void encrypt_batch(batch<N>& s, const sliced_key& key) {
  add(s, key.round[0]);
  for (std::size_t round = 1; round < key.rounds; ++round) {
    sub_bytes_shift_rows(s);
    mix_columns_add_key(s, key.round[round]);
  }
  sub_bytes_shift_rows(s);
  add(s, key.round[key.rounds]);
}

// The equivalent inverse cipher, on round keys converted by invert_round_keys.
template <std::size_t N>
void decrypt_batch(batch<N>& s, const sliced_key& key) {
  add(s, key.round[key.rounds]);
  for (std::size_t round = key.rounds - 1; round > 0; --round) {
    inv_shift_rows_sub_bytes(s);
    premultiply_inverse(s);
    mix_columns_add_key(s, key.round[round]);
  }
  inv_shift_rows_sub_bytes(s);
  add(s, key.round[0]);
}

// Up to four blocks packed into one set of bit planes: lane 16c + 4r + j holds the octet in row r
// and column c of block j. One circuit evaluation then covers all their octets, a quarter of the
// work of a group, which counts where blocks come one at a time (one long CBC chain). ShiftRows
// rotates each row's lanes by whole columns; MixColumns moves rows within each column.
constexpr std::size_t PACKED_BLOCKS = 4;

// The lanes of row r in packed form.
constexpr word packed_row(std::size_t r) {
  return word{0x000f000f000f000f} << 4 * r;
}

// The packed form of the first four blocks of group 0.
template <std::size_t N>
planes<1> pack(const batch<N>& s) {
  planes<1> p{};
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t b = 0; b < 8; ++b) p[b][0] |= (s.row[r][b][0] & packed_row(0)) << 4 * r;
  }
  return p;
}

void unpack(const planes<1>& p, batch<1>& s) {
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t b = 0; b < 8; ++b) s.row[r][b][0] = p[b][0] >> 4 * r & packed_row(0);
  }
}

// Moves each column's octets `rows` rows up: row r takes what was in row r + rows (mod 4).
word rows_up(word w, std::size_t rows) {
  const word stay = (word{0xffff} >> 4 * rows) * 0x0001000100010001;
  return (w >> 4 * rows & stay) | (w << (16 - 4 * rows) & ~stay);
}

template <bool inverse>
void sub_bytes_packed(planes<1>& p) {
  word x[8];
  for (std::size_t b = 0; b < 8; ++b) x[b] = p[b][0];
  if constexpr (inverse) {
    inv_s_box(x);
  } else {
    s_box(x);
  }
  for (std::size_t b = 0; b < 8; ++b) p[b][0] = x[b];
}

template <bool inverse>
void shift_rows_packed(planes<1>& p) {
  for (auto& plane : p) {
    word w = plane[0] & packed_row(0);
    for (std::size_t r = 1; r < 4; ++r) {
      const word row = plane[0] & packed_row(r);
      const int by = static_cast<int>(16 * r);
      w |= inverse ? std::rotl(row, by) : std::rotr(row, by);
    }
    plane[0] = w;
  }
}

// As mix_columns_add_key, with the rows side by side in each column.
void mix_columns_add_key_packed(planes<1>& a, const planes<1>& key) {
  planes<1> next, all;
  for (std::size_t b = 0; b < 8; ++b) next[b][0] = a[b][0] ^ rows_up(a[b][0], 1);
  for (std::size_t b = 0; b < 8; ++b) all[b][0] = next[b][0] ^ rows_up(next[b][0], 2);
  const planes<1> twice = times_two(next);
  for (std::size_t b = 0; b < 8; ++b) a[b][0] ^= all[b][0] ^ twice[b][0] ^ key[b][0];
}

// As premultiply_inverse: rows r and r + 2 both get 04*(a[r] + a[r+2]).
void premultiply_inverse_packed(planes<1>& a) {
  planes<1> both;
  for (std::size_t b = 0; b < 8; ++b) both[b][0] = a[b][0] ^ rows_up(a[b][0], 2);
  a = sum(a, times_two(times_two(both)));
}

void encrypt_packed(planes<1>& p, const sliced_key& key) {
  p = sum(p, key.packed_round[0]);
  for (std::size_t round = 1; round < key.rounds; ++round) {
    sub_bytes_packed<false>(p);
    shift_rows_packed<false>(p);
    mix_columns_add_key_packed(p, key.packed_round[round]);
  }
  sub_bytes_packed<false>(p);
  shift_rows_packed<false>(p);
  p = sum(p, key.packed_round[key.rounds]);
}

void decrypt_packed(planes<1>& p, const sliced_key& key) {
  p = sum(p, key.packed_round[key.rounds]);
  for (std::size_t round = key.rounds - 1; round > 0; --round) {
    shift_rows_packed<true>(p);
    sub_bytes_packed<true>(p);
    premultiply_inverse_packed(p);
    mix_columns_add_key_packed(p, key.packed_round[round]);
  }
  shift_rows_packed<true>(p);
  sub_bytes_packed<true>(p);
  p = sum(p, key.packed_round[0]);
}

// Encrypts or decrypts the first `blocks` blocks of a batch, packed when they are few.
template <bool decrypting, std::size_t N>
void crypt_batch(batch<N>& s, const sliced_key& key, std::size_t blocks) {
  if constexpr (N == 1) {
    if (blocks <= PACKED_BLOCKS) {
      planes<1> p = pack(s);
      if constexpr (decrypting) {
        decrypt_packed(p, key);
      } else {
        encrypt_packed(p, key);
      }
      unpack(p, s);
      return;
    }
  }
  if constexpr (decrypting) {
    decrypt_batch(s, key);
  } else {
    encrypt_batch(s, key);
  }
}

// Conversion between blocks and a batch, group by group. Block j of a group is read as two
// words, word 2j holding columns 0 and 2 and word 2j + 1 columns 1 and 3, octet (r, c) at bits
// 8r + 32(c / 2) .. +7. Five exchanges of a bit of the word index with a bit of the position in
// the word then give word (r / 2) + 2b + 16(r % 2) with bit b of row r in lane 16c + j. Each
// exchange is its own inverse and they commute, so the same five turn a batch back into words.
using block_words = std::array<word, 32>;

// Exchanges bit index_bit of the word index with bit position_bit of the position in the word.
template <int index_bit, int position_bit>
void exchange(block_words& w) {
  constexpr word position_bit_clear[] = {0x5555555555555555, 0x3333333333333333, 0x0f0f0f0f0f0f0f0f,
                                         0x00ff00ff00ff00ff, 0x0000ffff0000ffff};
  constexpr std::size_t stride = std::size_t{1} << index_bit;
  constexpr int shift = 1 << position_bit;
  constexpr word mask = position_bit_clear[position_bit];
  for (std::size_t base = 0; base < w.size(); base += 2 * stride) {
    for (std::size_t low = base; low < base + stride; ++low) {
      const word t = ((w[low] >> shift) ^ w[low + stride]) & mask;
      w[low + stride] ^= t;
      w[low] ^= t << shift;
    }
  }
}

void transpose(block_words& w) {
  exchange<0, 4>(w);
  exchange<1, 0>(w);
  exchange<2, 1>(w);
  exchange<3, 2>(w);
  exchange<4, 3>(w);
}

constexpr std::size_t sliced_word(std::size_t row, std::size_t bit) {
  return (row >> 1) + 2 * bit + 16 * (row & 1);
}

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

word byte_reverse(word w) {
  w = (w >> 8 & 0x00ff00ff00ff00ff) | (w & 0x00ff00ff00ff00ff) << 8;
  w = (w >> 16 & 0x0000ffff0000ffff) | (w & 0x0000ffff0000ffff) << 16;
  return w >> 32 | w << 32;
}

// Eight octets as a word, octet k in bits 8k .. 8k+7, on hosts of either byte order.
word load_le64(const u8* p) {
  word w;
  std::memcpy(&w, p, sizeof w);
  return std::endian::native == std::endian::little ? w : byte_reverse(w);
}

void store_le64(u8* p, word w) {
  if constexpr (std::endian::native == std::endian::big) w = byte_reverse(w);
  std::memcpy(p, &w, sizeof w);
}

constexpr word low_halves = 0x00000000ffffffff;

// Reads `count` <= 16N blocks, block j at in + stride * j; the lanes of missing blocks hold zero.
template <std::size_t N>
batch<N> load_batch(const u8* in, std::size_t stride, std::size_t count) {
  batch<N> s;
  for (std::size_t g = 0; g < N; ++g) {
    block_words w{};
    for (std::size_t j = 0; j < GROUP_BLOCKS && GROUP_BLOCKS * g + j < count; ++j) {
      const u8* block = in + stride * (GROUP_BLOCKS * g + j);
      const word low = load_le64(block), high = load_le64(block + 8);
      w[2 * j] = (low & low_halves) | high << 32;
      w[2 * j + 1] = low >> 32 | (high & ~low_halves);
    }
    transpose(w);
    for (std::size_t r = 0; r < 4; ++r) {
      for (std::size_t b = 0; b < 8; ++b) s.row[r][b][g] = w[sliced_word(r, b)];
    }
  }
  return s;
}

// Writes the first `count` blocks of the batch, block j to out + stride * j.
template <std::size_t N>
void store_batch(const batch<N>& s, u8* out, std::size_t stride, std::size_t count) {
  for (std::size_t g = 0; g < N; ++g) {
    block_words w;
    for (std::size_t r = 0; r < 4; ++r) {
      for (std::size_t b = 0; b < 8; ++b) w[sliced_word(r, b)] = s.row[r][b][g];
    }
    transpose(w);
    for (std::size_t j = 0; j < GROUP_BLOCKS && GROUP_BLOCKS * g + j < count; ++j) {
      u8* block = out + stride * (GROUP_BLOCKS * g + j);
      store_le64(block, (w[2 * j] & low_halves) | w[2 * j + 1] << 32);
      store_le64(block + 8, w[2 * j] >> 32 | (w[2 * j + 1] & ~low_halves));
    }
  }
}

// The same 16 octets in every block of a group: each bit becomes a run of 16 equal lanes, made
// with a mask rather than a branch.
broadcast_block broadcast(const u8 block[16]) {
  broadcast_block s;
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t b = 0; b < 8; ++b) {
      word w = 0;
      for (std::size_t c = 0; c < 4; ++c) {
        const word bit = (block[4 * c + r] >> b) & 1u;
        w |= (0 - bit) & word{0xffff} << 16 * c;
      }
      s.row[r][b].fill(w);
    }
  }
  return s;
}

// The inverse of broadcast, read from the lanes of block 0.
void first_block(const broadcast_block& s, u8 block[16]) {
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      unsigned octet = 0;
      for (std::size_t b = 0; b < 8; ++b)
        octet |= static_cast<unsigned>(s.row[r][b][0] >> 16 * c & 1) << b;
      block[4 * c + r] = static_cast<u8>(octet);
    }
  }
}

sliced_key slice_key(const key_state& key) {
  sliced_key sliced;
  sliced.rounds = static_cast<std::size_t>(key.rounds);
  for (std::size_t i = 0; i <= sliced.rounds; ++i) {
    sliced.round[i] = broadcast(key.round_keys[i]);
    sliced.packed_round[i] = pack(sliced.round[i]);
  }
  return sliced;
}

// SubWord of the key schedule: the four octets of a column word in lanes 0 to 3 of one circuit
// evaluation.
std::uint32_t sub_word(std::uint32_t w) {
  word x[8] = {};
  for (std::size_t b = 0; b < 8; ++b) {
    for (std::size_t i = 0; i < 4; ++i) x[b] |= word{w >> (8 * i + b) & 1u} << i;
  }
  s_box(x);
  std::uint32_t out = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t b = 0; b < 8; ++b)
      out |= static_cast<std::uint32_t>(x[b] >> i & 1) << (8 * i + b);
  }
  return out;
}

void expand_key(const u8* key_bytes, u8 round_keys[15][16], int rounds) {
  aes_expand_key_with(sub_word, key_bytes, round_keys, rounds);
}

// InvMixColumns of round keys 1 .. rounds-1, run on the sliced form of each key.
void invert_round_keys(u8 round_keys[15][16], int rounds) {
  for (int i = 1; i < rounds; ++i) {
    broadcast_block s = broadcast(round_keys[i]);
    premultiply_inverse(s);
    mix_columns_add_key(s, broadcast_block{});
    first_block(s, round_keys[i]);
  }
}

// Splits `count` blocks (or chains) that do not depend on each other into batches: two groups at a
// time while more than one group's worth remains, then one. Calls work<groups>(first, n) for each.
template <typename Work>
void in_batches(std::size_t count, Work&& work) {
  for (std::size_t first = 0; first < count;) {
    const std::size_t left = count - first;
    if (left > GROUP_BLOCKS) {
      const std::size_t n = std::min(left, WIDE_GROUPS * GROUP_BLOCKS);
      work.template operator()<WIDE_GROUPS>(first, n);
      first += n;
    } else {
      work.template operator()<1>(first, left);
      first += left;
    }
  }
}

template <bool decrypting>
void run_ecb(const key_state& key, const u8* in, u8* out, std::size_t blocks) {
  const sliced_key sliced = slice_key(key);
  in_batches(blocks, [&]<std::size_t N>(std::size_t first, std::size_t n) {
    batch<N> s = load_batch<N>(in + BLOCK_OCTETS * first, BLOCK_OCTETS, n);
    crypt_batch<decrypting>(s, sliced, n);
    store_batch(s, out + BLOCK_OCTETS * first, BLOCK_OCTETS, n);
  });
}

// Chains side by side, one lane group per chain: block i of every chain in the batch is
// encrypted at once, XORed first with the batch before it (the IV for the first block).
void encrypt_cbc(const key_state& key, const u8 iv[16], const u8* in, u8* out,
                 std::size_t chain_blocks, std::size_t chains) {
  const sliced_key sliced = slice_key(key);
  const broadcast_block start = broadcast(iv);
  const std::size_t stride = BLOCK_OCTETS * chain_blocks;
  in_batches(chains, [&]<std::size_t N>(std::size_t first, std::size_t n) {
    batch<N> chain{};
    add(chain, start);
    for (std::size_t i = 0; i < chain_blocks; ++i) {
      const std::size_t at = stride * first + BLOCK_OCTETS * i;
      batch<N> s = load_batch<N>(in + at, stride, n);
      add(s, chain);
      crypt_batch<false>(s, sliced, n);
      store_batch(s, out + at, stride, n);
      chain = s;
    }
  });
}

// Every block decrypts on its own, so batches run straight through the blocks across chain
// boundaries. The block each one is XORed with is formed in sliced form from the ciphertext
// batch: lane j + 1 of a column takes lane j, lane 0 the last lane of the group before (or of the
// batch before), and the lanes where a chain starts take the IV. The whole batch is read before
// any of it is written, so in and out may coincide.
void decrypt_cbc(const key_state& key, const u8 iv[16], const u8* in, u8* out,
                 std::size_t chain_blocks, std::size_t chains) {
  constexpr word first_lanes = 0x0001000100010001;  // lane 0 of each column
  const std::size_t blocks = chain_blocks * chains;
  if (blocks == 0) return;
  const sliced_key sliced = slice_key(key);
  const broadcast_block start = broadcast(iv);
  cbc_chain_starts starts(chain_blocks);
  std::array<std::array<word, 8>, 4> carry{};  // the block before the batch, in lane 0
  in_batches(blocks, [&]<std::size_t N>(std::size_t first, std::size_t n) {
    const batch<N> cipher_text = load_batch<N>(in + BLOCK_OCTETS * first, BLOCK_OCTETS, n);
    batch<N> s = cipher_text;
    crypt_batch<true>(s, sliced, n);
    const std::uint64_t chain_start = starts.next(n);
    for (std::size_t g = 0; g < N; ++g) {
      const word from_iv = (chain_start >> GROUP_BLOCKS * g & 0xffff) * first_lanes;
      for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t b = 0; b < 8; ++b) {
          const word& c = cipher_text.row[r][b][g];
          const word previous =
              g == 0 ? carry[r][b] : cipher_text.row[r][b][g - 1] >> 15 & first_lanes;
          const word before = ((c << 1 & ~first_lanes) | previous) & ~from_iv;
          s.row[r][b][g] ^= before | (start.row[r][b][g] & from_iv);
        }
      }
    }
    for (std::size_t r = 0; r < 4; ++r) {
      for (std::size_t b = 0; b < 8; ++b)
        carry[r][b] = cipher_text.row[r][b][N - 1] >> 15 & first_lanes;
    }
    store_batch(s, out + BLOCK_OCTETS * first, BLOCK_OCTETS, n);
  });
}

// The circuits on the bit planes of 64 octets, for the tests.
template <void (*circuit)(word (&)[8])>
void on_planes(std::uint64_t planes[8]) {
  word x[8];
  std::copy(planes, planes + 8, x);
  circuit(x);
  std::copy(x, x + 8, planes);
}

}  // namespace

void bitsliced_sub_bytes(std::uint64_t planes[8]) {
  on_planes<s_box>(planes);
}

void bitsliced_inv_sub_bytes(std::uint64_t planes[8]) {
  on_planes<inv_s_box>(planes);
}

const aes_impl bitsliced_aes_impl = {expand_key,    invert_round_keys, run_ecb<false>,
                                     run_ecb<true>, encrypt_cbc,       decrypt_cbc};

}  // namespace vurn
