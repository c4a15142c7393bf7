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
// interface the test calls runs it; skipped, saying so, where this processor cannot run it. Set-up
// fails when the dispatch lets it be selected where it cannot run, or not where it can, or
// selects it without putting it in use.
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

// The SP 800-38A example keys, one of each size, and its IV.
inline const std::string sample_keys[] = {
    "2b7e151628aed2a6abf7158809cf4f3c", "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
    "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"};
inline const std::string sample_iv = "000102030405060708090a0b0c0d0e0f";

// Records set up for one run: a key of the direction the routine needs (CFB-1 decrypts with an
// encryption key), bits = 4 * key_hex digits, and a mode with the IV (zero when iv_hex is empty).
// Fails the current test on a bad status.
struct cipher_setup {
  key_state key{};
  mode_state mode{};
};
cipher_setup make_setup(int mode_code, bool encrypting, const std::string& key_hex,
                        const std::string& iv_hex = "");

// Runs input through encrypt_blocks or decrypt_blocks and returns the output in the same notation:
// hex, or for CFB-1 a bit string (zero bits are added up to a whole block and cut off again,
// which is sound because each CFB-1 output bit depends only on the input bits before it).
std::string run_blocks(int mode_code, bool encrypting, const std::string& key_hex,
                       const std::string& iv_hex, const std::string& input);

}  // namespace vurn::test
