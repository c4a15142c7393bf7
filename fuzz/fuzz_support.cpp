#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

namespace vurn::fuzz {
namespace {

// Argument strings and folders that must live until the process ends.
std::vector<std::string> argument_storage;
std::vector<char*> argument_vector;
std::vector<std::string> folders_to_remove;
// A copy of standard error taken before libFuzzer points descriptor 2 at /dev/null.
int message_fd = STDERR_FILENO;

void remove_folders() {
  for (const auto& folder : folders_to_remove) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
}

[[noreturn]] void fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "vurn fuzz set-up: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  std::exit(1);
}

std::string absolute(std::string_view path) {
  std::error_code error;
  const auto result = std::filesystem::absolute(std::filesystem::path(path), error);
  return error ? std::string(path) : result.string();
}

// libFuzzer flags whose value is a path; positional arguments (corpus folders, inputs) are too.
constexpr std::string_view PATH_FLAGS[] = {
    "-artifact_prefix=", "-exact_artifact_path=", "-dict=", "-merge_control_file="};

std::string with_absolute_path(std::string_view argument) {
  if (!argument.starts_with('-')) return absolute(argument);
  for (const auto flag : PATH_FLAGS) {
    if (argument.starts_with(flag) && argument.size() > flag.size()) {
      return std::string(flag) + absolute(argument.substr(flag.size()));
    }
  }
  return std::string(argument);
}

}  // namespace

void check_failed(const char* condition, const char* file, int line) {
  dprintf(message_fd, "vurn fuzz check failed: %s (%s:%d)\n", condition, file, line);
  std::abort();
}

void report_finding(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  dprintf(message_fd, "vurn fuzz finding: ");
  vdprintf(message_fd, format, arguments);
  dprintf(message_fd, "\n");
  va_end(arguments);
  std::abort();
}

void prepare_fuzzer_arguments(int* argc, char*** argv) {
  argument_storage.emplace_back((*argv)[0]);
  if (std::getenv("VURN_FUZZ_VERBOSE") == nullptr) {
    message_fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (message_fd < 0) message_fd = STDERR_FILENO;
    argument_storage.emplace_back("-close_fd_mask=2");  // a later flag given by the user wins
  }
  for (int i = 1; i < *argc; ++i) argument_storage.push_back(with_absolute_path((*argv)[i]));
  for (auto& argument : argument_storage) argument_vector.push_back(argument.data());
  argument_vector.push_back(nullptr);
  *argc = static_cast<int>(argument_storage.size());
  *argv = argument_vector.data();
}

std::string make_temp_folder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  folder += "/vurn-fuzz-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) fail("cannot create", folder);
  if (folders_to_remove.empty()) std::atexit(remove_folders);
  folders_to_remove.push_back(folder);
  return folder;
}

void to_hex(std::span<const std::uint8_t> bytes, char* text) {
  for (const std::uint8_t byte : bytes) {
    *text++ = "0123456789abcdef"[byte >> 4];
    *text++ = "0123456789abcdef"[byte & 0xF];
  }
  *text = '\0';
}

const key_file& pick_key_file(std::uint8_t selector) {
  return KEY_FILES[std::min((selector >> 1) & 3, 2)];
}

padded_setup make_padded_setup(std::span<const std::uint8_t, PADDED_HEADER> header) {
  const key_file& size = pick_key_file(header[0]);
  std::array<char, 65> key_text;
  std::array<char, 33> iv_text;
  to_hex(header.subspan(1, static_cast<std::size_t>(size.bits / 8)), key_text.data());
  to_hex(header.subspan<33, 16>(), iv_text.data());
  padded_setup setup{};
  const int mode = (header[0] & 1) != 0 ? CIPHER_MODE_CBC : CIPHER_MODE_ECB;
  FUZZ_CHECK(mode_state_init(&setup.mode, mode, iv_text.data()) == 1);
  FUZZ_CHECK(key_state_init(&setup.encrypt_key, DIRECTION_ENCRYPT, size.bits, key_text.data()) ==
             1);
  FUZZ_CHECK(key_state_init(&setup.decrypt_key, DIRECTION_DECRYPT, size.bits, key_text.data()) ==
             1);
  return setup;
}

aes_paths_case decode_aes_paths_case(std::span<const std::uint8_t, AES_PATHS_CASE_BYTES> bytes) {
  return {
      .operation = static_cast<std::uint8_t>(bytes[0] >> 3 & 7),
      .decrypt = (bytes[0] & 1) != 0,
      .key_size = static_cast<std::uint8_t>(std::min(bytes[0] >> 1 & 3, 2)),
      .variant = (bytes[0] & 0x40) != 0,
      .in_offset = static_cast<std::uint8_t>(bytes[1] & 0xF),
      .out_offset = static_cast<std::uint8_t>(bytes[1] >> 4),
      .shape = static_cast<std::uint8_t>(bytes[2] & 0x7F),
      .in_place = bytes[3],
  };
}

std::array<std::uint8_t, AES_PATHS_CASE_BYTES> encode_aes_paths_case(const aes_paths_case& c) {
  return {
      static_cast<std::uint8_t>((c.decrypt ? 1 : 0) | (c.key_size & 3) << 1 |
                                (c.operation & 7) << 3 | (c.variant ? 0x40 : 0)),
      static_cast<std::uint8_t>((c.in_offset & 0xF) | (c.out_offset & 0xF) << 4),
      static_cast<std::uint8_t>(c.shape & 0x7F),
      c.in_place,
  };
}

}  // namespace vurn::fuzz
