// AES with the vector AES instructions on 512-bit registers: four blocks per register, eight
// registers (32 blocks) in flight for independent blocks and four (16 chains) for CBC encryption;
// key set-up is that of aes_ni.cpp.
#include "aes_target.h"

#if defined(VURN_AES_X86)
#include <immintrin.h>

VURN_TARGET_BEGIN("aes,vaes,avx512f")
#include "aes_x86.h"

namespace vurn {

// The zero-masking forms with every element kept avoid a spurious uninitialised-value warning from
// GCC's plain broadcast, extracts and alignr.
struct vaes512_layer : layer_shape<4, 8, 4> {
  using reg = __m512i;
  static reg load(const u8* p) { return _mm512_loadu_si512(p); }
  static void store(u8* p, reg v) { _mm512_storeu_si512(p, v); }
  static reg broadcast(const u8* block) {
    return _mm512_maskz_broadcast_i32x4(0xffff, sse_block::load(block));
  }
  static reg xor_regs(reg a, reg b) { return _mm512_xor_si512(a, b); }

  static reg load_lanes(const u8* p, std::size_t stride, std::size_t count) {
    reg v{};
    if (count > 0) v = _mm512_inserti32x4(v, sse_block::load(p), 0);
    if (count > 1) v = _mm512_inserti32x4(v, sse_block::load(p + stride), 1);
    if (count > 2) v = _mm512_inserti32x4(v, sse_block::load(p + 2 * stride), 2);
    return count > 3 ? _mm512_inserti32x4(v, sse_block::load(p + 3 * stride), 3) : v;
  }

  static void store_lanes(u8* p, std::size_t stride, std::size_t count, reg v) {
    if (count > 0) sse_block::store(p, _mm512_maskz_extracti32x4_epi32(0xf, v, 0));
    if (count > 1) sse_block::store(p + stride, _mm512_maskz_extracti32x4_epi32(0xf, v, 1));
    if (count > 2) sse_block::store(p + 2 * stride, _mm512_maskz_extracti32x4_epi32(0xf, v, 2));
    if (count > 3) sse_block::store(p + 3 * stride, _mm512_maskz_extracti32x4_epi32(0xf, v, 3));
  }

  static reg enc_round(reg x, reg k) { return _mm512_aesenc_epi128(x, k); }
  static reg enc_last(reg x, reg k) { return _mm512_aesenclast_epi128(x, k); }
  static reg dec_round(reg x, reg k) { return _mm512_aesdec_epi128(x, k); }
  static reg dec_last(reg x, reg k) { return _mm512_aesdeclast_epi128(x, k); }

  static reg preceding(reg blocks, reg before) {
    return _mm512_maskz_alignr_epi64(0xff, blocks, before, 6);
  }

  static reg with_iv_at(std::uint64_t starts, reg iv, reg values) {
    const auto lanes = static_cast<unsigned>(starts & 0xf);
    // Each lane is two 64-bit elements: bit l goes to bits 2l and 2l+1 of the element mask.
    const unsigned spread = (lanes & 1) | (lanes & 2) << 1 | (lanes & 4) << 2 | (lanes & 8) << 3;
    return _mm512_mask_blend_epi64(static_cast<__mmask8>(spread * 3), values, iv);
  }

  static void split_pairs(reg a, reg b, reg& first, reg& second) {
    first = _mm512_maskz_shuffle_i64x2(0xff, a, b, 0x88);   // lanes a0 a2 b0 b2
    second = _mm512_maskz_shuffle_i64x2(0xff, a, b, 0xdd);  // lanes a1 a3 b1 b3
  }

  static void join_pairs(reg first, reg second, reg& a, reg& b) {
    a = _mm512_permutex2var_epi64(first, _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0), second);
    b = _mm512_permutex2var_epi64(first, _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4), second);
  }
};

const aes_impl vaes_avx512_impl =
    layer_impl<vaes512_layer>(aes_ni_expand_key, aes_ni_invert_round_keys);

}  // namespace vurn

VURN_TARGET_END
#endif
