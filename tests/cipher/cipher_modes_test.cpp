// Known answers and properties of ECB, CBC and CFB-1 through the block and padded routines.
#include <gtest/gtest.h>

#include "cipher_test_support.h"

namespace vurn::test {
namespace {

const std::string key128 = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string key192 = "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b";
const std::string key256 = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
const std::string iv = "000102030405060708090a0b0c0d0e0f";
const int all_modes[] = {CIPHER_MODE_ECB, CIPHER_MODE_CBC, CIPHER_MODE_CFB1};

int mode_code(const std::string& name) {
  return name == "ECB" ? CIPHER_MODE_ECB : name == "CBC" ? CIPHER_MODE_CBC : CIPHER_MODE_CFB1;
}

bytes sample(std::size_t size) {
  bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
  return data;
}

using block_routine = decltype(&encrypt_blocks);

class CipherModes : public impl_test {
 protected:
  // Runs a whole number of blocks with a fresh key of the direction the routine needs.
  bytes run(int mode, bool encrypting, const std::string& key, const bytes& in,
            const std::string& iv_hex = iv) {
    const int direction =
        encrypting || mode == CIPHER_MODE_CFB1 ? DIRECTION_ENCRYPT : DIRECTION_DECRYPT;
    const cipher_setup s = make_setup(mode, direction, key, iv_hex);
    bytes out(in.size());
    const int bits = static_cast<int>(in.size() * 8);
    EXPECT_EQ((encrypting ? encrypt_blocks : decrypt_blocks)(&s.mode, &s.key, in.data(), bits,
                                                             out.data()),
              bits);
    return out;
  }
};

TEST_P(CipherModes, MatchSp80038aExamples) {
  const auto records = read_vector_file(VURN_TEST_VECTORS "/sp800_38a_appendix_f.txt");
  ASSERT_EQ(records.size(), 18u);
  for (const auto& r : records) {
    SCOPED_TRACE(r.section);
    const bool encrypting = r["DIRECTION"] == "ENCRYPT";
    const std::string suffix = r["MODE"] == "CFB1" ? "_BITS" : "";
    const std::string in = r[(encrypting ? "PLAINTEXT" : "CIPHERTEXT") + suffix];
    const std::string expected = r[(encrypting ? "CIPHERTEXT" : "PLAINTEXT") + suffix];
    EXPECT_EQ(run_blocks(mode_code(r["MODE"]), encrypting, r["KEY"], r["IV"], in), expected);
  }
}

// The records are not changed by a call, so the same call gives the same output again; in place
// gives what separate buffers give.
TEST_P(CipherModes, RepeatAndInPlaceCallsAgree) {
  const bytes plain = sample(64);
  for (int mode : all_modes) {
    for (const std::string& key : {key128, key192, key256}) {
      SCOPED_TRACE(testing::Message() << "mode " << mode << ", key " << key.size() * 4);
      for (bool encrypting : {true, false}) {
        const int direction =
            encrypting || mode == CIPHER_MODE_CFB1 ? DIRECTION_ENCRYPT : DIRECTION_DECRYPT;
        const cipher_setup s = make_setup(mode, direction, key, iv);
        const block_routine routine = encrypting ? encrypt_blocks : decrypt_blocks;
        bytes first(64), second(64), in_place = plain;
        EXPECT_EQ(routine(&s.mode, &s.key, plain.data(), 512, first.data()), 512);
        EXPECT_EQ(routine(&s.mode, &s.key, plain.data(), 512, second.data()), 512);
        EXPECT_EQ(routine(&s.mode, &s.key, in_place.data(), 512, in_place.data()), 512);
        EXPECT_EQ(first, second);
        EXPECT_EQ(first, in_place);
      }
      EXPECT_EQ(run(mode, false, key, run(mode, true, key, plain)), plain);
    }
  }
}

// CBC and CFB-1 carry their chaining value from block to block: after one block it is that
// block's ciphertext, so a run split in two, the second half starting from the first half's
// last ciphertext block, gives the same result as the whole run.
TEST_P(CipherModes, ChainAcrossBlocks) {
  const bytes plain = sample(64);
  for (int mode : {CIPHER_MODE_CBC, CIPHER_MODE_CFB1}) {
    SCOPED_TRACE(testing::Message() << "mode " << mode);
    const bytes whole = run(mode, true, key256, plain);
    const bytes head = run(mode, true, key256, bytes(plain.begin(), plain.begin() + 16));
    const bytes tail =
        run(mode, true, key256, bytes(plain.begin() + 16, plain.end()), to_hex(head));
    EXPECT_EQ(to_hex(whole), to_hex(head) + to_hex(tail));
  }
  // CBC from a zero IV over two blocks: E(p0), then E(p1 ^ c0).
  const bytes ecb = run(CIPHER_MODE_ECB, true, key256, plain);
  const bytes cbc = run(CIPHER_MODE_CBC, true, key256, plain, "");
  bytes second(plain.begin() + 16, plain.begin() + 32);
  for (std::size_t i = 0; i < 16; ++i) second[i] ^= cbc[i];
  EXPECT_EQ(bytes(cbc.begin(), cbc.begin() + 16), bytes(ecb.begin(), ecb.begin() + 16));
  EXPECT_EQ(bytes(cbc.begin() + 16, cbc.begin() + 32), run(CIPHER_MODE_ECB, true, key256, second));
}

// encrypt_padded equals the block routine over the input with p octets of value p appended, and
// decrypt_padded gives back the input, for every length up to four blocks.
TEST_P(CipherModes, PaddedRunsRoundTrip) {
  for (int mode : {CIPHER_MODE_ECB, CIPHER_MODE_CBC}) {
    const cipher_setup enc = make_setup(mode, DIRECTION_ENCRYPT, key192, iv);
    const cipher_setup dec = make_setup(mode, DIRECTION_DECRYPT, key192, iv);
    for (int length = 0; length <= 64; ++length) {
      SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << length << " octets");
      const bytes plain = sample(static_cast<std::size_t>(length));
      bytes cipher_text(static_cast<std::size_t>(length / 16 * 16 + 16));
      const int produced =
          encrypt_padded(&enc.mode, &enc.key, plain.data(), length, cipher_text.data());
      if (length == 0) {
        EXPECT_EQ(produced, 0);
        continue;
      }
      ASSERT_EQ(produced, static_cast<int>(cipher_text.size()));
      bytes padded = plain;
      const int pad = 16 - length % 16;
      padded.insert(padded.end(), static_cast<std::size_t>(pad), static_cast<std::uint8_t>(pad));
      EXPECT_EQ(cipher_text, run(mode, true, key192, padded));

      bytes out(cipher_text.size());
      ASSERT_EQ(decrypt_padded(&dec.mode, &dec.key, cipher_text.data(), produced, out.data()),
                length);
      EXPECT_EQ(bytes(out.begin(), out.begin() + length), plain);
      ASSERT_EQ(
          decrypt_padded(&dec.mode, &dec.key, cipher_text.data(), produced, cipher_text.data()),
          length);  // in place
      EXPECT_EQ(bytes(cipher_text.begin(), cipher_text.begin() + length), plain);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Impl, CipherModes, testing::ValuesIn(all_aes_impls()), impl_name);

}  // namespace
}  // namespace vurn::test
