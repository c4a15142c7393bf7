// Key set-up and block work on the table-driven core (aes_core.h): runs on any processor, and is
// the reference the other implementations are tested against. Its table lookups depend on the key
// and the data, so unlike them it is not constant-time, neither in key set-up nor in the blocks;
// the dispatch never chooses it.
#include <cstring>

#include "aes_core.h"
#include "aes_impl.h"

namespace vurn {
namespace {

using u8 = std::uint8_t;

void xor_block(u8* dst, const u8* a, const u8* b) {
  for (int i = 0; i < 16; ++i) dst[i] = static_cast<u8>(a[i] ^ b[i]);
}

void encrypt_ecb(const key_state& key, const u8* in, u8* out, std::size_t blocks) {
  for (std::size_t i = 0; i < blocks; ++i) {
    table_encrypt_block(in + 16 * i, out + 16 * i, key.round_keys, key.rounds);
  }
}

void decrypt_ecb(const key_state& key, const u8* in, u8* out, std::size_t blocks) {
  for (std::size_t i = 0; i < blocks; ++i) {
    table_decrypt_block(in + 16 * i, out + 16 * i, key.round_keys, key.rounds);
  }
}

void encrypt_cbc(const key_state& key, const u8 iv[16], const u8* in, u8* out,
                 std::size_t chain_blocks, std::size_t chains) {
  u8 chain[16];
  for (std::size_t c = 0; c < chains; ++c) {
    std::memcpy(chain, iv, 16);
    for (std::size_t i = 0; i < chain_blocks; ++i, in += 16, out += 16) {
      xor_block(chain, chain, in);
      table_encrypt_block(chain, chain, key.round_keys, key.rounds);
      std::memcpy(out, chain, 16);
    }
  }
}

// Each ciphertext block is kept before its plaintext is written, so in and out may coincide.
void decrypt_cbc(const key_state& key, const u8 iv[16], const u8* in, u8* out,
                 std::size_t chain_blocks, std::size_t chains) {
  u8 chain[16], cipher_text[16], plain[16];
  for (std::size_t c = 0; c < chains; ++c) {
    std::memcpy(chain, iv, 16);
    for (std::size_t i = 0; i < chain_blocks; ++i, in += 16, out += 16) {
      std::memcpy(cipher_text, in, 16);
      table_decrypt_block(cipher_text, plain, key.round_keys, key.rounds);
      xor_block(out, plain, chain);
      std::memcpy(chain, cipher_text, 16);
    }
  }
}

}  // namespace

const aes_impl table_aes_impl = {
    table_expand_key, table_invert_round_keys, encrypt_ecb, decrypt_ecb, encrypt_cbc, decrypt_cbc};

}  // namespace vurn
