// Pieces shared by the libFuzzer targets and their seed generator: the keys, temporary folders,
// libFuzzer argument set-up, invariant checks and the layout of padded-cipher and AES-path inputs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include <vurn/cipher.h>

namespace vurn::fuzz {

// Ends the run as a finding: names the broken invariant on standard error, then aborts so
// that libFuzzer saves the input and prints the stack.
[[noreturn]] void check_failed(const char* condition, const char* file, int line);
#define FUZZ_CHECK(condition) \
  ((condition) ? void(0) : ::vurn::fuzz::check_failed(#condition, __FILE__, __LINE__))

// Ends the run as a finding described by a printf format, written where check_failed writes.
[[noreturn]] void report_finding(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Called first in LLVMFuzzerInitialize. Makes relative corpus and artifact paths absolute, so they
// survive a change of directory, and, unless VURN_FUZZ_VERBOSE is set, adds -close_fd_mask=2:
// libFuzzer then keeps its own output and the sanitizer reports on a copy of standard error and
// points descriptor 2, where the product writes its messages, at /dev/null.
void prepare_fuzzer_arguments(int* argc, char*** argv);

// Creates a temporary folder (under TMPDIR, else /tmp) that is removed with its contents when the
// process exits normally. Ends the process if it cannot be created.
std::string make_temp_folder();

// Writes bytes as lower-case hex digits and a terminator: text needs 2 * bytes.size() + 1
// characters.
void to_hex(std::span<const std::uint8_t> bytes, char* text);

// The keys of the targets, as key files hold them.
struct key_file {
  const char* name;
  int bits;
  const char* digits;
};
inline constexpr key_file KEY_FILES[] = {
    {"key128", 128, "000102030405060708090A0B0C0D0E0F"},
    {"key192", 192, "000102030405060708090a0b0c0d0e0f1011121314151617"},
    {"key", 256, "603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4"},
};

// The key file that bits 1-2 of a selector byte choose (3 also gives the 256-bit one).
const key_file& pick_key_file(std::uint8_t selector);

// Inputs of the padded-cipher target: a selector byte (bit 0: CBC rather than ECB, bits 1-2: key
// size as for pick_key_file), 32 key bytes (the first size/8 are used), 16 IV bytes, then the data.
inline constexpr std::size_t PADDED_HEADER = 1 + 32 + 16;

struct padded_setup {
  mode_state mode;
  key_state encrypt_key;
  key_state decrypt_key;
};

// Builds the records a padded-cipher header describes.
padded_setup make_padded_setup(std::span<const std::uint8_t, PADDED_HEADER> header);

// Inputs of the AES-path target: four case bytes (aes_paths_case), 32 key bytes (the first size/8
// are used), 16 IV bytes, then the data.
inline constexpr std::size_t AES_PATHS_CASE_BYTES = 4;
inline constexpr std::size_t AES_PATHS_HEADER = AES_PATHS_CASE_BYTES + 32 + 16;
inline constexpr std::size_t AES_PATHS_OPERATIONS = 8;  // see the table in fuzz_aes_paths.cpp

// What the case bytes choose, each field reduced to its range.
struct aes_paths_case {
  std::uint8_t operation;  // < AES_PATHS_OPERATIONS
  bool decrypt;
  std::uint8_t key_size;  // 0, 1, 2: 128, 192, 256 bits
  // Padded decryption: of the encrypt_padded output for the data rather than the data itself.
  // CFB-1 decryption: with a decryption key (the routines accept either direction there).
  bool variant;
  std::uint8_t in_offset, out_offset;  // < 16
  std::uint8_t shape;     // chunk routines: the chunk size index; block routines: bits dropped
  std::uint8_t in_place;  // which available implementation also runs in place (modulo their count)
};

// byte 0: bit 0 decrypt, bits 1-2 key size (3 also gives 256 bits), bits 3-5 operation, bit 6
// variant; byte 1: input offset (low nibble) and output offset (high nibble); byte 2: shape (bits
// 0-6); byte 3: in-place choice.
aes_paths_case decode_aes_paths_case(std::span<const std::uint8_t, AES_PATHS_CASE_BYTES> bytes);
std::array<std::uint8_t, AES_PATHS_CASE_BYTES> encode_aes_paths_case(const aes_paths_case& c);

}  // namespace vurn::fuzz
