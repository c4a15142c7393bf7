#include "container/container.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace vurn {
namespace {

// FIPS-197 appendix C: one plaintext block under the 128- and 256-bit example keys.
const std::string KEY128_HEX = "000102030405060708090a0b0c0d0e0f";
const std::string KEY256_HEX = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string FIPS_PLAIN_HEX = "00112233445566778899aabbccddeeff";
const std::string FIPS_CIPHER128_HEX = "69c4e0d86a7b0430d8cdb78070b4c55a";
const std::string FIPS_CIPHER256_HEX = "8ea2b7ca516745bfeafc49904b496089";

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::string xor_of(const std::string& a, const std::string& b) {
  std::string r = a;
  for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<char>(a[i] ^ b[i]);
  return r;
}

std::string pattern(std::size_t size, std::uint32_t seed = 1) {
  std::string data(size, '\0');
  for (auto& c : data) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return data;
}

std::string zero_filled(const std::string& data, std::size_t chunk) {
  return data + std::string((chunk - data.size() % chunk) % chunk, '\0');
}

std::string header(const std::string& name, int block_size) {
  std::string field(8, '\0');
  field[0] = static_cast<char>(block_size & 0xFF);
  field[1] = static_cast<char>(block_size >> 8);
  return name + " " + field;
}

struct outcome {
  int status;
  std::string output;
  std::string err;
};

using driver = std::function<int(const stream_pair&)>;

// Runs a driver on real files and captures what it writes to standard error.
outcome run_on_files(const driver& run, const std::string& in_path, const std::string& out_path) {
  std::FILE* in = std::fopen(in_path.c_str(), "rb");
  std::FILE* out = std::fopen(out_path.c_str(), "wb");
  if (in == nullptr || out == nullptr) throw std::runtime_error("cannot open test streams");
  testing::internal::CaptureStderr();
  const int status = run({in, in_path.c_str(), out, out_path.c_str()});
  std::string err = testing::internal::GetCapturedStderr();
  std::fclose(out);
  std::fclose(in);
  const bool readable = std::filesystem::is_regular_file(out_path);
  return {status, readable ? test::read_file(out_path) : std::string(), err};
}

// The input arrives through a named pipe that a second thread fills, as from another program.
outcome run_from_pipe(const driver& run, const std::string& input, const std::string& pipe_path,
                      const std::string& out_path) {
  if (mkfifo(pipe_path.c_str(), 0600) != 0) throw std::runtime_error("cannot make a pipe");
  signal(SIGPIPE, SIG_IGN);  // a driver that fails early closes the pipe under the writer
  std::thread writer([&input, &pipe_path] {
    const int fd = open(pipe_path.c_str(), O_WRONLY);
    for (std::size_t done = 0; fd >= 0 && done < input.size();) {
      const ssize_t n = write(fd, input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (fd >= 0) close(fd);
  });
  const outcome result = run_on_files(run, pipe_path, out_path);
  writer.join();
  unlink(pipe_path.c_str());
  return result;
}

class Container : public testing::Test {
 protected:
  void SetUp() override {
    test::write_file(key256, KEY256_HEX);
    test::write_file(key128, KEY128_HEX);
  }

  outcome run(const driver& d, const std::string& input) {
    if (input_from_pipe) return run_from_pipe(d, input, dir / "in.pipe", dir / "out");
    test::write_file(dir / "in", input);
    return run_on_files(d, dir / "in", dir / "out");
  }
  outcome encrypt(const std::string& plain, int block_size = 256, const std::string& key = {},
                  int key_size = 256) {
    const std::string path = key.empty() ? key256 : key;
    return run(
        [&](const stream_pair& s) {
          return encrypt_stream(block_size, key_size, path.c_str(), false, s);
        },
        plain);
  }
  outcome decrypt(const std::string& container, const char* key_path, int key_size = 256) {
    return run([&](const stream_pair& s) { return decrypt_stream(key_size, key_path, s); },
               container);
  }

  bool input_from_pipe = false;  // passes are sized by where the data comes from
  test::temp_dir dir;
  const std::string key256 = dir / "k256";
  const std::string key128 = dir / "k128";
};

TEST_F(Container, HeaderIsNameSpaceAndLittleEndianBlockSizeThenZeroFilledChunks) {
  for (const int block_size : {128, 192, 256}) {
    const outcome e = encrypt("", block_size);
    ASSERT_EQ(e.status, STREAM_OK) << e.err;
    EXPECT_EQ(e.output, header(key256, block_size));
    EXPECT_EQ(e.err, "");
  }
  const outcome e = encrypt("hello");
  ASSERT_EQ(e.status, STREAM_OK);
  ASSERT_EQ(e.output.size(), header(key256, 256).size() + 32);
  const outcome d = decrypt(e.output, key256.c_str());
  ASSERT_EQ(d.status, STREAM_OK) << d.err;
  EXPECT_EQ(d.output, zero_filled("hello", 32));
  EXPECT_EQ(d.err, "Blocksize is 256\n");
}

// One-block chunks are AES-ECB of the block; the key size comes from the key file, not key_size.
TEST_F(Container, ChunksOf128BitsMatchTheFips197Vectors) {
  const std::string plain = from_hex(FIPS_PLAIN_HEX + FIPS_PLAIN_HEX);
  const outcome e256 = encrypt(plain, 128, key256, 128);
  ASSERT_EQ(e256.status, STREAM_OK) << e256.err;
  EXPECT_EQ(e256.output, header(key256, 128) + from_hex(FIPS_CIPHER256_HEX + FIPS_CIPHER256_HEX));
  const outcome e128 = encrypt(plain, 128, key128, 256);
  ASSERT_EQ(e128.status, STREAM_OK) << e128.err;
  EXPECT_EQ(e128.output, header(key128, 128) + from_hex(FIPS_CIPHER128_HEX + FIPS_CIPHER128_HEX));
}

// A two-block chunk P || (P xor E(P)) encrypts in CBC from a zero IV to E(P) || E(P); the same
// ciphertext for every such chunk shows that the chain restarts at each chunk.
TEST_F(Container, ChunksOf256BitsAreCbcFromAZeroIvRestartedPerChunk) {
  const std::string p = from_hex(FIPS_PLAIN_HEX), c = from_hex(FIPS_CIPHER256_HEX);
  const std::string chunk = p + xor_of(p, c);
  const outcome e = encrypt(chunk + chunk + chunk);
  ASSERT_EQ(e.status, STREAM_OK) << e.err;
  EXPECT_EQ(e.output, header(key256, 256) + c + c + c + c + c + c);
}

TEST_F(Container, ChunksOf256BitsMatchTheOpensslCommand) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "the openssl command is not installed";
  }
  const std::string plain = pattern(100);
  const outcome e = encrypt(plain);
  ASSERT_EQ(e.status, STREAM_OK) << e.err;
  const std::string padded = zero_filled(plain, 32);
  std::string body;
  for (std::size_t offset = 0; offset < padded.size(); offset += 32) {
    test::write_file(dir / "chunk", padded.substr(offset, 32));
    const std::string command = "openssl enc -aes-256-cbc -nopad -K " + KEY256_HEX +
                                " -iv 00000000000000000000000000000000 -in " + (dir / "chunk");
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[64];
    body.append(buffer, std::fread(buffer, 1, sizeof buffer, pipe));
    ASSERT_EQ(pclose(pipe), 0);
  }
  EXPECT_EQ(e.output, header(key256, 256) + body);
}

TEST_F(Container, RoundTripsAtChunkAndBufferBoundaries) {
  const std::vector<std::size_t> sizes = {0,
                                          1,
                                          15,
                                          16,
                                          17,
                                          31,
                                          32,
                                          33,
                                          65535,
                                          65536,
                                          65537,
                                          65520,
                                          65521,
                                          3 * 65536 + 5,
                                          (1 << 20) - 1,
                                          1 << 20,
                                          (1 << 20) + 1,
                                          3 * (1 << 20) + 5};
  for (const bool from_pipe : {false, true}) {
    input_from_pipe = from_pipe;
    for (const int block_size : {128, 256}) {
      const std::size_t chunk = static_cast<std::size_t>(block_size / 8);
      for (const std::size_t size : sizes) {
        SCOPED_TRACE(testing::Message() << (from_pipe ? "pipe" : "file") << ", block size "
                                        << block_size << ", " << size << " bytes");
        const std::string plain = pattern(size, static_cast<std::uint32_t>(size));
        const outcome e = encrypt(plain, block_size);
        ASSERT_EQ(e.status, STREAM_OK) << e.err;
        ASSERT_EQ(e.output.size(),
                  header(key256, block_size).size() + zero_filled(plain, chunk).size());
        const outcome d = decrypt(e.output, key256.c_str());
        ASSERT_EQ(d.status, STREAM_OK) << d.err;
        EXPECT_EQ(d.output, zero_filled(plain, chunk));
      }
    }
  }
}

// Equal chunks encrypt alike wherever they fall: within a pass, across passes of the I/O buffer
// and across the interleaved chains of the fast paths.
TEST_F(Container, EqualChunksGiveEqualCiphertextAcrossPasses) {
  for (const int block_size : {128, 256}) {
    const std::size_t chunk = static_cast<std::size_t>(block_size / 8);
    const std::string one = pattern(chunk, 7);
    std::string plain;
    for (std::size_t i = 0; i < (3u << 20) / chunk + 3; ++i) plain += one;
    const outcome e = encrypt(plain, block_size);
    ASSERT_EQ(e.status, STREAM_OK) << e.err;
    const std::size_t body = header(key256, block_size).size();
    const std::string first = e.output.substr(body, chunk);
    for (std::size_t offset = body; offset < e.output.size(); offset += chunk) {
      ASSERT_EQ(e.output.compare(offset, chunk, first), 0) << "chunk at " << offset;
    }
  }
}

TEST_F(Container, DecryptsWithTheKeyFileNamedInTheHeader) {
  const outcome e = encrypt("secret");
  // Whitespace of every kind around the name is skipped when it is read back.
  const std::string container = "\n\t " + e.output.substr(0, key256.size()) + " \t\n\v\f\r" +
                                e.output.substr(key256.size() + 1);
  const outcome d = decrypt(container, nullptr);
  ASSERT_EQ(d.status, STREAM_OK) << d.err;
  EXPECT_EQ(d.output, zero_filled("secret", 32));
  EXPECT_EQ(d.err, "The keyname found was " + key256 + "\nThe 256 bit key read in is " + key256 +
                       " \nBlocksize is 256\n");
}

TEST_F(Container, BodyEndingInsideAChunkIsZeroFilledWithAWarning) {
  const std::string plain = pattern(64);
  const outcome e = encrypt(plain);
  const outcome d = decrypt(e.output.substr(0, e.output.size() - 24), key256.c_str());
  ASSERT_EQ(d.status, STREAM_OK) << d.err;
  ASSERT_EQ(d.output.size(), 64u);
  EXPECT_EQ(d.output.substr(0, 32), plain.substr(0, 32));
  EXPECT_EQ(d.err, "Blocksize is 256\nWarning: " + (dir / "in") +
                       " ends inside a chunk; its last chunk was zero-filled\n");
}

TEST_F(Container, RefusesContainersWithoutAValidHeader) {
  const std::string chunk(32, 'x');
  const std::vector<std::string> containers = {
      "",
      " \n\t",
      "name",
      "name " + std::string(7, '\0'),
      header("name", 64) + chunk,
      header("name", 512) + chunk,
      "name " + std::string("\0\0\0\0\0\0\1\0", 8) + chunk,
      "name " + std::string("\0\1\0\0\0\0\0\1", 8) + chunk};
  for (const std::string& container : containers) {
    const outcome d = decrypt(container, key256.c_str());
    EXPECT_EQ(d.status, STREAM_FAILED);
    EXPECT_EQ(d.err, (dir / "in") + " is not a valid vurn container\n");
    EXPECT_EQ(d.output, "");
  }
  EXPECT_EQ(decrypt("", nullptr).err, (dir / "in") + " is not a valid vurn container\n");
}

TEST_F(Container, StoredKeyNameLongerThanPathMaxNeedsAKeyPath) {
  const std::string chunk = encrypt("abc").output.substr(key256.size() + 9);
  const std::string long_name(PATH_MAX + 1, 'n');
  const outcome refused = decrypt(header(long_name, 256) + chunk, nullptr);
  EXPECT_EQ(refused.status, STREAM_FAILED);
  EXPECT_EQ(refused.err, "The key file name stored in " + (dir / "in") + " is longer than " +
                             std::to_string(PATH_MAX) + " bytes; name the key file with -k\n");

  const outcome at_limit = decrypt(header(long_name.substr(1), 256) + chunk, nullptr);
  EXPECT_EQ(at_limit.status, STREAM_FAILED);
  EXPECT_NE(at_limit.err.find("MOLVEX: Error initializing key\n"), std::string::npos);
  EXPECT_EQ(at_limit.err.find("longer than"), std::string::npos);

  const outcome skipped = decrypt(header(std::string(100000, 'n'), 256) + chunk, key256.c_str());
  ASSERT_EQ(skipped.status, STREAM_OK) << skipped.err;
  EXPECT_EQ(skipped.output, zero_filled("abc", 32));
}

TEST_F(Container, KeyFailures) {
  const std::string missing = dir / "missing";
  const outcome no_key = encrypt("data", 256, missing);
  EXPECT_EQ(no_key.status, STREAM_NO_KEY);
  EXPECT_EQ(no_key.err, "Could not open key file\nError Reading in Key\n");
  EXPECT_EQ(no_key.output, "");

  test::write_file(dir / "bad", std::string(31, '0') + "G");
  const outcome bad_key = encrypt("data", 256, dir / "bad");
  EXPECT_EQ(bad_key.status, STREAM_FAILED);
  EXPECT_EQ(bad_key.err, "Failure to initialize key with error code -2\n");

  const outcome no_decrypt_key = decrypt(encrypt("data").output, missing.c_str());
  EXPECT_EQ(no_decrypt_key.status, STREAM_FAILED);
  EXPECT_EQ(no_decrypt_key.err, "Could not open key file\nMOLVEX: Error initializing key\n");
}

// 192-bit chunks are not whole AES blocks: the block routine processes 128 bits of them.
TEST_F(Container, BlockSize192FailsAtTheFirstChunkAfterTheHeader) {
  const outcome e = encrypt("data", 192);
  EXPECT_EQ(e.status, STREAM_FAILED);
  EXPECT_EQ(e.output, header(key256, 192));
  const outcome d = decrypt(header(key256, 192) + std::string(24, 'x'), key256.c_str());
  EXPECT_EQ(d.status, STREAM_FAILED);
  EXPECT_EQ(decrypt(header(key256, 192), key256.c_str()).status, STREAM_OK);
}

TEST_F(Container, ReadAndWriteErrorsFail) {
  const std::string container = encrypt(pattern(10)).output;
  for (const std::size_t size : {std::size_t{10}, std::size_t{200000}}) {
    test::write_file(dir / "in", pattern(size));
    const outcome e = run_on_files(
        [&](const stream_pair& s) { return encrypt_stream(256, 256, key256.c_str(), false, s); },
        dir / "in", "/dev/full");
    EXPECT_EQ(e.status, STREAM_FAILED);
    EXPECT_EQ(e.err, "Error writing /dev/full: No space left on device\n");
  }
  test::write_file(dir / "in", container);
  const outcome d =
      run_on_files([&](const stream_pair& s) { return decrypt_stream(256, key256.c_str(), s); },
                   dir / "in", "/dev/full");
  EXPECT_EQ(d.status, STREAM_FAILED);
  EXPECT_EQ(d.err, "Blocksize is 256\nError writing /dev/full: No space left on device\n");

  std::filesystem::create_directory(dir / "folder");
  const outcome e = run_on_files(
      [&](const stream_pair& s) { return encrypt_stream(256, 256, key256.c_str(), false, s); },
      dir / "folder", dir / "out");
  EXPECT_EQ(e.status, STREAM_FAILED);
  EXPECT_EQ(e.err, "Error reading " + (dir / "folder") + ": Is a directory\n");
  const outcome d2 =
      run_on_files([&](const stream_pair& s) { return decrypt_stream(256, key256.c_str(), s); },
                   dir / "folder", dir / "out");
  EXPECT_EQ(d2.status, STREAM_FAILED);
  EXPECT_EQ(d2.err, "Error reading " + (dir / "folder") + ": Is a directory\n");
}

// ---- Key paths that work on the current directory and standard input ----

struct cwd_guard {
  explicit cwd_guard(const std::string& to) : previous(std::filesystem::current_path()) {
    std::filesystem::current_path(to);
  }
  ~cwd_guard() { std::filesystem::current_path(previous); }
  std::filesystem::path previous;
};

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST_F(Container, NonInteractiveEncryptionCreatesAKeyFileNamedAfterTheTime) {
  const std::string folder = dir / "gen";
  std::filesystem::create_directory(folder);
  const cwd_guard in_folder(folder);
  const auto now = static_cast<std::int32_t>(std::time(nullptr));
  // Taken names for this second and the next two, so that the run lands on a ".2" name.
  for (int t = now; t <= now + 2; ++t) {
    test::write_file("keyfile." + std::to_string(t), "");
    test::write_file("keyfile." + std::to_string(t) + ".1", "");
  }
  const outcome e = run(
      [](const stream_pair& s) { return encrypt_stream(256, 128, nullptr, false, s); }, "plain");
  ASSERT_EQ(e.status, STREAM_OK) << e.err;

  std::string created;
  for (const std::string& name : names_in(folder)) {
    if (name.ends_with(".2")) created = name;
  }
  ASSERT_FALSE(created.empty());
  EXPECT_EQ(test::count_entries(folder), 7);
  const int seconds = std::stoi(created.substr(8));
  EXPECT_TRUE(seconds >= now && seconds <= now + 2) << created;
  EXPECT_EQ(e.err, "The 128 bit key created is " + created + " \n");
  EXPECT_EQ(test::read_file(created).size(), 32u);
  EXPECT_EQ(e.output.substr(0, created.size() + 1), created + " ");
  const outcome d = decrypt(e.output, nullptr);
  EXPECT_EQ(d.output, zero_filled("plain", 32));
}

TEST_F(Container, FailedKeyGenerationIsAMissingKey) {
  const std::string folder = dir / "gone";
  std::filesystem::create_directory(folder);
  const cwd_guard in_folder(folder);
  std::filesystem::remove(folder);
  const outcome e = run(
      [](const stream_pair& s) { return encrypt_stream(256, 256, nullptr, false, s); }, "plain");
  EXPECT_EQ(e.status, STREAM_NO_KEY);
  EXPECT_EQ(e.err.rfind("Could not create key file keyfile.", 0), 0u) << e.err;
  EXPECT_NE(e.err.find(": No such file or directory\nError Reading in Key\n"), std::string::npos)
      << e.err;
}

// Runs encrypt_stream interactively in a child process whose standard input is stdin_data; the
// data to encrypt is standard input as well. Returns the driver's result.
int encrypt_from_prompt(const test::temp_dir& dir, const std::string& stdin_data) {
  test::write_file(dir / "stdin", stdin_data);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    std::FILE* out = std::fopen((dir / "out").c_str(), "wb");
    if (std::freopen((dir / "stdin").c_str(), "rb", stdin) == nullptr ||
        std::freopen((dir / "err").c_str(), "wb", stderr) == nullptr || out == nullptr) {
      _exit(99);
    }
    const int status =
        encrypt_stream(256, 256, nullptr, true, {stdin, "standard input", out, "out"});
    std::fflush(stderr);  // reopened on a file, so no longer unbuffered
    _exit(status);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Container, PromptedKeyNameIsOneWordAndTheDataFollowsIt) {
  ASSERT_EQ(encrypt_from_prompt(dir, " \t" + key256 + "\nline two\n"), STREAM_OK);
  EXPECT_EQ(test::read_file(dir / "err"), "Enter key filename: ");
  const outcome d = decrypt(test::read_file(dir / "out"), nullptr);
  EXPECT_EQ(d.output, zero_filled("\nline two\n", 32));

  const std::string name99(99, 'k');
  EXPECT_EQ(encrypt_from_prompt(dir, name99 + " data"), STREAM_NO_KEY);
  EXPECT_EQ(test::read_file(dir / "err"),
            "Enter key filename: Could not open key file\nError Reading in Key\n");
  EXPECT_EQ(encrypt_from_prompt(dir, name99 + "k data"), STREAM_NO_KEY);
  EXPECT_EQ(test::read_file(dir / "err"),
            "Enter key filename: Key filename too long: at most 99 characters\n"
            "Error Reading in Key\n");
  EXPECT_EQ(encrypt_from_prompt(dir, " \n "), STREAM_NO_KEY);
  EXPECT_EQ(test::read_file(dir / "err"),
            "Enter key filename: No key filename given\nError Reading in Key\n");
}

}  // namespace
}  // namespace vurn
