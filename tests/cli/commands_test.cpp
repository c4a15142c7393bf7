// The encrypt and decrypt commands on the built binary, with real files, pipes and gzip.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "workspace.h"

namespace vurn::test {
namespace {

TEST(Commands, DerivedNamesRoundTripWithTheZeroFilledLastChunk) {
  const std::string plain = "attack at dawn\n";
  workspace ws(plain);
  expect_run(ws.run({"-e", "-k", "key", "notes.txt"}), 0, "");
  const std::string container = read_file(ws / "notes.txt.vurn");
  EXPECT_EQ(container.size(), header("key").size() + 32);
  EXPECT_EQ(container.substr(0, header("key").size()), header("key"));
  std::remove((ws / "notes.txt").c_str());
  // operands may come before options
  expect_run(ws.run({"notes.txt.vurn", "-d", "-k", "key"}), 0, "Blocksize is 256\n");
  EXPECT_EQ(read_file(ws / "notes.txt"), zero_filled(plain));
}

// Each container goes to "c.vurn", or to standard output and nothing else (-c wins over -o); the
// next run reads it from "c.vurn" or from its standard input and writes standard output or "out".
// Without -k the key named in the container is used; -K only sizes the keys vurn makes; a
// prompted key name is followed by the data.
TEST(Commands, ContainersMadeOneWayDecryptTheOther) {
  const std::string plain = "attack at dawn\n";
  const std::string stored_key = "The keyname found was key\nThe 256 bit key read in is key \n";
  const struct {
    std::string encrypt, input, encrypt_err, decrypt, decrypt_err, decrypted;  // arguments: words
  } cases[] = {
      {"-e -b 128 -k key -o c.vurn notes.txt", "", "", "-d -c c.vurn",
       stored_key + "Blocksize is 128\n", zero_filled(plain, 16)},
      {"-v -K 128 -e -k key -o c.vurn notes.txt", "",
       "Encryption operation completed successfully\n", "-v -d -k key -o out c.vurn",
       "Blocksize is 256\nDecryption operation completed successful\n", zero_filled(plain)},
      {"-e -c -o out -k key notes.txt", "", "", "-d -c -k key", "Blocksize is 256\n",
       zero_filled(plain)},
      {"-e -c -k key", "piped data", "", "-d -c -k key", "Blocksize is 256\n",
       zero_filled("piped data")},
      {"-e -c", "key\nsecret", "Enter key filename: ", "-d -c", stored_key + "Blocksize is 256\n",
       zero_filled("\nsecret")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.encrypt);
    workspace ws(plain);
    const process_result made = ws.run(words(c.encrypt), c.input);
    expect_run(made, 0, c.encrypt_err);
    EXPECT_EQ(count_entries(ws.dir.path), made.out.empty() ? 3 : 2);
    const std::string container = made.out.empty() ? read_file(ws / "c.vurn") : made.out;
    EXPECT_EQ(container.substr(0, 4), "key ");
    const process_result decrypted = ws.run(words(c.decrypt), container);
    expect_run(decrypted, 0, c.decrypt_err);
    EXPECT_EQ(decrypted.out.empty() ? read_file(ws / "out") : decrypted.out, c.decrypted);
  }
}

TEST(Commands, DecryptedNamesComeFromTheFirstVurnInTheFileName) {
  workspace ws;
  ASSERT_EQ(mkdir((ws / "archive.vurnbackup").c_str(), 0755), 0);
  const struct {
    std::string container;
    std::string output;
  } cases[] = {
      {"a.vurn.old", "a"},
      {"x.vurnish", "x"},
      {"archive.vurnbackup/notes.vurn", "archive.vurnbackup/notes"},
      {"data.bin", "data.bin.vurndecrypted"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(ws.run({"-e", "-k", "key", "-o", c.container, "notes.txt"}).status, 0);
    const process_result result = ws.run({"-d", "-k", "key", c.container});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read_file(ws / c.output), zero_filled("attack at dawn\n")) << c.output;
  }
  expect_run(
      ws.run({"-d", "-k", "key", "data.bin"}), 0,
      std::string("Warning: file: data.bin does not have the standard extension: .vurn\nfor ") +
          VURN_BINARY + ". using .vurndecrypted extension for output instead\nBlocksize is 256\n");
}

// Each of these would lose data or give a container that cannot be decrypted as made, or has no
// input, key or output folder it can use ("not found" only for a missing input; any other reason
// is named): refused before anything is written, with what says why, and an existing target
// ("notes.txt.vurn") left as it was.
TEST(Commands, RefusalsLeaveEveryFileAsItWas) {
  workspace ws;
  ASSERT_EQ(ws.run({"-e", "-k", "key", "-o", "c.vurn", "notes.txt"}).status, 0);
  ASSERT_EQ(link((ws / "key").c_str(), (ws / "key-link").c_str()), 0);
  write_file(ws / "my key", KEY_HEX);
  ASSERT_EQ(mkdir((ws / "dir").c_str(), 0755), 0);
  write_file(ws / "dir/.vurn", read_file(ws / "c.vurn"));
  write_file(ws / ".vurn", read_file(ws / "c.vurn"));
  write_file(ws / "notes.txt.vurn", "precious");
  write_file(ws / "bad-key", std::string(31, '0') + "G");
  const std::string key_is_output =
      "The output file key is the key file; name another output file\n";
  const std::string missing = "File not found for encrypting: missing.txt\n";
  const std::string not_a_folder =
      "Unable to open file: notes.txt/x for reading: Not a directory\n";
  const std::string no_output_name =
      "There is no file name to derive the output name from when reading standard input; use -c to "
      "write to standard output or -o <file> to name the output file\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
    std::string input = "";
  } cases[] = {
      {{"-e", "-k", "key"}, no_output_name, "piped data"},
      {{"-d", "-k", "key"}, no_output_name, "piped data"},
      {{"-e", "-k", "my key", "notes.txt"},
       "The key file name my key holds white space, which a container cannot store; rename the "
       "key file\n"},
      {{"-d", "-k", "key", ".vurn"},
       "Removing .vurn from .vurn leaves no file name; name the output file with -o\n"},
      {{"-d", "dir/.vurn"},
       "Removing .vurn from dir/.vurn leaves no file name; name the output file with -o\n"},
      {{"-e", "-k", "key", "-o", "key", "notes.txt"}, key_is_output},
      {{"-e", "-k", "key", "-o", "key-link", "notes.txt"},
       "The output file key-link is the key file; name another output file\n"},
      {{"-z", "-d", "-k", "key", "-o", "key", "c.vurn"}, key_is_output},
      {{"-d", "-o", "key", "c.vurn"},
       "The keyname found was key\nThe 256 bit key read in is key \n" + key_is_output},
      {{"-e", "-k", "key", "-o", "out", "missing.txt"}, missing},
      {{"-d", "-k", "key", "-o", "out", "missing.txt"}, missing},
      {{"-e", "-k", "key", "-o", "out", "notes.txt/x"}, not_a_folder},
      {{"-d", "-k", "key", "-o", "out", "notes.txt/x"}, not_a_folder},
      {{"-e", "-k", "missing-key", "notes.txt"},
       "Could not open key file missing-key: No such file or directory\nError Reading in Key\n"},
      {{"-e", "-b", "192", "-k", "key", "notes.txt"}, "Encryption operation failed\n"},
      {{"-e", "-k", "bad-key", "notes.txt"},
       "Failure to initialize key with error code -2\nEncryption operation failed\n"},
      {{"-e", "-k", "key", "-o", "notes.txt.vurn", "dir"},
       "Error reading dir: Is a directory\nEncryption operation failed\n"},
      {{"-e", "-k", "key", "-o", "dir/x/y", "notes.txt"},
       "Unable to create file: dir/x/y for writing: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    expect_run(ws.run(c.args, c.input), 1, c.err);
    EXPECT_EQ(read_file(ws / "key"), KEY_HEX);
    EXPECT_EQ(read_file(ws / "notes.txt.vurn"), "precious");
    EXPECT_EQ(count_entries(ws.dir.path), 9);
    EXPECT_EQ(count_entries(ws / "dir"), 1);
  }
}

TEST(Commands, PromptAnswersAreOneWordOfAtMost99Bytes) {
  workspace ws;
  const std::string name99(99, 'k');
  const std::string prompt = "Enter key filename: ";
  const struct {
    std::string answer;
    int status;
    std::string err;
  } cases[] = {
      {" \tkey\n", 0, prompt},
      {name99 + " data", 1,
       prompt + "Could not open key file " + name99 +
           ": No such file or directory\nError Reading in Key\n"},
      {name99 + "k data", 1,
       prompt + "Key filename too long: at most 99 characters\nError Reading in Key\n"},
      {" \n ", 1, prompt + "No key filename given\nError Reading in Key\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    expect_run(ws.run({"-e", "-o", "out", "notes.txt"}, c.answer), c.status, c.err);
    EXPECT_EQ(file_exists(ws / "out"), c.status == 0);
    std::remove((ws / "out").c_str());
  }
}

// Runs started at the same moment all want the same name "keyfile.<seconds>", and here every such
// name they could fall in is taken: each must end up with a key file "keyfile.<seconds>.<n>" of its
// own that decrypts its container, the first free <n> counting from 1, and the taken files as they
// were.
TEST(Commands, SimultaneousGeneratedKeysAreAllDistinct) {
  constexpr int RUNS = 8;
  workspace ws;
  const long now = static_cast<long>(std::time(nullptr));
  const auto taken = [&](long second) { return ws / ("keyfile." + std::to_string(second)); };
  for (long second = now; second <= now + 30; ++second) write_file(taken(second), "taken");
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
    EXPECT_EQ(name.rfind("keyfile.", 0), 0u) << name;
    EXPECT_EQ(name.find('.', 8), name.rfind('.')) << name;  // "keyfile.<seconds>.<n>"
    EXPECT_EQ(file_mode(ws / name), 0600u);
    const process_result decrypted = ws.run({"-d", "-c", "c" + std::to_string(i) + ".vurn"});
    EXPECT_EQ(decrypted.status, 0) << decrypted.err;
    EXPECT_EQ(decrypted.out, zero_filled("attack at dawn\n"));
  }
  EXPECT_EQ(key_names.size(), static_cast<std::size_t>(RUNS));
  EXPECT_TRUE(std::any_of(key_names.begin(), key_names.end(), [](const std::string& name) {
    return name.substr(name.size() - 2) == ".1";
  }));
  for (long second = now; second <= now + 30; ++second)
    EXPECT_EQ(read_file(taken(second)), "taken");
}

}  // namespace
}  // namespace vurn::test
