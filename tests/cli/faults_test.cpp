// Damaged containers and hostile surroundings, on the built binary: each case asserts the status,
// the messages and which files exist afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.h"
#include "support/small_mount.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vurn {
namespace {

using test::count_entries;
using test::file_exists;
using test::KEY_HEX;
using test::le64;
using test::process_result;
using test::read_file;
using test::run_vurn;
using test::small_mount;
using test::temp_dir;
using test::write_file;

const std::string INVALID = "c is not a valid vurn container\nDecryption operation failed\n";

// A folder with the key file "key" and the container "good" of 40 bytes under it: the header of
// 12 bytes and two chunks.
struct containers {
  temp_dir dir;
  std::string container;
  std::string plain = std::string(40, 'p');

  containers() {
    write_file(dir / "key", KEY_HEX);
    write_file(dir / "plain", plain);
    EXPECT_EQ(run_vurn({"-e", "-k", "key", "-o", "good", "plain"}, dir.path).status, 0);
    container = read_file(dir / "good");
  }

  // Decrypts bytes as the file "c" into "out".
  process_result decrypt(const std::string& bytes, std::vector<std::string> extra) {
    write_file(dir / "c", bytes);
    std::vector<std::string> args = {"-d", "-o", "out"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("c");
    return run_vurn(args, dir.path);
  }
};

// One case for each message a damaged container gives; what the header and the body make of each
// kind of damage is checked at their own level.
TEST(Faults, DamagedContainersGiveTheirMessages) {
  containers c;
  ASSERT_EQ(c.container.size(), 12u + 64u);
  const std::string body = c.container.substr(12);
  const std::string overlong_name(5000, 'n');
  const std::vector<std::string> with_key = {"-k", "key"};
  const std::vector<std::string> stored_key;  // no -k: the key named in the container
  const struct {
    std::string what;
    std::string bytes;
    std::vector<std::string> key;
    int status;
    std::string err;
    std::size_t out_size;
  } cases[] = {
      {"empty", "", with_key, 1, INVALID, 0},
      {"cut in the header", c.container.substr(0, 11), with_key, 1, INVALID, 0},
      {"cut in the header, stored key", c.container.substr(0, 4), stored_key, 1,
       "The keyname found was key\nThe 256 bit key read in is key \n" + INVALID, 0},
      {"bad chunk-size field", "key " + le64(512) + body, with_key, 1, INVALID, 0},
      {"header alone", c.container.substr(0, 12), with_key, 0, "Blocksize is 256\n", 0},
      {"cut in a chunk", c.container.substr(0, 12 + 40), with_key, 0,
       "Blocksize is 256\nWarning: c ends inside a chunk; its last chunk was zero-filled\n", 64},
      {"stored name with a blank, -k", "my " + c.container, with_key, 0, "Blocksize is 256\n", 64},
      {"overlong stored name, -k", overlong_name + c.container.substr(3), with_key, 0,
       "Blocksize is 256\n", 64},
      {"overlong stored name", overlong_name + c.container.substr(3), stored_key, 1,
       "The key file name stored in c is longer than 4096 bytes; name the key file with -k\n"
       "Decryption operation failed\n",
       0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    const process_result result = c.decrypt(k.bytes, k.key);
    EXPECT_EQ(result.status, k.status);
    EXPECT_EQ(result.err, k.err);
    EXPECT_EQ(file_exists(c.dir / "out"), k.status == 0);
    if (k.status == 0) {
      const std::string out = read_file(c.dir / "out");
      EXPECT_EQ(out.size(), k.out_size);
      EXPECT_EQ(out.substr(0, 32), c.plain.substr(0, out.size() >= 32 ? 32 : 0));
    }
    std::remove((c.dir / "out").c_str());
  }
}

// A FIFO named in a container must not even be opened: a writer blocked on it would be released.
TEST(Faults, StoredKeyNamesAreShownEscapedAndOpenedOnlyAsRegularFiles) {
  containers containers;
  const temp_dir& dir = containers.dir;
  const std::string& container = containers.container;
  const std::string esc_name = "\033]0;owned\007\177";
  write_file(dir / esc_name, KEY_HEX);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::atomic<bool> writer_released{false};
  std::thread writer([&] {
    const int fd = open((dir / "fifo").c_str(), O_WRONLY);
    writer_released = true;
    if (fd >= 0) close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  const struct {
    std::string name;
    int status;
    std::string err;
  } cases[] = {
      {esc_name, 0,
       "The keyname found was \\033]0;owned\\007\\177\nThe 256 bit key read in is "
       "\\033]0;owned\\007\\177 \nBlocksize is 256\n"},
      {std::string("key\0.evil", 9), 1,
       "The keyname found was key\\000.evil\nThe key file name stored in c holds a NUL byte; name "
       "the key file with -k\nDecryption operation failed\n"},
      {"fifo", 1,
       "The keyname found was fifo\nCould not open key file fifo: not a regular file\nThe 0 bit "
       "key read in is fifo \n"
       "MOLVEX: Error initializing key\nDecryption operation failed\n"},
  };
  for (const auto& c : cases) {
    const process_result result = containers.decrypt(c.name + container.substr(3), {});
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(file_exists(dir / "out"), c.status == 0);
    std::remove((dir / "out").c_str());
  }
  EXPECT_FALSE(writer_released);
  close(open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK));
  writer.join();
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Making a key file where there is no room fails whole: the key file there keeps its key and no
// file is left behind.
TEST(Faults, NoRoomForAKeyFileLeavesExistingKeysAndCreatesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
  const std::vector<std::string> runs[] = {{"-m", "new.key"},
                                           {"-e", "-i", "-o", "../c.vurn", "plain"}};
  for (const bool inodes : {false, true}) {
    for (const auto& args : runs) {
      SCOPED_TRACE(args[0] + " " + args[1] + (inodes ? ", no inodes" : ", no space"));
      const temp_dir dir;
      const small_mount fs(dir / "fs", "size=64k,nr_inodes=32");
      if (!fs.mounted) GTEST_SKIP() << "mounting a tmpfs was refused: " << std::strerror(errno);
      write_file(fs.path + "/key", KEY_HEX);
      write_file(fs.path + "/plain", "data");
      (inodes ? test::take_free_inodes : test::take_free_blocks)(fs.path);
      const std::vector<std::string> before = entries(fs.path);

      const process_result result = run_vurn(args, fs.path);
      EXPECT_EQ(result.status, 1);
      EXPECT_NE(result.err.find("No space left on device"), std::string::npos) << result.err;
      EXPECT_EQ(read_file(fs.path + "/key"), KEY_HEX);
      EXPECT_EQ(entries(fs.path), before);
      EXPECT_FALSE(file_exists(dir / "c.vurn"));
    }
  }
}

// A key file made for a run that then fails would be a key to nothing.
TEST(Faults, AFailedRunRemovesTheKeyFileItMade) {
  temp_dir dir;
  write_file(dir / "plain", "data");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-e", "-i", "-b", "192", "-o", "c.vurn", "plain"},
        std::vector<std::string>{"-e", "-i", "-o", "/dev/full", "plain"}}) {
    const process_result result = run_vurn(args, dir.path);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("The 256 bit key created is keyfile.", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("Encryption operation failed\n"), std::string::npos) << result.err;
    EXPECT_EQ(entries(dir.path), std::vector<std::string>{"plain"});
  }
}

}  // namespace
}  // namespace vurn
