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
// descriptor and must hold its own path. meanwhile runs after each entry, given how many were told.
lines walk_lines(
    const std::string& root,
    const std::function<void(std::size_t)>& meanwhile = [](std::size_t) {}) {
  lines told;
  walk_folder(root, [&](const walk_entry& e) {
    const std::string below = e.path.substr(std::min(e.path.size(), root.size() + 1));
    told.push_back(below + ": " + walk_skip_reason(e.skipped));
    if (e.error != 0) told.back() += std::string(" ") + std::strerror(e.error);
    if (e.skipped == walk_skip::none) {
      const unique_fd in(openat(e.folder_fd, e.name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      char content[256] = {};
      EXPECT_GE(read(in.get(), content, sizeof content), 0) << e.path;
      EXPECT_EQ(content, below);
    }
    meanwhile(told.size());
    return walk_next::go_on;
  });
  return told;
}

// Files, a FIFO, links to a file and to a folder, and a chain of folders deeper than the
// descriptors held, with a file at every level to be told on the way back up, where the shallower
// folders must be opened again.
struct tree {
  temp_dir dir;
  lines told;  // as a walk tells it
  static constexpr std::size_t chain_files = 2 * walk_open_folders + 4;
  tree() {
    mkdir((dir / "b").c_str(), 0755);
    for (const char* file : {"a", "b/c"}) write_file(dir / file, file);
    mkfifo((dir / "f").c_str(), 0600);
    symlink("b", (dir / "link-dir").c_str());
    symlink("a", (dir / "link-file").c_str());
    told = {"a: regular file", "b/c: regular file"};
    for (std::string folder = "deep"; told.size() < 2 + chain_files; folder += "/z") {
      mkdir((dir / folder).c_str(), 0755);
      write_file(dir / (folder + "/zz"), folder + "/zz");
      told.insert(told.begin() + 2, folder + "/zz: regular file");
    }
    told.insert(told.end(), {"f: not a regular file or folder", "link-dir: symbolic link",
                             "link-file: symbolic link"});
  }
};

TEST(Walk, TellsEveryEntrySortedFollowingNoLinkWithFewDescriptors) {
  const tree t;
  const int before = count_entries("/proc/self/fd");
  int most = before;
  EXPECT_EQ(walk_lines(t.dir.path,
                       [&](std::size_t) { most = std::max(most, count_entries("/proc/self/fd")); }),
            t.told);
  EXPECT_LE(most, before + 1 + static_cast<int>(walk_open_folders));
  EXPECT_EQ(walk_lines(t.dir / "link-dir/"), lines{": symbolic link"});
  EXPECT_EQ(walk_lines(t.dir / "a"), lines{": cannot be read Not a directory"});
  int told = 0;
  const auto stop = [&](const walk_entry&) {
    return ++told == 2 ? walk_next::stop : walk_next::go_on;
  };
  EXPECT_EQ(walk_folder(t.dir.path, stop), walk_next::stop);
  EXPECT_EQ(told, 2);
}

TEST(Walk, FollowsNoFolderSwappedOrMovedAfterItWasListed) {
  enum { link, file, folder };
  const struct {
    std::size_t after;  // entries told before name is moved out of the tree and replaced by
    const char* name;
    int by;
    std::size_t from, count;  // the lines then told otherwise
    lines instead;
  } cases[] = {
      {1, "b", link, 1, 1, {"b: symbolic link"}},
      {1, "b", file, 1, 1, {"b: cannot be read Not a directory"}},
      {3,
       "deep/z",
       folder,
       2 + walk_open_folders,
       tree::chain_files - walk_open_folders,
       {"deep/z: cannot be read Stale file handle", "deep/zz: regular file"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const tree t;
    const temp_dir elsewhere;
    write_file(elsewhere / "secret", "secret");
    const std::string swapped = t.dir / c.name;
    const auto change = [&](std::size_t told) {
      if (told != c.after) return;
      std::rename(swapped.c_str(), (elsewhere / "moved").c_str());
      if (c.by == link) symlink(elsewhere.path.c_str(), swapped.c_str());
      if (c.by == file) write_file(swapped, "");
      if (c.by == folder) mkdir(swapped.c_str(), 0755);
    };
    lines expected = t.told;
    const auto from = expected.begin() + static_cast<std::ptrdiff_t>(c.from);
    expected.insert(expected.erase(from, from + static_cast<std::ptrdiff_t>(c.count)),
                    c.instead.begin(), c.instead.end());
    EXPECT_EQ(walk_lines(t.dir.path, change), expected);
  }
}

// A bind mount that shows the walk's own top folder again inside it, and a small file system
// mounted in the tree.
TEST(Walk, EntersAFolderOnceAndStaysOnItsFileSystem) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  const temp_dir dir;
  for (const char* folder : {"a", "a/loop"}) mkdir((dir / folder).c_str(), 0755);
  write_file(dir / "a/f", "a/f");
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
