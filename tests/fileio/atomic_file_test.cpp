// All-or-nothing files on real folders: what a commit leaves, what a discard leaves, the
// refusals of open(2), and existing files rewritten in place on a full disk or for another user.
#include "fileio/atomic_file.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "fileio/fd.h"
#include "support/small_mount.h"
#include "support/temp_dir.h"

namespace vurn {
namespace {

using test::count_entries;
using test::file_mode;
using test::read_file;
using test::temp_dir;
using test::write_file;

// What stands at the name "target" before the run. Files hold "old" with mode 0640.
enum class start { nothing, own_file, hard_linked, link_to_file, dangling_link };

struct file_case {
  const char* what;
  start before;
  atomic_file_options options;
  int open_status;
  bool written_in_place;  // the existing file takes the content (same inode) instead of a new one
  unsigned mode;          // of the result; 0 for a new file's 0666 less the umask
};

// Options: {new_mode, mode_limit, create_only}.
const file_case CASES[] = {
    {"new name", start::nothing, {}, 0, false, 0},
    {"new name, narrowed", start::nothing, {0666, 0600, false}, 0, false, 0600},
    {"own file", start::own_file, {}, 0, false, 0640},
    {"own file, narrowed", start::own_file, {0666, 0604, false}, 0, false, 0600},
    {"second hard link", start::hard_linked, {}, 0, true, 0640},
    {"link to a file", start::link_to_file, {}, 0, true, 0640},
    {"link to a file, narrowed", start::link_to_file, {0666, 0600, false}, 0, true, 0600},
    {"dangling link", start::dangling_link, {}, 0, false, 0},
    {"create only, new name", start::nothing, {0600, 07777, true}, 0, false, 0600},
    {"create only, own file", start::own_file, {0600, 07777, true}, EEXIST, false, 0},
    {"create only, dangling link", start::dangling_link, {0600, 07777, true}, EEXIST, false, 0},
};

// The file that holds the content: "real" behind a link, "target" otherwise.
std::string content_path(const temp_dir& dir, start before) {
  const bool linked = before == start::link_to_file || before == start::dangling_link;
  return dir / (linked ? "real" : "target");
}

void set_up(const temp_dir& dir, start before) {
  const auto old_file = [](const std::string& path) {
    write_file(path, "old");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  };
  switch (before) {
    case start::nothing:
      break;
    case start::own_file:
      old_file(dir / "target");
      break;
    case start::hard_linked:
      old_file(dir / "target");
      ASSERT_EQ(link((dir / "target").c_str(), (dir / "other").c_str()), 0);
      break;
    case start::link_to_file:
      old_file(dir / "real");
      [[fallthrough]];
    case start::dangling_link:
      ASSERT_EQ(symlink("real", (dir / "target").c_str()), 0);
      break;
  }
}

ino_t inode_of(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool is_link(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// A fresh folder set up for one case, and what it held before the run.
struct case_folder {
  temp_dir dir;
  std::string content;  // the file that holds the content
  ino_t inode;          // its inode, 0 when there is none yet
  int entries;

  explicit case_folder(const file_case& c) {
    set_up(dir, c.before);
    content = content_path(dir, c.before);
    inode = inode_of(content);
    entries = count_entries(dir.path);
  }
};

// Opens "target" in the folder and writes "new data"; returns the open status.
int open_and_write(atomic_file& f, const case_folder& folder, const file_case& c) {
  const int status = f.open((folder.dir / "target").c_str(), c.options).error_number;
  if (status == 0) {
    EXPECT_EQ(write(f.fd(), "new data", 8), 8);
  }
  return status;
}

unsigned new_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666u & ~mask;
}

TEST(AtomicFile, CommitGivesWhatOpeningWithWWouldGive) {
  for (const file_case& c : CASES) {
    SCOPED_TRACE(c.what);
    const case_folder folder(c);
    atomic_file f;
    ASSERT_EQ(open_and_write(f, folder, c), c.open_status);
    if (c.open_status != 0) continue;
    EXPECT_EQ(count_entries(folder.dir.path), folder.entries);  // nothing visible before the commit
    ASSERT_EQ(f.commit().error_number, 0);
    EXPECT_EQ(f.fd(), -1);

    EXPECT_EQ(read_file(folder.content), "new data");
    EXPECT_EQ(file_mode(folder.content), c.mode != 0 ? c.mode : new_file_mode());
    if (c.written_in_place) {
      EXPECT_EQ(inode_of(folder.content), folder.inode);
    }
    if (c.before == start::hard_linked) {
      EXPECT_EQ(read_file(folder.dir / "other"), "new data");
    }
    if (c.before == start::link_to_file || c.before == start::dangling_link) {
      EXPECT_TRUE(is_link(folder.dir / "target"));
    }
    const bool created = c.before == start::nothing || c.before == start::dangling_link;
    EXPECT_EQ(count_entries(folder.dir.path), folder.entries + (created ? 1 : 0));
  }
}

TEST(AtomicFile, DiscardLeavesEverythingAsItWas) {
  for (const file_case& c : CASES) {
    if (c.open_status != 0) continue;
    for (const bool by_destructor : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (by_destructor ? ", dropped" : ", discarded"));
      const case_folder folder(c);
      {
        atomic_file f;
        ASSERT_EQ(open_and_write(f, folder, c), 0);
        if (!by_destructor) f.discard();
      }
      EXPECT_EQ(count_entries(folder.dir.path), folder.entries);
      if (folder.inode != 0) {
        EXPECT_EQ(read_file(folder.content), "old");
        EXPECT_EQ(inode_of(folder.content), folder.inode);
        EXPECT_EQ(file_mode(folder.content), 0640u);
      }
    }
  }
}

TEST(AtomicFile, ANameThatAppearsMeanwhileIsNotReplaced) {
  temp_dir dir;
  for (const atomic_file_options& options : {atomic_file_options{}, {0600, 07777, true}}) {
    atomic_file f;
    ASSERT_TRUE(f.open((dir / "target").c_str(), options).ok());
    ASSERT_EQ(write(f.fd(), "new data", 8), 8);
    write_file(dir / "target", "theirs");
    EXPECT_EQ(f.commit().error_number, EEXIST);
    EXPECT_EQ(read_file(dir / "target"), "theirs");
    EXPECT_EQ(count_entries(dir.path), 1);
    ASSERT_EQ(unlink((dir / "target").c_str()), 0);
  }
}

TEST(AtomicFile, RefusalsAreThoseOfOpen) {
  temp_dir dir;
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
  const struct {
    std::string path;
    int status;
  } cases[] = {
      {"", ENOENT},
      {dir / "missing/target", ENOENT},
      {dir / "folder", EISDIR},
      {dir / "folder/", EISDIR},
      {dir / "target/", EISDIR},
  };
  for (const auto& c : cases) {
    atomic_file f;
    EXPECT_EQ(f.open(c.path.c_str(), {}).error_number, c.status) << c.path;
    EXPECT_EQ(f.fd(), -1) << c.path;
  }
  EXPECT_EQ(count_entries(dir.path), 1);
}

// A second hard link makes the commit copy into the existing file. Without free inodes the
// temporary file goes elsewhere, and ext2 cannot reserve blocks ahead, so growing the file is
// what meets the full disk.
TEST(AtomicFile, AFullDiskFailsBeforeAnExistingFileChanges) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system image";
  const struct {
    const char* what;
    std::size_t old_size;
    std::size_t written;  // the old file's data; a hole up to old_size after it
    std::size_t new_size;
    int error;
  } cases[] = {
      {"growing", 64 * 1024, 64 * 1024, 256 * 1024, ENOSPC},
      {"shrinking", 256 * 1024, 256 * 1024, 64 * 1024, 0},
      {"over a hole", 256 * 1024, 16 * 1024, 128 * 1024, ENOSPC},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const temp_dir dir;
    const test::small_ext2_mount disk(dir / "disk", 1024, 16);
    if (!disk.mounted) GTEST_SKIP() << disk.why_not;
    const std::string target = disk.path + "/target";
    const std::string old_content =
        std::string(c.written, 'o') + std::string(c.old_size - c.written, '\0');
    const std::string new_content(c.new_size, 'n');
    write_file(target, old_content.substr(0, c.written));
    ASSERT_EQ(truncate(target.c_str(), static_cast<off_t>(c.old_size)), 0);
    ASSERT_EQ(link(target.c_str(), (disk.path + "/other").c_str()), 0);
    test::take_free_blocks(disk.path);
    test::take_free_inodes(disk.path);
    const int entries = count_entries(disk.path);

    atomic_file f;
    ASSERT_TRUE(f.open(target.c_str(), {}).ok());
    ASSERT_TRUE(write_all(f.fd(), new_content).ok());
    EXPECT_EQ(f.commit().error_number, c.error);
    const std::string& expected = c.error == 0 ? new_content : old_content;
    // Compared as booleans: a mismatch would print a quarter of a mebibyte.
    EXPECT_TRUE(read_file(target) == expected);
    EXPECT_TRUE(read_file(disk.path + "/other") == expected);
    EXPECT_EQ(count_entries(disk.path), entries);
  }
}

// Runs body as user and group 65534 in a child process and returns its exit status.
template <typename action>
int status_as_nobody(action body) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(255);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another user's file that anyone may write: its mode is not the writer's to change, so a result
// that needs a narrower mode is refused before a byte changes; the content alone may be replaced.
TEST(AtomicFile, AFileWhoseModeTheCallerMayNotChangeIsNotNarrowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const struct {
    const char* what;
    atomic_file_options options;
    int error;
  } cases[] = {
      {"narrowed", {0666, 0600, false}, EPERM},
      {"mode kept", {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const temp_dir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    const std::string target = dir / "target";
    write_file(target, "old");
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);
    const int status = status_as_nobody([&] {
      atomic_file f;
      io_result result = f.open(target.c_str(), c.options);
      if (result.ok()) result = write_all(f.fd(), std::string_view("new data"));
      if (result.ok()) result = f.commit();
      return result.error_number;
    });
    EXPECT_EQ(status, c.error);
    EXPECT_EQ(read_file(target), c.error == 0 ? "new data" : "old");
    EXPECT_EQ(file_mode(target), 0666u);
    EXPECT_EQ(count_entries(dir.path), 1);
  }
}

}  // namespace
}  // namespace vurn
