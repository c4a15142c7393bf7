// Outputs where plain "w" writing has always been safe: other users' files and shared folders,
// full disks, size limits, symbolic links, hang-ups and signals. Cases that need root (acting as
// another user, mounting a small file system) are skipped, saying why, elsewhere.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/small_mount.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "workspace.h"

namespace vurn::test {
namespace {

constexpr uid_t NOBODY = 65534;
const std::vector<std::string> AS_NOBODY = {"setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};

#define SKIP_UNLESS_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user or to mount"

struct stat status_of(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st;
}

// An owner of -1 leaves the file's owner and group as they are.
void make_folder(const std::string& path, mode_t mode, uid_t owner = static_cast<uid_t>(-1)) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

void make_file(const std::string& path, const std::string& content, mode_t mode,
               uid_t owner = static_cast<uid_t>(-1)) {
  write_file(path, content);
  ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// A folder whose files other users may read: "key", "plain" and "plain.vurn", and a temporary
// folder "tmp" that every user may write, named by TMPDIR in every run.
struct shared_workspace {
  temp_dir dir;
  std::string plain = random_bytes(256 * 1024, 7);
  shared_workspace() {
    chmod(dir.path.c_str(), 0755);
    make_file(dir / "key", KEY_HEX, 0644);
    make_file(dir / "plain", plain, 0644);
    make_folder(dir / "tmp", 01777);
    EXPECT_EQ(run({"-e", "-k", "key", "plain"}).status, 0);
    chmod((dir / "plain.vurn").c_str(), 0644);
  }
  process_result run(std::vector<std::string> args, std::vector<std::string> prefix = {},
                     const std::string& cwd = {}) const {
    process_request request;
    request.args = std::move(args);
    request.prefix = std::move(prefix);
    request.cwd = cwd.empty() ? dir.path : cwd;
    request.env = {{"TMPDIR", dir / "tmp"}};
    return run_process(request);
  }
  std::string operator/(const std::string& name) const { return dir / name; }
};

// As "w" would: a new file gets the mode a new file gets, an existing one keeps its own, and a
// symbolic link stays while the file it names, existing or not, takes the result. Either loses
// the permission bits a regular input lacks; standard input takes none away.
TEST(Outputs, TheTargetKeepsItsModeNarrowedToTheInputsAndALinkStays) {
  const mode_t mask = umask(0);
  umask(mask);
  const struct {
    const char* what;
    bool existing;
    bool through_link;
    mode_t input_mode;  // 0: standard input
    mode_t mode;
  } cases[] = {
      {"new", false, false, 0666, 0666 & ~mask},
      {"new, from a secret", false, false, 0600, 0600 & ~mask},
      {"new, from standard input", false, false, 0, 0666 & ~mask},
      {"existing", true, false, 0666, 0640},
      {"existing, from a secret", true, false, 0600, 0600},
      {"link to a file, from a secret", true, true, 0604, 0600},
      {"dangling link", false, true, 0666, 0666 & ~mask},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    workspace ws;
    if (c.existing) make_file(ws / "real", "old", 0640);
    if (c.through_link) {
      ASSERT_EQ(symlink("real", (ws / "link").c_str()), 0);
    }
    std::vector<std::string> args = {"-e", "-k", "key", "-o", c.through_link ? "link" : "real"};
    if (c.input_mode != 0) {
      ASSERT_EQ(chmod((ws / "notes.txt").c_str(), c.input_mode), 0);
      args.push_back("notes.txt");
    }
    expect_run(ws.run(args, "piped"), 0, "");
    EXPECT_EQ(read_file(ws / "real").substr(0, header("key").size()), header("key"));
    EXPECT_EQ(file_mode(ws / "real"), c.mode);
    EXPECT_EQ(S_ISLNK(status_of(ws / "link").st_mode), c.through_link);
    EXPECT_EQ(count_entries(ws.dir.path), c.through_link ? 4 : 3);
  }
}

TEST(Outputs, TheInputCanBeItsOwnOutput) {
  const std::string plain = random_bytes(100001);
  workspace ws(plain);
  expect_run(ws.run({"-e", "-k", "key", "-o", "notes.txt", "notes.txt"}), 0, "");
  expect_run(ws.run({"-d", "-k", "key", "-o", "notes.txt", "notes.txt"}), 0, "Blocksize is 256\n");
  EXPECT_EQ(read_file(ws / "notes.txt"), zero_filled(plain));
  EXPECT_EQ(count_entries(ws.dir.path), 2);
}

// A device is written as it is: not replaced, and its mode not narrowed to a secret input's.
TEST(Outputs, DevicesAreWrittenDirectlyAndWriteErrorsAreFailures) {
  workspace ws;
  ASSERT_EQ(chmod((ws / "notes.txt").c_str(), 0600), 0);
  expect_run(ws.run({"-e", "-k", "key", "-o", "/dev/null", "notes.txt"}), 0, "");
  EXPECT_TRUE(S_ISCHR(status_of("/dev/null").st_mode));
  EXPECT_EQ(status_of("/dev/null").st_mode & 07777, 0666u);
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

TEST(Outputs, RootWritingIntoOtherUsersFilesKeepsTheirOwnerAndGivesNoSetIdFile) {
  SKIP_UNLESS_ROOT();
  const struct {
    const char* what;
    mode_t folder_mode;
    mode_t file_mode;
    const char* command;
    const char* source;
  } cases[] = {
      {"set-id placeholder in a sticky shared folder", 01777, 04755, "-d", "../plain.vurn"},
      {"another user's file", 0755, 0640, "-e", "../plain"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    shared_workspace ws;
    make_folder(ws / "folder", c.folder_mode);
    make_file(ws / "folder/theirs", "", c.file_mode, NOBODY);
    const process_result result =
        ws.run({c.command, "-k", "../key", "-o", "theirs", c.source}, {}, ws / "folder");
    const struct stat after = status_of(ws / "folder/theirs");
    EXPECT_EQ(after.st_uid, NOBODY);
    EXPECT_EQ(after.st_gid, NOBODY);
    EXPECT_EQ(count_entries(ws / "folder"), 1);
    if (result.status == 0) {  // the kernel may refuse it instead (protected_regular)
      EXPECT_EQ(after.st_mode & 07777, c.file_mode & 0644);  // no bit the input lacks
      // "../key", a space, the block size and then whole chunks: no zeros added.
      const std::size_t header = *(c.command + 1) == 'e' ? 15 : 0;
      EXPECT_EQ(read_file(ws / "folder/theirs").size(), ws.plain.size() + header);
    } else {
      EXPECT_EQ(result.err, "Unable to create file: theirs for writing: Permission denied\n");
      EXPECT_EQ(read_file(ws / "folder/theirs"), "");
    }
  }
}

TEST(Outputs, AnOrdinaryUserMayNotWriteWhatShellRedirectionMayNotWrite) {
  SKIP_UNLESS_ROOT();
  const struct {
    const char* what;
    uid_t folder_owner;
    uid_t file_owner;
    mode_t file_mode;  // 0: no file
  } cases[] = {
      {"a read-only file of one's own", NOBODY, NOBODY, 0444},
      {"root's file in one's own folder", NOBODY, 0, 0644},
      {"a new name in root's folder", 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    shared_workspace ws;
    make_folder(ws / "folder", 0755, c.folder_owner);
    if (c.file_mode != 0) make_file(ws / "folder/target", "before", c.file_mode, c.file_owner);
    const process_result result =
        ws.run({"-e", "-k", "../key", "-o", "target", "../plain"}, AS_NOBODY, ws / "folder");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Unable to create file: target for writing: Permission denied\n");
    EXPECT_EQ(count_entries(ws / "folder"), c.file_mode != 0 ? 1 : 0);
    EXPECT_EQ(count_entries(ws / "tmp"), 0);
    if (c.file_mode != 0) {
      EXPECT_EQ(read_file(ws / "folder/target"), "before");
      EXPECT_EQ(status_of(ws / "folder/target").st_uid, c.file_owner);
    }
  }
}

TEST(Outputs, TheInputCanBeItsOwnOutputInAFolderTheUserCannotWrite) {
  SKIP_UNLESS_ROOT();
  shared_workspace ws;
  make_folder(ws / "folder", 0755);
  make_file(ws / "folder/notes", ws.plain, 0640, NOBODY);
  for (const char* command : {"-e", "-d"}) {
    const process_result result =
        ws.run({command, "-k", "../key", "-o", "notes", "notes"}, AS_NOBODY, ws / "folder");
    EXPECT_EQ(result.status, 0) << command << ": " << result.err;
  }
  EXPECT_EQ(read_file(ws / "folder/notes"), ws.plain);  // 256 KiB: no zeros added
  EXPECT_EQ(status_of(ws / "folder/notes").st_mode & 07777, 0640u);
  EXPECT_EQ(count_entries(ws / "folder"), 1);
  EXPECT_EQ(count_entries(ws / "tmp"), 0);
}

TEST(Outputs, AFullDiskNoInodesOrASizeLimitFailWithoutATrace) {
  SKIP_UNLESS_ROOT();
  const struct {
    const char* what;
    const char* mount_options;  // none: no mount, the size limit instead
    const char* command;
    const char* source;
    bool target_exists;
    const char* error;
  } cases[] = {
      {"size limit, new", nullptr, "-e", "plain", false, "File too large"},
      {"size limit, existing", nullptr, "-d", "plain.vurn", true, "File too large"},
      {"full disk, -e", "size=64k", "-e", "plain", true, "No space left on device"},
      {"full disk, -d", "size=64k", "-d", "plain.vurn", true, "No space left on device"},
      {"no inodes, -e", "size=1m,nr_inodes=1", "-e", "plain", false, "No space left on device"},
      {"no inodes, -d", "size=1m,nr_inodes=1", "-d", "plain.vurn", false,
       "No space left on device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    shared_workspace ws;
    std::vector<std::string> prefix;
    std::unique_ptr<small_mount> disk;
    if (c.mount_options != nullptr) {
      disk = std::make_unique<small_mount>(ws / "out", c.mount_options);
      if (!disk->mounted) GTEST_SKIP() << "mounting a tmpfs was refused: " << std::strerror(errno);
    } else {
      make_folder(ws / "out", 0755);
      prefix = {"prlimit", "--fsize=65536"};
    }
    if (c.target_exists) write_file(ws / "out/target", "precious");
    const process_result result =
        ws.run({c.command, "-k", "key", "-o", "out/target", c.source}, prefix);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
    EXPECT_EQ(count_entries(ws / "out"), c.target_exists ? 1 : 0);
    if (c.target_exists) {
      EXPECT_EQ(read_file(ws / "out/target"), "precious");
    }
    EXPECT_EQ(count_entries(ws / "tmp"), 0);
  }
}

// A signal ends the run and removes its temporary file, unless it is a hang-up ignored at start.
TEST(Outputs, ASignalRemovesTheTemporaryFileButAHangUpIgnoredAtStartStaysIgnored) {
  const struct {
    std::vector<std::string> prefix;
    int sent;
    int status;
    int signal;
    int entries;
  } cases[] = {
      {{"nohup"}, SIGHUP, 0, 0, 2}, {{}, SIGHUP, -1, SIGHUP, 1}, {{}, SIGTERM, -1, SIGTERM, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    temp_dir dir;
    write_file(dir / "key", KEY_HEX);
    process_request request;
    request.prefix = c.prefix;
    request.cwd = dir.path;
    request.args = {"-e", "-o", "out"};
    request.stdin_data = "key\nsome data";
    request.keep_stdin_open = true;
    request.signal_after_output = c.sent;
    request.end_input_after_signal = true;
    const process_result result = run_process(request);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.signal, c.signal);
    EXPECT_EQ(count_entries(dir.path), c.entries);
  }
}

// A second hard link makes vurn copy the result into the existing target, 1 MiB per pwrite. strace
// sends SIGTERM as the chosen system call is made: while vurn still writes its temporary file
// (write), or once the copy into the target has begun. Either way the target holds one content
// whole, and the signal ends the run.
TEST(Outputs, ASignalDuringACopyIntoTheTargetWaitsUntilTheCopyIsWhole) {
  if (program_in_path("strace").empty()) GTEST_SKIP() << "strace is not installed";
  if (test::vurn_runs_under_test_runner()) {
    GTEST_SKIP() << "under a test runner the system calls counted would be the runner's";
  }
  const struct {
    const char* syscall;
    int when;
    bool new_content;
  } cases[] = {
      {"write", 1, false},
      {"pwrite64", 1, true},
      {"pwrite64", 3, true},
      {"fsync", 1, true},
  };
  temp_dir dir;
  write_file(dir / "key", KEY_HEX);
  write_file(dir / "plain", random_bytes(3 * 1024 * 1024));
  ASSERT_EQ(test::run_vurn({"-e", "-k", "key", "-o", "new", "plain"}, dir.path).status, 0);
  const std::string new_content = read_file(dir / "new");
  const std::string old_content = random_bytes(1024 * 1024);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.syscall) + " " + std::to_string(c.when));
    write_file(dir / "target", old_content);
    ASSERT_TRUE(file_exists(dir / "other") ||
                link((dir / "target").c_str(), (dir / "other").c_str()) == 0);
    const int entries = count_entries(dir.path);
    process_request request;
    request.prefix = {
        "strace",
        "-f",
        "-qq",
        "-o",
        "/dev/null",
        "-e",
        "inject=" + std::string(c.syscall) + ":signal=SIGTERM:when=" + std::to_string(c.when)};
    request.cwd = dir.path;
    request.args = {"-e", "-k", "key", "-o", "target", "plain"};
    const process_result result = run_process(request);
    if (result.err.find("ptrace") != std::string::npos) GTEST_SKIP() << result.err;
    EXPECT_EQ(result.signal, SIGTERM) << result.err;
    // Compared as booleans: a mismatch would print mebibytes.
    EXPECT_TRUE(read_file(dir / "target") == (c.new_content ? new_content : old_content));
    EXPECT_EQ(count_entries(dir.path), entries);
  }
}

}  // namespace
}  // namespace vurn::test
