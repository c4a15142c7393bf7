#include "cipher_test_support.h"

#include <fstream>
#include <stdexcept>

namespace vurn::test {

bytes from_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  bytes out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  }
  return out;
}

std::string to_hex(const std::uint8_t* data, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

bytes pack_bits(std::string_view bits) {
  bytes out((bits.size() + 7) / 8);
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] == '1') out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | 0x80 >> (i % 8));
  }
  return out;
}

std::string unpack_bits(const bytes& data, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += (data[i / 8] >> (7 - i % 8) & 1) != 0 ? '1' : '0';
  return out;
}

std::string vector_record::operator[](const std::string& name) const {
  const auto it = fields.find(name);
  return it == fields.end() ? std::string() : it->second;
}

std::vector<vector_record> read_vector_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::vector<vector_record> records;
  std::string section, line;
  bool open = false;  // the last record still takes fields
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '[') {
      open = false;
      if (!line.empty()) section = line.substr(1, line.find(']') - 1);
      continue;
    }
    const auto eq = line.find(" = ");
    if (line[0] == '#' || eq == std::string::npos) continue;
    if (!open) records.push_back({section, {}});
    open = true;
    records.back().fields[line.substr(0, eq)] = line.substr(eq + 3);
  }
  return records;
}

void impl_test::SetUp() {
  const bool runs_here = find_aes_impl(impl) != nullptr;
  ASSERT_EQ(select_aes_impl(impl), runs_here) << "selectable exactly where it runs";
  if (!runs_here) {
    GTEST_SKIP() << aes_impl_name(impl) << " needs AES instructions this processor or system lacks";
  }
  ASSERT_EQ(active_aes_impl_id(), impl) << "selected, but not in use";
}

void impl_test::TearDown() {
  select_aes_impl(chosen_);
}

std::string impl_name(const testing::TestParamInfo<aes_impl_id>& info) {
  return aes_impl_name(info.param);
}

std::vector<aes_impl_id> constant_time_impls() {
  std::vector<aes_impl_id> ids;
  for (aes_impl_id id : all_aes_impls()) {
    if (id != aes_impl_id::table) ids.push_back(id);
  }
  return ids;
}

cipher_setup make_setup(int mode_code, bool encrypting, const std::string& key_hex,
                        const std::string& iv_hex) {
  const int direction =
      encrypting || mode_code == CIPHER_MODE_CFB1 ? DIRECTION_ENCRYPT : DIRECTION_DECRYPT;
  cipher_setup s;
  const int bits = static_cast<int>(key_hex.size() * 4);
  EXPECT_EQ(key_state_init(&s.key, direction, bits, key_hex.c_str()), 1) << key_hex;
  EXPECT_EQ(mode_state_init(&s.mode, mode_code, iv_hex.empty() ? nullptr : iv_hex.c_str()), 1);
  return s;
}

std::string run_blocks(int mode_code, bool encrypting, const std::string& key_hex,
                       const std::string& iv_hex, const std::string& input) {
  const bool cfb1 = mode_code == CIPHER_MODE_CFB1;
  const cipher_setup s = make_setup(mode_code, encrypting, key_hex, iv_hex);
  bytes in = cfb1 ? pack_bits(input) : from_hex(input);
  in.resize((in.size() + 15) / 16 * 16);
  bytes out(in.size());
  const int bits = static_cast<int>(in.size() * 8);
  const int done =
      (encrypting ? encrypt_blocks : decrypt_blocks)(&s.mode, &s.key, in.data(), bits, out.data());
  if (done != bits) return "status " + std::to_string(done);
  return cfb1 ? unpack_bits(out, input.size()) : to_hex(out);
}

}  // namespace vurn::test
