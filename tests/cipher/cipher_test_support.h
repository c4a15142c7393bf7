// Shared pieces of the cipher tests: hex and bit-string conversion, a reader for the
// "[section]" / "NAME = value" vector files, and the test fixture that runs a test once per AES
// implementation.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <vurn/cipher.h>
#include "cipher/aes_impl.h"

namespace vurn {
// Test output names an implementation by its name rather than its bytes.
inline void PrintTo(aes_impl_id id, std::ostream* os) {
  *os << aes_impl_name(id);
}
}  // namespace vurn

namespace vurn::test {

using bytes = std::vector<std::uint8_t>;

bytes from_hex(std::string_view hex);
std::string to_hex(const std::uint8_t* data, std::size_t size);
inline std::string to_hex(const bytes& data) {
  return to_hex(data.data(), data.size());
}

// Bit strings of '0' and '1', first bit first, packed into octets most significant bit first.
bytes pack_bits(std::string_view bits);
std::string unpack_bits(const bytes& data, std::size_t count);

// One record of a vector file: the section it is in and its NAME = value fields. Records end at a
// blank line or a section header; '#' lines are comments; CRLF line ends are accepted.
struct vector_record {
  std::string section;
  std::map<std::string, std::string> fields;
  std::string operator[](const std::string& name) const;  // "" when absent
};
std::vector<vector_record> read_vector_file(const std::string& path);

// A test run once per AES implementation this build has: set-up selects it, so the cipher
// interface the test calls runs it; skipped, saying so, where this processor cannot run it.
class impl_test : public testing::TestWithParam<aes_impl_id> {
 protected:
  const aes_impl_id impl = GetParam();
  void SetUp() override;
  // Puts back the implementation the process chose, so that later tests run on it.
  void TearDown() override;

 private:
  aes_impl_id chosen_ = active_aes_impl_id();
};
std::string impl_name(const testing::TestParamInfo<aes_impl_id>& info);

// The implementations the dispatch may choose: the bitsliced one and those using the AES
// instructions, that is all but the table core, which they are compared against.
std::vector<aes_impl_id> constant_time_impls();

// Records set up for one run: a key of the given direction, bits = 4 * key_hex digits, and a
// mode with the IV (zero when iv_hex is empty). Fails the current test on a bad status.
struct cipher_setup {
  key_state key{};
  mode_state mode{};
};
cipher_setup make_setup(int mode_code, int direction, const std::string& key_hex,
                        const std::string& iv_hex = "");

// Runs input through encrypt_blocks or decrypt_blocks and returns the output in the same notation:
// hex, or for CFB-1 a bit string (zero bits are added up to a whole block and cut off again,
// which is sound because each CFB-1 output bit depends only on the input bits before it).
// Decryption uses a decryption key except in CFB-1, whose decryption needs an encryption key.
std::string run_blocks(int mode_code, bool encrypting, const std::string& key_hex,
                       const std::string& iv_hex, const std::string& input);

}  // namespace vurn::test
