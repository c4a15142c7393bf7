// The .vurn container's body: the input cut into chunks of the header's chunk size, each run
// through AES-CBC from an all-zero IV on its own, the last chunk zero-filled (format.h has the
// whole layout). transform_body neither prints nor opens files; it returns what went wrong.
#pragma once

#include <cstdint>
#include <cstdio>

#include <vurn/cipher.h>
#include "container/format.h"

namespace vurn {

enum class body_error {
  none,
  no_memory,      // no room for the data buffers
  read_failed,    // error_number tells why
  write_failed,   // error_number tells why (a write or the final flush)
  cipher_failed,  // the chunk routine did not process the chunks (192-bit chunks are not whole
                  // AES blocks); nothing of that pass was written
};

struct body_result {
  body_error error = body_error::none;
  int error_number = 0;
  // Decryption only: the input ended inside a chunk, whose missing bytes were taken as zeros. Set
  // before the last pass is written, so it holds even when that write then fails; a caller that
  // warns about it does so before it reports the error.
  bool ended_inside_chunk = false;
};

// Called after each pass that read data, with the bytes of input consumed so far: counts that
// grow, the last being the input's size. An empty input gives no call.
struct progress_hook {
  void (*report)(void* context, std::uint64_t input_bytes) = nullptr;
  void* context = nullptr;
};

// Runs the passes over an initialised key and mode (CBC): reads `in` to its end, transforms the
// chunks in direction (DIRECTION_ENCRYPT or DIRECTION_DECRYPT), writes them to `out` and flushes
// it. Neither stream is closed.
//
// Each pass is the largest whole number of chunks that fits in a page-aligned 1 MiB buffer, or in
// 64 KiB when either stream is a pipe, socket or terminal (so that the programs at the other ends
// work while this one does). Into a regular file a writer thread writes each pass while the next
// one fills a second buffer. The buffers are allocated once and the part that held data is
// cleared before they are freed.
body_result transform_body(std::FILE* in, std::FILE* out, int direction, chunk_size chunk,
                           const key_state& key, const mode_state& mode,
                           progress_hook progress = {});

}  // namespace vurn
