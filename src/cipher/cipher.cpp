#include "cipher.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

#include "aes.h"

namespace vurn {
namespace {

using u8 = std::uint8_t;
using block = std::array<u8, 16>;

constexpr int BLOCK_OCTETS = 16, BLOCK_BITS = 128;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Converts pairs of hex digits into out[0..count), stopping at the first character that is not a
// hex digit (a terminator included, so nothing past it is read). Returns false if it stopped.
bool parse_hex(const char* text, u8* out, int count) {
  for (int i = 0; i < count; ++i) {
    const int high = hex_digit(text[2 * i]);
    if (high < 0) return false;
    const int low = hex_digit(text[2 * i + 1]);
    if (low < 0) return false;
    out[i] = static_cast<u8>(high << 4 | low);
  }
  return true;
}

// A key record the block routines can use: the round count bounds every round-key access.
bool key_usable(const key_state* key) {
  return key != nullptr && (key->rounds == 10 || key->rounds == 12 || key->rounds == 14);
}

void encrypt(const key_state& key, const u8* in, u8* out) {
  aes_encrypt_block(in, out, key.round_keys, key.rounds);
}

void decrypt(const key_state& key, const u8* in, u8* out) {
  aes_decrypt_block(in, out, key.round_keys, key.rounds);
}

void xor_into(u8* dst, const u8* a, const u8* b) {
  for (int i = 0; i < BLOCK_OCTETS; ++i) dst[i] = static_cast<u8>(a[i] ^ b[i]);
}

void ecb_encrypt(const key_state& key, const u8* in, u8* out, int blocks) {
  for (int i = 0; i < blocks; ++i) encrypt(key, in + BLOCK_OCTETS * i, out + BLOCK_OCTETS * i);
}

void ecb_decrypt(const key_state& key, const u8* in, u8* out, int blocks) {
  for (int i = 0; i < blocks; ++i) decrypt(key, in + BLOCK_OCTETS * i, out + BLOCK_OCTETS * i);
}

// chain enters as the value to XOR into the first block and leaves as the last ciphertext block.
void cbc_encrypt(const key_state& key, block& chain, const u8* in, u8* out, int blocks) {
  for (int i = 0; i < blocks; ++i, in += BLOCK_OCTETS, out += BLOCK_OCTETS) {
    xor_into(chain.data(), chain.data(), in);
    encrypt(key, chain.data(), chain.data());
    std::memcpy(out, chain.data(), BLOCK_OCTETS);
  }
}

// Each ciphertext block is kept before its plaintext is written, so in and out may coincide.
void cbc_decrypt(const key_state& key, block& chain, const u8* in, u8* out, int blocks) {
  block cipher_text, plain;
  for (int i = 0; i < blocks; ++i, in += BLOCK_OCTETS, out += BLOCK_OCTETS) {
    std::memcpy(cipher_text.data(), in, BLOCK_OCTETS);
    decrypt(key, cipher_text.data(), plain.data());
    xor_into(out, plain.data(), chain.data());
    chain = cipher_text;
  }
}

// Shifts the register left by one bit as a 128-bit big-endian string, bit entering at the bottom.
void shift_in(block& r, u8 bit) {
  for (std::size_t i = 0; i + 1 < r.size(); ++i) r[i] = static_cast<u8>(r[i] << 1 | r[i + 1] >> 7);
  r.back() = static_cast<u8>(r.back() << 1 | bit);
}

// One-bit cipher feedback over whole octets, most significant bit first. Both directions run the
// forward cipher; the bit fed back is the ciphertext bit, which is the input when decrypting.
void cfb1(const key_state& key, const u8 iv[16], const u8* in, u8* out, int octets,
          bool decrypting) {
  block r, z;
  std::memcpy(r.data(), iv, BLOCK_OCTETS);
  for (int i = 0; i < octets; ++i) {
    const u8 source = in[i];
    u8 result = 0;
    for (int bit = 7; bit >= 0; --bit) {
      encrypt(key, r.data(), z.data());
      const u8 in_bit = (source >> bit) & 1;
      const u8 out_bit = static_cast<u8>(in_bit ^ z[0] >> 7);
      result = static_cast<u8>(result | out_bit << bit);
      shift_in(r, decrypting ? in_bit : out_bit);
    }
    out[i] = result;
  }
}

}  // namespace

int key_state_init(key_state* key, int direction, int bits, const char* text) {
  if (key == nullptr) return ERR_KEY_STATE;
  if (direction != DIRECTION_ENCRYPT && direction != DIRECTION_DECRYPT) return ERR_KEY_DIRECTION;
  key->direction = static_cast<std::uint8_t>(direction);
  if (bits != 128 && bits != 192 && bits != 256) return ERR_KEY_MATERIAL;
  key->key_bits = bits;
  const int digits = bits / 4;
  if (text != nullptr) {
    int i = 0;
    for (; i < digits && text[i] != '\0'; ++i) key->key_text[i] = text[i];
    std::memset(key->key_text + i, '\0', sizeof key->key_text - static_cast<std::size_t>(i));
  }
  key->rounds = bits / 32 + 6;
  u8 key_bytes[32];
  if (!parse_hex(key->key_text, key_bytes, digits / 2)) return ERR_KEY_MATERIAL;
  aes_expand_key(key_bytes, key->round_keys, key->rounds);
  if (direction == DIRECTION_DECRYPT) aes_invert_round_keys(key->round_keys, key->rounds);
  return 1;
}

int mode_state_init(mode_state* mode, int mode_code, const char* iv_text) {
  if (mode == nullptr) return ERR_CIPHER_STATE;
  if (mode_code < CIPHER_MODE_ECB || mode_code > CIPHER_MODE_CFB1) return ERR_MODE;
  mode->mode = static_cast<std::uint8_t>(mode_code);
  if (iv_text == nullptr) {
    std::memset(mode->iv, 0, sizeof mode->iv);
  } else if (!parse_hex(iv_text, mode->iv, BLOCK_OCTETS)) {
    return ERR_IV;
  }
  return 1;
}

int encrypt_blocks(const mode_state* mode, const key_state* key, const std::uint8_t* in, int bits,
                   std::uint8_t* out) {
  if (mode == nullptr || !key_usable(key) || key->direction != DIRECTION_ENCRYPT) {
    return ERR_CIPHER_STATE;
  }
  if (in == nullptr || out == nullptr || bits <= 0) return 0;
  const int blocks = bits / BLOCK_BITS;
  block chain;
  switch (mode->mode) {
    case CIPHER_MODE_ECB:
      ecb_encrypt(*key, in, out, blocks);
      break;
    case CIPHER_MODE_CBC:
      std::memcpy(chain.data(), mode->iv, BLOCK_OCTETS);
      cbc_encrypt(*key, chain, in, out, blocks);
      break;
    case CIPHER_MODE_CFB1:
      cfb1(*key, mode->iv, in, out, blocks * BLOCK_OCTETS, false);
      break;
    default:
      return ERR_CIPHER_STATE;
  }
  return blocks * BLOCK_BITS;
}

int decrypt_blocks(const mode_state* mode, const key_state* key, const std::uint8_t* in, int bits,
                   std::uint8_t* out) {
  if (mode == nullptr || !key_usable(key)) return ERR_CIPHER_STATE;
  // One-bit CFB runs the forward cipher both ways, so it takes a key of either direction.
  if (mode->mode != CIPHER_MODE_CFB1 && key->direction != DIRECTION_DECRYPT) {
    return ERR_CIPHER_STATE;
  }
  if (in == nullptr || out == nullptr || bits <= 0) return 0;
  const int blocks = bits / BLOCK_BITS;
  block chain;
  switch (mode->mode) {
    case CIPHER_MODE_ECB:
      ecb_decrypt(*key, in, out, blocks);
      break;
    case CIPHER_MODE_CBC:
      std::memcpy(chain.data(), mode->iv, BLOCK_OCTETS);
      cbc_decrypt(*key, chain, in, out, blocks);
      break;
    case CIPHER_MODE_CFB1:
      cfb1(*key, mode->iv, in, out, blocks * BLOCK_OCTETS, true);
      break;
    default:
      return ERR_CIPHER_STATE;
  }
  return blocks * BLOCK_BITS;
}

int encrypt_padded(const mode_state* mode, const key_state* key, const std::uint8_t* in, int octets,
                   std::uint8_t* out) {
  if (mode == nullptr || !key_usable(key) || key->direction != DIRECTION_ENCRYPT) {
    return ERR_CIPHER_STATE;
  }
  if (in == nullptr || out == nullptr || octets <= 0) return 0;
  // The padded length must itself be a representable count.
  if (octets / BLOCK_OCTETS >= INT_MAX / BLOCK_OCTETS) return ERR_PADDING;
  const int blocks = octets / BLOCK_OCTETS, rest = octets % BLOCK_OCTETS;
  block last;
  std::memcpy(last.data(), in + BLOCK_OCTETS * blocks, static_cast<std::size_t>(rest));
  std::memset(last.data() + rest, BLOCK_OCTETS - rest,
              static_cast<std::size_t>(BLOCK_OCTETS - rest));
  u8* last_out = out + BLOCK_OCTETS * blocks;
  block chain;
  switch (mode->mode) {
    case CIPHER_MODE_ECB:
      ecb_encrypt(*key, in, out, blocks);
      encrypt(*key, last.data(), last_out);
      break;
    case CIPHER_MODE_CBC:
      std::memcpy(chain.data(), mode->iv, BLOCK_OCTETS);
      cbc_encrypt(*key, chain, in, out, blocks);
      cbc_encrypt(*key, chain, last.data(), last_out, 1);
      break;
    default:
      return ERR_CIPHER_STATE;
  }
  return BLOCK_OCTETS * (blocks + 1);
}

int decrypt_padded(const mode_state* mode, const key_state* key, const std::uint8_t* in, int octets,
                   std::uint8_t* out) {
  if (mode == nullptr || !key_usable(key) || key->direction != DIRECTION_DECRYPT) {
    return ERR_CIPHER_STATE;
  }
  if (in == nullptr || out == nullptr || octets <= 0) return 0;
  if (octets % BLOCK_OCTETS != 0) return ERR_PADDING;
  const int blocks = octets / BLOCK_OCTETS - 1;  // those before the last
  const u8* last_in = in + BLOCK_OCTETS * blocks;
  block last, chain;
  switch (mode->mode) {
    case CIPHER_MODE_ECB:
      ecb_decrypt(*key, in, out, blocks);
      decrypt(*key, last_in, last.data());
      break;
    case CIPHER_MODE_CBC:
      std::memcpy(chain.data(), mode->iv, BLOCK_OCTETS);
      cbc_decrypt(*key, chain, in, out, blocks);
      cbc_decrypt(*key, chain, last_in, last.data(), 1);
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
