// Walking a folder tree: what is told, in which order, and what is never followed or entered.
#include "fileio/walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fileio/fd.h"
#include "support/small_mount.h"
#include "support/temp_dir.h"

namespace vurn {
namespace {

using test::count_entries;
using test::temp_dir;
using test::write_file;
using lines = std::vector<std::string>;

// "path-below-root: reason" for every entry told; a regular file is also read through its folder's
// descriptor, and must hold its own path.
lines walk_lines(
    const std::string& root,
    const std::function<void(const walk_entry&)>& meanwhile = [](const walk_entry&) {}) {
  lines told;
  walk_folder(root, [&](const walk_entry& e) {
    std::string line = e.path.substr(std::min(e.path.size(), root.size() + 1)) + ": " +
                       walk_skip_reason(e.skipped);
    if (e.error != 0) line += std::string(" ") + std::strerror(e.error);
    if (e.skipped == walk_skip::none) {
      const unique_fd in(openat(e.folder_fd, e.name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      char content[256] = {};
      EXPECT_GE(read(in.get(), content, sizeof content), 0) << e.path;
      EXPECT_EQ(content, line.substr(0, line.find(':')));
    }
    told.push_back(line);
    meanwhile(e);
    return walk_next::go_on;
  });
  return told;
}

void make_file(const temp_dir& dir, const std::string& name) {
  write_file(dir / name, name);
}

TEST(Walk, TellsEveryEntrySortedFollowingNoLinkWithFewDescriptors) {
  const temp_dir dir;
  for (const char* folder : {"b", "b/d"}) mkdir((dir / folder).c_str(), 0755);
  for (const char* file : {"b/d/e", "a", "b/c"}) make_file(dir, file);
  mkfifo((dir / "f").c_str(), 0600);
  symlink("b", (dir / "link-dir").c_str());
  symlink("a", (dir / "link-file").c_str());
  // A chain deeper than the descriptors held, with a file at every level to be found on the way
  // back up, where each folder must be opened again.
  const std::size_t depth = 2 * walk_open_folders + 3;
  lines chain;
  for (std::string folder = "deep"; chain.size() <= depth; folder += "/z") {
    mkdir((dir / folder).c_str(), 0755);
    make_file(dir, folder + "/zz");
    chain.insert(chain.begin(), folder + "/zz: regular file");
  }
  lines expected = {"a: regular file", "b/c: regular file", "b/d/e: regular file"};
  expected.insert(expected.end(), chain.begin(), chain.end());
  expected.insert(expected.end(), {"f: not a regular file or folder", "link-dir: symbolic link",
                                   "link-file: symbolic link"});

  const int before = count_entries("/proc/self/fd");
  int most = before;
  EXPECT_EQ(
      walk_lines(dir.path,
                 [&](const walk_entry&) { most = std::max(most, count_entries("/proc/self/fd")); }),
      expected);
  EXPECT_LE(most, before + 1 + static_cast<int>(walk_open_folders));

  const struct {
    const char* root;
    lines told;
  } operands[] = {
      {"link-dir/", {": symbolic link"}},
      {"a", {": cannot be read Not a directory"}},
      {"missing", {": cannot be read No such file or directory"}},
  };
  for (const auto& o : operands) EXPECT_EQ(walk_lines(dir / o.root), o.told) << o.root;
}

TEST(Walk, FollowsNoFolderSwappedForSomethingElseAfterItWasListed) {
  const struct {
    const char* what;
    void (*swap)(const std::string& s, const std::string& elsewhere);
    const char* told;
  } cases[] = {
      {"a link to a folder elsewhere",
       [](const std::string& s, const std::string& elsewhere) {
         symlink(elsewhere.c_str(), s.c_str());
       },
       "s: symbolic link"},
      {"a regular file", [](const std::string& s, const std::string&) { write_file(s, "s"); },
       "s: cannot be read Not a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const temp_dir dir;
    const std::string root = dir / "root";
    for (const char* folder : {"root", "root/s", "elsewhere"}) mkdir((dir / folder).c_str(), 0755);
    for (const char* file : {"root/s/inside", "elsewhere/secret"}) make_file(dir, file);
    write_file(root + "/a", "a");
    const auto swap_s = [&](const walk_entry& e) {
      if (e.path != root + "/a") return;
      std::rename((root + "/s").c_str(), (dir / "moved").c_str());
      c.swap(root + "/s", dir / "elsewhere");
    };
    EXPECT_EQ(walk_lines(root, swap_s), (lines{"a: regular file", c.told}));
  }
}

// A bind mount that shows the walk's own top folder again inside it, and a small file system
// mounted in the tree.
TEST(Walk, EntersAFolderOnceAndStaysOnItsFileSystem) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  const temp_dir dir;
  for (const char* folder : {"a", "a/loop"}) mkdir((dir / folder).c_str(), 0755);
  make_file(dir, "a/f");
  const test::small_mount other(dir / "m", "size=64k");
  if (!other.mounted) GTEST_SKIP() << "mounting a tmpfs was refused";
  write_file(dir / "m/g", "g");
  const std::string loop = dir / "a/loop";
  ASSERT_EQ(mount(dir.path.c_str(), loop.c_str(), nullptr, MS_BIND, nullptr), 0);
  const lines told = walk_lines(dir.path);
  const lines named = walk_lines(dir / "m");
  umount2(loop.c_str(), MNT_DETACH);
  EXPECT_EQ(told, (lines{"a/f: regular file", "a/loop: folder visited already",
                         "m: on another file system"}));
  EXPECT_EQ(named, lines{"g: regular file"});
}

}  // namespace
}  // namespace vurn
