#include "cipher_test_support.h"

#include <cstring>
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

namespace {

// routine, run with the implementation `id` selected.
template <aes_impl_id id, auto routine>
struct selecting;
template <aes_impl_id id, typename R, typename... A, R (*routine)(A...)>
struct selecting<id, routine> {
  static R call(A... args) {
    if (!select_aes_impl(id)) ADD_FAILURE() << aes_impl_name(id) << " is not available here";
    return routine(args...);
  }
};

// The implementation `id`, or nullptr after failing the test when this machine cannot run it.
const aes_impl* available(aes_impl_id id) {
  const aes_impl* impl = find_aes_impl(id);
  if (impl == nullptr) ADD_FAILURE() << aes_impl_name(id) << " is not available here";
  return impl;
}

// Key set-up by the implementation `id`.
template <aes_impl_id id>
void expand_key(const std::uint8_t* key_bytes, std::uint8_t round_keys[15][16], int rounds) {
  if (const aes_impl* impl = available(id)) impl->expand_key(key_bytes, round_keys, rounds);
}

template <aes_impl_id id>
void invert_round_keys(std::uint8_t round_keys[15][16], int rounds) {
  if (const aes_impl* impl = available(id)) impl->invert_round_keys(round_keys, rounds);
}

// One block through the block work of the implementation `id`, on the given round keys.
template <aes_impl_id id, bool decrypting>
void one_block(const std::uint8_t in[16], std::uint8_t out[16],
               const std::uint8_t round_keys[15][16], int rounds) {
  const aes_impl* impl = available(id);
  if (impl == nullptr) return;
  key_state key{};
  std::memcpy(key.round_keys, round_keys, sizeof key.round_keys);
  key.rounds = rounds;
  (decrypting ? impl->decrypt_ecb : impl->encrypt_ecb)(key, in, out, 1);
}

template <aes_impl_id id>
cipher_impl entry(decltype(&aes_expand_key) expand, decltype(&aes_invert_round_keys) invert,
                  decltype(&aes_encrypt_block) encrypt_block,
                  decltype(&aes_decrypt_block) decrypt_block) {
  return {aes_impl_name(id),
          id,
          expand,
          invert,
          encrypt_block,
          decrypt_block,
          selecting<id, key_state_init>::call,
          selecting<id, mode_state_init>::call,
          selecting<id, encrypt_blocks>::call,
          selecting<id, decrypt_blocks>::call,
          selecting<id, encrypt_padded>::call,
          selecting<id, decrypt_padded>::call};
}

template <aes_impl_id id>
cipher_impl hardware_entry() {
  return entry<id>(expand_key<id>, invert_round_keys<id>, one_block<id, false>,
                   one_block<id, true>);
}

}  // namespace

const std::vector<cipher_impl>& cipher_impls() {
  static const std::vector<cipher_impl> impls = {
      entry<aes_impl_id::portable>(aes_expand_key, aes_invert_round_keys, aes_encrypt_block,
                                   aes_decrypt_block),
      hardware_entry<aes_impl_id::bitsliced>(),
      hardware_entry<aes_impl_id::aes_ni>(),
      hardware_entry<aes_impl_id::vaes_avx2>(),
      hardware_entry<aes_impl_id::vaes_avx512>(),
  };
  return impls;
}

std::vector<cipher_impl> hardware_impls() {
  std::vector<cipher_impl> hardware;
  for (const cipher_impl& impl : cipher_impls()) {
    if (impl.id != aes_impl_id::portable) hardware.push_back(impl);
  }
  return hardware;
}

void impl_test::SetUp() {
  if (find_aes_impl(impl.id) == nullptr) {
    GTEST_SKIP() << impl.name << " needs AES instructions this processor or system lacks";
  }
}

cipher_setup make_setup(const cipher_impl& impl, int mode_code, int direction,
                        const std::string& key_hex, const std::string& iv_hex) {
  cipher_setup s;
  const int bits = static_cast<int>(key_hex.size() * 4);
  EXPECT_EQ(impl.init_key(&s.key, direction, bits, key_hex.c_str()), 1) << key_hex;
  EXPECT_EQ(impl.init_mode(&s.mode, mode_code, iv_hex.empty() ? nullptr : iv_hex.c_str()), 1);
  return s;
}

std::string run_blocks(const cipher_impl& impl, int mode_code, bool encrypting,
                       const std::string& key_hex, const std::string& iv_hex,
                       const std::string& input) {
  const bool cfb1 = mode_code == CIPHER_MODE_CFB1;
  const int direction = encrypting || cfb1 ? DIRECTION_ENCRYPT : DIRECTION_DECRYPT;
  const cipher_setup s = make_setup(impl, mode_code, direction, key_hex, iv_hex);
  bytes in = cfb1 ? pack_bits(input) : from_hex(input);
  in.resize((in.size() + 15) / 16 * 16);
  bytes out(in.size());
  const int bits = static_cast<int>(in.size() * 8);
  const int done =
      (encrypting ? impl.encrypt : impl.decrypt)(&s.mode, &s.key, in.data(), bits, out.data());
  if (done != bits) return "status " + std::to_string(done);
  return cfb1 ? unpack_bits(out, input.size()) : to_hex(out);
}

}  // namespace vurn::test
