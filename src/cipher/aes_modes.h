// The mode work of the hardware implementations, written once over an instruction-set layer L.
// A layer derives its counts from layer_shape, and gives its register type `reg` and:
//   load(p), store(p, v)            LANES consecutive blocks
//   xor_regs(a, b)                  the layer's XOR instruction (which, unlike the ^ of the vector
//                                   types, keeps the compilers from regrouping a chain of XORs,
//                                   to the cost of registers)
//   enc_round, enc_last, dec_round, dec_last (x, round key), and optionally enc_first, dec_first:
//                                   the round steps; a missing first step is AddRoundKey
//   sub_word(w), inv_mix_columns(v) for the key set-up (128-bit layers)
// and, with more than one lane:
//   broadcast(block)                the block in every lane
//   load_lanes(p, stride, count), store_lanes(p, stride, count, v)
//                                   lanes l < count at p + l * stride; the lanes past count zero
//   preceding(blocks, before)       the last lane of before, then lanes 0 .. LANES-2 of blocks
//   with_iv_at(starts, iv, values)  values with lane l taken from iv where bit l of starts is set
//   split_pairs(a, b, first, second), join_pairs(first, second, a, b)
//                                   a and b hold LANES two-block chains; first and second hold
//                                   their first and their second blocks (the arguments may alias)
// Include it only between VURN_TARGET_BEGIN and VURN_TARGET_END, after aes_target.h, so that all
// of it is compiled for the layer's instructions. Constant-time: no table lookups, and no branch
// on the key or the data (the chain starts depend only on the lengths).
#pragma once

#include "aes_target.h"

namespace vurn {
namespace {

using u8 = std::uint8_t;

// A layer's registers: LANES blocks in one; BATCH_REGS registers in flight for independent
// blocks, CHAIN_REGS for CBC encryption chains side by side. (The register type itself is the
// layer's own: as a template argument it would lose its attributes.)
template <std::size_t Lanes, std::size_t BatchRegs, std::size_t ChainRegs>
struct layer_shape {
  static constexpr std::size_t LANES = Lanes, BATCH_REGS = BatchRegs, CHAIN_REGS = ChainRegs;
};

template <class L>
struct schedule {
  typename L::reg k[15];
  int rounds;
};

template <class L>
[[gnu::always_inline]] inline typename L::reg broadcast(const u8* block) {
  if constexpr (L::LANES == 1) {
    return L::load(block);
  } else {
    return L::broadcast(block);
  }
}

template <class L>
[[gnu::always_inline]] inline schedule<L> load_schedule(const key_state& key) {
  schedule<L> s{};
  s.rounds = key.rounds;
  for (int r = 0; r <= key.rounds; ++r) s.k[r] = broadcast<L>(key.round_keys[r]);
  return s;
}

// The blocks of register j of a batch that count holds: LANES, fewer in the last one, or none.
template <class L>
constexpr std::size_t lanes_in(std::size_t count, std::size_t j) {
  constexpr std::size_t lanes = L::LANES;
  return count <= lanes * j ? 0 : count - lanes * j < lanes ? count - lanes * j : lanes;
}

template <class L>
[[gnu::always_inline]] inline typename L::reg gather(const u8* p, std::size_t stride,
                                                     std::size_t count) {
  if (count == L::LANES && (stride == 16 || L::LANES == 1)) return L::load(p);
  if constexpr (L::LANES == 1) {
    return typename L::reg{};
  } else {
    return L::load_lanes(p, stride, count);
  }
}

template <class L>
[[gnu::always_inline]] inline void scatter(u8* p, std::size_t stride, std::size_t count,
                                           typename L::reg v) {
  if (count == L::LANES && (stride == 16 || L::LANES == 1)) {
    L::store(p, v);
  } else if constexpr (L::LANES > 1) {
    L::store_lanes(p, stride, count, v);
  }
}

// N registers through all the rounds; decryption runs the equivalent inverse cipher, round keys
// from last to first (counting down, as GCC then takes them from memory and leaves the registers
// to the blocks).
template <class L, bool Decrypt, std::size_t N>
[[gnu::always_inline]] inline void run_rounds(const schedule<L>& s, typename L::reg (&x)[N]) {
  const int first = Decrypt ? s.rounds : 0, last = Decrypt ? 0 : s.rounds;
  for (auto& v : x) {
    if constexpr (Decrypt && requires { L::dec_first(v, v); }) {
      v = L::dec_first(v, s.k[first]);
    } else if constexpr (!Decrypt && requires { L::enc_first(v, v); }) {
      v = L::enc_first(v, s.k[first]);
    } else {
      v = L::xor_regs(v, s.k[first]);
    }
  }
  if constexpr (Decrypt) {
    for (int r = s.rounds - 1; r > 0; --r) {
      for (auto& v : x) v = L::dec_round(v, s.k[r]);
    }
  } else {
    for (int r = 1; r < s.rounds; ++r) {
      for (auto& v : x) v = L::enc_round(v, s.k[r]);
    }
  }
  for (auto& v : x) v = Decrypt ? L::dec_last(v, s.k[last]) : L::enc_last(v, s.k[last]);
}

// ECB over count <= N * LANES consecutive blocks.
template <class L, bool Decrypt, std::size_t N>
[[gnu::always_inline]] inline void ecb_batch(const schedule<L>& s, const u8* in, u8* out,
                                             std::size_t count) {
  typename L::reg x[N];
  for (std::size_t j = 0; j < N; ++j)
    x[j] = gather<L>(in + 16 * L::LANES * j, 16, lanes_in<L>(count, j));
  run_rounds<L, Decrypt>(s, x);
  for (std::size_t j = 0; j < N; ++j)
    scatter<L>(out + 16 * L::LANES * j, 16, lanes_in<L>(count, j), x[j]);
}

template <class L, bool Decrypt>
void ecb(const key_state& key, const u8* in, u8* out, std::size_t blocks) {
  const schedule<L> s = load_schedule<L>(key);
  constexpr std::size_t batch = L::BATCH_REGS * L::LANES;
  std::size_t i = 0;
  for (; i + batch <= blocks; i += batch) {
    ecb_batch<L, Decrypt, L::BATCH_REGS>(s, in + 16 * i, out + 16 * i, batch);
  }
  for (; i < blocks; i += L::LANES) {
    ecb_batch<L, Decrypt, 1>(s, in + 16 * i, out + 16 * i, blocks - i);
  }
}

// CBC encryption of count <= N * LANES consecutive chains side by side: lane l of register j
// carries chain LANES * j + l, and block b of every chain goes through the cipher in one step.
template <class L, std::size_t N>
[[gnu::always_inline]] inline void encrypt_chains(const schedule<L>& s, typename L::reg iv,
                                                  const u8* in, u8* out, std::size_t chain_blocks,
                                                  std::size_t count) {
  const std::size_t stride = 16 * chain_blocks, reg_stride = stride * L::LANES;
  typename L::reg x[N];
  for (auto& v : x) v = iv;
  for (std::size_t b = 0; b < chain_blocks; ++b, in += 16, out += 16) {
    for (std::size_t j = 0; j < N; ++j) {
      x[j] = L::xor_regs(x[j], gather<L>(in + reg_stride * j, stride, lanes_in<L>(count, j)));
    }
    run_rounds<L, false>(s, x);
    for (std::size_t j = 0; j < N; ++j)
      scatter<L>(out + reg_stride * j, stride, lanes_in<L>(count, j), x[j]);
  }
}

// Chains of two blocks, the container's 256-bit chunks, are common enough to load whole: a pair of
// registers holds LANES such chains, regrouped so that one register has their first blocks and the
// other their second. With one lane there is nothing to regroup, and the chains path does the same
// work (with this path in the same function GCC gave AES-NI's one-block chains fewer registers).
// This is CBC encryption of N * LANES consecutive two-block chains side by side.
template <class L, std::size_t N>
[[gnu::always_inline]] inline void encrypt_pairs(const schedule<L>& s, typename L::reg iv,
                                                 const u8* in, u8* out) {
  constexpr std::size_t reg_octets = 16 * L::LANES;
  typename L::reg first[N], second[N];
  for (std::size_t j = 0; j < N; ++j) {
    first[j] = L::load(in + 2 * reg_octets * j);
    second[j] = L::load(in + 2 * reg_octets * j + reg_octets);
    L::split_pairs(first[j], second[j], first[j], second[j]);
    first[j] = L::xor_regs(first[j], iv);
  }
  run_rounds<L, false>(s, first);
  for (std::size_t j = 0; j < N; ++j) second[j] = L::xor_regs(second[j], first[j]);
  run_rounds<L, false>(s, second);
  for (std::size_t j = 0; j < N; ++j) {
    L::join_pairs(first[j], second[j], first[j], second[j]);
    L::store(out + 2 * reg_octets * j, first[j]);
    L::store(out + 2 * reg_octets * j + reg_octets, second[j]);
  }
}

template <class L>
void encrypt_cbc(const key_state& key, const u8 iv[16], const u8* in, u8* out,
                 std::size_t chain_blocks, std::size_t chains) {
  const schedule<L> s = load_schedule<L>(key);
  const typename L::reg start = broadcast<L>(iv);
  const std::size_t stride = 16 * chain_blocks;
  constexpr std::size_t group = L::CHAIN_REGS * L::LANES;
  std::size_t c = 0;
  if constexpr (L::LANES > 1) {
    for (; chain_blocks == 2 && c + group <= chains; c += group) {
      encrypt_pairs<L, L::CHAIN_REGS>(s, start, in + stride * c, out + stride * c);
    }
  }
  for (; c + group <= chains; c += group) {
    encrypt_chains<L, L::CHAIN_REGS>(s, start, in + stride * c, out + stride * c, chain_blocks,
                                     group);
  }
  for (; c < chains; c += L::LANES) {
    encrypt_chains<L, 1>(s, start, in + stride * c, out + stride * c, chain_blocks, chains - c);
  }
}

// The block before each of those in `blocks`, where `before` holds the blocks just before them.
template <class L>
[[gnu::always_inline]] inline typename L::reg preceding(typename L::reg blocks,
                                                        typename L::reg before) {
  if constexpr (L::LANES == 1) {
    return before;
  } else {
    return L::preceding(blocks, before);
  }
}

template <class L>
[[gnu::always_inline]] inline typename L::reg with_iv_at(std::uint64_t starts, typename L::reg iv,
                                                         typename L::reg values) {
  if constexpr (L::LANES == 1) {
    return (starts & 1) != 0 ? iv : values;
  } else {
    return L::with_iv_at(starts, iv, values);
  }
}

// CBC decryption of count <= N * LANES consecutive blocks, whatever chains they belong to: each
// decrypted block is XORed with the ciphertext block before it (the last lane of `last` for the
// first) or, where bit k of starts marks block k as the start of a chain, with the IV. `last`
// leaves holding the batch's last register of ciphertext; only a final batch may be partial.
template <class L, std::size_t N>
[[gnu::always_inline]] inline void decrypt_cbc_batch(const schedule<L>& s, typename L::reg iv,
                                                     std::uint64_t starts, typename L::reg& last,
                                                     const u8* in, u8* out, std::size_t count) {
  typename L::reg cipher_text[N], x[N];
  for (std::size_t j = 0; j < N; ++j) {
    cipher_text[j] = x[j] = gather<L>(in + 16 * L::LANES * j, 16, lanes_in<L>(count, j));
  }
  run_rounds<L, true>(s, x);
  for (std::size_t j = 0; j < N; ++j) {
    const auto before = preceding<L>(cipher_text[j], j == 0 ? last : cipher_text[j - 1]);
    const auto chain = with_iv_at<L>(starts >> (L::LANES * j), iv, before);
    scatter<L>(out + 16 * L::LANES * j, 16, lanes_in<L>(count, j), L::xor_regs(x[j], chain));
  }
  last = cipher_text[N - 1];
}

template <class L>
void decrypt_cbc(const key_state& key, const u8 iv[16], const u8* in, u8* out,
                 std::size_t chain_blocks, std::size_t chains) {
  const std::size_t blocks = chain_blocks * chains;
  if (blocks == 0) return;
  const schedule<L> s = load_schedule<L>(key);
  const typename L::reg start = broadcast<L>(iv);
  cbc_chain_starts starts(chain_blocks);
  typename L::reg last = start;  // not used: the first block starts a chain
  constexpr std::size_t batch = L::BATCH_REGS * L::LANES;
  std::size_t i = 0;
  for (; i + batch <= blocks; i += batch) {
    decrypt_cbc_batch<L, L::BATCH_REGS>(s, start, starts.next(batch), last, in + 16 * i,
                                        out + 16 * i, batch);
  }
  for (; i < blocks; i += L::LANES) {
    const std::size_t n = blocks - i < L::LANES ? blocks - i : L::LANES;
    decrypt_cbc_batch<L, 1>(s, start, starts.next(n), last, in + 16 * i, out + 16 * i, n);
  }
}

// Key set-up in the AES unit, so that no memory access depends on the key either.
template <class L>
void expand_key(const u8* key_bytes, u8 round_keys[15][16], int rounds) {
  aes_expand_key_with([](std::uint32_t w) { return L::sub_word(w); }, key_bytes, round_keys,
                      rounds);
}

template <class L>
void invert_round_keys(u8 round_keys[15][16], int rounds) {
  for (int r = 1; r < rounds; ++r)
    L::store(round_keys[r], L::inv_mix_columns(L::load(round_keys[r])));
}

// The block work of a layer, with the given key set-up.
template <class L>
constexpr aes_impl layer_impl(decltype(aes_impl::expand_key) expand,
                              decltype(aes_impl::invert_round_keys) invert) {
  return {expand, invert, ecb<L, false>, ecb<L, true>, encrypt_cbc<L>, decrypt_cbc<L>};
}

}  // namespace
}  // namespace vurn
