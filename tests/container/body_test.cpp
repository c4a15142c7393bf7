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

// Runs transform_body over input, read from a file or a pipe, onto a file, a pipe or memory.
body_run run_body(const test::temp_dir& dir, const std::string& input, end from, end to,
                  int direction, chunk_size chunk) {
  static const cipher_keys keys;
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
  run.result = transform_body(in, out, direction, chunk, keys.key(direction), keys.mode, progress);
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
  static const cipher_keys keys;
  std::string body = zero_filled(plain, chunk);
  for (std::size_t offset = 0; offset < body.size(); offset += chunk) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(body.data() + offset);
    encrypt_blocks(&keys.mode, &keys.encrypt, bytes, static_cast<int>(chunk * 8), bytes);
  }
  return body;
}

// Sizes about the chunks, the 64 KiB passes of pipes and the 1 MiB passes of files, with two
// buffers in turn behind the writer thread.
TEST(Body, EachChunkIsTheCipherOverItAloneWhateverTheStreams) {
  test::temp_dir dir;
  const std::size_t kib = 1024, mib = kib * kib;
  const std::size_t sizes[] = {0,
                               1,
                               15,
                               16,
                               17,
                               31,
                               32,
                               33,
                               64 * kib - 1,
                               64 * kib,
                               64 * kib + 1,
                               mib - 1,
                               mib,
                               mib + 1,
                               2 * mib + 64 * kib + 5};
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

// Runs transform_body from the file or folder at in_path onto the file at out_path, opened with
// out_mode ("rb" gives a regular file that refuses writes, behind the writer thread).
body_result run_on_paths(const std::string& in_path, const std::string& out_path,
                         const char* out_mode, int direction, chunk_size chunk) {
  static const cipher_keys keys;
  std::FILE* in = std::fopen(in_path.c_str(), "rb");
  std::FILE* out = std::fopen(out_path.c_str(), out_mode);
  if (in == nullptr || out == nullptr) throw std::runtime_error("cannot open the test streams");
  const body_result result =
      transform_body(in, out, direction, chunk, keys.key(direction), keys.mode);
  std::fclose(out);
  std::fclose(in);
  return result;
}

TEST(Body, FailuresAndACutLastChunkAreReported) {
  test::temp_dir dir;
  std::filesystem::create_directory(dir / "folder");
  test::write_file(dir / "read-only", "");
  const std::string out = dir / "out";
  const std::string full = "/dev/full";
  struct {
    const char* what;
    std::size_t input_size;
    std::string in_path = {};  // the input file when empty
    std::string out_path;
    const char* out_mode;
    int direction;
    int bits;
    body_error error;
    int error_number;
    bool ended_inside_chunk;
  } const cases[] = {
      {"input is a folder", 0, dir / "folder", out, "wb", DIRECTION_ENCRYPT, 256,
       body_error::read_failed, EISDIR, false},
      {"full device, flushed",
       10,
       {},
       full,
       "wb",
       DIRECTION_ENCRYPT,
       256,
       body_error::write_failed,
       ENOSPC,
       false},
      {"full device, written",
       200000,
       {},
       full,
       "wb",
       DIRECTION_ENCRYPT,
       256,
       body_error::write_failed,
       ENOSPC,
       false},
      {"file refusing writes",
       3 << 20,
       {},
       dir / "read-only",
       "rb",
       DIRECTION_ENCRYPT,
       256,
       body_error::write_failed,
       EBADF,
       false},
      {"encrypted input of any length",
       40,
       {},
       out,
       "wb",
       DIRECTION_ENCRYPT,
       256,
       body_error::none,
       0,
       false},
      {"decrypted input cut inside a chunk",
       40,
       {},
       out,
       "wb",
       DIRECTION_DECRYPT,
       256,
       body_error::none,
       0,
       true},
      {"cut input onto a full device",
       40,
       {},
       full,
       "wb",
       DIRECTION_DECRYPT,
       256,
       body_error::write_failed,
       ENOSPC,
       true},
      {"192-bit chunks",
       24,
       {},
       out,
       "wb",
       DIRECTION_ENCRYPT,
       192,
       body_error::cipher_failed,
       0,
       false},
      {"192-bit chunks, no input",
       0,
       {},
       out,
       "wb",
       DIRECTION_ENCRYPT,
       192,
       body_error::none,
       0,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::write_file(dir / "in", random_bytes(c.input_size));
    const std::string in_path = c.in_path.empty() ? dir / "in" : c.in_path;
    const body_result result =
        run_on_paths(in_path, c.out_path, c.out_mode, c.direction, chunk_size{c.bits});
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.error_number, c.error_number);
    EXPECT_EQ(result.ended_inside_chunk, c.ended_inside_chunk);
    // Nothing of a pass the cipher refused is written.
    if (c.out_path == out && c.error == body_error::cipher_failed) {
      EXPECT_EQ(test::read_file(out), "");
    }
  }
}

}  // namespace
}  // namespace vurn
