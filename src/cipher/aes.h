// AES block core (FIPS-197): key schedule, key conversion for the equivalent inverse cipher, and
// one-block encryption and decryption. These routines trust their arguments; the cipher interface
// in cipher.h validates them.
#pragma once

#include <cstdint>

namespace vurn {

// Expands a key of (rounds - 6) * 4 bytes into rounds + 1 round keys, round key 0 first.
// rounds is 10, 12 or 14.
void aes_expand_key(const std::uint8_t* key_bytes, std::uint8_t round_keys[15][16], int rounds);

// Converts an expanded encryption key in place for the equivalent inverse cipher: round keys
// 1 .. rounds-1 become InvMixColumns of themselves; the order is not reversed.
void aes_invert_round_keys(std::uint8_t round_keys[15][16], int rounds);

// Encrypts one 16-byte block. in and out may be the same block.
void aes_encrypt_block(const std::uint8_t in[16], std::uint8_t out[16],
                       const std::uint8_t round_keys[15][16], int rounds);

// Decrypts one 16-byte block with round keys converted by aes_invert_round_keys.
// in and out may be the same block.
void aes_decrypt_block(const std::uint8_t in[16], std::uint8_t out[16],
                       const std::uint8_t round_keys[15][16], int rounds);

}  // namespace vurn
