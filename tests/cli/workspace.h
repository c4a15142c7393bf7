// A folder for one end-to-end test of the built vurn, with a key file "key" and a plaintext file.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vurn::test {

struct workspace {
  temp_dir dir;
  explicit workspace(const std::string& plaintext = "attack at dawn\n",
                     const std::string& name = "notes.txt") {
    write_file(dir / "key", KEY_HEX);
    write_file(dir / name, plaintext);
  }
  // Runs vurn in the folder with input on its standard input.
  process_result run(std::vector<std::string> args, const std::string& input = {}) const {
    return run_vurn(std::move(args), dir.path, input);
  }
  std::string operator/(const std::string& name) const { return dir / name; }
};

inline void expect_run(const process_result& result, int status, const std::string& err) {
  EXPECT_EQ(result.status, status) << result.err;
  EXPECT_EQ(result.err, err);
}

}  // namespace vurn::test
