// Constant-time AES block routines (FIPS-197): key expansion, key conversion for the equivalent
// inverse cipher, and one-block encryption and decryption, on the same implementation as the
// cipher routines of cipher.h (the processor's AES instructions, or else bitsliced AES); no
// memory access or branch depends on the key or the data. A rounds other than 10, 12 or 14 does
// nothing; the other arguments are trusted (cipher.h validates its own).
#pragma once

#include <cstdint>

#include "export.h"

namespace vurn {

// Expands a key of (rounds - 6) * 4 bytes into rounds + 1 round keys, round key 0 first.
VURN_API void aes_expand_key(const std::uint8_t* key_bytes, std::uint8_t round_keys[15][16],
                             int rounds);

// Converts an expanded encryption key in place for the equivalent inverse cipher: round keys
// 1 .. rounds-1 become InvMixColumns of themselves; the order is not reversed.
VURN_API void aes_invert_round_keys(std::uint8_t round_keys[15][16], int rounds);

// Encrypts one 16-byte block. in and out may be the same block.
VURN_API void aes_encrypt_block(const std::uint8_t in[16], std::uint8_t out[16],
                                const std::uint8_t round_keys[15][16], int rounds);

// Decrypts one 16-byte block with round keys converted by aes_invert_round_keys.
// in and out may be the same block.
VURN_API void aes_decrypt_block(const std::uint8_t in[16], std::uint8_t out[16],
                                const std::uint8_t round_keys[15][16], int rounds);

}  // namespace vurn
