// Transitional: the command line's two stream drivers over format.h and body.h, with the key
// prompts and the messages they print, until the command line does this work itself.
#pragma once

#include <cstdio>

namespace vurn {

// The drivers never close the streams they are given: the caller owns them.
inline constexpr int STREAM_OK = 0;      // the output is complete and flushed
inline constexpr int STREAM_FAILED = 1;  // a message was written
inline constexpr int STREAM_NO_KEY =
    2;  // encryption could not load its key ("Error Reading in Key")

// The streams a driver works on, with the names its messages use for them.
struct stream_pair {
  std::FILE* input;
  const char* input_name;  // a path, or a description such as "standard input"
  std::FILE* output;
  const char* output_name;
};

// Encrypts streams.input into a container on streams.output under the key file key_path. Without
// key_path the key file name is asked for on standard error and read as one word from standard
// input when interactive, and otherwise a new key file "keyfile.<seconds since the epoch>" (or
// "keyfile.<seconds>.<n>" when that name exists) is generated.
int encrypt_stream(int block_size, int key_size, const char* key_path, bool interactive,
                   const stream_pair& streams);

// Decrypts the container on streams.input onto streams.output, with the key file key_path or,
// without it, the key file named in the container's header.
int decrypt_stream(int key_size, const char* key_path, const stream_pair& streams);

}  // namespace vurn
