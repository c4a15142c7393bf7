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
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.h"
#include "support/small_mount.h"
#include "support/temp_dir.h"

namespace vurn {
namespace {

using test::count_entries;
using test::file_exists;
using test::process_result;
using test::read_file;
using test::run_vurn;
using test::small_mount;
using test::temp_dir;
using test::write_file;

const std::string KEY_HEX = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
const std::string INVALID = "c is not a valid vurn container\nDecryption operation failed\n";

std::string le64(std::uint64_t value) {
  std::string bytes;
  for (int i = 0; i < 8; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

struct damaged_container : testing::Test {
  temp_dir dir;
  std::string container;  // "key " + 256 + two chunks
  std::string plain = std::string(40, 'p');

  void SetUp() override {
    write_file(dir / "key", KEY_HEX);
    write_file(dir / "plain", plain);
    ASSERT_EQ(run_vurn({"-e", "-k", "key", "-o", "good", "plain"}, dir.path).status, 0);
    container = read_file(dir / "good");
    ASSERT_EQ(container.size(), 4u + 8u + 64u);
  }

  process_result decrypt(const std::string& bytes, std::vector<std::string> extra = {"-k", "key"}) {
    write_file(dir / "c", bytes);
    std::vector<std::string> args = {"-d", "-o", "out"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("c");
    return run_vurn(args, dir.path);
  }
};

TEST_F(damaged_container, EveryPrefixIsRefusedOrDecryptedWhole) {
  const std::string whole = read_file(dir / "plain") + std::string(24, '\0');
  const std::size_t header = 12;
  for (std::size_t length = 0; length <= container.size(); ++length) {
    SCOPED_TRACE(length);
    const process_result result = decrypt(container.substr(0, length));
    if (length < header) {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, INVALID);
      EXPECT_FALSE(file_exists(dir / "out"));
      continue;
    }
    EXPECT_EQ(result.status, 0);
    const std::size_t chunks = (length - header + 31) / 32;
    EXPECT_EQ(read_file(dir / "out").size(), chunks * 32);
    const bool partial = (length - header) % 32 != 0;
    EXPECT_EQ(result.err, std::string("Blocksize is 256\n") +
                              (partial ? "Warning: c ends inside a chunk; its last chunk was "
                                         "zero-filled\n"
                                       : ""));
    if (!partial) {
      EXPECT_EQ(read_file(dir / "out"), whole.substr(0, chunks * 32));
    }
  }
}

TEST_F(damaged_container, PrefixesWithoutAKeyOptionNeverSucceedShortOfTheHeader) {
  for (std::size_t length = 0; length < 12; ++length) {
    const process_result result = decrypt(container.substr(0, length), {});
    EXPECT_EQ(result.status, 1) << length;
    EXPECT_NE(result.err.find("Decryption operation failed\n"), std::string::npos) << length;
    EXPECT_FALSE(file_exists(dir / "out"));
  }
}

TEST_F(damaged_container, BlockSizeFieldsOtherThanTheThreeSizesAreRefused) {
  const std::string body = container.substr(12);
  const std::uint64_t fields[] = {
      0, 64, 100, 512, static_cast<std::uint64_t>(-256), 1ull << 62, 256ull << 8};
  for (std::uint64_t field : fields) {
    SCOPED_TRACE(field);
    const process_result result = decrypt("key " + le64(field) + body);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, INVALID);
    EXPECT_FALSE(file_exists(dir / "out"));
  }
}

TEST_F(damaged_container, AnOverlongStoredKeyNameIsSkippedWithKeyOptionAndRefusedWithout) {
  const std::string name(5000, 'n');
  const std::string bytes = name + container.substr(3);
  const process_result with_key = decrypt(bytes);
  EXPECT_EQ(with_key.status, 0);
  EXPECT_EQ(with_key.err, "Blocksize is 256\n");
  EXPECT_EQ(read_file(dir / "out"), plain + std::string(24, '\0'));

  std::remove((dir / "out").c_str());
  const process_result without = decrypt(bytes, {});
  EXPECT_EQ(without.status, 1);
  EXPECT_NE(without.err.find("name the key file with -k"), std::string::npos) << without.err;
  EXPECT_FALSE(file_exists(dir / "out"));
}

// A FIFO named in a container must not even be opened: a writer blocked on it would be released.
TEST_F(damaged_container, StoredKeyNamesAreShownEscapedAndOpenedOnlyAsRegularFiles) {
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
       "The keyname found was fifo\nCould not open key file\nThe 0 bit key read in is fifo \n"
       "MOLVEX: Error initializing key\nDecryption operation failed\n"},
  };
  for (const auto& c : cases) {
    const process_result result = decrypt(c.name + container.substr(3), {});
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(file_exists(dir / "out"), c.status == 0);
    std::remove((dir / "out").c_str());
  }
  EXPECT_FALSE(writer_released);
  close(open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK));
  writer.join();
}

TEST(GeneratedKeys, ATakenNameGetsANumberedSuffix) {
  temp_dir dir;
  write_file(dir / "plain", "data");
  // Take the names of every second this run could fall in, so the outcome does not depend on
  // the clock.
  const long now = static_cast<long>(std::time(nullptr));
  for (long second = now; second <= now + 5; ++second) {
    write_file(dir / ("keyfile." + std::to_string(second)), "taken");
  }
  const process_result result = run_vurn({"-e", "-i", "-o", "c.vurn", "plain"}, dir.path);
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string prefix = "The 256 bit key created is ";
  ASSERT_EQ(result.err.rfind(prefix, 0), 0u) << result.err;
  const std::string name = result.err.substr(prefix.size(), result.err.size() - prefix.size() - 2);
  EXPECT_EQ(name.rfind("keyfile.", 0), 0u) << name;
  EXPECT_EQ(name.substr(name.size() - 2), ".1") << name;
  EXPECT_EQ(read_file(dir / name).size(), 64u);
  for (long second = now; second <= now + 5; ++second) {
    EXPECT_EQ(read_file(dir / ("keyfile." + std::to_string(second))), "taken");
  }
  EXPECT_EQ(run_vurn({"-d", "-c", "c.vurn"}, dir.path).status, 0);
}

// Takes every free block, or every free inode, of the file system at folder.
void fill(const std::string& folder, bool inodes) {
  if (inodes) {
    for (int i = 0; creat((folder + "/inode" + std::to_string(i)).c_str(), 0600) >= 0; ++i) {
    }
    return;
  }
  const int fd = creat((folder + "/filler").c_str(), 0600);
  const std::string page(4096, 'f');
  while (write(fd, page.data(), page.size()) > 0) {
  }
  close(fd);
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Making a key file where there is no room fails whole: an existing key file keeps its key and no
// file is left behind. With no inodes left, replacing a key may still succeed through a temporary
// file elsewhere, but then only with a whole new key.
TEST(KeyFiles, NoRoomLeavesExistingKeysAndCreatesNothing) {
  const struct {
    std::vector<std::string> args;
    bool inodes;
  } cases[] = {
      {{"-m", "key"}, false},
      {{"-m", "new.key"}, false},
      {{"-e", "-i", "-o", "../c.vurn", "plain"}, false},
      {{"-m", "key"}, true},
      {{"-m", "new.key"}, true},
      {{"-e", "-i", "-o", "../c.vurn", "plain"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + (c.inodes ? ", no inodes" : ", no space"));
    const temp_dir dir;
    const small_mount fs(dir / "fs", "size=64k,nr_inodes=32");
    if (!fs.mounted) GTEST_SKIP() << "mounting a tmpfs was refused: " << std::strerror(errno);
    write_file(fs.path + "/key", KEY_HEX);
    write_file(fs.path + "/plain", "data");
    fill(fs.path, c.inodes);
    const std::vector<std::string> before = entries(fs.path);

    const process_result result = run_vurn(c.args, fs.path);
    const std::string key = read_file(fs.path + "/key");
    if (result.status == 0) {
      EXPECT_TRUE(c.inodes && c.args[1] == "key") << result.err;
      EXPECT_EQ(key.size(), 64u);
      EXPECT_NE(key, KEY_HEX);
    } else {
      EXPECT_EQ(result.status, 1);
      EXPECT_NE(result.err.find("No space left on device"), std::string::npos) << result.err;
      EXPECT_EQ(key, KEY_HEX);
    }
    EXPECT_EQ(entries(fs.path), before);
    EXPECT_FALSE(file_exists(dir / "c.vurn"));
  }
}

TEST(SpecialInputs, AnEmptyFileGivesTheHeaderAloneAndDecryptsToNothing) {
  temp_dir dir;
  write_file(dir / "key", KEY_HEX);
  write_file(dir / "empty", "");
  const process_result result = run_vurn({"-e", "-k", "key", "empty"}, dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(dir / "empty.vurn"), "key " + le64(256));
  const process_result decrypted = run_vurn({"-d", "-c", "-k", "key", "empty.vurn"}, dir.path);
  EXPECT_EQ(decrypted.err, "Blocksize is 256\n");
  EXPECT_EQ(decrypted.out, "");
  EXPECT_EQ(count_entries(dir.path), 3);
}

}  // namespace
}  // namespace vurn
