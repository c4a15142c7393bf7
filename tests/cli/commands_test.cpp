// The encrypt and decrypt commands on the built binary, with real files, pipes and gzip.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace vurn {
namespace {

using test::count_entries;
using test::file_exists;
using test::file_mode;
using test::process_request;
using test::process_result;
using test::read_file;
using test::run_process;
using test::run_vurn;
using test::temp_dir;
using test::write_file;

const std::string KEY_HEX = "603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4";

std::string header(const std::string& key_name, std::uint64_t block_bits = 256) {
  std::string h = key_name + " ";
  for (int i = 0; i < 8; ++i) h += static_cast<char>((block_bits >> (8 * i)) & 0xFF);
  return h;
}

std::string random_bytes(std::size_t size, unsigned seed = 1) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

std::string zero_padded(const std::string& data, std::size_t chunk = 32) {
  return data + std::string((chunk - data.size() % chunk) % chunk, '\0');
}

// A folder with a key file "key" and a plaintext file.
struct workspace {
  temp_dir dir;
  explicit workspace(const std::string& plaintext = "attack at dawn\n",
                     const std::string& name = "notes.txt") {
    write_file(dir / "key", KEY_HEX);
    write_file(dir / name, plaintext);
  }
  process_result run(std::vector<std::string> args, const std::string& input = {}) const {
    return run_vurn(std::move(args), dir.path, input);
  }
  std::string operator/(const std::string& name) const { return dir / name; }
};

void expect_run(const process_result& result, int status, const std::string& err) {
  EXPECT_EQ(result.status, status) << result.err;
  EXPECT_EQ(result.err, err);
}

TEST(EncryptDecrypt, DerivedNamesRoundTripWithTheZeroFilledLastChunk) {
  const std::string plain = "attack at dawn\n";
  workspace ws(plain);
  expect_run(ws.run({"-e", "-k", "key", "notes.txt"}), 0, "");
  const std::string container = read_file(ws / "notes.txt.vurn");
  EXPECT_EQ(container.size(), header("key").size() + 32);
  EXPECT_EQ(container.substr(0, header("key").size()), header("key"));
  std::remove((ws / "notes.txt").c_str());
  // operands may come before options
  expect_run(ws.run({"notes.txt.vurn", "-d", "-k", "key"}), 0, "Blocksize is 256\n");
  EXPECT_EQ(read_file(ws / "notes.txt"), zero_padded(plain));
}

TEST(EncryptDecrypt, WithoutAKeyOptionTheStoredKeyNameIsUsed) {
  workspace ws;
  expect_run(ws.run({"-e", "-b", "128", "-k", "key", "-o", "c.vurn", "notes.txt"}), 0, "");
  expect_run(ws.run({"-d", "-c", "c.vurn"}), 0,
             "The keyname found was key\nThe 256 bit key read in is key \nBlocksize is 128\n");
  EXPECT_EQ(ws.run({"-d", "-c", "c.vurn"}).out, zero_padded("attack at dawn\n", 16));
}

TEST(EncryptDecrypt, VerboseReportsSuccess) {
  workspace ws;
  // -K only sizes the keys vurn makes: a 256-bit key file still loads
  expect_run(ws.run({"-v", "-K", "128", "-e", "-k", "key", "notes.txt"}), 0,
             "Encryption operation completed successfully\n");
  expect_run(ws.run({"-v", "-d", "-k", "key", "-o", "out", "notes.txt.vurn"}), 0,
             "Blocksize is 256\nDecryption operation completed successful\n");
}

TEST(EncryptDecrypt, DecryptedNamesComeFromTheFirstVurnInTheName) {
  workspace ws;
  ASSERT_EQ(ws.run({"-e", "-k", "key", "-o", "a.vurn.old", "notes.txt"}).status, 0);
  ASSERT_EQ(ws.run({"-e", "-k", "key", "-o", "x.vurnish", "notes.txt"}).status, 0);
  ASSERT_EQ(ws.run({"-e", "-k", "key", "-o", "data.bin", "notes.txt"}).status, 0);
  EXPECT_EQ(ws.run({"-d", "-k", "key", "a.vurn.old"}).status, 0);
  EXPECT_EQ(ws.run({"-d", "-k", "key", "x.vurnish"}).status, 0);
  expect_run(
      ws.run({"-d", "-k", "key", "data.bin"}), 0,
      std::string("Warning: file: data.bin does not have the standard extension: .vurn\nfor ") +
          VURN_BINARY + ". using .vurndecrypted extension for output instead\nBlocksize is 256\n");
  for (const char* name : {"a", "x", "data.bin.vurndecrypted"}) {
    EXPECT_EQ(read_file(ws / name), zero_padded("attack at dawn\n")) << name;
  }
}

TEST(EncryptDecrypt, StandardOutputWinsOverAnOutputName) {
  workspace ws;
  const process_result result = ws.run({"-e", "-c", "-o", "out", "-k", "key", "notes.txt"});
  expect_run(result, 0, "");
  EXPECT_EQ(result.out.substr(0, header("key").size()), header("key"));
  EXPECT_FALSE(file_exists(ws / "out"));
  EXPECT_FALSE(file_exists(ws / "notes.txt.vurn"));
}

TEST(EncryptDecrypt, StandardInputNeedsAnOutputChoice) {
  workspace ws;
  const process_result encrypted = ws.run({"-e", "-c", "-k", "key"}, "piped data");
  expect_run(encrypted, 0, "");
  const process_result decrypted = ws.run({"-d", "-c", "-k", "key"}, encrypted.out);
  expect_run(decrypted, 0, "Blocksize is 256\n");
  EXPECT_EQ(decrypted.out, zero_padded("piped data"));
  for (const char* command : {"-e", "-d"}) {
    const process_result refused = ws.run({command, "-k", "key"}, "piped data");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("use -c to write to standard output or -o <file>"),
              std::string::npos)
        << refused.err;
  }
  EXPECT_EQ(count_entries(ws.dir.path), 2);
}

TEST(EncryptDecrypt, MissingInputIsReportedByBothCommands) {
  workspace ws;
  for (const char* command : {"-e", "-d"}) {
    expect_run(ws.run({command, "-k", "key", "missing.txt"}), 1,
               "File not found for encrypting: missing.txt\n");
  }
  EXPECT_EQ(count_entries(ws.dir.path), 2);
}

TEST(EncryptDecrypt, PromptedKeyNameIsFollowedByTheData) {
  workspace ws;
  const process_result result = ws.run({"-e", "-c"}, "key\nsecret");
  expect_run(result, 0, "Enter key filename: ");
  EXPECT_EQ(result.out.substr(0, header("key").size()), header("key"));
  const process_result decrypted = ws.run({"-d", "-c"}, result.out);
  EXPECT_EQ(decrypted.out, zero_padded("\nsecret"));
}

TEST(EncryptDecrypt, UnusablePromptAnswersAreRefused) {
  workspace ws;
  for (const std::string& answer : {std::string(300, 'k'), std::string(" \n")}) {
    const process_result result = ws.run({"-e", "-o", "out", "notes.txt"}, answer);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("Enter key filename: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("Error Reading in Key\n"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("operation failed"), std::string::npos) << result.err;
    EXPECT_FALSE(file_exists(ws / "out"));
  }
}

// Runs started at the same moment all want the same name "keyfile.<seconds>"; each must end up
// with a key file of its own that decrypts its container.
TEST(EncryptDecrypt, SimultaneousGeneratedKeysAreAllDistinct) {
  constexpr int RUNS = 8;
  workspace ws;
  process_request request;
  request.program = "/bin/sh";
  request.cwd = ws.dir.path;
  request.args = {
      "-c",
      "for i in 1 2 3 4 5 6 7 8; do\n"
      "  $VURN_TEST_RUNNER \"$0\" -e -i -o c$i.vurn notes.txt 2> err$i & pids=\"$pids $!\"\n"
      "done\n"
      "for p in $pids; do wait $p || echo failed; done",
      VURN_BINARY};
  const process_result all = run_process(request);
  ASSERT_EQ(all.status, 0);
  EXPECT_EQ(all.out, "");

  const std::string prefix = "The 256 bit key created is ";
  std::set<std::string> key_names;
  for (int i = 1; i <= RUNS; ++i) {
    const std::string err = read_file(ws / ("err" + std::to_string(i)));
    ASSERT_EQ(err.rfind(prefix, 0), 0u) << err;
    ASSERT_EQ(err.substr(err.size() - 2), " \n");
    const std::string name = err.substr(prefix.size(), err.size() - prefix.size() - 2);
    key_names.insert(name);
    EXPECT_EQ(file_mode(ws / name), 0600u);
    const process_result decrypted = ws.run({"-d", "-c", "c" + std::to_string(i) + ".vurn"});
    EXPECT_EQ(decrypted.status, 0) << decrypted.err;
    EXPECT_EQ(decrypted.out, zero_padded("attack at dawn\n"));
  }
  EXPECT_EQ(key_names.size(), static_cast<std::size_t>(RUNS));
}

TEST(EncryptDecrypt, CompressionRoundTripsExactly) {
  for (const std::string& plain :
       {std::string(), std::string("x"), random_bytes(100000), std::string(1 << 20, 'a')}) {
    workspace ws(plain);
    expect_run(ws.run({"-z", "-e", "-k", "key", "notes.txt"}), 0, "");
    std::remove((ws / "notes.txt").c_str());
    expect_run(ws.run({"-z", "-d", "-k", "key", "notes.txt.vurn"}), 0, "Blocksize is 256\n");
    EXPECT_EQ(read_file(ws / "notes.txt"), plain) << plain.size();
  }
}

TEST(EncryptDecrypt, CompressorFailuresAreFailures) {
  workspace ws;
  write_file(ws / "other-key", std::string(64, '7'));
  ASSERT_EQ(ws.run({"-z", "-e", "-k", "key", "-o", "z.vurn", "notes.txt"}).status, 0);
  ASSERT_EQ(ws.run({"-e", "-k", "key", "-o", "plain.vurn", "notes.txt"}).status, 0);

  // a wrong key, or a container that was not compressed, fails in gunzip
  for (const char* args : {"other-key z.vurn", "key plain.vurn"}) {
    const std::string text(args);
    const std::string key = text.substr(0, text.find(' '));
    const std::string container = text.substr(text.find(' ') + 1);
    const process_result result = ws.run({"-z", "-d", "-k", key, "-o", "out", container});
    EXPECT_EQ(result.status, 1) << args;
    EXPECT_NE(result.err.find("Decryption operation failed\n"), std::string::npos) << result.err;
    EXPECT_FALSE(file_exists(ws / "out"));
  }

  process_request request;
  request.cwd = ws.dir.path;
  request.env = {{"PATH", ws / "nowhere"}};
  request.args = {"-z", "-e", "-k", "key", "notes.txt"};
  expect_run(run_process(request), 1, "Error running gzip...\nEncryption operation failed\n");
  EXPECT_FALSE(file_exists(ws / "notes.txt.vurn"));
  request.args = {"-z", "-d", "-k", "key", "-o", "out", "z.vurn"};
  const process_result result = run_process(request);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("Error running gzip...\n"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("Decryption operation failed\n"), std::string::npos) << result.err;
  EXPECT_FALSE(file_exists(ws / "out"));
}

TEST(Outputs, FailuresLeaveAnExistingTargetUntouchedAndCreateNothing) {
  workspace ws;
  write_file(ws / "notes.txt.vurn", "precious");
  ASSERT_EQ(mkdir((ws / "dir").c_str(), 0755), 0);
  write_file(ws / "dir/placeholder", "");
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-e", "-k", "missing-key", "notes.txt"}, "Could not open key file\nError Reading in Key\n"},
      {{"-e", "-b", "192", "-k", "key", "notes.txt"}, "Encryption operation failed\n"},
      {{"-e", "-k", "key", "-o", "notes.txt.vurn", "dir"},
       "Error reading dir: Is a directory\nEncryption operation failed\n"},
  };
  for (const auto& c : cases) {
    expect_run(ws.run(c.args), 1, c.err);
    EXPECT_EQ(read_file(ws / "notes.txt.vurn"), "precious");
  }
  expect_run(ws.run({"-e", "-k", "key", "-o", "dir/x/y", "notes.txt"}), 1,
             "Unable to create file: dir/x/y for writing\n");
  EXPECT_EQ(count_entries(ws.dir.path), 4);
  EXPECT_EQ(count_entries(ws / "dir"), 1);
}

TEST(Outputs, PermissionsAreThoseOfANewFileOrKeptOnReplace) {
  workspace ws;
  const mode_t mask = umask(0);
  umask(mask);
  ASSERT_EQ(ws.run({"-e", "-k", "key", "notes.txt"}).status, 0);
  EXPECT_EQ(file_mode(ws / "notes.txt.vurn"), 0666u & ~mask);
  chmod((ws / "notes.txt.vurn").c_str(), 0640);
  ASSERT_EQ(ws.run({"-e", "-k", "key", "notes.txt"}).status, 0);
  EXPECT_EQ(file_mode(ws / "notes.txt.vurn"), 0640u);
}

TEST(Outputs, ASymbolicLinkStaysAndTheFileItNamesTakesTheResult) {
  for (const bool dangling : {false, true}) {
    workspace ws;
    if (!dangling) write_file(ws / "real", "old");
    ASSERT_EQ(symlink("real", (ws / "link").c_str()), 0);
    expect_run(ws.run({"-e", "-k", "key", "-o", "link", "notes.txt"}), 0, "");
    struct stat st;
    ASSERT_EQ(lstat((ws / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << dangling;
    EXPECT_EQ(read_file(ws / "real").substr(0, header("key").size()), header("key")) << dangling;
    EXPECT_EQ(count_entries(ws.dir.path), 4) << dangling;
  }
}

TEST(Outputs, TheInputCanBeItsOwnOutput) {
  const std::string plain = random_bytes(100001);
  workspace ws(plain);
  expect_run(ws.run({"-e", "-k", "key", "-o", "notes.txt", "notes.txt"}), 0, "");
  expect_run(ws.run({"-d", "-k", "key", "-o", "notes.txt", "notes.txt"}), 0, "Blocksize is 256\n");
  EXPECT_EQ(read_file(ws / "notes.txt"), zero_padded(plain));
  EXPECT_EQ(count_entries(ws.dir.path), 2);
}

TEST(Outputs, DevicesAreWrittenDirectlyAndWriteErrorsAreFailures) {
  workspace ws;
  expect_run(ws.run({"-e", "-k", "key", "-o", "/dev/null", "notes.txt"}), 0, "");
  expect_run(ws.run({"-e", "-k", "key", "-o", "/dev/full", "notes.txt"}), 1,
             "Error writing /dev/full: No space left on device\nEncryption operation failed\n");
  process_request request;
  request.cwd = ws.dir.path;
  request.args = {"-e", "-c", "-k", "key", "notes.txt"};
  request.stdout_path = "/dev/full";
  expect_run(run_process(request), 1,
             "Error writing standard output: No space left on device\n"
             "Encryption operation failed\n");
  request.stdout_path.reset();
  request.close_stdout = true;
  const process_result closed = run_process(request);
  EXPECT_EQ(closed.status, 1);
  EXPECT_NE(closed.err.find("Encryption operation failed\n"), std::string::npos) << closed.err;
}

TEST(Outputs, ASignalRemovesTheTemporaryFileAndEndsTheProcess) {
  workspace ws;
  process_request request;
  request.cwd = ws.dir.path;
  request.args = {"-e", "-o", "out"};
  request.stdin_data = "key\nsome data that is never finished";
  request.keep_stdin_open = true;
  request.signal_after_output = SIGTERM;
  const process_result result = run_process(request);
  EXPECT_EQ(result.signal, SIGTERM);
  EXPECT_EQ(count_entries(ws.dir.path), 2);
}

}  // namespace
}  // namespace vurn
