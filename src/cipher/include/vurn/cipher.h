// The cipher interface: key and mode records built from hexadecimal text, and routines that
// encrypt and decrypt runs of 128-bit blocks (lengths in bits) or padded runs (lengths in octets).
// Every routine reports errors as the negative status codes below; none prints.
#pragma once

#include <cstdint>

#include "export.h"

namespace vurn {

inline constexpr int DIRECTION_ENCRYPT = 0, DIRECTION_DECRYPT = 1;
inline constexpr int CIPHER_MODE_ECB = 1, CIPHER_MODE_CBC = 2, CIPHER_MODE_CFB1 = 3;
inline constexpr int ERR_KEY_DIRECTION = -1, ERR_KEY_MATERIAL = -2, ERR_KEY_STATE = -3,
                     ERR_MODE = -4, ERR_CIPHER_STATE = -5, ERR_IV = -7, ERR_PADDING = -8;

// The key sizes of AES, in bits: 128, 192 and 256. The tool and its containers take the same
// sizes for their block lengths.
constexpr bool is_valid_bit_size(std::int64_t bits) {
  return bits == 128 || bits == 192 || bits == 256;
}

// A record is usable after a successful init, and unusable after a failed one until the next
// successful one: every routine then returns ERR_CIPHER_STATE for it. `usable` says which (1 or
// 0), as the status of the last init did.
struct key_state {
  std::uint8_t direction;
  std::uint8_t usable;
  std::int32_t key_bits;
  char key_text[65];
  std::int32_t rounds;
  std::uint8_t round_keys[15][16];
};

struct mode_state {
  std::uint8_t mode;
  std::uint8_t iv[16];
  std::uint8_t usable;
};

// Builds a key record from bits/4 hexadecimal digits (either case). direction is
// DIRECTION_ENCRYPT or DIRECTION_DECRYPT (else ERR_KEY_DIRECTION), bits 128, 192 or 256 (else
// ERR_KEY_MATERIAL). A non-null text is copied into key_text up to its terminator, at most bits/4
// characters, and the rest of key_text is cleared, so text need not be terminated; a null text
// reuses the record's key_text. A character
// that is not a hex digit in the first bits/4 returns ERR_KEY_MATERIAL with the round keys left as
// they were. A decryption key holds round keys converted for the equivalent inverse cipher.
// Returns 1, or ERR_KEY_STATE when key is null. On any other error the record is unusable.
VURN_API int key_state_init(key_state* key, int direction, int bits, const char* text);

// Sets the mode (CIPHER_MODE_ECB, _CBC or _CFB1, else ERR_MODE) and the IV from the first 32 hex
// digits of iv_text, or sixteen zero bytes when iv_text is null. A character that is not a hex
// digit returns ERR_IV with the IV bytes before it converted. Returns 1, or ERR_CIPHER_STATE when
// mode is null. On any other error the record is unusable.
VURN_API int mode_state_init(mode_state* mode, int mode_code, const char* iv_text);

// Encrypt or decrypt the whole 128-bit blocks of a run of bits (any remainder is ignored) from in
// to out, which may be the same buffer. Every call starts again from the record's IV; neither
// record is changed. Returns the bits processed (a multiple of 128), 0 when in or out is null or
// bits <= 0, or ERR_CIPHER_STATE for a null or unusable record, an unknown mode, or a key of the
// wrong direction. In CFB-1 both routines run the forward cipher and need an encryption key;
// decrypt_blocks then accepts a key of either direction but only an encryption key gives the
// plaintext. CFB-1 takes the bits of each octet most significant first.
VURN_API int encrypt_blocks(const mode_state* mode, const key_state* key, const std::uint8_t* in,
                            int bits, std::uint8_t* out);
VURN_API int decrypt_blocks(const mode_state* mode, const key_state* key, const std::uint8_t* in,
                            int bits, std::uint8_t* out);

// ECB or CBC over a run of octets padded with p octets of value p (1 <= p <= 16) to a multiple of
// 16; a run that is already one gets a whole block of padding. out needs octets rounded down to a
// multiple of 16, plus 16. Returns the output octets, 0 when in or out is null or octets <= 0,
// ERR_CIPHER_STATE for a null or unusable record, a decryption key or another mode, and ERR_PADDING
// when the padded length would not fit in an int.
VURN_API int encrypt_padded(const mode_state* mode, const key_state* key, const std::uint8_t* in,
                            int octets, std::uint8_t* out);

// Undoes encrypt_padded; out needs room for octets. Returns the plaintext octets, 0 when in or out
// is null or octets <= 0, ERR_PADDING when octets is not a multiple of 16 or the padding is wrong
// (the blocks before the last are written by then), ERR_CIPHER_STATE as for encrypt_padded but
// with an encryption key refused.
VURN_API int decrypt_padded(const mode_state* mode, const key_state* key, const std::uint8_t* in,
                            int octets, std::uint8_t* out);

}  // namespace vurn
