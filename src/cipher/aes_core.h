// Internal: the table-driven AES core (FIPS-197), the tests' reference, and the pieces of the key
// schedule every implementation shares. Its lookups are indexed by key and data bytes, so it is
// not constant-time: the dispatch never chooses it, and the library does not export it. These
// routines trust their arguments; the cipher interface in cipher.h validates them.
#pragma once

#include <cstdint>

namespace vurn {

// A column of the state or of a round key as a word: row i in bits 8i..8i+7, whatever the host's
// byte order.
constexpr std::uint32_t load_column(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

constexpr void store_column(std::uint8_t* p, std::uint32_t w) {
  for (int r = 0; r < 4; ++r) p[r] = static_cast<std::uint8_t>(w >> (8 * r));
}

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
  std::uint32_t rcon[30];  // successive powers of 02, beginning with 01
};

extern const aes_table_set aes_tables;

// Expands a key of (rounds - 6) * 4 bytes into rounds + 1 round keys, round key 0 first.
// rounds is 10, 12 or 14.
void table_expand_key(const std::uint8_t* key_bytes, std::uint8_t round_keys[15][16], int rounds);

// KeyExpansion with the SubWord of the caller's choice (a column word in, one out): the table
// core's, or one in the AES unit. The branches and the round-constant index depend only on the
// word's position, never on the key.
template <class SubWord>
void aes_expand_key_with(SubWord sub_word, const std::uint8_t* key_bytes,
                         std::uint8_t round_keys[15][16], int rounds) {
  const int nk = rounds - 6, total = 4 * (rounds + 1);
  std::uint32_t w[60];
  for (int i = 0; i < nk; ++i) w[i] = load_column(key_bytes + 4 * i);
  for (int i = nk; i < total; ++i) {
    std::uint32_t t = w[i - 1];
    if (i % nk == 0) {
      // RotWord moves each byte up one row.
      t = sub_word(t >> 8 | t << 24) ^ aes_tables.rcon[i / nk - 1];
    } else if (nk == 8 && i % nk == 4) {
      t = sub_word(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  for (int i = 0; i < total; ++i) store_column(round_keys[i / 4] + 4 * (i % 4), w[i]);
}

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
