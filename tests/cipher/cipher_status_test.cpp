// Status codes and guards of the cipher interface.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "cipher/chunks.h"
#include "cipher_test_support.h"

namespace vurn::test {
namespace {

const std::string key128 = "000102030405060708090a0b0c0d0e0f";
const std::string key192 = "000102030405060708090a0b0c0d0e0f1011121314151617";
const std::string key256 = key128 + "101112131415161718191a1b1c1d1e1f";

TEST(CipherStatus, KeyStateInitReportsEachBadInput) {
  struct scenario {
    const char* what;
    int direction, bits;
    std::string text;
    int status;
  };
  const scenario scenarios[] = {
      {"128-bit key", DIRECTION_ENCRYPT, 128, key128, 1},
      {"192-bit key", DIRECTION_DECRYPT, 192, key192, 1},
      {"256-bit key", DIRECTION_ENCRYPT, 256, key256, 1},
      {"direction 2", 2, 128, key128, ERR_KEY_DIRECTION},
      {"negative direction", -1, 128, key128, ERR_KEY_DIRECTION},
      {"direction 256 (truncates to 0)", 256, 128, key128, ERR_KEY_DIRECTION},
      {"200 bits", DIRECTION_ENCRYPT, 200, key256, ERR_KEY_MATERIAL},
      {"0 bits", DIRECTION_ENCRYPT, 0, key256, ERR_KEY_MATERIAL},
      {"-128 bits", DIRECTION_ENCRYPT, -128, key256, ERR_KEY_MATERIAL},
      {"letter G", DIRECTION_ENCRYPT, 128, "G00102030405060708090a0b0c0d0e0f", ERR_KEY_MATERIAL},
      {"space", DIRECTION_ENCRYPT, 128, "000102030405060708090a0b0c0d0e0 ", ERR_KEY_MATERIAL},
      {"text too short", DIRECTION_ENCRYPT, 256, key128, ERR_KEY_MATERIAL},
      {"extra text ignored", DIRECTION_ENCRYPT, 128, key128 + "zz", 1},
  };
  for (const auto& s : scenarios) {
    key_state key{};
    EXPECT_EQ(key_state_init(&key, s.direction, s.bits, s.text.c_str()), s.status) << s.what;
  }
  EXPECT_EQ(key_state_init(nullptr, DIRECTION_ENCRYPT, 128, key128.c_str()), ERR_KEY_STATE);
}

TEST(CipherStatus, KeyStateInitReadsTextUpToBitsOverFourCharacters) {
  // An unterminated buffer exactly as long as the key, as the key-file loader hands over.
  const auto digits = std::make_unique<char[]>(32);
  std::memcpy(digits.get(), key128.data(), 32);
  key_state from_buffer{}, upper{}, lower{};
  ASSERT_EQ(key_state_init(&from_buffer, DIRECTION_ENCRYPT, 128, digits.get()), 1);
  EXPECT_EQ(std::string(from_buffer.key_text), key128);

  ASSERT_EQ(key_state_init(&upper, DIRECTION_ENCRYPT, 128, "AABBCCDDEEFF00112233445566778899"), 1);
  ASSERT_EQ(key_state_init(&lower, DIRECTION_ENCRYPT, 128, "aabbccddeeff00112233445566778899"), 1);
  EXPECT_EQ(std::memcmp(upper.round_keys, lower.round_keys, sizeof upper.round_keys), 0);

  // Without text the record's own text is used; bad text leaves the round keys as they were.
  key_state again = lower;
  std::memset(again.round_keys, 0, sizeof again.round_keys);
  ASSERT_EQ(key_state_init(&again, DIRECTION_ENCRYPT, 128, nullptr), 1);
  EXPECT_EQ(std::memcmp(again.round_keys, lower.round_keys, sizeof again.round_keys), 0);
  EXPECT_EQ(key_state_init(&again, DIRECTION_ENCRYPT, 128, "xyz"), ERR_KEY_MATERIAL);
  EXPECT_EQ(std::memcmp(again.round_keys, lower.round_keys, sizeof again.round_keys), 0);
  EXPECT_EQ(std::string(again.key_text), "xyz");
}

TEST(CipherStatus, ModeStateInitChecksModeAndIv) {
  mode_state mode{};
  for (int bad : {0, 4, -1, 255, 258}) EXPECT_EQ(mode_state_init(&mode, bad, nullptr), ERR_MODE);
  EXPECT_EQ(mode_state_init(nullptr, CIPHER_MODE_CBC, nullptr), ERR_CIPHER_STATE);

  std::memset(mode.iv, 0xff, 16);
  ASSERT_EQ(mode_state_init(&mode, CIPHER_MODE_CBC, nullptr), 1);
  EXPECT_EQ(to_hex(mode.iv, 16), std::string(32, '0'));
  ASSERT_EQ(mode_state_init(&mode, CIPHER_MODE_CFB1, "000102030405060708090A0B0C0D0E0Fff"), 1);
  EXPECT_EQ(mode.mode, CIPHER_MODE_CFB1);
  EXPECT_EQ(to_hex(mode.iv, 16), "000102030405060708090a0b0c0d0e0f");

  EXPECT_EQ(mode_state_init(&mode, CIPHER_MODE_ECB, "ffffg"), ERR_IV);
  EXPECT_EQ(to_hex(mode.iv, 3), "ffff02");  // the bytes before the bad digit are converted
  EXPECT_EQ(mode_state_init(&mode, CIPHER_MODE_ECB, "00"), ERR_IV);  // short text
}

// Every routine, with what it needs from the records (a mode and a key direction) and a length.
using routine = int (*)(const mode_state*, const key_state*, const std::uint8_t*, int,
                        std::uint8_t*);
template <auto chunks_routine>
int two_chunks(const mode_state* m, const key_state* k, const std::uint8_t* in, int octets,
               std::uint8_t* out) {
  return chunks_routine(m, k, in, static_cast<std::size_t>(octets), 2, out);
}
struct routine_case {
  const char* name;
  int mode, direction;
  routine call;
  int length;
};
const routine_case routines[] = {
    {"encrypt_blocks", CIPHER_MODE_CBC, DIRECTION_ENCRYPT, encrypt_blocks, 128},
    {"decrypt_blocks", CIPHER_MODE_CBC, DIRECTION_DECRYPT, decrypt_blocks, 128},
    {"encrypt_blocks CFB-1", CIPHER_MODE_CFB1, DIRECTION_ENCRYPT, encrypt_blocks, 128},
    {"decrypt_blocks CFB-1", CIPHER_MODE_CFB1, DIRECTION_ENCRYPT, decrypt_blocks, 128},
    {"encrypt_padded", CIPHER_MODE_CBC, DIRECTION_ENCRYPT, encrypt_padded, 16},
    {"decrypt_padded", CIPHER_MODE_CBC, DIRECTION_DECRYPT, decrypt_padded, 16},
    {"encrypt_chunks", CIPHER_MODE_CBC, DIRECTION_ENCRYPT, two_chunks<encrypt_chunks>, 16},
    {"decrypt_chunks", CIPHER_MODE_CBC, DIRECTION_DECRYPT, two_chunks<decrypt_chunks>, 16},
};

// An init that fails: of the key record (with `code` as direction, -1 for the routine's, `bits`
// and `text`) or of the mode record (with `code` as mode, -1 for the routine's, and `text` as IV).
struct failing_init {
  const char* name;
  int status;
  bool of_key;
  int code, bits;
  const char* text;
};
const failing_init failing_inits[] = {
    {"bad digit", ERR_KEY_MATERIAL, true, -1, 128, "000102030405060708090a0b0c0d0e0g"},
    {"bad size", ERR_KEY_MATERIAL, true, -1, 160, key192.c_str()},
    {"bad direction", ERR_KEY_DIRECTION, true, 2, 128, key128.c_str()},
    {"bad IV", ERR_IV, false, -1, 0, "00010203x"},
    {"bad mode", ERR_MODE, false, 0, 0, nullptr},
};

// After a failed init a record is unusable, whether it was never set up (and holds whatever its
// memory held) or was usable before: every routine refuses it, and does not run on round keys
// that are all zero or a mix of the old key and the new.
TEST(CipherStatus, FailedInitMakesRecordUnusable) {
  std::uint8_t in[32] = {}, out[48];
  for (const failing_init& f : failing_inits) {
    for (const routine_case& r : routines) {
      for (bool previously_good : {false, true}) {
        SCOPED_TRACE(testing::Message() << f.name << ", " << r.name
                                        << (previously_good ? ", usable before" : ", fresh"));
        mode_state mode;
        key_state key;
        std::memset(&mode, 1, sizeof mode);
        std::memset(&key, 1, sizeof key);
        if (previously_good) {
          ASSERT_EQ(key_state_init(&key, r.direction, 128, key128.c_str()), 1);
          ASSERT_EQ(mode_state_init(&mode, r.mode, nullptr), 1);
          ASSERT_NE(r.call(&mode, &key, in, r.length, out), ERR_CIPHER_STATE);
        }
        // The failing init, and the other record set up well.
        if (f.of_key) {
          const int direction = f.code < 0 ? r.direction : f.code;
          ASSERT_EQ(key_state_init(&key, direction, f.bits, f.text), f.status);
          ASSERT_EQ(mode_state_init(&mode, r.mode, nullptr), 1);
        } else {
          ASSERT_EQ(mode_state_init(&mode, f.code < 0 ? r.mode : f.code, f.text), f.status);
          ASSERT_EQ(key_state_init(&key, r.direction, 128, key128.c_str()), 1);
        }
        EXPECT_EQ(r.call(&mode, &key, in, r.length, out), ERR_CIPHER_STATE);
      }
    }
  }
}

struct records {
  key_state enc{}, dec{};
  mode_state ecb{}, cbc{}, cfb1{}, unknown{};
  records() {
    key_state_init(&enc, DIRECTION_ENCRYPT, 128, key128.c_str());
    key_state_init(&dec, DIRECTION_DECRYPT, 128, key128.c_str());
    mode_state_init(&ecb, CIPHER_MODE_ECB, nullptr);
    mode_state_init(&cbc, CIPHER_MODE_CBC, nullptr);
    mode_state_init(&cfb1, CIPHER_MODE_CFB1, nullptr);
    unknown = cbc;
    unknown.mode = 7;
  }
};

TEST(CipherStatus, BlockAndChunkRoutinesGuardRecordsAndLengths) {
  const records r;
  std::uint8_t in[48] = {}, out[48];
  EXPECT_EQ(encrypt_blocks(nullptr, &r.enc, in, 128, out), ERR_CIPHER_STATE);
  EXPECT_EQ(encrypt_blocks(&r.cbc, nullptr, in, 128, out), ERR_CIPHER_STATE);
  EXPECT_EQ(encrypt_blocks(&r.cbc, &r.dec, in, 128, out), ERR_CIPHER_STATE);
  EXPECT_EQ(encrypt_blocks(&r.unknown, &r.enc, in, 128, out), ERR_CIPHER_STATE);
  EXPECT_EQ(decrypt_blocks(&r.cbc, &r.enc, in, 128, out), ERR_CIPHER_STATE);
  EXPECT_EQ(decrypt_blocks(&r.cfb1, &r.enc, in, 128, out), 128);
  EXPECT_EQ(decrypt_blocks(&r.cfb1, &r.dec, in, 128, out), 128);  // accepted, though useless

  EXPECT_EQ(encrypt_blocks(&r.cbc, &r.enc, nullptr, 128, out), 0);
  EXPECT_EQ(encrypt_blocks(&r.cbc, &r.enc, in, 128, nullptr), 0);
  EXPECT_EQ(encrypt_blocks(&r.cbc, &r.enc, in, 0, out), 0);
  EXPECT_EQ(decrypt_blocks(&r.cbc, &r.dec, in, -128, out), 0);

  EXPECT_EQ(encrypt_chunks(&r.cbc, &r.dec, in, 32, 1, out), ERR_CIPHER_STATE);
  EXPECT_EQ(decrypt_chunks(&r.cbc, &r.enc, in, 32, 1, out), ERR_CIPHER_STATE);
  EXPECT_EQ(encrypt_chunks(nullptr, &r.enc, in, 32, 1, out), ERR_CIPHER_STATE);
  EXPECT_EQ(encrypt_chunks(&r.unknown, &r.enc, in, 32, 1, out), ERR_CIPHER_STATE);
  EXPECT_EQ(encrypt_chunks(&r.cbc, &r.enc, nullptr, 32, 1, out), CHUNKS_NONE);
  EXPECT_EQ(decrypt_chunks(&r.cbc, &r.dec, in, 0, 1, out), CHUNKS_NONE);

  // Only whole blocks are processed; the rest of the output is left alone.
  for (const mode_state* mode : {&r.ecb, &r.cbc, &r.cfb1}) {
    std::memset(out, 0xaa, sizeof out);
    EXPECT_EQ(encrypt_blocks(mode, &r.enc, in, 100, out), 0);
    EXPECT_EQ(to_hex(out, 48), std::string(96, 'a'));
    EXPECT_EQ(encrypt_blocks(mode, &r.enc, in, 192, out), 128);
    EXPECT_NE(to_hex(out, 16), std::string(32, 'a'));
    EXPECT_EQ(to_hex(out + 16, 32), std::string(64, 'a'));
  }
}

TEST(CipherStatus, PaddedRoutinesGuardRecordsLengthsAndPadding) {
  const records r;
  std::uint8_t in[64] = {}, out[80];
  EXPECT_EQ(encrypt_padded(&r.cbc, &r.enc, in, 0, out), 0);
  EXPECT_EQ(encrypt_padded(&r.cbc, &r.enc, nullptr, 5, out), 0);
  EXPECT_EQ(encrypt_padded(nullptr, &r.enc, in, 5, out), ERR_CIPHER_STATE);
  EXPECT_EQ(encrypt_padded(&r.cbc, &r.dec, in, 5, out), ERR_CIPHER_STATE);
  EXPECT_EQ(encrypt_padded(&r.cfb1, &r.enc, in, 5, out), ERR_CIPHER_STATE);
  EXPECT_EQ(encrypt_padded(&r.unknown, &r.enc, in, 5, out), ERR_CIPHER_STATE);
  EXPECT_EQ(decrypt_padded(&r.cbc, &r.dec, in, 0, out), 0);
  EXPECT_EQ(decrypt_padded(&r.cbc, &r.enc, in, 16, out), ERR_CIPHER_STATE);
  EXPECT_EQ(decrypt_padded(&r.cfb1, &r.dec, in, 16, out), ERR_CIPHER_STATE);
  EXPECT_EQ(decrypt_padded(&r.cbc, &r.dec, in, 20, out), ERR_PADDING);
  EXPECT_EQ(decrypt_padded(&r.cfb1, &r.dec, in, 20, out), ERR_PADDING);  // length comes first

  // Last blocks whose padding is wrong, encrypted without padding and handed to decrypt_padded.
  const char* bad_last_blocks[] = {
      "000102030405060708090a0b0c0d0e00",  // pad value 0
      "000102030405060708090a0b0c0d0e11",  // pad value 17
      "ff0102030405060708090a0b0c0d0eff",  // pad value 255
      "000102030405060708090a0b0c0d0203",  // 3 expected, one byte differs
      "0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f10",  // 16 expected, the first byte differs
  };
  for (const mode_state* mode : {&r.ecb, &r.cbc}) {
    for (const char* last : bad_last_blocks) {
      const bytes plain = from_hex(std::string(32, '1') + last);
      std::uint8_t cipher_text[32];
      ASSERT_EQ(encrypt_blocks(mode, &r.enc, plain.data(), 256, cipher_text), 256);
      std::memset(out, 0, sizeof out);
      EXPECT_EQ(decrypt_padded(mode, &r.dec, cipher_text, 32, out), ERR_PADDING) << last;
      EXPECT_EQ(to_hex(out, 16), std::string(32, '1'));  // blocks before the last are written
    }
  }
}

}  // namespace
}  // namespace vurn::test
