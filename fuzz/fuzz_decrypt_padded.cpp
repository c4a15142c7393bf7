// decrypt_padded over arbitrary ciphertext, and encrypt_padded over the same bytes as plaintext.
// Input layout: see PADDED_HEADER in fuzz_support.h; the bytes after the header are the data.
#include <cstdint>
#include <cstring>
#include <vector>

#include <vurn/cipher.h>
#include "fuzz_support.h"

namespace {

using bytes = std::vector<std::uint8_t>;

int to_int(std::size_t n) {
  return static_cast<int>(n);
}

// Output room for encrypt_padded: the input rounded down to whole blocks, plus one block.
std::size_t padded_room(std::size_t octets) {
  return octets / 16 * 16 + 16;
}

// Ciphertext: the result is a padding error or the plaintext length, and the plaintext encrypts
// back to the same ciphertext.
void check_decryption(const vurn::fuzz::padded_setup& setup, const bytes& cipher_text) {
  const int octets = to_int(cipher_text.size());
  bytes plain(cipher_text.size());
  const int result = vurn::decrypt_padded(&setup.mode, &setup.decrypt_key, cipher_text.data(),
                                          octets, plain.data());
  if (octets == 0) {
    FUZZ_CHECK(result == 0);
    return;
  }
  if (octets % 16 != 0) FUZZ_CHECK(result == vurn::ERR_PADDING);
  if (result == vurn::ERR_PADDING) return;
  FUZZ_CHECK(result >= octets - 16 && result <= octets - 1);

  bytes again(padded_room(static_cast<std::size_t>(result)));
  if (result == 0) {  // a lone block of padding: encrypt_padded takes no empty runs, so go direct
    std::memset(again.data(), 16, 16);
    FUZZ_CHECK(vurn::encrypt_blocks(&setup.mode, &setup.encrypt_key, again.data(), 128,
                                    again.data()) == 128);
  } else {
    FUZZ_CHECK(vurn::encrypt_padded(&setup.mode, &setup.encrypt_key, plain.data(), result,
                                    again.data()) == octets);
  }
  FUZZ_CHECK(std::memcmp(again.data(), cipher_text.data(), cipher_text.size()) == 0);
}

// Plaintext: encryption pads to the next whole block and decryption gives the plaintext back.
void check_round_trip(const vurn::fuzz::padded_setup& setup, const bytes& plain) {
  if (plain.empty()) return;
  bytes cipher_text(padded_room(plain.size()));
  const int octets = vurn::encrypt_padded(&setup.mode, &setup.encrypt_key, plain.data(),
                                          to_int(plain.size()), cipher_text.data());
  FUZZ_CHECK(octets == to_int(cipher_text.size()));
  bytes recovered(cipher_text.size());
  FUZZ_CHECK(vurn::decrypt_padded(&setup.mode, &setup.decrypt_key, cipher_text.data(), octets,
                                  recovered.data()) == to_int(plain.size()));
  FUZZ_CHECK(std::memcmp(recovered.data(), plain.data(), plain.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < vurn::fuzz::PADDED_HEADER) return 0;
  const auto setup = vurn::fuzz::make_padded_setup(
      std::span<const std::uint8_t, vurn::fuzz::PADDED_HEADER>(data, vurn::fuzz::PADDED_HEADER));
  // A copy of its own exact size, so reading past the data is caught.
  const bytes payload(data + vurn::fuzz::PADDED_HEADER, data + size);
  check_decryption(setup, payload);
  check_round_trip(setup, payload);
  return 0;
}
