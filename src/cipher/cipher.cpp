#include <vurn/cipher.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

#include "aes_impl.h"
#include "chunks.h"
#include "clear.h"

namespace vurn {
namespace {

using u8 = std::uint8_t;
using block = std::array<u8, 16>;

constexpr int BLOCK_OCTETS = 16, BLOCK_BITS = 128;

// All ones when lo <= c <= hi, else zero, computed without a branch.
unsigned in_range_mask(int c, int lo, int hi) {
  return (static_cast<unsigned>((c - lo) | (hi - c)) >> 31) - 1u;
}

// The value of a hexadecimal digit, or 0x100 or more for any other character. No branch and no
// table depends on c, so reading key digits leaks nothing of them through timing.
unsigned hex_value(char c) {
  const int v = static_cast<unsigned char>(c);
  const unsigned digit = in_range_mask(v, '0', '9'), lower = in_range_mask(v, 'a', 'f'),
                 upper = in_range_mask(v, 'A', 'F');
  const unsigned value = (digit & static_cast<unsigned>(v - '0')) |
                         (lower & static_cast<unsigned>(v - 'a' + 10)) |
                         (upper & static_cast<unsigned>(v - 'A' + 10));
  return value | (~(digit | lower | upper) & 0x100u);
}

// Converts the 2 * count hex digits of text into out[0..count). Returns all ones if any character
// is not a hex digit, else zero. Every character is read, so text must hold 2 * count characters
// (a key record's key_text does).
unsigned parse_key_hex(const char* text, u8* out, int count) {
  unsigned invalid = 0;
  for (int i = 0; i < count; ++i) {
    const unsigned high = hex_value(text[2 * i]), low = hex_value(text[2 * i + 1]);
    invalid |= high | low;
    out[i] = static_cast<u8>(high << 4 | (low & 0xf));
  }
  return 0u - (invalid >> 8 & 1u);
}

// Converts pairs of hex digits into out[0..count), stopping at the first character that is not a
// hex digit (a terminator included, so nothing past it is read). Returns false if it stopped.
bool parse_hex(const char* text, u8* out, int count) {
  for (int i = 0; i < count; ++i) {
    const unsigned high = hex_value(text[2 * i]);
    if (high > 0xf) return false;
    const unsigned low = hex_value(text[2 * i + 1]);
    if (low > 0xf) return false;
    out[i] = static_cast<u8>(high << 4 | low);
  }
  return true;
}

// A key record the block routines can use: set up without error, and with a round count that
// bounds every round-key access.
bool key_usable(const key_state* key) {
  return key != nullptr && key->usable == 1 &&
         (key->rounds == 10 || key->rounds == 12 || key->rounds == 14);
}

bool mode_usable(const mode_state* mode) {
  return mode != nullptr && mode->usable == 1;
}

std::size_t whole_blocks(int bits) {
  return static_cast<std::size_t>(bits / BLOCK_BITS);
}

// Shifts the register left by one bit as a 128-bit big-endian string, bit entering at the bottom.
void shift_in(block& r, u8 bit) {
  for (std::size_t i = 0; i + 1 < r.size(); ++i) r[i] = static_cast<u8>(r[i] << 1 | r[i + 1] >> 7);
  r.back() = static_cast<u8>(r.back() << 1 | bit);
}

// One-bit cipher feedback over whole octets, most significant bit first. Both directions run the
// forward cipher; the bit fed back is the ciphertext bit, which is the input when decrypting.
void cfb1(const aes_impl& impl, const key_state& key, const u8 iv[16], const u8* in, u8* out,
          std::size_t octets, bool decrypting) {
  block r, z;
  std::memcpy(r.data(), iv, BLOCK_OCTETS);
  for (std::size_t i = 0; i < octets; ++i) {
    const u8 source = in[i];
    u8 result = 0;
    for (int bit = 7; bit >= 0; --bit) {
      impl.encrypt_ecb(key, r.data(), z.data(), 1);
      const u8 in_bit = (source >> bit) & 1;
      const u8 out_bit = static_cast<u8>(in_bit ^ z[0] >> 7);
      result = static_cast<u8>(result | out_bit << bit);
      shift_in(r, decrypting ? in_bit : out_bit);
    }
    out[i] = result;
  }
}

bool known_mode(const mode_state& mode) {
  return mode.mode == CIPHER_MODE_ECB || mode.mode == CIPHER_MODE_CBC ||
         mode.mode == CIPHER_MODE_CFB1;
}

// The mode work behind the block and chunk routines, once the records are known to be usable:
// `chunks` runs of chunk_blocks blocks, each starting again from the record's IV.
void run_mode(const mode_state& mode, const key_state& key, bool decrypting, const u8* in, u8* out,
              std::size_t chunk_blocks, std::size_t chunks) {
  const aes_impl& impl = active_aes_impl();
  switch (mode.mode) {
    case CIPHER_MODE_ECB:
      (decrypting ? impl.decrypt_ecb : impl.encrypt_ecb)(key, in, out, chunk_blocks * chunks);
      break;
    case CIPHER_MODE_CBC:
      (decrypting ? impl.decrypt_cbc : impl.encrypt_cbc)(key, mode.iv, in, out, chunk_blocks,
                                                         chunks);
      break;
    default:  // CFB-1
      for (std::size_t c = 0; c < chunks; ++c) {
        const std::size_t octets = BLOCK_OCTETS * chunk_blocks;
        cfb1(impl, key, mode.iv, in + octets * c, out + octets * c, octets, decrypting);
      }
      break;
  }
}

// The record checks shared by the block and chunk routines: both records are there, the key is
// usable and has the direction the mode needs (CFB-1 decryption takes either). The mode code itself
// is checked after the length.
bool records_usable(const mode_state* mode, const key_state* key, bool decrypting) {
  if (!mode_usable(mode) || !key_usable(key)) return false;
  if (decrypting && mode->mode == CIPHER_MODE_CFB1) return true;
  return key->direction == (decrypting ? DIRECTION_DECRYPT : DIRECTION_ENCRYPT);
}

int run_blocks(const mode_state* mode, const key_state* key, const u8* in, int bits, u8* out,
               bool decrypting) {
  if (!records_usable(mode, key, decrypting)) return ERR_CIPHER_STATE;
  if (in == nullptr || out == nullptr || bits <= 0) return 0;
  if (!known_mode(*mode)) return ERR_CIPHER_STATE;
  const std::size_t blocks = whole_blocks(bits);
  if (blocks > 0) run_mode(*mode, *key, decrypting, in, out, blocks, 1);
  return static_cast<int>(blocks) * BLOCK_BITS;
}

int run_chunks(const mode_state* mode, const key_state* key, const u8* in, std::size_t chunk_octets,
               std::size_t chunks, u8* out, bool decrypting) {
  if (!records_usable(mode, key, decrypting)) return ERR_CIPHER_STATE;
  if (in == nullptr || out == nullptr || chunks == 0) return CHUNKS_NONE;
  if (!known_mode(*mode)) return ERR_CIPHER_STATE;
  if (chunk_octets == 0 || chunk_octets % BLOCK_OCTETS != 0) return CHUNKS_NONE;
  run_mode(*mode, *key, decrypting, in, out, chunk_octets / BLOCK_OCTETS, chunks);
  return CHUNKS_ALL;
}

}  // namespace

int key_state_init(key_state* key, int direction, int bits, const char* text) {
  if (key == nullptr) return ERR_KEY_STATE;
  key->usable = 0;
  if (direction != DIRECTION_ENCRYPT && direction != DIRECTION_DECRYPT) return ERR_KEY_DIRECTION;
  key->direction = static_cast<std::uint8_t>(direction);
  if (!is_valid_bit_size(bits)) return ERR_KEY_MATERIAL;
  key->key_bits = bits;
  const int digits = bits / 4;
  if (text != nullptr) {
    int i = 0;
    for (; i < digits && text[i] != '\0'; ++i) key->key_text[i] = text[i];
    std::memset(key->key_text + i, '\0', sizeof key->key_text - static_cast<std::size_t>(i));
  }
  key->rounds = bits / 32 + 6;
  // Neither the digits nor their validity steer a branch or an index: the key is expanded either
  // way, and the record takes the new round keys only where the text was valid (bad text leaves
  // them as they were), by masking.
  u8 key_bytes[32];
  u8 fresh[15][16] = {};
  const clear_on_exit clear_key_bytes{key_bytes, sizeof key_bytes},
      clear_fresh{fresh, sizeof fresh};
  const unsigned invalid = parse_key_hex(key->key_text, key_bytes, digits / 2);
  const aes_impl& impl = active_aes_impl();  // keeps the key out of any table index
  impl.expand_key(key_bytes, fresh, key->rounds);
  if (direction == DIRECTION_DECRYPT) impl.invert_round_keys(fresh, key->rounds);
  const u8 keep_old = static_cast<u8>(invalid);
  for (int r = 0; r < 15; ++r) {
    for (int b = 0; b < 16; ++b) {
      u8& round_key = key->round_keys[r][b];
      round_key = static_cast<u8>((round_key & keep_old) | (fresh[r][b] & ~keep_old));
    }
  }
  key->usable = static_cast<u8>(~invalid & 1u);
  return static_cast<int>(1u ^ (invalid & (1u ^ static_cast<unsigned>(ERR_KEY_MATERIAL))));
}

int mode_state_init(mode_state* mode, int mode_code, const char* iv_text) {
  if (mode == nullptr) return ERR_CIPHER_STATE;
  mode->usable = 0;
  if (mode_code < CIPHER_MODE_ECB || mode_code > CIPHER_MODE_CFB1) return ERR_MODE;
  mode->mode = static_cast<std::uint8_t>(mode_code);
  if (iv_text == nullptr) {
    std::memset(mode->iv, 0, sizeof mode->iv);
  } else if (!parse_hex(iv_text, mode->iv, BLOCK_OCTETS)) {
    return ERR_IV;
  }
  mode->usable = 1;
  return 1;
}

int encrypt_blocks(const mode_state* mode, const key_state* key, const std::uint8_t* in, int bits,
                   std::uint8_t* out) {
  return run_blocks(mode, key, in, bits, out, false);
}

int decrypt_blocks(const mode_state* mode, const key_state* key, const std::uint8_t* in, int bits,
                   std::uint8_t* out) {
  return run_blocks(mode, key, in, bits, out, true);
}

int encrypt_chunks(const mode_state* mode, const key_state* key, const std::uint8_t* in,
                   std::size_t chunk_octets, std::size_t chunks, std::uint8_t* out) {
  return run_chunks(mode, key, in, chunk_octets, chunks, out, false);
}

int decrypt_chunks(const mode_state* mode, const key_state* key, const std::uint8_t* in,
                   std::size_t chunk_octets, std::size_t chunks, std::uint8_t* out) {
  return run_chunks(mode, key, in, chunk_octets, chunks, out, true);
}

int encrypt_padded(const mode_state* mode, const key_state* key, const std::uint8_t* in, int octets,
                   std::uint8_t* out) {
  if (!mode_usable(mode) || !key_usable(key) || key->direction != DIRECTION_ENCRYPT) {
    return ERR_CIPHER_STATE;
  }
  if (in == nullptr || out == nullptr || octets <= 0) return 0;
  // The padded length must itself be a representable count.
  if (octets / BLOCK_OCTETS >= INT_MAX / BLOCK_OCTETS) return ERR_PADDING;
  const int blocks = octets / BLOCK_OCTETS, rest = octets % BLOCK_OCTETS;
  const auto whole = static_cast<std::size_t>(blocks);
  block last;
  std::memcpy(last.data(), in + BLOCK_OCTETS * blocks, static_cast<std::size_t>(rest));
  std::memset(last.data() + rest, BLOCK_OCTETS - rest,
              static_cast<std::size_t>(BLOCK_OCTETS - rest));
  u8* last_out = out + BLOCK_OCTETS * blocks;
  const aes_impl& impl = active_aes_impl();
  switch (mode->mode) {
    case CIPHER_MODE_ECB:
      impl.encrypt_ecb(*key, in, out, whole);
      impl.encrypt_ecb(*key, last.data(), last_out, 1);
      break;
    case CIPHER_MODE_CBC:
      impl.encrypt_cbc(*key, mode->iv, in, out, whole, 1);
      // The chain goes on from the last whole block's ciphertext.
      impl.encrypt_cbc(*key, blocks > 0 ? last_out - BLOCK_OCTETS : mode->iv, last.data(), last_out,
                       1, 1);
      break;
    default:
      return ERR_CIPHER_STATE;
  }
  return BLOCK_OCTETS * (blocks + 1);
}

int decrypt_padded(const mode_state* mode, const key_state* key, const std::uint8_t* in, int octets,
                   std::uint8_t* out) {
  if (!mode_usable(mode) || !key_usable(key) || key->direction != DIRECTION_DECRYPT) {
    return ERR_CIPHER_STATE;
  }
  if (in == nullptr || out == nullptr || octets <= 0) return 0;
  if (octets % BLOCK_OCTETS != 0) return ERR_PADDING;
  const int blocks = octets / BLOCK_OCTETS - 1;  // those before the last
  const auto whole = static_cast<std::size_t>(blocks);
  const u8* last_in = in + BLOCK_OCTETS * blocks;
  block last, chain;
  const aes_impl& impl = active_aes_impl();
  switch (mode->mode) {
    case CIPHER_MODE_ECB:
      impl.decrypt_ecb(*key, in, out, whole);
      impl.decrypt_ecb(*key, last_in, last.data(), 1);
      break;
    case CIPHER_MODE_CBC:
      // The last block chains from the ciphertext before it, kept before out may overwrite it.
      std::memcpy(chain.data(), blocks > 0 ? last_in - BLOCK_OCTETS : mode->iv, BLOCK_OCTETS);
      impl.decrypt_cbc(*key, mode->iv, in, out, whole, 1);
      impl.decrypt_cbc(*key, chain.data(), last_in, last.data(), 1, 1);
      break;
    default:
      return ERR_CIPHER_STATE;
  }
  const int pad = last.back();
  if (pad < 1 || pad > BLOCK_OCTETS) return ERR_PADDING;
  int mismatch = 0;  // every pad byte is looked at, whatever the first difference
  for (int i = BLOCK_OCTETS - pad; i < BLOCK_OCTETS; ++i) mismatch |= last.data()[i] ^ pad;
  if (mismatch != 0) return ERR_PADDING;
  std::memcpy(out + BLOCK_OCTETS * blocks, last.data(),
              static_cast<std::size_t>(BLOCK_OCTETS - pad));
  return octets - pad;
}

}  // namespace vurn
