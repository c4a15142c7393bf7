// Internal: the table-driven AES core (FIPS-197), the tests' reference. Its lookups are indexed by
// key and data bytes, so it is not constant-time: the dispatch never chooses it, the
// constant-time implementations do not include it, and the library does not export it. These
// routines trust their arguments; the cipher interface in <vurn/cipher.h> validates them.
#pragma once

#include <cstdint>

#include "aes_key_schedule.h"

namespace vurn {

// The static tables of the table-driven rounds, one contiguous read-only block in this order, built
// at compile time from the S-box and the MixColumns / InvMixColumns matrices over GF(2^8).
// A column word holds row i of the column in bits 8i..8i+7, whatever the host's byte order.
struct aes_table_set {
  std::uint8_t sbox[256];
  // enc[0][x] is the column (02*S[x], S[x], S[x], 03*S[x]); enc[r] moves its rows r places down.
  std::uint32_t enc[4][256];
  // dec[0][x] is the column (0e, 09, 0d, 0b) * InvS[x]; dec[r] likewise.
  std::uint32_t dec[4][256];
  std::uint8_t inv_sbox[256];
  // key_conv[0][b] is the column (0e, 09, 0d, 0b) * b, InvMixColumns of (b, 0, 0, 0).
  std::uint32_t key_conv[4][256];
};

extern const aes_table_set aes_tables;

// Expands a key of (rounds - 6) * 4 bytes into rounds + 1 round keys, round key 0 first.
// rounds is 10, 12 or 14.
void table_expand_key(const std::uint8_t* key_bytes, std::uint8_t round_keys[15][16], int rounds);

// Converts an expanded encryption key in place for the equivalent inverse cipher: round keys
// 1 .. rounds-1 become InvMixColumns of themselves; the order is not reversed.
void table_invert_round_keys(std::uint8_t round_keys[15][16], int rounds);

// Encrypts one 16-byte block. in and out may be the same block.
void table_encrypt_block(const std::uint8_t in[16], std::uint8_t out[16],
                         const std::uint8_t round_keys[15][16], int rounds);

// Decrypts one 16-byte block with round keys converted by table_invert_round_keys.
// in and out may be the same block.
void table_decrypt_block(const std::uint8_t in[16], std::uint8_t out[16],
                         const std::uint8_t round_keys[15][16], int rounds);

}  // namespace vurn
