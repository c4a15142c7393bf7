// What the x86 layers share: the mode templates, and one block to and from memory in an SSE
// register. Include it after the layer's VURN_TARGET_BEGIN, with <immintrin.h> included before.
#pragma once

#include "aes_modes.h"

namespace vurn {
namespace {

inline __m128i load_block(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline void store_block(std::uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

}  // namespace
}  // namespace vurn
