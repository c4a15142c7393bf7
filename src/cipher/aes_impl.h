// Internal: the implementations of the block work behind the cipher interface, and the choice
// between them. The table-driven core (aes_core.h) is the reference; the bitsliced one runs on any
// processor in constant time, and on x86-64 and on ARMv8 the AES instructions take over where the
// processor and the operating system support them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <vurn/cipher.h>

namespace vurn {

// The key set-up and block work of one implementation. The key routines have the contracts of
// table_expand_key and table_invert_round_keys (aes_core.h) and give byte-identical round keys.
// Each block routine takes whole 16-byte blocks (any number, none included) and a key record of the
// right direction (encryption round keys for the encrypt routines, converted ones for the decrypt
// routines); in and out may be the same buffer but must not otherwise overlap.
struct aes_impl {
  void (*expand_key)(const std::uint8_t* key_bytes, std::uint8_t round_keys[15][16], int rounds);
  void (*invert_round_keys)(std::uint8_t round_keys[15][16], int rounds);
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

enum class aes_impl_id { table, bitsliced, aes_ni, vaes_avx2, vaes_avx512, armv8 };

// The implementations this build has (whether or not this processor can run them), in the order
// of preference, fastest first; the bitsliced and the table ones come last and run everywhere; the
// table one is never chosen, as it is not constant-time.
std::span<const aes_impl_id> all_aes_impls();

// The name of an implementation, as the dispatch table gives it, or "unknown" for one this build
// does not have.
const char* aes_impl_name(aes_impl_id id);

// The implementation, or nullptr when this build, processor or operating system cannot run it.
const aes_impl* find_aes_impl(aes_impl_id id);

// Makes every later cipher call in the process use the given implementation (for tests and
// benchmarks). Returns false and changes nothing when it is not available here.
bool select_aes_impl(aes_impl_id id);

// The implementation the cipher routines use: the one selected, or else the fastest available,
// chosen at the first call.
const aes_impl& active_aes_impl();

// The id of active_aes_impl().
aes_impl_id active_aes_impl_id();

// The implementations themselves. The hardware ones exist where the compiler can target the AES
// instructions function by function: on x86-64, and on little-endian ARMv8 Linux (which reports
// the instructions in the auxiliary vector) with a compiler whose NEON header offers them.
extern const aes_impl table_aes_impl, bitsliced_aes_impl;

// The S-box (SubBytes) and its inverse as the Boolean circuits of the bitsliced implementation:
// planes[b] holds bit b (0 = least significant) of 64 octets, one per bit position of the word.
void bitsliced_sub_bytes(std::uint64_t planes[8]);
void bitsliced_inv_sub_bytes(std::uint64_t planes[8]);
#if defined(__x86_64__)
#define VURN_AES_X86 1
extern const aes_impl aes_ni_impl, vaes_avx2_impl, vaes_avx512_impl;
// The AES-NI key set-up, which the wider x86 implementations share.
void aes_ni_expand_key(const std::uint8_t* key_bytes, std::uint8_t round_keys[15][16], int rounds);
void aes_ni_invert_round_keys(std::uint8_t round_keys[15][16], int rounds);
#endif
#if defined(__aarch64__) && defined(__linux__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && \
    (!defined(__clang__) || defined(__ARM_FEATURE_AES))
#define VURN_AES_ARMV8 1
extern const aes_impl armv8_aes_impl;
#endif

// Where chains start in CBC decryption, which XORs each decrypted block with the ciphertext block
// before it, or with the IV at the start of a chain. next(n) tells which of the next n <= 32
// blocks start a chain (bit k for block k) and moves on past them; chains are at least one block.
// The positions depend only on the lengths, never on the data.
class cbc_chain_starts {
 public:
  explicit cbc_chain_starts(std::size_t chain_blocks) : chain_blocks_(chain_blocks) {
    for (std::size_t k = 0; k < 64; k += chain_blocks) every_chain_ |= std::uint64_t{1} << k;
  }

  std::uint64_t next(std::size_t n) {
    const std::size_t first = (chain_blocks_ - position_) % chain_blocks_;
    position_ = (position_ + n) % chain_blocks_;
    return first < n ? every_chain_ << first & ((std::uint64_t{1} << n) - 1) : 0;
  }

 private:
  std::size_t chain_blocks_;
  std::size_t position_ = 0;       // of the next block within its chain
  std::uint64_t every_chain_ = 0;  // a start every chain_blocks blocks from bit 0
};

}  // namespace vurn
