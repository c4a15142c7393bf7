// Writes the seed corpora of the fuzz targets: make_seeds <corpus folder> fills
// <corpus folder>/<target>/seed-<n> for every target.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"

namespace {

using namespace std::string_view_literals;
using seeds = std::vector<std::string>;

// Headers as encryption writes them with each chunk size, damaged ones, and names with blanks,
// before a short body.
seeds format_seeds() {
  const std::string fields[] = {std::string("\x80\0\0\0\0\0\0\0", 8),
                                std::string("\xC0\0\0\0\0\0\0\0", 8),
                                std::string("\0\1\0\0\0\0\0\0", 8)};
  const std::string names[] = {"key", "keys/a.key", " \t\nk1\r\n", "my keys/a.key"};
  const std::string body(40, 'b');
  seeds result;
  for (const auto& field : fields) {
    for (const auto& name : names) result.push_back(name + " " + field + body);
    result.push_back("key " + field.substr(0, 5));
    result.push_back("key " + field.substr(1) + body);
  }
  // Stored names of the longest accepted length (PATH_MAX) and one byte more. They also lift
  // libFuzzer's input size limit above its 4096-byte default, so the longer names stay reachable.
  for (const std::size_t length : {std::size_t{4095}, std::size_t{4096}}) {
    result.push_back(std::string(length, 'n') + " " + fields[2]);
  }
  return result;
}

seeds read_key_file_seeds() {
  const std::string digits = vurn::fuzz::KEY_FILES[2].digits;
  return {digits, digits.substr(0, 48), digits.substr(0, 32), digits.substr(0, 32) + "\n",
          "",     digits + "0",         std::string(64, 'g')};
}

seeds parse_options_seeds() {
  constexpr std::string_view argument_lists[] = {
      "-e\0-k\0key\0file"sv,
      "file\0-e\0-k\0key"sv,
      "-d\0-K\0128\0-b\0192\0-o\0out\0in"sv,
      "-K256abc\0-m\0k"sv,
      "-m\0k1\0-k\0k2"sv,
      "--stdout\0-e\0file"sv,
      "--ver"sv,
      "-h\0-K\0100"sv,
      "-f\0x\0-e\0file"sv,
      "--key=k\0--blocksize=128\0--keysize\0192\0-dvzic\0--\0-in"sv,
      "-b"sv,
  };
  return {std::begin(argument_lists), std::end(argument_lists)};
}

// Padded-cipher inputs: a header, then the encrypt_padded output of a short plaintext.
seeds decrypt_padded_seeds() {
  seeds result;
  for (const int selector : {0, 1, 3, 4, 5}) {
    std::string header(vurn::fuzz::PADDED_HEADER, '\0');
    header[0] = static_cast<char>(selector);
    for (std::size_t i = 1; i < header.size(); ++i) header[i] = static_cast<char>(i * 7);
    const auto setup =
        vurn::fuzz::make_padded_setup(std::span<const std::uint8_t, vurn::fuzz::PADDED_HEADER>(
            reinterpret_cast<const std::uint8_t*>(header.data()), header.size()));
    for (const int length : {1, 15, 16, 17, 40}) {
      const std::string plain(static_cast<std::size_t>(length), 'p');
      std::string cipher_text(static_cast<std::size_t>(length / 16 * 16 + 16), '\0');
      const int octets = vurn::encrypt_padded(
          &setup.mode, &setup.encrypt_key, reinterpret_cast<const std::uint8_t*>(plain.data()),
          length, reinterpret_cast<std::uint8_t*>(cipher_text.data()));
      FUZZ_CHECK(octets == static_cast<int>(cipher_text.size()));
      result.push_back(header + cipher_text);
    }
  }
  return result;
}

// AES-path inputs: every operation, direction and key size, lengths around the vector paths' batch
// sizes, a spread of offsets, chunk sizes and bit counts, and one of the longest data (4096
// octets), which also lifts libFuzzer's input size limit to it.
std::string aes_paths_seed(const vurn::fuzz::aes_paths_case& fields, std::size_t length) {
  const auto case_bytes = vurn::fuzz::encode_aes_paths_case(fields);
  std::string seed(case_bytes.begin(), case_bytes.end());
  for (std::size_t i = 0; i < 48; ++i) seed += static_cast<char>(i * 29 + 11);  // key and IV
  for (std::size_t i = 0; i < length; ++i) seed += static_cast<char>(i * 13 + i / 7);
  return seed;
}

seeds aes_paths_seeds() {
  constexpr std::size_t lengths[] = {0, 1, 16, 17, 100, 512, 1040};
  seeds result;
  std::uint8_t n = 0;
  for (std::uint8_t operation = 0; operation < vurn::fuzz::AES_PATHS_OPERATIONS; ++operation) {
    for (const bool decrypt : {false, true}) {
      for (std::uint8_t key_size = 0; key_size < 3; ++key_size, ++n) {
        const vurn::fuzz::aes_paths_case fields{
            .operation = operation,
            .decrypt = decrypt,
            .key_size = key_size,
            .variant = n % 2 == 1,
            .in_offset = static_cast<std::uint8_t>(n % 16),
            .out_offset = static_cast<std::uint8_t>(n * 7 % 16),
            .shape = static_cast<std::uint8_t>(n * 11 % 128),
            .in_place = n,
        };
        result.push_back(aes_paths_seed(fields, lengths[n % std::size(lengths)]));
      }
    }
  }
  result.push_back(aes_paths_seed(
      {.operation = 6, .key_size = 2, .in_offset = 3, .out_offset = 9, .shape = 6}, 4096));
  return result;
}

struct seed_set {
  const char* target;
  seeds (*make)();
};

// A new target adds its seeds here.
constexpr seed_set SEED_SETS[] = {
    {"fuzz_format", format_seeds},
    {"fuzz_read_key_file", read_key_file_seeds},
    {"fuzz_parse_options", parse_options_seeds},
    {"fuzz_decrypt_padded", decrypt_padded_seeds},
    {"fuzz_aes_paths", aes_paths_seeds},
};

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fputs("usage: make_seeds <corpus folder>\n", stderr);
    return 2;
  }
  const auto corpus = std::filesystem::absolute(argv[1]);
  for (const auto& set : SEED_SETS) {
    const auto folder = corpus / set.target;
    std::filesystem::create_directories(folder);
    int n = 0;
    for (const auto& seed : set.make()) {
      std::ofstream file(folder / ("seed-" + std::to_string(n++)), std::ios::binary);
      file.write(seed.data(), static_cast<std::streamsize>(seed.size()));
      if (!file.flush()) {
        std::fprintf(stderr, "make_seeds: cannot write into %s\n", folder.c_str());
        return 1;
      }
    }
    std::printf("%s: %d seeds\n", set.target, n);
  }
  return 0;
}
