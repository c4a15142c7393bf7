// What the x86 layers share: the mode templates, and one block to and from memory in an SSE
// register. Include it after the layer's VURN_TARGET_BEGIN, with <immintrin.h> included before.
#pragma once

#include "aes_modes.h"

namespace vurn {
namespace {

// The AES-NI layer's loads and stores, and single lanes of the wider layers.
struct sse_block {
  static __m128i load(const u8* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void store(u8* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
};

}  // namespace
}  // namespace vurn
