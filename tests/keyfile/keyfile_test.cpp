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

key_file_result generate(int bits, const std::string& path,
                         const std::string& random = "/dev/urandom") {
  std::array<char, KEY_TEXT_MAX> buffer{};
  return generate_key_file(bits, buffer, path.c_str(), random.c_str());
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
    EXPECT_EQ(generate(bits, path).bits, bits);
    const std::string content = read_file(path);
    EXPECT_EQ(content.size(), static_cast<std::size_t>(bits / 4));
    EXPECT_TRUE(is_upper_hex(content)) << content;
    std::string text;
    EXPECT_EQ(read_key(path, &text).bits, bits);
    EXPECT_EQ(text, content);
  }
}

// A key file is created exclusively, as the owner's alone: whatever holds the name (a file, a
// folder, a device, a symbolic link dangling or not) stays as it was, and nothing is created.
TEST(KeyFile, IsCreatedForItsOwnerAloneAndNeverReplacesAnything) {
  temp_dir dir;
  write_file(dir / "taken", "mine");
  ASSERT_EQ(symlink("taken", (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink("absent", (dir / "dangling").c_str()), 0);
  const struct {
    std::string path;
    key_file_error error;
    int error_number;
  } cases[] = {{dir / "new", key_file_error::none, 0},
               {dir / "taken", key_file_error::exists, EEXIST},
               {dir / "link", key_file_error::exists, EEXIST},
               {dir / "dangling", key_file_error::exists, EEXIST},
               {dir.path, key_file_error::exists, EEXIST},
               {"/dev/full", key_file_error::exists, EEXIST},
               {dir / "missing-folder/key", key_file_error::cannot_create, ENOENT}};
  for (const auto& c : cases) {
    const key_file_result result = generate(256, c.path);
    EXPECT_EQ(result.error, c.error) << c.path;
    EXPECT_EQ(result.error_number, c.error_number) << c.path;
  }
  EXPECT_EQ(file_mode(dir / "new"), 0600u);
  EXPECT_EQ(read_file(dir / "taken"), "mine");
  EXPECT_FALSE(file_exists(dir / "absent"));
  EXPECT_EQ(test::count_entries(dir.path), 4);
}

TEST(KeyFile, AFailingRandomDeviceCreatesNothing) {
  temp_dir dir;
  const std::string absent = dir / "absent";
  const std::string empty_device = dir / "empty-device";
  write_file(empty_device, "");

  const key_file_result missing = generate(256, absent, dir / "no-such-device");
  EXPECT_EQ(missing.error, key_file_error::cannot_open_device);
  EXPECT_EQ(missing.error_number, ENOENT);
  EXPECT_EQ(generate(256, absent, empty_device).error, key_file_error::random_read_failed);
  EXPECT_FALSE(file_exists(absent));
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
  EXPECT_EQ(read_key(dir / "missing").error_number, ENOENT);
  for (const std::string& path : {dir.path, fifo, std::string("/dev/zero")}) {
    EXPECT_EQ(read_key(path).error, key_file_error::not_regular) << path;
  }
}

}  // namespace
}  // namespace vurn
