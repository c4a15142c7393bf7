// AES with the AES-NI instructions: one block per register, eight independent blocks (or eight CBC
// chains) in flight so that the AES unit's pipeline stays full; and the key set-up that every x86
// implementation uses.
#include "aes_target.h"

#if defined(VURN_AES_X86)
#include <immintrin.h>

VURN_TARGET_BEGIN("aes,sse4.1")
#include "aes_x86.h"

namespace vurn {

struct ni_layer : layer_shape<1, 8, 8>, sse_block {
  using reg = __m128i;

  static reg xor_regs(reg a, reg b) { return _mm_xor_si128(a, b); }
  static reg enc_round(reg x, reg k) { return _mm_aesenc_si128(x, k); }
  static reg enc_last(reg x, reg k) { return _mm_aesenclast_si128(x, k); }
  static reg dec_round(reg x, reg k) { return _mm_aesdec_si128(x, k); }
  static reg dec_last(reg x, reg k) { return _mm_aesdeclast_si128(x, k); }

  // SubWord: with the word in all four columns ShiftRows moves nothing, so AESENCLAST with a zero
  // round key leaves SubBytes alone.
  static std::uint32_t sub_word(std::uint32_t w) {
    const reg state = _mm_set1_epi32(static_cast<int>(w));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_aesenclast_si128(state, reg{})));
  }
  static reg inv_mix_columns(reg v) { return _mm_aesimc_si128(v); }
};

void aes_ni_expand_key(const u8* key_bytes, u8 round_keys[15][16], int rounds) {
  expand_key<ni_layer>(key_bytes, round_keys, rounds);
}

void aes_ni_invert_round_keys(u8 round_keys[15][16], int rounds) {
  invert_round_keys<ni_layer>(round_keys, rounds);
}

const aes_impl aes_ni_impl = layer_impl<ni_layer>(aes_ni_expand_key, aes_ni_invert_round_keys);

}  // namespace vurn

VURN_TARGET_END
#endif
