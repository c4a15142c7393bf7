// Pieces shared by the libFuzzer targets and their seed generator: the key folder, temporary
// folders, libFuzzer argument set-up, invariant checks and the layout of padded-cipher inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "cipher/cipher.h"

namespace vurn::fuzz {

// Ends the run as a finding: names the broken invariant on standard error, then aborts so
// that libFuzzer saves the input and prints the stack.
[[noreturn]] void check_failed(const char* condition, const char* file, int line);
#define FUZZ_CHECK(condition) \
  ((condition) ? void(0) : ::vurn::fuzz::check_failed(#condition, __FILE__, __LINE__))

// Called first in LLVMFuzzerInitialize. Makes relative corpus and artifact paths absolute, so they
// survive a change of directory, and, unless VURN_FUZZ_VERBOSE is set, adds -close_fd_mask=2:
// libFuzzer then keeps its own output and the sanitizer reports on a copy of standard error and
// points descriptor 2, where the product writes its messages, at /dev/null.
void prepare_fuzzer_arguments(int* argc, char*** argv);

// Creates a temporary folder (under TMPDIR, else /tmp) that is removed with its contents when the
// process exits normally. Ends the process if it cannot be created.
std::string make_temp_folder();

// The key files of the key folder.
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

// Makes a temporary folder holding KEY_FILES the current directory.
void enter_key_folder();

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

}  // namespace vurn::fuzz
