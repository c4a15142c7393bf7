#include "keyfile/keyfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "support/temp_dir.h"

namespace vurn {
namespace {

using test::file_exists;
using test::file_mode;
using test::read_file;
using test::temp_dir;
using test::write_file;

key_generation_result generate(int bits, const std::string& path,
                               key_file_creation creation = key_file_creation::replace,
                               const std::string& random = "/dev/urandom") {
  std::array<char, KEY_TEXT_MAX> buffer{};
  return generate_key_file(bits, buffer, path.c_str(), creation, random.c_str());
}

key_file_result read_key(const std::string& path, std::string* text = nullptr) {
  // Exactly the documented size on the heap, so that AddressSanitizer sees any overrun.
  auto buffer = std::make_unique<char[]>(KEY_TEXT_MAX);
  const key_file_result result =
      read_key_file(path.c_str(), std::span<char, KEY_TEXT_MAX>(buffer.get(), KEY_TEXT_MAX));
  if (text != nullptr && result.bits > 0)
    text->assign(buffer.get(), static_cast<std::size_t>(result.bits / 4));
  return result;
}

bool is_upper_hex(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isdigit(c) || (c >= 'A' && c <= 'F'); });
}

TEST(KeyFile, WritesUpperCaseDigitsOnlyThatReadBackAtEverySize) {
  temp_dir dir;
  for (int bits : {128, 192, 256}) {
    const std::string path = dir / ("key" + std::to_string(bits));
    EXPECT_TRUE(generate(bits, path).ok());
    const std::string content = read_file(path);
    EXPECT_EQ(content.size(), static_cast<std::size_t>(bits / 4));
    EXPECT_TRUE(is_upper_hex(content)) << content;
    std::string text;
    EXPECT_EQ(read_key(path, &text).bits, bits);
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

    const key_generation_result result = generate(256, named);
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.replaced, c.existing);
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

  const key_generation_result missing =
      generate(256, existing, key_file_creation::replace, dir / "no-such-device");
  EXPECT_EQ(missing.digits.error, key_digits_error::cannot_open_device);
  EXPECT_EQ(missing.digits.error_number, ENOENT);
  const key_generation_result short_read =
      generate(256, existing, key_file_creation::replace, empty_device);
  EXPECT_EQ(short_read.digits.error, key_digits_error::read_failed);
  EXPECT_FALSE(generate(256, absent, key_file_creation::replace, empty_device).ok());

  EXPECT_EQ(read_file(existing), "precious");
  EXPECT_FALSE(file_exists(absent));
}

TEST(KeyFile, RefusesPathsItCannotCreateOrWrite) {
  temp_dir dir;
  const std::string taken = dir / "taken";
  write_file(taken, "mine");
  const struct {
    std::string path;
    int error;
  } cases[] = {{dir / "missing-folder/key", ENOENT},
               {dir.path, EISDIR},
               {taken, EEXIST},
               {"/dev/full", ENOSPC}};
  for (const auto& c : cases) {
    const auto creation =
        c.path == taken ? key_file_creation::create_new : key_file_creation::replace;
    EXPECT_EQ(generate(256, c.path, creation).write_error, c.error) << c.path;
  }
  EXPECT_EQ(read_file(taken), "mine");
}

TEST(KeyFile, RefusesWrongSizesWithoutReadingThem) {
  temp_dir dir;
  for (const std::size_t size : std::initializer_list<std::size_t>{0, 33, 63, 65, 1000000}) {
    const std::string path = dir / "key";
    write_file(path, std::string(size, '1'));
    const key_file_result result = read_key(path);
    EXPECT_EQ(result.error, key_file_error::bad_size) << size;
    EXPECT_EQ(result.file_bytes, static_cast<std::int64_t>(size));
    EXPECT_EQ(result.bytes_read, 0u);
  }
}

TEST(KeyFile, ReadsEitherCaseButOnlyFromARegularFile) {
  temp_dir dir;
  const std::string mixed_case = std::string(32, 'a') + std::string(32, 'F');
  write_file(dir / "key", mixed_case);
  std::string text;
  EXPECT_EQ(read_key(dir / "key", &text).bits, 256);
  EXPECT_EQ(text, mixed_case);
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir / "missing", dir.path, fifo, std::string("/dev/zero")}) {
    EXPECT_EQ(read_key(path).error, key_file_error::cannot_open) << path;
  }
}

}  // namespace
}  // namespace vurn
