// Internal: the implementations of the block work behind the cipher interface, and the choice
// between them. The table-driven core (aes.cpp) is the portable one and the reference; on x86-64
// the AES instructions take over where the processor and the operating system support them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cipher/cipher.h"

namespace vurn {

// The block work of one implementation. Each routine takes whole 16-byte blocks and a key record
// of the right direction (encryption round keys for the encrypt routines, converted ones for the
// decrypt routines); in and out may be the same buffer but must not otherwise overlap.
struct aes_impl {
  const char* name;
  // out[i] = E(in[i]), or D(in[i]), for i < blocks.
  void (*encrypt_ecb)(const key_state& key, const std::uint8_t* in, std::uint8_t* out,
                      std::size_t blocks);
  void (*decrypt_ecb)(const key_state& key, const std::uint8_t* in, std::uint8_t* out,
                      std::size_t blocks);
  // CBC over `chains` runs of chain_blocks blocks each, laid out one after the other; every run
  // starts from iv. One run is ordinary CBC; many short runs are the container's chunks.
  void (*encrypt_cbc)(const key_state& key, const std::uint8_t iv[16], const std::uint8_t* in,
                      std::uint8_t* out, std::size_t chain_blocks, std::size_t chains);
  void (*decrypt_cbc)(const key_state& key, const std::uint8_t iv[16], const std::uint8_t* in,
                      std::uint8_t* out, std::size_t chain_blocks, std::size_t chains);
};

enum class aes_impl_id { portable, aes_ni, vaes_avx2, vaes_avx512 };
inline constexpr aes_impl_id all_aes_impls[] = {aes_impl_id::portable, aes_impl_id::aes_ni,
                                                aes_impl_id::vaes_avx2, aes_impl_id::vaes_avx512};

// The name of an implementation ("portable", "aes_ni", "vaes_avx2", "vaes_avx512").
const char* aes_impl_name(aes_impl_id id);

// The implementation, or nullptr when this processor or operating system cannot run it.
const aes_impl* find_aes_impl(aes_impl_id id);

// Makes every later cipher call in the process use the given implementation (for tests and
// benchmarks). Returns false and changes nothing when it is not available here.
bool select_aes_impl(aes_impl_id id);

// The implementation the cipher routines use: the one selected, or else the fastest available,
// chosen at the first call.
const aes_impl& active_aes_impl();

// The implementations themselves; the hardware ones exist on x86-64 only.
extern const aes_impl portable_aes_impl;
#if defined(__x86_64__)
extern const aes_impl aes_ni_impl, vaes_avx2_impl, vaes_avx512_impl;
#endif

// CBC decryption needs, for every block, the ciphertext block before it, or the IV where a chain
// starts. This keeps that across the batches of a decryption: fill() copies the chaining values
// of the next n blocks of in into a scratch area before any of them is overwritten, which keeps
// in-place decryption safe.
struct cbc_chain_values {
  const std::uint8_t* iv;
  std::size_t chain_blocks;
  std::size_t position = 0;    // of the next block within its chain
  std::uint8_t last[16] = {};  // the last ciphertext block seen

  void fill(std::uint8_t* values, const std::uint8_t* in, std::size_t n) {
    if (n == 0) return;
    std::memcpy(values, last, 16);
    std::memcpy(values + 16, in, 16 * (n - 1));
    for (std::size_t k = (chain_blocks - position) % chain_blocks; k < n; k += chain_blocks) {
      std::memcpy(values + 16 * k, iv, 16);
    }
    std::memcpy(last, in + 16 * (n - 1), 16);
    position = (position + n) % chain_blocks;
  }
};

}  // namespace vurn
