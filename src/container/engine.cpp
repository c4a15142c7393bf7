#include "container/engine.h"

#include <algorithm>
#include <cstring>

#include "cipher/chunks.h"
#include "cipher/clear.h"

namespace vurn {
namespace {

std::size_t left(const vurn_in& in) {
  return in.size - in.pos;
}
std::size_t room(const vurn_out& out) {
  return out.size - out.pos;
}

// Transforms `chunks` chunks from `from` into `to` with one call of the chunk routine.
bool run_chunks(const chunk_stream& stream, const std::uint8_t* from, std::size_t chunks,
                std::uint8_t* to) {
  const int status = stream.direction == DIRECTION_ENCRYPT
                         ? encrypt_chunks(stream.mode, stream.key, from, stream.chunk, chunks, to)
                         : decrypt_chunks(stream.mode, stream.key, from, stream.chunk, chunks, to);
  return status == CHUNKS_ALL;
}

void write_ready(chunk_stream& stream, vurn_out& out) {
  const std::size_t n = std::min(stream.ready_size - stream.ready_pos, room(out));
  if (n == 0) return;
  std::memcpy(static_cast<std::uint8_t*>(out.dst) + out.pos, stream.ready.data() + stream.ready_pos,
              n);
  stream.ready_pos += n;
  out.pos += n;
}

bool transform_held(chunk_stream& stream) {
  if (!run_chunks(stream, stream.held.data(), 1, stream.ready.data())) return false;
  stream.held_size = 0;
  stream.ready_pos = 0;
  stream.ready_size = stream.chunk;
  return true;
}

}  // namespace

chunk_stream::~chunk_stream() {
  const clear_on_exit clear_held{held.data(), held.size()};
  const clear_on_exit clear_ready{ready.data(), ready.size()};
}

bool transform(chunk_stream& stream, vurn_in& in, vurn_out& out) {
  for (;;) {
    write_ready(stream, out);
    if (output_waiting(stream)) return true;
    if (stream.held_size == 0) {
      const std::size_t chunks = std::min(left(in), room(out)) / stream.chunk;
      if (chunks != 0) {
        const auto* from = static_cast<const std::uint8_t*>(in.src) + in.pos;
        auto* to = static_cast<std::uint8_t*>(out.dst) + out.pos;
        if (!run_chunks(stream, from, chunks, to)) return false;
        in.pos += chunks * stream.chunk;
        out.pos += chunks * stream.chunk;
      }
    }
    // Less than a chunk of input, or of room for output, is left: the rest goes through `held`.
    if (left(in) == 0) return true;
    const std::size_t n = std::min(stream.chunk - stream.held_size, left(in));
    std::memcpy(stream.held.data() + stream.held_size,
                static_cast<const std::uint8_t*>(in.src) + in.pos, n);
    stream.held_size += n;
    in.pos += n;
    if (stream.held_size < stream.chunk) return true;
    if (!transform_held(stream)) return false;
  }
}

bool transform_last_chunk(chunk_stream& stream) {
  if (stream.held_size == 0) return true;
  std::memset(stream.held.data() + stream.held_size, 0, stream.chunk - stream.held_size);
  return transform_held(stream);
}

}  // namespace vurn
