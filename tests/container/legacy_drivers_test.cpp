// Transitional: what only the drivers in legacy_drivers.cpp check, the key prompts and their
// messages, until the command line takes that work over (with these tests).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "container/container.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vurn {
namespace {

struct outcome {
  int status;
  std::string output;
  std::string err;
};

// Encrypts plain with encrypt_stream from and to files, capturing standard error.
outcome encrypt(const test::temp_dir& dir, const std::string& plain, const char* key_path) {
  test::write_file(dir / "in", plain);
  std::FILE* in = std::fopen((dir / "in").c_str(), "rb");
  std::FILE* out = std::fopen((dir / "out").c_str(), "wb");
  if (in == nullptr || out == nullptr) throw std::runtime_error("cannot open test streams");
  testing::internal::CaptureStderr();
  const int status = encrypt_stream(256, 256, key_path, false, {in, "in", out, "out"});
  std::string err = testing::internal::GetCapturedStderr();
  std::fclose(out);
  std::fclose(in);
  return {status, test::read_file(dir / "out"), err};
}

struct cwd_guard {
  explicit cwd_guard(const std::string& to) : previous(std::filesystem::current_path()) {
    std::filesystem::current_path(to);
  }
  ~cwd_guard() { std::filesystem::current_path(previous); }
  std::filesystem::path previous;
};

TEST(LegacyDrivers, KeyFailuresGiveTheirMessages) {
  test::temp_dir dir;
  test::write_file(dir / "bad", std::string(31, '0') + "G");
  const outcome bad_key = encrypt(dir, "data", (dir / "bad").c_str());
  EXPECT_EQ(bad_key.status, STREAM_FAILED);
  EXPECT_EQ(bad_key.err, "Failure to initialize key with error code -2\n");

  // No key file can be generated in a folder that is gone.
  const std::string folder = dir / "gone";
  std::filesystem::create_directory(folder);
  const cwd_guard in_folder(folder);
  std::filesystem::remove(folder);
  const outcome e = encrypt(dir, "plain", nullptr);
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

TEST(LegacyDrivers, PromptedKeyNameIsOneWordAndTheDataFollowsIt) {
  test::temp_dir dir;
  const std::string key = dir / "key";
  test::write_file(key, test::KEY_HEX);
  ASSERT_EQ(encrypt_from_prompt(dir, " \t" + key + "\nline two\n"), STREAM_OK);
  EXPECT_EQ(test::read_file(dir / "err"), "Enter key filename: ");
  EXPECT_EQ(test::read_file(dir / "out").substr(0, key.size() + 9), test::header(key));
  EXPECT_EQ(test::read_file(dir / "out").size(), key.size() + 9 + 32);
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