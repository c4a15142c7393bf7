// The container's entry into the cipher: many independent chunks in one call. A chunk is
// encrypted on its own, as if by one encrypt_blocks call over its bits, so in CBC every chunk
// starts again from the record's IV. Because the chunks do not depend on each other, the
// implementation runs several of them through the cipher at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include <vurn/cipher.h>

namespace vurn {

// What a chunk call did: every chunk, or none; a negative status is an error (ERR_CIPHER_STATE).
inline constexpr int CHUNKS_NONE = 0, CHUNKS_ALL = 1;

// Encrypts (or decrypts) `chunks` consecutive chunks of chunk_octets octets each from in to out,
// which may be the same buffer; the output equals encrypt_blocks (decrypt_blocks) called once per
// chunk with chunk_octets * 8 bits. Returns CHUNKS_ALL; CHUNKS_NONE, having written nothing, when
// chunk_octets is not a positive multiple of 16 (the block routines would not process a chunk
// whole), when in or out is null, or when chunks is 0; ERR_CIPHER_STATE where the block routines
// would return it.
int encrypt_chunks(const mode_state* mode, const key_state* key, const std::uint8_t* in,
                   std::size_t chunk_octets, std::size_t chunks, std::uint8_t* out);
int decrypt_chunks(const mode_state* mode, const key_state* key, const std::uint8_t* in,
                   std::size_t chunk_octets, std::size_t chunks, std::uint8_t* out);

}  // namespace vurn
