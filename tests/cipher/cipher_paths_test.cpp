// Every implementation the dispatch may choose against the table core (key set-up, block, padded
// and chunk routines), the chunk routine against the block routine called chunk by chunk: every
// mode, key size and direction, lengths from nothing to many kilobytes, every buffer alignment, and
// in place (against the table core run from a separate buffer). Each comparison compares the whole
// output buffer, so stray writes outside the output show too.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "cipher/chunks.h"
#include "cipher_test_support.h"

namespace vurn::test {
namespace {

const int all_modes[] = {CIPHER_MODE_ECB, CIPHER_MODE_CBC, CIPHER_MODE_CFB1};

bytes noise(std::size_t size) {
  bytes data(size);
  std::uint32_t x = 0x9e3779b9;
  for (auto& b : data) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return data;
}

// Where a routine reads and writes: offsets into separate buffers, or one buffer in place.
struct placement {
  std::size_t in_offset, out_offset;
  bool in_place;
};

// The placement for case number n: every pair of alignments in turn, and every third case in place.
placement placement_for(std::size_t n) {
  return {n % 16, n / 16 % 16, n % 3 == 2};
}

// A routine over (in, out) returning its result.
using call = std::function<std::ptrdiff_t(const std::uint8_t*, std::uint8_t*)>;

// The result of a call and the whole output buffer around the output, whose other octets hold a
// fixed pattern, and whose output octets hold the input before the call.
struct outcome {
  std::ptrdiff_t result;
  bytes buffer;
  bool operator==(const outcome&) const = default;
};

// Runs the routine on the implementation where the placement says. The table core, the reference,
// always reads from a separate buffer, so that what runs in place is compared with what does not.
outcome run(aes_impl_id id, const bytes& input, placement where, const call& routine) {
  EXPECT_TRUE(select_aes_impl(id));
  bytes in(where.in_offset + input.size(), 0x3c);
  bytes buffer(where.out_offset + input.size() + 16, 0xa5);
  std::copy(input.begin(), input.end(), in.begin() + static_cast<std::ptrdiff_t>(where.in_offset));
  std::uint8_t* out = buffer.data() + where.out_offset;
  std::copy(input.begin(), input.end(), out);
  const bool in_place = where.in_place && id != aes_impl_id::table;
  return {routine(in_place ? out : in.data() + where.in_offset, out), buffer};
}

std::string trace(int mode, bool encrypting, const std::string& key) {
  return "mode " + std::to_string(mode) + (encrypting ? " encrypt" : " decrypt") + ", key " +
         std::to_string(key.size() * 4);
}

class CipherPaths : public impl_test {};

// All 240 round-key octets as hex, so stray writes past the last round key show too.
std::string schedule_hex(const key_state& key) {
  return to_hex(key.round_keys[0], 15 * 16);
}

// Random keys of every size, and the all-zero and all-one keys: the implementation's key set-up
// gives the table core's round keys octet for octet, for encryption and after conversion for
// decryption.
TEST_P(CipherPaths, KeySetUpMatchesTable) {
  std::mt19937 random(0x5eed);
  for (int bits : {128, 192, 256}) {
    for (int n = 0; n < 300; ++n) {
      bytes key(static_cast<std::size_t>(bits / 8));
      for (auto& b : key) b = static_cast<std::uint8_t>(n == 0 ? 0x00 : n == 1 ? 0xff : random());
      const std::string key_hex = to_hex(key);
      SCOPED_TRACE(key_hex);
      for (int direction : {DIRECTION_ENCRYPT, DIRECTION_DECRYPT}) {
        key_state table_key, impl_key;
        std::memset(&table_key, 0xa5, sizeof table_key);
        std::memset(&impl_key, 0xa5, sizeof impl_key);
        ASSERT_TRUE(select_aes_impl(aes_impl_id::table));
        ASSERT_EQ(key_state_init(&table_key, direction, bits, key_hex.c_str()), 1);
        ASSERT_TRUE(select_aes_impl(impl));
        ASSERT_EQ(key_state_init(&impl_key, direction, bits, key_hex.c_str()), 1);
        ASSERT_EQ(schedule_hex(impl_key), schedule_hex(table_key)) << direction;
      }
    }
  }
}

// Every bit count from 0 to 1024 (every eighth for CFB-1, which is slow on the table side), then
// runs of up to several kilobytes around the batch sizes of every implementation (CFB-1: nine
// blocks): the whole blocks are processed, the remainder is ignored, and the implementation writes
// exactly what the table core writes.
TEST_P(CipherPaths, BlockRoutinesMatchTable) {
  const int long_runs[] = {15, 16, 17, 31, 32, 33, 63, 64, 65, 255, 257, 4099};
  const bytes input = noise(16 * 4099);
  for (int mode : all_modes) {
    std::vector<int> bit_counts;
    for (int bits = 0; bits <= 1024; bits += mode == CIPHER_MODE_CFB1 ? 8 : 1) {
      bit_counts.push_back(bits);
    }
    if (mode == CIPHER_MODE_CFB1) {
      bit_counts.push_back(128 * 9);
    } else {
      for (int blocks : long_runs) bit_counts.push_back(128 * blocks);
    }
    for (const std::string& key : sample_keys) {
      for (bool encrypting : {true, false}) {
        SCOPED_TRACE(trace(mode, encrypting, key));
        const cipher_setup s = make_setup(mode, encrypting, key, sample_iv);
        const auto routine = encrypting ? encrypt_blocks : decrypt_blocks;
        for (std::size_t n = 0; n < bit_counts.size(); ++n) {
          const int bits = bit_counts[n];
          const bytes part(input.begin(), input.begin() + (bits + 7) / 8);
          const call c = [&](const std::uint8_t* in, std::uint8_t* out) {
            return routine(&s.mode, &s.key, in, bits, out);
          };
          const placement where = placement_for(n);
          ASSERT_EQ(run(impl, part, where, c), run(aes_impl_id::table, part, where, c))
              << bits << " bits";
        }
      }
    }
  }
}

TEST_P(CipherPaths, PaddedRoutinesMatchTable) {
  const bytes input = noise(16 * 300);
  for (int mode : {CIPHER_MODE_ECB, CIPHER_MODE_CBC}) {
    for (const std::string& key : sample_keys) {
      SCOPED_TRACE(trace(mode, true, key));
      const cipher_setup enc = make_setup(mode, true, key, sample_iv),
                         dec = make_setup(mode, false, key, sample_iv);
      for (int octets : {0, 1, 15, 16, 17, 100, 127, 128, 129, 513, 16 * 300 - 16}) {
        const bytes part(input.begin(), input.begin() + octets);
        const call encrypt = [&](const std::uint8_t* in, std::uint8_t* out) {
          return encrypt_padded(&enc.mode, &enc.key, in, octets, out);
        };
        const placement where = placement_for(static_cast<std::size_t>(octets));
        const outcome sealed = run(impl, part, where, encrypt);
        ASSERT_EQ(sealed, run(aes_impl_id::table, part, where, encrypt)) << octets;
        if (octets == 0) continue;

        const auto cipher_text =
            sealed.buffer.begin() + static_cast<std::ptrdiff_t>(where.out_offset);
        const bytes sealed_part(cipher_text, cipher_text + sealed.result);
        const call decrypt = [&](const std::uint8_t* in, std::uint8_t* out) {
          return decrypt_padded(&dec.mode, &dec.key, in, static_cast<int>(sealed.result), out);
        };
        const outcome opened = run(impl, sealed_part, where, decrypt);
        ASSERT_EQ(opened, run(aes_impl_id::table, sealed_part, where, decrypt)) << octets;
        ASSERT_EQ(opened.result, octets);
      }
    }
  }
}

// The chunk routine equals the block routine called once per chunk on the table core: many
// chunk counts around the numbers of chains run side by side, chunks of one, two and three blocks,
// and 24 octets, of which not even the first chunk is processed whole.
TEST_P(CipherPaths, ChunkRoutineEqualsTheBlockRoutineChunkByChunk) {
  const std::size_t chunk_counts[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100, 2049};
  const bytes input = noise(48 * 2049);
  for (int mode : all_modes) {
    for (const std::string& key : sample_keys) {
      for (bool encrypting : {true, false}) {
        SCOPED_TRACE(trace(mode, encrypting, key));
        const cipher_setup s = make_setup(mode, encrypting, key, sample_iv);
        const auto chunks_routine = encrypting ? encrypt_chunks : decrypt_chunks;
        const auto block_routine = encrypting ? encrypt_blocks : decrypt_blocks;
        for (std::size_t chunk : {16u, 24u, 32u, 48u}) {
          for (std::size_t n = 0; n < std::size(chunk_counts); ++n) {
            const std::size_t count = chunk_counts[n];
            if (mode == CIPHER_MODE_CFB1 && count > 40) continue;  // slow on the table side
            const bytes part(input.begin(),
                             input.begin() + static_cast<std::ptrdiff_t>(chunk * count));
            // All the chunks count as `count` processed.
            const call whole = [&](const std::uint8_t* in, std::uint8_t* out) -> std::ptrdiff_t {
              const int result = chunks_routine(&s.mode, &s.key, in, chunk, count, out);
              return result == CHUNKS_ALL ? static_cast<std::ptrdiff_t>(count) : result;
            };
            // Chunk by chunk, stopping at the first one not processed whole.
            const call each = [&](const std::uint8_t* in, std::uint8_t* out) {
              std::ptrdiff_t done = 0;
              for (; done < static_cast<std::ptrdiff_t>(count); ++done) {
                const std::size_t at = chunk * static_cast<std::size_t>(done);
                std::uint8_t scratch[48];
                const int bits = static_cast<int>(chunk * 8);
                if (block_routine(&s.mode, &s.key, in + at, bits, scratch) != bits) break;
                std::copy(scratch, scratch + chunk, out + at);
              }
              return done;
            };
            const placement where = placement_for(7 * n + chunk);
            const outcome expected = run(aes_impl_id::table, part, where, each);
            ASSERT_EQ(run(impl, part, where, whole), expected)
                << count << " chunks of " << chunk << " octets";
            EXPECT_EQ(expected.result, chunk % 16 == 0 ? static_cast<std::ptrdiff_t>(count) : 0);
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Impl, CipherPaths, testing::ValuesIn(constant_time_impls()), impl_name);

}  // namespace
}  // namespace vurn::test
