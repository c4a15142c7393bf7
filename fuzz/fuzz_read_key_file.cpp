// read_key_file over arbitrary file contents, read into a buffer of exactly KEY_TEXT_MAX
// characters.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "fuzz_support.h"
#include "keyfile/keyfile.h"

namespace {
std::string key_path;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vurn::fuzz::prepare_fuzzer_arguments(argc, argv);
  key_path = vurn::fuzz::make_temp_folder() + "/key";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = open(key_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size));
  FUZZ_CHECK(close(fd) == 0);

  const auto buffer = std::make_unique<char[]>(vurn::KEY_TEXT_MAX);
  const vurn::key_file_result read = vurn::read_key_file(
      key_path.c_str(), std::span<char, vurn::KEY_TEXT_MAX>(buffer.get(), vurn::KEY_TEXT_MAX));
  const bool valid_size = size == 32 || size == 48 || size == 64;
  FUZZ_CHECK(valid_size == (read.error == vurn::key_file_error::none));
  FUZZ_CHECK(read.file_bytes == static_cast<std::int64_t>(size));
  if (valid_size) {
    FUZZ_CHECK(static_cast<std::size_t>(read.bits) == size * 4);
    FUZZ_CHECK(std::memcmp(buffer.get(), data, size) == 0);
  } else {
    FUZZ_CHECK(read.error == vurn::key_file_error::bad_size && read.bits == 0);
  }
  return 0;
}
