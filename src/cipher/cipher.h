// The cipher interface: key and mode records built from hexadecimal text, and routines that
// encrypt and decrypt runs of 128-bit blocks (lengths in bits) or padded runs (lengths in octets).
// Every routine reports errors as the negative status codes below; none prints.
#pragma once

#include <cstdint>

namespace vurn {

inline constexpr int DIRECTION_ENCRYPT = 0, DIRECTION_DECRYPT = 1;
inline constexpr int CIPHER_MODE_ECB = 1, CIPHER_MODE_CBC = 2, CIPHER_MODE_CFB1 = 3;
inline constexpr int ERR_KEY_DIRECTION = -1, ERR_KEY_MATERIAL = -2, ERR_KEY_STATE = -3,
                     ERR_MODE = -4, ERR_CIPHER_STATE = -5, ERR_IV = -7, ERR_PADDING = -8;

struct key_state {
  std::uint8_t direction;
  std::int32_t key_bits;
  char key_text[65];
  std::int32_t rounds;
  std::uint8_t round_keys[15][16];
};

struct mode_state {
  std::uint8_t mode;
  std::uint8_t iv[16];
};

int key_state_init(key_state* key, int direction, int bits, const char* text);  // text may be null
int mode_state_init(mode_state* mode, int mode_code, const char* iv_text);     // iv_text may be null
int encrypt_blocks(const mode_state* mode, const key_state* key, const std::uint8_t* in, int bits,
                   std::uint8_t* out);
int decrypt_blocks(const mode_state* mode, const key_state* key, const std::uint8_t* in, int bits,
                   std::uint8_t* out);
int encrypt_padded(const mode_state* mode, const key_state* key, const std::uint8_t* in, int octets,
                   std::uint8_t* out);
int decrypt_padded(const mode_state* mode, const key_state* key, const std::uint8_t* in, int octets,
                   std::uint8_t* out);

}  // namespace vurn
