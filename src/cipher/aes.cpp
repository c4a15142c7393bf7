// The one-block routines of aes.h, on the implementation the dispatch chose for the cipher
// routines.
#include <vurn/aes.h>

#include <cstring>

#include "aes_impl.h"
#include "clear.h"

namespace vurn {
namespace {

bool known_rounds(int rounds) {
  return rounds == 10 || rounds == 12 || rounds == 14;
}

// One block through the implementation in use; its block routines take a key record, here one
// holding just the round keys.
void one_block(bool decrypting, const std::uint8_t in[16], std::uint8_t out[16],
               const std::uint8_t round_keys[15][16], int rounds) {
  if (!known_rounds(rounds)) return;
  key_state key{};
  const clear_on_exit clear_key{&key, sizeof key};
  key.rounds = rounds;
  std::memcpy(key.round_keys, round_keys, 16 * static_cast<std::size_t>(rounds + 1));
  const aes_impl& impl = active_aes_impl();
  (decrypting ? impl.decrypt_ecb : impl.encrypt_ecb)(key, in, out, 1);
}

}  // namespace

void aes_expand_key(const std::uint8_t* key_bytes, std::uint8_t round_keys[15][16], int rounds) {
  if (known_rounds(rounds)) active_aes_impl().expand_key(key_bytes, round_keys, rounds);
}

void aes_invert_round_keys(std::uint8_t round_keys[15][16], int rounds) {
  if (known_rounds(rounds)) active_aes_impl().invert_round_keys(round_keys, rounds);
}

void aes_encrypt_block(const std::uint8_t in[16], std::uint8_t out[16],
                       const std::uint8_t round_keys[15][16], int rounds) {
  one_block(false, in, out, round_keys, rounds);
}

void aes_decrypt_block(const std::uint8_t in[16], std::uint8_t out[16],
                       const std::uint8_t round_keys[15][16], int rounds) {
  one_block(true, in, out, round_keys, rounds);
}

}  // namespace vurn
