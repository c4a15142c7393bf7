// decrypt_stream over arbitrary containers. The first input byte chooses: bit 0 set, the key file
// of bits 1-2 is named as the key path; clear, the key file named in the container is opened
// relative to the current directory, a temporary key folder. Bits 1-2 also give the expected key
// size. The rest of the input is the container. The output goes to memory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "container/container.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vurn::fuzz::prepare_fuzzer_arguments(argc, argv);
  vurn::fuzz::enter_key_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto& key = vurn::fuzz::pick_key_file(data[0]);
  const char* key_path = (data[0] & 1) != 0 ? key.name : nullptr;
  std::vector<std::uint8_t> container(data + 1, data + size);

  char* output_bytes = nullptr;
  std::size_t output_size = 0;
  std::FILE* input = fmemopen(container.data(), container.size(), "rb");
  std::FILE* output = open_memstream(&output_bytes, &output_size);
  FUZZ_CHECK(input != nullptr && output != nullptr);

  const int status = vurn::decrypt_stream(key.bits, key_path, {input, "input", output, "output"});
  FUZZ_CHECK(status == vurn::STREAM_OK || status == vurn::STREAM_FAILED);
  std::fclose(output);
  std::fclose(input);
  if (status == vurn::STREAM_OK) FUZZ_CHECK(output_size % 16 == 0);  // whole 16- or 32-byte chunks
  std::free(output_bytes);
  return 0;
}
