// AES with the vector AES instructions on 256-bit registers (AVX2): two blocks per instruction,
// eight registers (16 blocks, or 16 CBC chains) in flight; key set-up is that of aes_ni.cpp.
// Constant-time: no table lookups and no branches on the key or the data.
#include "aes_impl.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>

namespace vurn {
namespace {

using u8 = std::uint8_t;
using reg = __m256i;
constexpr std::size_t LANES = 2;       // blocks per register
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

[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline __m128i load_block(const u8* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void store_block(u8* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline schedule load_schedule(
    const key_state& key) {
  schedule s{};
  s.rounds = key.rounds;
  for (int r = 0; r <= key.rounds; ++r)
    s.k[r] = _mm256_broadcastsi128_si256(load_block(key.round_keys[r]));
  return s;
}

// Lane l holds the block at p + l * stride for l < count; the lanes past count are zero.
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline reg gather(const u8* p,
                                                                       std::size_t stride,
                                                                       std::size_t count) {
  if (stride == 16 && count == LANES) return _mm256_loadu_si256(reinterpret_cast<const reg*>(p));
  if (count == 0) return _mm256_setzero_si256();
  const reg low = _mm256_zextsi128_si256(load_block(p));
  return count > 1 ? _mm256_inserti128_si256(low, load_block(p + stride), 1) : low;
}

// Stores lanes 0 .. count-1 to p + l * stride.
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void scatter(u8* p, std::size_t stride,
                                                                         std::size_t count, reg v) {
  if (stride == 16 && count == LANES) {
    _mm256_storeu_si256(reinterpret_cast<reg*>(p), v);
    return;
  }
  if (count > 0) store_block(p, _mm256_castsi256_si128(v));
  if (count > 1) store_block(p + stride, _mm256_extracti128_si256(v, 1));
}

template <std::size_t N>
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void encrypt_regs(const schedule& s,
                                                                              reg (&x)[N]) {
  for (reg& v : x) v = _mm256_xor_si256(v, s.k[0]);
  for (int r = 1; r < s.rounds; ++r) {
    for (reg& v : x) v = _mm256_aesenc_epi128(v, s.k[r]);
  }
  for (reg& v : x) v = _mm256_aesenclast_epi128(v, s.k[s.rounds]);
}

template <std::size_t N>
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void decrypt_regs(const schedule& s,
                                                                              reg (&x)[N]) {
  for (reg& v : x) v = _mm256_xor_si256(v, s.k[s.rounds]);
  for (int r = s.rounds - 1; r > 0; --r) {
    for (reg& v : x) v = _mm256_aesdec_epi128(v, s.k[r]);
  }
  for (reg& v : x) v = _mm256_aesdeclast_epi128(v, s.k[0]);
}

// ECB over count <= N * LANES consecutive blocks.
template <std::size_t N, bool Decrypt>
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void ecb_batch(const schedule& s,
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
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void ecb(const key_state& key,
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

[[gnu::target("aes,vaes,avx2")]] void encrypt_ecb(const key_state& key, const u8* in, u8* out,
                                                  std::size_t blocks) {
  ecb<false>(key, in, out, blocks);
}

[[gnu::target("aes,vaes,avx2")]] void decrypt_ecb(const key_state& key, const u8* in, u8* out,
                                                  std::size_t blocks) {
  ecb<true>(key, in, out, blocks);
}

// CBC encryption of count <= N * LANES consecutive chains side by side: lane l of register j
// carries chain LANES * j + l, and block b of every chain goes through the cipher in one step.
template <std::size_t N>
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void encrypt_chains(
    const schedule& s, reg iv, const u8* in, u8* out, std::size_t chain_blocks, std::size_t count) {
  const std::size_t stride = 16 * chain_blocks;
  reg x[N];
  for (reg& v : x) v = iv;
  for (std::size_t b = 0; b < chain_blocks; ++b, in += 16, out += 16) {
    for (std::size_t j = 0; j < N; ++j) {
      x[j] = _mm256_xor_si256(x[j], gather(in + stride * LANES * j, stride, lanes_in(count, j)));
    }
    encrypt_regs(s, x);
    for (std::size_t j = 0; j < N; ++j) {
      scatter(out + stride * LANES * j, stride, lanes_in(count, j), x[j]);
    }
  }
}

// Chains of two blocks, the container's 256-bit chunks, are common enough to load whole: a pair of
// registers holds LANES such chains, and regrouping their lanes puts the first blocks of the
// chains in one register and their second blocks in the other.
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void split_pairs(reg a, reg b,
                                                                             reg* first,
                                                                             reg* second) {
  *first = _mm256_permute2x128_si256(a, b, 0x20);   // lanes a0 b0
  *second = _mm256_permute2x128_si256(a, b, 0x31);  // lanes a1 b1
}

[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void join_pairs(reg first, reg second,
                                                                            reg* a, reg* b) {
  *a = _mm256_permute2x128_si256(first, second, 0x20);
  *b = _mm256_permute2x128_si256(first, second, 0x31);
}

[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline reg load_whole(const u8* p) {
  return _mm256_loadu_si256(reinterpret_cast<const reg*>(p));
}

[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void store_whole(u8* p, reg v) {
  _mm256_storeu_si256(reinterpret_cast<reg*>(p), v);
}

// CBC encryption of N * LANES consecutive two-block chains side by side.
template <std::size_t N>
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void encrypt_pairs(const schedule& s,
                                                                               reg iv, const u8* in,
                                                                               u8* out) {
  constexpr std::size_t pair_octets = 2 * 16 * LANES;
  reg first[N], second[N];
  for (std::size_t j = 0; j < N; ++j) {
    split_pairs(load_whole(in + pair_octets * j), load_whole(in + pair_octets * j + 16 * LANES),
                &first[j], &second[j]);
    first[j] = _mm256_xor_si256(first[j], iv);
  }
  encrypt_regs(s, first);
  for (std::size_t j = 0; j < N; ++j) second[j] = _mm256_xor_si256(second[j], first[j]);
  encrypt_regs(s, second);
  for (std::size_t j = 0; j < N; ++j) {
    reg a, b;
    join_pairs(first[j], second[j], &a, &b);
    store_whole(out + pair_octets * j, a);
    store_whole(out + pair_octets * j + 16 * LANES, b);
  }
}

[[gnu::target("aes,vaes,avx2")]] void encrypt_cbc(const key_state& key, const u8 iv[16],
                                                  const u8* in, u8* out, std::size_t chain_blocks,
                                                  std::size_t chains) {
  const schedule s = load_schedule(key);
  const reg start = _mm256_broadcastsi128_si256(load_block(iv));
  const std::size_t stride = 16 * chain_blocks;
  constexpr std::size_t group = CHAIN_REGS * LANES;
  std::size_t c = 0;
  if (chain_blocks == 2) {
    for (; c + group <= chains; c += group) {
      encrypt_pairs<CHAIN_REGS>(s, start, in + stride * c, out + stride * c);
    }
  }
  for (; c + group <= chains; c += group) {
    encrypt_chains<CHAIN_REGS>(s, start, in + stride * c, out + stride * c, chain_blocks, group);
  }
  for (; c < chains; c += LANES) {
    encrypt_chains<1>(s, start, in + stride * c, out + stride * c, chain_blocks,
                      std::min(chains - c, LANES));
  }
}

// The blocks before those of `blocks`: the high lane of `before`, then the low lane of blocks.
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline reg preceding(reg blocks, reg before) {
  return _mm256_permute2x128_si256(before, blocks, 0x21);
}

// `values` with lane l replaced by the same lane of iv where bit l of starts is set.
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline reg with_iv_at(std::uint64_t starts,
                                                                           reg iv, reg values) {
  switch (starts & 3) {
    case 0:
      return values;
    case 1:
      return _mm256_blend_epi32(values, iv, 0x0f);
    case 2:
      return _mm256_blend_epi32(values, iv, 0xf0);
    default:
      return iv;
  }
}

// CBC decryption of count <= N * LANES consecutive blocks, whatever chains they belong to: each
// decrypted block is XORed with the ciphertext block before it (the last lane of
// `last` for the first) or, where bit k of starts marks block k as the start of a chain, with the
// IV. `last` leaves holding the batch's last register of ciphertext; only a final batch may be
// partial.
template <std::size_t N>
[[gnu::target("aes,vaes,avx2"), gnu::always_inline]] inline void decrypt_cbc_batch(
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
    scatter(out + 16 * LANES * j, 16, lanes_in(count, j), _mm256_xor_si256(x[j], chain));
  }
  last = cipher_text[N - 1];
}

[[gnu::target("aes,vaes,avx2")]] void decrypt_cbc(const key_state& key, const u8 iv[16],
                                                  const u8* in, u8* out, std::size_t chain_blocks,
                                                  std::size_t chains) {
  const std::size_t blocks = chain_blocks * chains;
  if (blocks == 0) return;
  const schedule s = load_schedule(key);
  const reg start = _mm256_broadcastsi128_si256(load_block(iv));
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

}  // namespace

const aes_impl vaes_avx2_impl = {"vaes_avx2", aes_ni_expand_key, aes_ni_invert_round_keys,
                                 encrypt_ecb, decrypt_ecb,       encrypt_cbc,
                                 decrypt_cbc};

}  // namespace vurn

#endif
