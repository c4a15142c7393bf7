#include "keyfile/keyfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

#include "support/temp_dir.h"

namespace vurn {
namespace {

using test::file_exists;
using test::file_mode;
using test::read_file;
using test::temp_dir;
using test::write_file;

struct captured {
  int result;
  std::string err;
};

captured generate(int bits, const std::string& path,
                  key_file_creation creation = key_file_creation::replace,
                  const std::string& random = "/dev/urandom") {
  std::array<char, KEY_TEXT_MAX> buffer{};
  testing::internal::CaptureStderr();
  const int result = generate_key_file(bits, buffer.data(), path.c_str(), creation, random.c_str());
  return {result, testing::internal::GetCapturedStderr()};
}

captured read_key(const std::string& path, std::string* text = nullptr) {
  // Exactly the documented size on the heap, so that AddressSanitizer sees any overrun.
  auto buffer = std::make_unique<char[]>(KEY_TEXT_MAX);
  testing::internal::CaptureStderr();
  const int result = read_key_file(buffer.get(), path.c_str());
  if (text != nullptr && result > 0)
    text->assign(buffer.get(), static_cast<std::size_t>(result / 4));
  return {result, testing::internal::GetCapturedStderr()};
}

bool is_upper_hex(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isdigit(c) || (c >= 'A' && c <= 'F'); });
}

TEST(KeyFile, WritesUpperCaseDigitsOnlyThatReadBackAtEverySize) {
  temp_dir dir;
  for (int bits : {128, 192, 256}) {
    const std::string path = dir / ("key" + std::to_string(bits));
    EXPECT_EQ(generate(bits, path).result, bits);
    const std::string content = read_file(path);
    EXPECT_EQ(content.size(), static_cast<std::size_t>(bits / 4));
    EXPECT_TRUE(is_upper_hex(content)) << content;
    std::string text;
    EXPECT_EQ(read_key(path, &text).result, bits);
    EXPECT_EQ(text, content);
  }
}

// A replaced key file is the one the name leads to: a symbolic link stays a link, a second hard
// link sees the new key too. Either way the key is the owner's alone and the replacement is said.
TEST(KeyFile, KeysAreTheOwnersAloneAndReplacingOneWarns) {
  const struct {
    const char* name;
    bool existing;
    bool through_symlink;
    bool hard_linked;
  } cases[] = {
      {"new", false, false, false},
      {"existing", true, false, false},
      {"symlink", true, true, false},
      {"hard-linked", true, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    const std::string file = dir / "key";
    const std::string named = c.through_symlink ? dir / "link" : file;
    if (c.existing) {
      write_file(file, std::string(64, '0'));
      chmod(file.c_str(), 0644);
    }
    if (c.through_symlink) {
      ASSERT_EQ(symlink("key", named.c_str()), 0);
    }
    if (c.hard_linked) {
      ASSERT_EQ(link(file.c_str(), (dir / "other").c_str()), 0);
    }

    const captured result = generate(256, named);
    EXPECT_EQ(result.result, 256);
    EXPECT_EQ(result.err, c.existing ? "Warning: replaced the key file " + named +
                                           "; containers made with its old key will not decrypt "
                                           "with the new one\n"
                                     : "");
    EXPECT_EQ(file_mode(file), 0600u);
    const std::string key = read_file(file);
    EXPECT_EQ(key.size(), 64u);
    EXPECT_NE(key, std::string(64, '0'));
    struct stat st;
    ASSERT_EQ(lstat(named.c_str(), &st), 0);
    EXPECT_EQ(S_ISLNK(st.st_mode), c.through_symlink);
    if (c.hard_linked) {
      EXPECT_EQ(read_file(dir / "other"), key);
    }
  }
}

TEST(KeyFile, AFailingRandomDeviceLeavesKeyFilesAlone) {
  temp_dir dir;
  const std::string existing = dir / "existing";
  const std::string absent = dir / "absent";
  write_file(existing, "precious");
  const std::string empty_device = dir / "empty-device";
  write_file(empty_device, "");

  captured missing = generate(256, existing, key_file_creation::replace, dir / "no-such-device");
  EXPECT_EQ(missing.result, 0);
  EXPECT_EQ(missing.err, "Could not open random device\n");
  captured short_read = generate(256, existing, key_file_creation::replace, empty_device);
  EXPECT_EQ(short_read.result, 0);
  EXPECT_EQ(short_read.err, "Error in making key\nCoudn't read from /dev/random\n");
  EXPECT_EQ(generate(256, absent, key_file_creation::replace, empty_device).result, 0);

  EXPECT_EQ(read_file(existing), "precious");
  EXPECT_FALSE(file_exists(absent));
}

TEST(KeyFile, RefusesPathsItCannotCreate) {
  temp_dir dir;
  const std::string taken = dir / "taken";
  write_file(taken, "mine");
  for (const std::string& path : {dir / "missing-folder/key", dir.path, taken}) {
    const auto creation =
        path == taken ? key_file_creation::create_new : key_file_creation::replace;
    captured result = generate(256, path, creation);
    EXPECT_EQ(result.result, 0) << path;
    EXPECT_EQ(result.err.rfind("Could not create key file " + path + ": ", 0), 0u) << result.err;
  }
  EXPECT_EQ(read_file(taken), "mine");
}

TEST(KeyFile, AFullDiskIsAFailure) {
  captured result = generate(256, "/dev/full");
  EXPECT_EQ(result.result, 0);
  EXPECT_EQ(result.err, "Could not create key file /dev/full: No space left on device\n");
}

TEST(KeyFile, AcceptsEitherCaseAndAnyValidSize) {
  temp_dir dir;
  const std::string path = dir / "key";
  write_file(path, std::string(32, 'a') + std::string(32, 'F'));
  std::string text;
  EXPECT_EQ(read_key(path, &text).result, 256);
  EXPECT_EQ(text, std::string(32, 'a') + std::string(32, 'F'));
  write_file(path, std::string(48, '0'));
  EXPECT_EQ(read_key(path).result, 192);
}

TEST(KeyFile, RefusesWrongSizesWithoutReadingThem) {
  temp_dir dir;
  const struct {
    std::size_t size;
    const char* shown;
  } cases[] = {{0, "0"}, {33, "132"}, {63, "252"}, {65, "260"}, {1000000, "4000000"}};
  for (const auto& c : cases) {
    const std::string path = dir / "key";
    write_file(path, std::string(c.size, '1'));
    captured result = read_key(path);
    EXPECT_EQ(result.result, 0) << c.size;
    EXPECT_EQ(result.err, std::string("Error: ") + c.shown +
                              " Key read in was not valid size, must be 128,192 or 256\n");
  }
}

TEST(KeyFile, RefusesWhatIsNotARegularFile) {
  temp_dir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir / "missing", dir.path, fifo, std::string("/dev/zero")}) {
    captured result = read_key(path);
    EXPECT_EQ(result.result, 0) << path;
    EXPECT_EQ(result.err, "Could not open key file\n") << path;
  }
}

}  // namespace
}  // namespace vurn
