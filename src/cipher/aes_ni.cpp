// AES with the AES-NI instructions: one block per instruction, eight independent blocks (or
// eight CBC chains) in flight so that the AES unit's pipeline stays full; and the key set-up that
// every hardware implementation uses. Constant-time, key set-up included: no table lookups and no
// branches on the key or the data.
#include "aes_impl.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "aes.h"

namespace vurn {
namespace {

using u8 = std::uint8_t;
using reg = __m128i;
constexpr std::size_t LANES = 1;       // blocks per register
constexpr std::size_t BATCH_REGS = 8;  // registers in flight for independent blocks
constexpr std::size_t CHAIN_REGS = 8;  // registers in flight for CBC encryption

struct schedule {
  reg k[15];
  int rounds;
};

// The blocks of register j of a batch that count holds: LANES, fewer in the last one, or none.
constexpr std::size_t lanes_in(std::size_t count, std::size_t j) {
  return count <= LANES * j ? 0 : count - LANES * j < LANES ? count - LANES * j : LANES;
}

[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline __m128i load_block(const u8* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline void store_block(u8* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline schedule load_schedule(
    const key_state& key) {
  schedule s{};
  s.rounds = key.rounds;
  for (int r = 0; r <= key.rounds; ++r) s.k[r] = load_block(key.round_keys[r]);
  return s;
}

// The block at p, or zero when count is 0.
[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline reg gather(const u8* p, std::size_t,
                                                                    std::size_t count) {
  return count > 0 ? load_block(p) : _mm_setzero_si128();
}

[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline void scatter(u8* p, std::size_t,
                                                                      std::size_t count, reg v) {
  if (count > 0) store_block(p, v);
}

template <std::size_t N>
[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline void encrypt_regs(const schedule& s,
                                                                           reg (&x)[N]) {
  for (reg& v : x) v = _mm_xor_si128(v, s.k[0]);
  for (int r = 1; r < s.rounds; ++r) {
    for (reg& v : x) v = _mm_aesenc_si128(v, s.k[r]);
  }
  for (reg& v : x) v = _mm_aesenclast_si128(v, s.k[s.rounds]);
}

template <std::size_t N>
[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline void decrypt_regs(const schedule& s,
                                                                           reg (&x)[N]) {
  for (reg& v : x) v = _mm_xor_si128(v, s.k[s.rounds]);
  for (int r = s.rounds - 1; r > 0; --r) {
    for (reg& v : x) v = _mm_aesdec_si128(v, s.k[r]);
  }
  for (reg& v : x) v = _mm_aesdeclast_si128(v, s.k[0]);
}

// ECB over count <= N * LANES consecutive blocks.
template <std::size_t N, bool Decrypt>
[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline void ecb_batch(const schedule& s,
                                                                        const u8* in, u8* out,
                                                                        std::size_t count) {
  reg x[N];
  for (std::size_t j = 0; j < N; ++j) x[j] = gather(in + 16 * LANES * j, 16, lanes_in(count, j));
  if constexpr (Decrypt) {
    decrypt_regs(s, x);
  } else {
    encrypt_regs(s, x);
  }
  for (std::size_t j = 0; j < N; ++j) scatter(out + 16 * LANES * j, 16, lanes_in(count, j), x[j]);
}

template <bool Decrypt>
[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline void ecb(const key_state& key,
                                                                  const u8* in, u8* out,
                                                                  std::size_t blocks) {
  const schedule s = load_schedule(key);
  constexpr std::size_t batch = BATCH_REGS * LANES;
  std::size_t i = 0;
  for (; i + batch <= blocks; i += batch) {
    ecb_batch<BATCH_REGS, Decrypt>(s, in + 16 * i, out + 16 * i, batch);
  }
  for (; i < blocks; i += LANES) {
    ecb_batch<1, Decrypt>(s, in + 16 * i, out + 16 * i, std::min(blocks - i, LANES));
  }
}

[[gnu::target("aes,sse4.1")]] void encrypt_ecb(const key_state& key, const u8* in, u8* out,
                                               std::size_t blocks) {
  ecb<false>(key, in, out, blocks);
}

[[gnu::target("aes,sse4.1")]] void decrypt_ecb(const key_state& key, const u8* in, u8* out,
                                               std::size_t blocks) {
  ecb<true>(key, in, out, blocks);
}

// CBC encryption of count <= N * LANES consecutive chains side by side: lane l of register j
// carries chain LANES * j + l, and block b of every chain goes through the cipher in one step.
template <std::size_t N>
[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline void encrypt_chains(
    const schedule& s, reg iv, const u8* in, u8* out, std::size_t chain_blocks, std::size_t count) {
  const std::size_t stride = 16 * chain_blocks;
  reg x[N];
  for (reg& v : x) v = iv;
  for (std::size_t b = 0; b < chain_blocks; ++b, in += 16, out += 16) {
    for (std::size_t j = 0; j < N; ++j) {
      x[j] = _mm_xor_si128(x[j], gather(in + stride * LANES * j, stride, lanes_in(count, j)));
    }
    encrypt_regs(s, x);
    for (std::size_t j = 0; j < N; ++j) {
      scatter(out + stride * LANES * j, stride, lanes_in(count, j), x[j]);
    }
  }
}

[[gnu::target("aes,sse4.1")]] void encrypt_cbc(const key_state& key, const u8 iv[16], const u8* in,
                                               u8* out, std::size_t chain_blocks,
                                               std::size_t chains) {
  const schedule s = load_schedule(key);
  const reg start = load_block(iv);
  const std::size_t stride = 16 * chain_blocks;
  constexpr std::size_t group = CHAIN_REGS * LANES;
  std::size_t c = 0;
  for (; c + group <= chains; c += group) {
    encrypt_chains<CHAIN_REGS>(s, start, in + stride * c, out + stride * c, chain_blocks, group);
  }
  for (; c < chains; c += LANES) {
    encrypt_chains<1>(s, start, in + stride * c, out + stride * c, chain_blocks,
                      std::min(chains - c, LANES));
  }
}

// The block before the one in the first register: `before` itself, a register holding one block.
[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline reg preceding(reg, reg before) {
  return before;
}

// iv where bit 0 of starts marks the start of a chain, else `value`.
[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline reg with_iv_at(std::uint64_t starts,
                                                                        reg iv, reg value) {
  return (starts & 1) != 0 ? iv : value;
}

// CBC decryption of count <= N * LANES consecutive blocks, whatever chains they belong to: each
// decrypted block is XORed with the ciphertext block before it (the last lane of `last`
// for the first) or, where bit k of starts marks block k as the start of a chain, with the IV.
// `last` leaves holding the batch's last register of ciphertext; only a final batch may be partial.
template <std::size_t N>
[[gnu::target("aes,sse4.1"), gnu::always_inline]] inline void decrypt_cbc_batch(
    const schedule& s, reg iv, std::uint64_t starts, reg& last, const u8* in, u8* out,
    std::size_t count) {
  reg cipher_text[N], x[N];
  for (std::size_t j = 0; j < N; ++j) {
    cipher_text[j] = x[j] = gather(in + 16 * LANES * j, 16, lanes_in(count, j));
  }
  decrypt_regs(s, x);
  for (std::size_t j = 0; j < N; ++j) {
    const reg before = preceding(cipher_text[j], j == 0 ? last : cipher_text[j - 1]);
    const reg chain = with_iv_at(starts >> (LANES * j), iv, before);
    scatter(out + 16 * LANES * j, 16, lanes_in(count, j), _mm_xor_si128(x[j], chain));
  }
  last = cipher_text[N - 1];
}

[[gnu::target("aes,sse4.1")]] void decrypt_cbc(const key_state& key, const u8 iv[16], const u8* in,
                                               u8* out, std::size_t chain_blocks,
                                               std::size_t chains) {
  const std::size_t blocks = chain_blocks * chains;
  if (blocks == 0) return;
  const schedule s = load_schedule(key);
  const reg start = load_block(iv);
  cbc_chain_starts starts(chain_blocks);
  reg last = start;  // not used: the first block starts a chain
  constexpr std::size_t batch = BATCH_REGS * LANES;
  std::size_t i = 0;
  for (; i + batch <= blocks; i += batch) {
    decrypt_cbc_batch<BATCH_REGS>(s, start, starts.next(batch), last, in + 16 * i, out + 16 * i,
                                  batch);
  }
  for (; i < blocks; i += LANES) {
    const std::size_t n = std::min(blocks - i, LANES);
    decrypt_cbc_batch<1>(s, start, starts.next(n), last, in + 16 * i, out + 16 * i, n);
  }
}

// SubWord in the AES unit: with the word in all four columns ShiftRows moves nothing, so
// AESENCLAST with a zero round key leaves SubBytes alone.
[[gnu::target("aes,sse4.1")]] std::uint32_t sub_word(std::uint32_t w) {
  const reg state = _mm_set1_epi32(static_cast<int>(w));
  return static_cast<std::uint32_t>(
      _mm_cvtsi128_si32(_mm_aesenclast_si128(state, _mm_setzero_si128())));
}

}  // namespace

// FIPS-197 KeyExpansion on words that hold their first byte lowest, as x86-64 loads them. The
// branches and the round-constant index depend only on the word's position.
[[gnu::target("aes,sse4.1")]] void aes_ni_expand_key(const u8* key_bytes, u8 round_keys[15][16],
                                                     int rounds) {
  const int nk = rounds - 6, total = 4 * (rounds + 1);
  std::uint32_t w[60];
  std::memcpy(w, key_bytes, 4 * static_cast<std::size_t>(nk));
  for (int i = nk; i < total; ++i) {
    std::uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = sub_word(std::rotr(t, 8)) ^ aes_tables.rcon[i / nk - 1];  // RotWord, SubWord, Rcon
    } else if (nk == 8 && i % nk == 4) {
      t = sub_word(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  std::memcpy(round_keys, w, 4 * static_cast<std::size_t>(total));
}

[[gnu::target("aes,sse4.1")]] void aes_ni_invert_round_keys(u8 round_keys[15][16], int rounds) {
  for (int r = 1; r < rounds; ++r) {
    store_block(round_keys[r], _mm_aesimc_si128(load_block(round_keys[r])));
  }
}

const aes_impl aes_ni_impl = {"aes_ni",    aes_ni_expand_key, aes_ni_invert_round_keys,
                              encrypt_ecb, decrypt_ecb,       encrypt_cbc,
                              decrypt_cbc};

}  // namespace vurn

#endif
