// Internal: KeyExpansion (FIPS-197 5.2), shared by every implementation, apart from the table
// core. It indexes no table by key bytes: the caller's SubWord decides whether it runs in constant
// time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "clear.h"

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

// The round constants: successive powers of 02 in GF(2^8), beginning with 01; a 128-bit key uses
// all ten.
inline constexpr std::array<std::uint32_t, 10> aes_round_constants = [] {
  std::array<std::uint32_t, 10> rcon{};
  std::uint32_t rc = 1;
  for (std::uint32_t& entry : rcon) {
    entry = rc;
    rc = (rc << 1 ^ ((rc & 0x80) != 0 ? 0x11b : 0)) & 0xff;
  }
  return rcon;
}();

// Expands a key of (rounds - 6) * 4 bytes into rounds + 1 round keys, round key 0 first, with the
// SubWord of the caller's choice (a column word in, one out); rounds is 10, 12 or 14. The branches
// and the round-constant index depend only on the word's position, never on the key.
template <class SubWord>
void aes_expand_key_with(SubWord sub_word, const std::uint8_t* key_bytes,
                         std::uint8_t round_keys[15][16], int rounds) {
  const int nk = rounds - 6, total = 4 * (rounds + 1);
  std::uint32_t w[60];
  const clear_on_exit clear_words{w, sizeof w};
  for (int i = 0; i < nk; ++i) w[i] = load_column(key_bytes + 4 * i);
  for (int i = nk; i < total; ++i) {
    std::uint32_t t = w[i - 1];
    if (i % nk == 0) {
      // RotWord moves each byte up one row.
      t = sub_word(t >> 8 | t << 24) ^ aes_round_constants[static_cast<std::size_t>(i / nk - 1)];
    } else if (nk == 8 && i % nk == 4) {
      t = sub_word(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  for (int i = 0; i < total; ++i) store_column(round_keys[i / 4] + 4 * (i % 4), w[i]);
}

}  // namespace vurn
