// AES with the ARMv8 Cryptography Extension: one block per register, eight independent blocks (or
// eight CBC chains) in flight. AESE is AddRoundKey, SubBytes and ShiftRows, AESMC MixColumns, so
// a round here is MixColumns of the previous one then AESE with its key, and the cipher ends on
// AddRoundKey; AESD and AESIMC likewise for the equivalent inverse cipher.
#include "aes_target.h"

#if defined(VURN_AES_ARMV8)
#include <arm_neon.h>

#if defined(__clang__)
VURN_TARGET_BEGIN("aes")
#else
VURN_TARGET_BEGIN("+crypto")
#endif
#include "aes_modes.h"

namespace vurn {

struct armv8_layer : layer_shape<1, 8, 8> {
  using reg = uint8x16_t;
  static reg load(const u8* p) { return vld1q_u8(p); }
  static void store(u8* p, reg v) { vst1q_u8(p, v); }
  static reg xor_regs(reg a, reg b) { return veorq_u8(a, b); }

  static reg enc_first(reg x, reg k) { return vaeseq_u8(x, k); }
  static reg enc_round(reg x, reg k) { return vaeseq_u8(vaesmcq_u8(x), k); }
  static reg enc_last(reg x, reg k) { return veorq_u8(x, k); }
  static reg dec_first(reg x, reg k) { return vaesdq_u8(x, k); }
  static reg dec_round(reg x, reg k) { return vaesdq_u8(vaesimcq_u8(x), k); }
  static reg dec_last(reg x, reg k) { return veorq_u8(x, k); }

  // SubWord: with the word in all four columns ShiftRows moves nothing, so AESE with a zero round
  // key leaves SubBytes alone.
  static std::uint32_t sub_word(std::uint32_t w) {
    const reg state = vreinterpretq_u8_u32(vdupq_n_u32(w));
    return vgetq_lane_u32(vreinterpretq_u32_u8(vaeseq_u8(state, reg{})), 0);
  }
  static reg inv_mix_columns(reg v) { return vaesimcq_u8(v); }
};

const aes_impl armv8_aes_impl =
    layer_impl<armv8_layer>(expand_key<armv8_layer>, invert_round_keys<armv8_layer>);

}  // namespace vurn

VURN_TARGET_END
#endif
