// Throughput of the block routines: CBC over 32-octet chunks (the container's unit) and over longer
// runs, and one-bit CFB, for each key size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cipher/cipher.h"

namespace {

using namespace vurn;

struct setup {
  key_state key{};
  mode_state mode{};
};

setup make_setup(int mode_code, int direction, int key_bits) {
  setup s;
  const std::string text(static_cast<std::size_t>(key_bits / 4), 'a');
  key_state_init(&s.key, direction, key_bits, text.c_str());
  mode_state_init(&s.mode, mode_code, nullptr);
  return s;
}

// Arguments: key bits, octets per call.
void run(benchmark::State& state, int mode_code, bool encrypting) {
  const int key_bits = static_cast<int>(state.range(0));
  const auto octets = static_cast<std::size_t>(state.range(1));
  const int direction =
      encrypting || mode_code == CIPHER_MODE_CFB1 ? DIRECTION_ENCRYPT : DIRECTION_DECRYPT;
  const setup s = make_setup(mode_code, direction, key_bits);
  std::vector<std::uint8_t> in(octets, 0x5a), out(octets);
  const auto routine = encrypting ? encrypt_blocks : decrypt_blocks;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        routine(&s.mode, &s.key, in.data(), static_cast<int>(octets * 8), out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(octets));
}

void cbc_encrypt(benchmark::State& state) {
  run(state, CIPHER_MODE_CBC, true);
}
void cbc_decrypt(benchmark::State& state) {
  run(state, CIPHER_MODE_CBC, false);
}
void cfb1_encrypt(benchmark::State& state) {
  run(state, CIPHER_MODE_CFB1, true);
}
void cfb1_decrypt(benchmark::State& state) {
  run(state, CIPHER_MODE_CFB1, false);
}

void cbc_sizes(benchmark::internal::Benchmark* b) {
  for (int bits : {128, 192, 256}) {
    for (int octets : {32, 16 * 1024, 64 * 1024}) b->Args({bits, octets});
  }
  b->ArgNames({"key", "octets"});
}

void cfb1_sizes(benchmark::internal::Benchmark* b) {
  for (int bits : {128, 192, 256}) b->Args({bits, 1024});
  b->ArgNames({"key", "octets"});
}

BENCHMARK(cbc_encrypt)->Apply(cbc_sizes);
BENCHMARK(cbc_decrypt)->Apply(cbc_sizes);
BENCHMARK(cfb1_encrypt)->Apply(cfb1_sizes);
BENCHMARK(cfb1_decrypt)->Apply(cfb1_sizes);

}  // namespace

BENCHMARK_MAIN();
