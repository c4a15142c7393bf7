#include "container/body.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vurn {
namespace {

using test::random_bytes;
using test::zero_filled;

// Where a run's input comes from or its output goes: the pass size and the writer thread depend
// on it.
enum class end { file, pipe, memory };

const char* name_of(end e) {
  return e == end::file ? "file" : e == end::pipe ? "pipe" : "memory";
}

struct body_run {
  body_result result;
  std::string output;
  std::vector<std::uint64_t> progress;
};

struct cipher_keys {
  cipher_keys() {
    if (key_state_init(&encrypt, DIRECTION_ENCRYPT, 256, test::KEY_HEX.c_str()) != 1 ||
        key_state_init(&decrypt, DIRECTION_DECRYPT, 256, test::KEY_HEX.c_str()) != 1 ||
        mode_state_init(&mode, CIPHER_MODE_CBC, nullptr) != 1) {
      throw std::runtime_error("cannot set up the key");
    }
  }
  const key_state& key(int direction) const {
    return direction == DIRECTION_ENCRYPT ? encrypt : decrypt;
  }
  key_state encrypt{};
  key_state decrypt{};
  mode_state mode{};
};

const cipher_keys& keys() {
  static const cipher_keys set_up;
  return set_up;
}

// Runs transform_body over input, read from a file or a pipe, onto a file, a pipe or memory.
body_run run_body(const test::temp_dir& dir, const std::string& input, end from, end to,
                  int direction, chunk_size chunk) {
  body_run run;
  std::thread feeder, drainer;
  std::FILE* in = nullptr;
  if (from == end::pipe) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("no pipe");
    in = fdopen(fds[0], "rb");
    feeder = std::thread([&input, fd = fds[1]] {
      for (std::size_t done = 0; done < input.size();) {
        const ssize_t n = write(fd, input.data() + done, input.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      close(fd);
    });
  } else {
    test::write_file(dir / "in", input);
    in = std::fopen((dir / "in").c_str(), "rb");
  }
  char* memory = nullptr;
  std::size_t memory_size = 0;
  std::FILE* out = nullptr;
  if (to == end::pipe) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("no pipe");
    out = fdopen(fds[1], "wb");
    drainer = std::thread([&run, fd = fds[0]] {
      char buffer[65536];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        run.output.append(buffer, static_cast<std::size_t>(n));
      }
      close(fd);
    });
  } else if (to == end::file) {
    out = std::fopen((dir / "out").c_str(), "wb");
  } else {
    out = open_memstream(&memory, &memory_size);
  }
  if (in == nullptr || out == nullptr) throw std::runtime_error("cannot open the test streams");

  const progress_hook progress{
      [](void* context, std::uint64_t bytes) {
        static_cast<std::vector<std::uint64_t>*>(context)->push_back(bytes);
      },
      &run.progress};
  run.result =
      transform_body(in, out, direction, chunk, keys().key(direction), keys().mode, progress);
  std::fclose(out);
  std::fclose(in);
  if (feeder.joinable()) feeder.join();
  if (drainer.joinable()) drainer.join();
  if (to == end::file) run.output = test::read_file(dir / "out");
  if (to == end::memory) {
    run.output.assign(memory, memory_size);
    std::free(memory);
  }
  return run;
}

// The body as the cipher gives it: encrypt_blocks over each zero-filled chunk on its own.
std::string chunk_by_chunk(const std::string& plain, std::size_t chunk) {
  std::string body = zero_filled(plain, chunk);
  for (std::size_t offset = 0; offset < body.size(); offset += chunk) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(body.data() + offset);
    encrypt_blocks(&keys().mode, &keys().encrypt, bytes, static_cast<int>(chunk * 8), bytes);
  }
  return body;
}

// Sizes about the chunks, the 64 KiB passes of pipes and the 1 MiB passes of files, with two
// buffers in turn behind the writer thread.
TEST(Body, EachChunkIsTheCipherOverItAloneWhateverTheStreams) {
  test::temp_dir dir;
  const std::size_t kib = 1024, mib = kib * kib;
  std::vector<std::size_t> sizes = {0, 2 * mib + 64 * kib + 5};
  for (const std::size_t edge : {std::size_t{16}, std::size_t{32}, 64 * kib, mib}) {
    sizes.insert(sizes.end(), {edge - 1, edge, edge + 1});
  }
  const std::pair<end, end> streams[] = {{end::file, end::file},
                                         {end::pipe, end::file},
                                         {end::file, end::pipe},
                                         {end::file, end::memory}};
  for (const auto& [from, to] : streams) {
    for (const int bits : {128, 256}) {
      const chunk_size chunk{bits};
      for (const std::size_t size : sizes) {
        SCOPED_TRACE(testing::Message() << name_of(from) << " to " << name_of(to) << ", " << bits
                                        << "-bit chunks, " << size << " bytes");
        const std::string plain = random_bytes(size, static_cast<unsigned>(size));
        const body_run encrypted = run_body(dir, plain, from, to, DIRECTION_ENCRYPT, chunk);
        ASSERT_EQ(encrypted.result.error, body_error::none);
        EXPECT_FALSE(encrypted.result.ended_inside_chunk);
        ASSERT_EQ(encrypted.output, chunk_by_chunk(plain, chunk_bytes(chunk)));

        if (size == 0) {
          EXPECT_TRUE(encrypted.progress.empty());
        } else {
          ASSERT_FALSE(encrypted.progress.empty());
          EXPECT_TRUE(std::is_sorted(encrypted.progress.begin(), encrypted.progress.end(),
                                     std::less_equal<>()));
          EXPECT_EQ(encrypted.progress.back(), size);
        }

        const body_run decrypted =
            run_body(dir, encrypted.output, from, to, DIRECTION_DECRYPT, chunk);
        ASSERT_EQ(decrypted.result.error, body_error::none);
        EXPECT_EQ(decrypted.output, zero_filled(plain, chunk_bytes(chunk)));
      }
    }
  }
}

TEST(Body, FailuresAndACutLastChunkAreReported) {
  constexpr int E = DIRECTION_ENCRYPT, D = DIRECTION_DECRYPT;
  test::temp_dir dir;
  std::filesystem::create_directory(dir / "folder");
  test::write_file(dir / "read-only", "");
  // Names are in the test's folder, but for /dev/full; "read-only" is a regular file opened for
  // reading, so that writes fail behind the writer thread.
  struct {
    const char* what;
    int direction, bits;
    std::size_t size;
    std::string in, out;
    body_error error;
    int error_number;
    bool ended_inside_chunk;
  } const cases[] = {
      {"input is a folder", E, 256, 0, "folder", "out", body_error::read_failed, EISDIR, false},
      {"full at the flush", E, 256, 10, "in", "/dev/full", body_error::write_failed, ENOSPC, false},
      {"full at a write", E, 256, 200000, "in", "/dev/full", body_error::write_failed, ENOSPC,
       false},
      {"writer thread", E, 256, 3 << 20, "in", "read-only", body_error::write_failed, EBADF, false},
      {"encrypted cut input", E, 256, 40, "in", "out", body_error::none, 0, false},
      {"decrypted cut input", D, 256, 40, "in", "out", body_error::none, 0, true},
      {"cut input, full", D, 256, 200008, "in", "/dev/full", body_error::write_failed, ENOSPC,
       true},
      {"192-bit chunks", E, 192, 24, "in", "out", body_error::cipher_failed, 0, false},
      {"192-bit chunks, no input", E, 192, 0, "in", "out", body_error::none, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::write_file(dir / "in", random_bytes(c.size));
    const std::string out_path = c.out.starts_with("/") ? c.out : dir / c.out;
    std::FILE* in = std::fopen((dir / c.in).c_str(), "rb");
    std::FILE* out = std::fopen(out_path.c_str(), c.out == "read-only" ? "rb" : "wb");
    ASSERT_TRUE(in != nullptr && out != nullptr);
    const body_result result = transform_body(in, out, c.direction, chunk_size{c.bits},
                                              keys().key(c.direction), keys().mode);
    std::fclose(out);
    std::fclose(in);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.error_number, c.error_number);
    EXPECT_EQ(result.ended_inside_chunk, c.ended_inside_chunk);
    // Nothing of a pass the cipher refused is written.
    if (c.error == body_error::cipher_failed) {
      EXPECT_EQ(test::read_file(out_path), "");
    }
  }
}

}  // namespace
}  // namespace vurn
