// Command-line parsing and dispatch, checked on the built binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace vurn {
namespace {

using test::file_exists;
using test::process_request;
using test::process_result;
using test::read_file;
using test::run_process;
using test::run_vurn;
using test::temp_dir;
using test::write_file;

const std::string& help_text() {
  static const std::string text = run_vurn({"-h"}).err;
  return text;
}

const std::string ILLEGAL_KEY = "Illegal key length option, must be 128, 192, or 256 bits\n";
const std::string ILLEGAL_BLOCK = "Illegal block length option, must be 128, 192, or 256 bits\n";
const std::string REMINDER = "You forgot to put whether you want to encrypt or decrypt\n";

void expect_run(const process_result& result, int status, const std::string& err,
                const std::string& out = "") {
  EXPECT_EQ(result.status, status);
  EXPECT_EQ(result.err, err);
  EXPECT_EQ(result.out, out);
}

TEST(Options, HelpTextIsFifteenLinesOf659BytesThenTheLineOfR) {
  const process_result result = run_vurn({"--help"});
  const std::string r_line =
      "   -r : encrypt or decrypt the files in folders and their subfolders\n";
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.size(), 659u + r_line.size());
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 16);
  EXPECT_EQ(result.err.substr(659), r_line);
  EXPECT_EQ(result.err.substr(0, 37), "molvex: help\nusage: [options] [file]\n");
  EXPECT_NE(result.err.find("default=256 \n   -o <file>"), std::string::npos);
  EXPECT_EQ(result.err, run_vurn({"-h"}).err);
}

// Lines that do no work but print: each gives its status and standard error, and writes nothing
// on standard output.
TEST(Options, LinesThatOnlyPrintGiveTheirStatusAndMessages) {
  temp_dir dir;
  const std::string version = "Molvex version 1.02\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{}, 1, "vurn: missing options( \"vurn --help\" for help\nsample usage: vurn [options] \n"},
      {{"-V"}, 0, version},
      {{"--vers"}, 0, version},
      {{"-V", "-h"}, 0, help_text()},  // help comes first in dispatch, whatever the order
      {{"-v"}, 1, REMINDER + help_text()},
      {{"--stdout", "-e", "file"}, 1, REMINDER + help_text()},  // -e is --stdout's argument
      {{"-m", "no/such/folder"},
       1,
       "Could not create key file no/such/folder: No such file or directory\n"
       "Error creating key\n"},
      // Sizes are checked when met, even beside help.
      {{"-K", "100", "-h"}, 1, ILLEGAL_KEY},
      {{"-h", "-K", "100"}, 1, ILLEGAL_KEY},
      {{"-V", "--keysize=64"}, 1, ILLEGAL_KEY},
      {{"-b", "512", "-h"}, 1, ILLEGAL_BLOCK},
      {{"--blocksize", "", "-h"}, 1, ILLEGAL_BLOCK},
      {{"-K", "-128", "-h"}, 1, ILLEGAL_KEY},
      {{"-b", "99999999999999999999", "-h"}, 1, ILLEGAL_BLOCK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    expect_run(run_vurn(c.args, dir.path), c.status, c.err);
  }
}

// -K is read as its low 32 bits after blanks and a sign; -m wins over -e, and -v reports it.
TEST(Options, MakeKeyReadsSizesAsTheirLow32BitsAndWinsOverEncrypt) {
  temp_dir dir;
  write_file(dir / "file", "data");
  const struct {
    std::vector<std::string> args;
    std::size_t digits;
    std::string err = "";
  } cases[] = {
      {{"-K", "4294967424", "-m", "k"}, 32},
      {{"-K", " +192", "-m", "k"}, 48},
      {{"-K", "256abc", "-m", "k"}, 64},
      {{"-K", "  128.5", "-m", "k"}, 32},
      {{"-e", "file", "--make_key=k", "-v", "-K", "192"}, 48, "192 bit key created successfully\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    expect_run(run_vurn(c.args, dir.path), 0, c.err);
    EXPECT_EQ(read_file(dir / "k").size(), c.digits);
    EXPECT_FALSE(file_exists(dir / "file.vurn"));
    std::remove((dir / "k").c_str());
  }
}

TEST(Options, BadOptionsPrintTheParserDiagnosticAndHelp) {
  const struct {
    std::vector<std::string> args;
    std::string diagnostic;
  } cases[] = {
      {{"--ver"}, "option '--ver' is ambiguous"},
      {{"-x"}, "invalid option -- 'x'"},
      {{"-k"}, "option requires an argument -- 'k'"},
      {{"--nonsense"}, "unrecognized option '--nonsense'"},
      {{"-f", "x", "-e", "file"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const process_result result = run_vurn(c.args);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(c.diagnostic), std::string::npos) << result.err;
    ASSERT_GE(result.err.size(), help_text().size());
    EXPECT_EQ(result.err.substr(result.err.size() - help_text().size()), help_text());
  }
}

// A key file is never replaced, not even by the typo -m for -k, nor through a symbolic link.
TEST(Options, MakeKeyWritesTheLastNamedPathOnlyAndNeverReplacesAFile) {
  temp_dir dir;
  expect_run(run_vurn({"-m", "k1", "-k", "k2"}, dir.path), 0, "");
  EXPECT_FALSE(file_exists(dir / "k1"));
  const std::string key = read_file(dir / "k2");
  EXPECT_EQ(key.size(), 64u);
  write_file(dir / "notes", "data");
  ASSERT_EQ(symlink("absent", (dir / "dangling").c_str()), 0);
  const std::string refusal =
      ": File exists; for a new key, give another name or remove the old file first\n";
  const struct {
    std::vector<std::string> args;
    std::string name;
  } cases[] = {
      {{"-m", "k2"}, "k2"}, {{"-e", "-m", "k2", "notes"}, "k2"}, {{"-m", "dangling"}, "dangling"}};
  for (const auto& c : cases) {
    expect_run(run_vurn(c.args, dir.path), 1, "Could not create key file " + c.name + refusal);
  }
  EXPECT_EQ(read_file(dir / "k2"), key);
  EXPECT_FALSE(file_exists(dir / "absent"));
  EXPECT_FALSE(file_exists(dir / "notes.vurn"));
}

TEST(Options, PosixlyCorrectStopsAtTheFirstOperand) {
  temp_dir dir;
  process_request request;
  request.cwd = dir.path;
  request.args = {"operand", "-m", "k"};
  request.env = {{"POSIXLY_CORRECT", "1"}};
  expect_run(run_process(request), 1, REMINDER + help_text());
  EXPECT_FALSE(file_exists(dir / "k"));
  request.env.clear();
  request.unset_env = {"POSIXLY_CORRECT"};
  expect_run(run_process(request), 0, "");
  EXPECT_TRUE(file_exists(dir / "k"));
}

}  // namespace
}  // namespace vurn
