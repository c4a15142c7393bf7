#include <gtest/gtest.h>

#include <cstring>

#include <vurn/aes.h>
#include "cipher/aes_core.h"
#include "cipher_test_support.h"

namespace vurn::test {
namespace {

TEST(AesCore, TablesHoldKnownValues) {
  const aes_table_set& t = aes_tables;
  EXPECT_EQ(t.sbox[0x00], 0x63);
  EXPECT_EQ(t.sbox[0x53], 0xed);
  EXPECT_EQ(t.sbox[0xff], 0x16);
  for (int x = 0; x < 256; ++x) ASSERT_EQ(t.inv_sbox[t.sbox[x]], x);
  // Rows 0..3 of a column sit in bits 0-7 .. 24-31: S[0] = 63, 02*63 = c6, 03*63 = a5.
  EXPECT_EQ(t.enc[0][0x00], 0xa56363c6u);
  EXPECT_EQ(t.enc[1][0x00], 0x6363c6a5u);
  EXPECT_EQ(t.key_conv[0][0x01], 0x0b0d090eu);
  EXPECT_EQ(t.key_conv[3][0x01], 0x0e0b0d09u);  // InvMixColumns column 3: (09, 0d, 0b, 0e)
}

// The bitsliced S-box circuits give the table S-boxes on all 256 octets: octet 64k + i goes into
// lane i of the k-th evaluation.
TEST(AesCore, BitslicedSubBytesMatchesTheTables) {
  const struct {
    const char* name;
    void (*circuit)(std::uint64_t planes[8]);
    const std::uint8_t* table;
  } directions[] = {{"forward", bitsliced_sub_bytes, aes_tables.sbox},
                    {"inverse", bitsliced_inv_sub_bytes, aes_tables.inv_sbox}};
  for (const auto& d : directions) {
    for (unsigned k = 0; k < 4; ++k) {
      std::uint64_t planes[8] = {};
      for (unsigned i = 0; i < 64; ++i) {
        for (unsigned b = 0; b < 8; ++b) planes[b] |= std::uint64_t{(64 * k + i) >> b & 1} << i;
      }
      d.circuit(planes);
      for (unsigned i = 0; i < 64; ++i) {
        unsigned octet = 0;
        for (unsigned b = 0; b < 8; ++b) octet |= static_cast<unsigned>(planes[b] >> i & 1) << b;
        ASSERT_EQ(octet, d.table[64 * k + i]) << d.name << " of " << 64 * k + i;
      }
    }
  }
}

class AesCore : public impl_test {};

// The FIPS-197 examples in both directions, through the cipher interface and through the one-block
// routines of aes.h, and the round keys: round key 0 is the key itself, conversion for decryption
// leaves the first and the last round keys alone, and both interfaces give the same round keys.
TEST_P(AesCore, MatchesFips197Examples) {
  const auto records = read_vector_file(VURN_TEST_VECTORS "/fips197_appendix_c.txt");
  ASSERT_EQ(records.size(), 4u);
  for (const auto& r : records) {
    SCOPED_TRACE(r.section);
    EXPECT_EQ(run_blocks(CIPHER_MODE_ECB, true, r["KEY"], "", r["PLAINTEXT"]), r["CIPHERTEXT"]);
    EXPECT_EQ(run_blocks(CIPHER_MODE_ECB, false, r["KEY"], "", r["CIPHERTEXT"]), r["PLAINTEXT"]);
    const key_state enc = make_setup(CIPHER_MODE_ECB, DIRECTION_ENCRYPT, r["KEY"]).key;
    const key_state dec = make_setup(CIPHER_MODE_ECB, DIRECTION_DECRYPT, r["KEY"]).key;
    EXPECT_EQ(to_hex(enc.round_keys[0], 16), r["KEY"].substr(0, 32));
    EXPECT_EQ(std::memcmp(dec.round_keys[0], enc.round_keys[0], 16), 0);
    EXPECT_EQ(std::memcmp(dec.round_keys[enc.rounds], enc.round_keys[enc.rounds], 16), 0);

    const bytes key = from_hex(r["KEY"]);
    std::uint8_t round_keys[15][16] = {};
    aes_expand_key(key.data(), round_keys, enc.rounds);
    EXPECT_EQ(to_hex(round_keys[0], 240), to_hex(enc.round_keys[0], 240));
    bytes block = from_hex(r["PLAINTEXT"]);
    aes_encrypt_block(block.data(), block.data(), round_keys, enc.rounds);
    EXPECT_EQ(to_hex(block), r["CIPHERTEXT"]);
    aes_invert_round_keys(round_keys, enc.rounds);
    EXPECT_EQ(to_hex(round_keys[0], 240), to_hex(dec.round_keys[0], 240));
    aes_decrypt_block(block.data(), block.data(), round_keys, enc.rounds);
    EXPECT_EQ(to_hex(block), r["PLAINTEXT"]);
  }
  // A round count AES does not have leaves everything alone.
  std::uint8_t round_keys[15][16] = {}, block[16] = {};
  for (int rounds : {0, 11, 15, -1}) {
    aes_expand_key(block, round_keys, rounds);
    aes_invert_round_keys(round_keys, rounds);
    aes_encrypt_block(block, block, round_keys, rounds);
    aes_decrypt_block(block, block, round_keys, rounds);
  }
  EXPECT_EQ(to_hex(round_keys[0], 240) + to_hex(block, 16), std::string(512, '0'));
}

// The last round key of the FIPS-197 Appendix B key schedule (w[40..43]), laid out word by word.
TEST_P(AesCore, LaysOutRoundKeysInScheduleOrder) {
  const key_state key =
      make_setup(CIPHER_MODE_ECB, DIRECTION_ENCRYPT, "2b7e151628aed2a6abf7158809cf4f3c").key;
  EXPECT_EQ(to_hex(key.round_keys[10], 16), "d014f9a8c9ee2589e13f0cc8b6630ca6");
}

INSTANTIATE_TEST_SUITE_P(Impl, AesCore, testing::ValuesIn(all_aes_impls()), impl_name);

}  // namespace
}  // namespace vurn::test
