// parse_options over arbitrary argument vectors: "vurn", then the input split at NUL bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "cli/options.h"
#include "fuzz_support.h"

namespace {

// Whether text is null or points into one of the arguments (an option's value may be the tail of
// its argument, as in -kname or --key=name).
bool null_or_inside(const char* text, const std::vector<char*>& arguments) {
  return text == nullptr || std::any_of(arguments.begin(), arguments.end(), [&](const char* arg) {
           return text >= arg && text <= arg + std::strlen(arg);
         });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  vurn::fuzz::prepare_fuzzer_arguments(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Each argument is a heap block of its own length, so reading past its terminator is caught.
  std::vector<std::unique_ptr<char[]>> storage;
  auto add = [&](const char* text, std::size_t length) {
    storage.push_back(std::make_unique<char[]>(length + 1));
    std::memcpy(storage.back().get(), text, length);
  };
  add("vurn", 4);
  const auto* begin = reinterpret_cast<const char*>(data);
  const auto* end = begin + size;
  for (const char* start = begin; size > 0;) {
    const char* stop = std::find(start, end, '\0');
    add(start, static_cast<std::size_t>(stop - start));
    if (stop == end) break;
    start = stop + 1;
  }
  std::vector<char*> argv;
  for (const auto& argument : storage) argv.push_back(argument.get());
  const std::vector<char*> operands(argv.begin() + 1, argv.end());
  argv.push_back(nullptr);

  const vurn::parse_result parsed =
      vurn::parse_options(static_cast<int>(operands.size() + 1), argv.data());
  if (parsed.exit_status) {
    FUZZ_CHECK(*parsed.exit_status == 1);
    return 0;
  }
  const vurn::settings& options = parsed.line.with;
  FUZZ_CHECK(vurn::is_valid_bit_size(options.key_bits) &&
             vurn::is_valid_bit_size(options.chunk_bits));
  for (const char* input : options.inputs) {
    FUZZ_CHECK(std::find(operands.begin(), operands.end(), input) != operands.end());
  }
  FUZZ_CHECK(null_or_inside(options.key_path, operands));
  FUZZ_CHECK(null_or_inside(options.output_path, operands));
  FUZZ_CHECK(parsed.line.what != vurn::command::make_key || options.key_path != nullptr);
  return 0;
}
