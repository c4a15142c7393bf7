// AES with the vector AES instructions on 256-bit registers (AVX2): two blocks per register,
// eight registers (16 blocks, or 16 CBC chains) in flight; key set-up is that of aes_ni.cpp.
#include "aes_target.h"

#if defined(VURN_AES_X86)
#include <immintrin.h>

VURN_TARGET_BEGIN("aes,vaes,avx2")
#include "aes_x86.h"

namespace vurn {

struct vaes256_layer : layer_shape<2, 8, 8> {
  using reg = __m256i;
  static reg load(const u8* p) { return _mm256_loadu_si256(reinterpret_cast<const reg*>(p)); }
  static void store(u8* p, reg v) { _mm256_storeu_si256(reinterpret_cast<reg*>(p), v); }
  static reg broadcast(const u8* block) {
    return _mm256_broadcastsi128_si256(sse_block::load(block));
  }
  static reg xor_regs(reg a, reg b) { return _mm256_xor_si256(a, b); }

  static reg load_lanes(const u8* p, std::size_t stride, std::size_t count) {
    if (count == 0) return reg{};
    const reg low = _mm256_zextsi128_si256(sse_block::load(p));
    return count > 1 ? _mm256_inserti128_si256(low, sse_block::load(p + stride), 1) : low;
  }

  static void store_lanes(u8* p, std::size_t stride, std::size_t count, reg v) {
    if (count > 0) sse_block::store(p, _mm256_castsi256_si128(v));
    if (count > 1) sse_block::store(p + stride, _mm256_extracti128_si256(v, 1));
  }

  static reg enc_round(reg x, reg k) { return _mm256_aesenc_epi128(x, k); }
  static reg enc_last(reg x, reg k) { return _mm256_aesenclast_epi128(x, k); }
  static reg dec_round(reg x, reg k) { return _mm256_aesdec_epi128(x, k); }
  static reg dec_last(reg x, reg k) { return _mm256_aesdeclast_epi128(x, k); }

  // The high lane of before, then the low lane of blocks.
  static reg preceding(reg blocks, reg before) {
    return _mm256_permute2x128_si256(before, blocks, 0x21);
  }

  static reg with_iv_at(std::uint64_t starts, reg iv, reg values) {
    switch (starts & 3) {
      case 0:
        return values;
      case 1:
        return _mm256_blend_epi32(values, iv, 0x0f);
      case 2:
        return _mm256_blend_epi32(values, iv, 0xf0);
      default:
        return iv;
    }
  }

  // Lanes a0 b0 and a1 b1; the same permutation undoes itself.
  static void split_pairs(reg a, reg b, reg& first, reg& second) {
    first = _mm256_permute2x128_si256(a, b, 0x20);
    second = _mm256_permute2x128_si256(a, b, 0x31);
  }
  static void join_pairs(reg first, reg second, reg& a, reg& b) {
    split_pairs(first, second, a, b);
  }
};

const aes_impl vaes_avx2_impl =
    layer_impl<vaes256_layer>(aes_ni_expand_key, aes_ni_invert_round_keys);

}  // namespace vurn

VURN_TARGET_END
#endif
