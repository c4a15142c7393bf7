// Removing a name only while it leads to the file that was there.
#include "fileio/fd.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "support/temp_dir.h"

namespace vurn {
namespace {

using test::file_exists;
using test::temp_dir;
using test::write_file;

TEST(Fd, RemoveIfSameRemovesOnlyTheFileItWasGiven) {
  const struct {
    const char* what;
    void (*meanwhile)(const std::string& path);
    int status;
    bool name_left;
  } cases[] = {
      {"unchanged", [](const std::string&) {}, 0, false},
      {"replaced",
       [](const std::string& path) { std::rename((path + ".other").c_str(), path.c_str()); },
       ESTALE, true},
      {"removed", [](const std::string& path) { unlink(path.c_str()); }, ENOENT, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const temp_dir dir;
    const std::string path = dir / "key";
    write_file(path, "generated");
    write_file(path + ".other", "someone else's");
    file_id id{};
    ASSERT_TRUE(file_id_of(path.c_str(), id).ok());
    c.meanwhile(path);
    EXPECT_EQ(remove_if_same(path.c_str(), id).error_number, c.status);
    EXPECT_EQ(file_exists(path), c.name_left);
  }
}

}  // namespace
}  // namespace vurn
