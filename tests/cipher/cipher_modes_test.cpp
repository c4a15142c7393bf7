// The padding of the padded routines.
#include <gtest/gtest.h>

#include "cipher_test_support.h"

namespace vurn::test {
namespace {

class CipherModes : public impl_test {};

// encrypt_padded equals the block routine over the input with p octets of value p appended, and
// decrypt_padded gives back the input, for every length up to four blocks; the records are used
// again and again, so a call that changed them would show. (CipherPaths runs them in place.)
TEST_P(CipherModes, PaddedRunsRoundTrip) {
  const std::string& key = sample_keys[1];
  for (int mode : {CIPHER_MODE_ECB, CIPHER_MODE_CBC}) {
    const cipher_setup enc = make_setup(mode, true, key, sample_iv);
    const cipher_setup dec = make_setup(mode, false, key, sample_iv);
    for (int length = 0; length <= 64; ++length) {
      SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << length << " octets");
      bytes plain(static_cast<std::size_t>(length));
      for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 37);
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
      EXPECT_EQ(to_hex(cipher_text), run_blocks(mode, true, key, sample_iv, to_hex(padded)));

      bytes out(cipher_text.size());
      ASSERT_EQ(decrypt_padded(&dec.mode, &dec.key, cipher_text.data(), produced, out.data()),
                length);
      EXPECT_EQ(bytes(out.begin(), out.begin() + length), plain);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Impl, CipherModes, testing::ValuesIn(all_aes_impls()), impl_name);

}  // namespace
}  // namespace vurn::test
