// The container engine's body: chunks moved from an input buffer to an output buffer through the
// chunk routines, each chunk from the all-zero IV on its own (format.h has the layout). Any split
// of the input and any size of the output give the same bytes: whole chunks go straight from one
// buffer to the other, and a chunk that does not fit either way waits in the stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <vurn/cipher.h>
#include <vurn/container.h>

namespace vurn {

inline constexpr std::size_t LARGEST_CHUNK = 32;  // bytes, for a 256-bit chunk

struct chunk_stream {
  chunk_stream(int direction_, std::size_t chunk_, const key_state& key_, const mode_state& mode_)
      : direction(direction_), chunk(chunk_), key(&key_), mode(&mode_) {}
  chunk_stream(const chunk_stream&) = delete;
  chunk_stream& operator=(const chunk_stream&) = delete;
  ~chunk_stream();  // clears the waiting chunks

  int direction;  // DIRECTION_ENCRYPT or DIRECTION_DECRYPT
  std::size_t chunk;
  const key_state* key;
  const mode_state* mode;  // CBC from the zero IV
  // Input bytes of a chunk not yet whole.
  std::array<std::uint8_t, LARGEST_CHUNK> held{};
  std::size_t held_size = 0;
  // A transformed chunk whose bytes from ready_pos on are not yet written.
  std::array<std::uint8_t, LARGEST_CHUNK> ready{};
  std::size_t ready_pos = 0;
  std::size_t ready_size = 0;
};

// Transforms from `in` to `out` as far as both allow. Whole chunks are transformed in one call
// of the chunk routine straight into `out`, which may be the very memory they are read from (the
// same address at both positions). False when the chunk routine refused the chunks (chunks that
// are not whole AES blocks): nothing of them is written then.
bool transform(chunk_stream& stream, vurn_in& in, vurn_out& out);

// The input has ended: a chunk not yet whole is zero-filled and transformed, to be written by the
// next transform. False as for transform.
bool transform_last_chunk(chunk_stream& stream);

// Whether bytes wait in the stream: a transformed chunk not all written, or input of a chunk not
// yet whole.
inline bool output_waiting(const chunk_stream& stream) {
  return stream.ready_pos < stream.ready_size;
}

}  // namespace vurn
