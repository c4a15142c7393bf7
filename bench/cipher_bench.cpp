// Throughput of the block routines and the chunk routine, once per AES implementation this machine
// can run (in the order of preference, the table core last), for each key size: CBC over 32-octet
// runs (one container chunk per call) and 16/64 KiB runs, ECB over 16 KiB, one-bit CFB, and the
// chunk routine over a 256 KiB pass of 16- and 32-octet chunks as the container drivers call it.
// Names read routine/implementation/key:bits/octets:n (or chunk:n).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include <vurn/cipher.h>
#include "cipher/aes_impl.h"
#include "cipher/chunks.h"

namespace {

using namespace vurn;

constexpr std::int64_t PASS_OCTETS = 256 * 1024;

struct setup {
  key_state key{};
  mode_state mode{};
};

setup make_setup(int mode_code, bool encrypting, int key_bits) {
  const int direction =
      encrypting || mode_code == CIPHER_MODE_CFB1 ? DIRECTION_ENCRYPT : DIRECTION_DECRYPT;
  setup s;
  const std::string text(static_cast<std::size_t>(key_bits / 4), 'a');
  key_state_init(&s.key, direction, key_bits, text.c_str());
  mode_state_init(&s.mode, mode_code, nullptr);
  return s;
}

// Arguments: key bits, octets per call.
void blocks(benchmark::State& state, aes_impl_id id, int mode_code, bool encrypting) {
  select_aes_impl(id);
  const setup s = make_setup(mode_code, encrypting, static_cast<int>(state.range(0)));
  const auto octets = static_cast<std::size_t>(state.range(1));
  std::vector<std::uint8_t> in(octets, 0x5a), out(octets);
  const auto routine = encrypting ? encrypt_blocks : decrypt_blocks;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        routine(&s.mode, &s.key, in.data(), static_cast<int>(octets * 8), out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(1));
}

// Arguments: key bits, chunk octets. Works in place on one pass, as the drivers do.
void chunks(benchmark::State& state, aes_impl_id id, bool encrypting) {
  select_aes_impl(id);
  const setup s = make_setup(CIPHER_MODE_CBC, encrypting, static_cast<int>(state.range(0)));
  const auto chunk = static_cast<std::size_t>(state.range(1));
  std::vector<std::uint8_t> data(static_cast<std::size_t>(PASS_OCTETS), 0x5a);
  const auto routine = encrypting ? encrypt_chunks : decrypt_chunks;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        routine(&s.mode, &s.key, data.data(), chunk, data.size() / chunk, data.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * PASS_OCTETS);
}

void with_args(benchmark::internal::Benchmark* b, std::vector<std::int64_t> sizes,
               const char* size_name) {
  for (std::int64_t bits : {128, 192, 256}) {
    for (std::int64_t size : sizes) b->Args({bits, size});
  }
  b->ArgNames({"key", size_name});
}

void register_all() {
  for (aes_impl_id id : all_aes_impls()) {
    if (find_aes_impl(id) == nullptr) continue;
    const std::string impl = aes_impl_name(id);
    for (bool encrypting : {true, false}) {
      const std::string way = encrypting ? "_encrypt/" : "_decrypt/";
      with_args(benchmark::RegisterBenchmark(("cbc" + way + impl).c_str(), blocks, id,
                                             CIPHER_MODE_CBC, encrypting),
                {32, 16 * 1024, 64 * 1024}, "octets");
      with_args(benchmark::RegisterBenchmark(("ecb" + way + impl).c_str(), blocks, id,
                                             CIPHER_MODE_ECB, encrypting),
                {16 * 1024}, "octets");
      with_args(benchmark::RegisterBenchmark(("cfb1" + way + impl).c_str(), blocks, id,
                                             CIPHER_MODE_CFB1, encrypting),
                {1024}, "octets");
      with_args(
          benchmark::RegisterBenchmark(("chunks" + way + impl).c_str(), chunks, id, encrypting),
          {16, 32}, "chunk");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
