// Internal: the container's unit of work, many independent chunks in one call. A chunk is
// encrypted on its own, as if by one encrypt_blocks call over its bits, so in CBC every chunk
// starts again from the record's IV. Because the chunks do not depend on each other, the
// implementation runs several of them through the cipher at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cipher/cipher.h"

namespace vurn {

// Encrypts (or decrypts) `chunks` consecutive chunks of chunk_octets octets each from in to out,
// which may be the same buffer. The output equals encrypt_blocks (decrypt_blocks) called once per
// chunk with chunk_octets * 8 bits. Returns the number of chunks processed whole: chunks, or 0
// when chunk_octets is not a positive multiple of 16 (block routines would not process even the
// first chunk whole; nothing is written then), when in or out is null, or when chunks is 0.
// Returns ERR_CIPHER_STATE where the block routine would.
std::ptrdiff_t encrypt_chunks(const mode_state* mode, const key_state* key, const std::uint8_t* in,
                              std::size_t chunk_octets, std::size_t chunks, std::uint8_t* out);
std::ptrdiff_t decrypt_chunks(const mode_state* mode, const key_state* key, const std::uint8_t* in,
                              std::size_t chunk_octets, std::size_t chunks, std::uint8_t* out);

}  // namespace vurn
