// Files that appear whole or not at all.
//
// The result is written to a temporary file and becomes visible only when it is committed; on
// failure, or when the process ends by a signal, the target is exactly as it was before and no
// other file remains. What the caller sees on success is what opening the target with fopen's "w"
// would have given: the kernel resolves the name (its symbolic-link and permission checks apply),
// an existing file keeps its owner, group, permission bits and hard links, and a new file gets
// new_mode less the umask; either loses the permission bits outside mode_limit. Devices, FIFOs
// and terminals are written directly.
//
// An existing file that a rename cannot replace (more than one link, another owner, extended
// attributes, a name that is a symbolic link) takes the new content in place at commit: its space
// is claimed before its first byte changes, so a full disk fails with the file as it was, and
// SIGINT, SIGTERM and SIGHUP are held off until it holds all of the new content, on disk.
//
// Every routine returns an io_result (fileio/fd.h). Every descriptor is close-on-exec.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "fileio/fd.h"

namespace vurn {

struct atomic_file_options {
  mode_t new_mode = 0666;     // less the umask, for a new file
  mode_t mode_limit = 07777;  // the result has no permission bit outside it, a replaced file
                              // included; one whose mode the caller may not narrow is refused
                              // (EPERM) before anything changes
  bool create_only = false;   // fail with EEXIST if the name exists (a symbolic link included,
                              // dangling or not), also if it appears meanwhile
  bool no_follow = false;     // a name that is a symbolic link is refused (ELOOP), not followed
};

namespace detail {

// How an open file becomes the result on commit.
enum class atomic_file_plan {
  none,         // nothing open
  direct,       // fd is the target itself (device, FIFO, terminal)
  rename_over,  // the temporary file replaces the existing target's name
  link_new,     // the temporary file gets the new target's name
  copy_into,    // the temporary file's content is copied into the existing target, pinned at open
  copy_new,     // the content is copied into a target created exclusively at commit
};

struct atomic_file_state {
  int fd = -1;           // the descriptor to write the result to
  int at_fd = AT_FDCWD;  // the folder a relative path starts from (not owned)
  bool no_follow = false;
  atomic_file_plan plan = atomic_file_plan::none;
  int target_fd = -1;       // the existing target, opened at the start as "w" would open it
  int folder_fd = -1;       // the folder that holds (or will hold) the target's name
  std::string name;         // the target's name within that folder
  int temp_folder_fd = -1;  // the folder of the temporary file
  std::string temp_name;    // a named temporary file's name there; empty when it has none
  int cleanup_slot = -1;    // its entry in the list the termination handler removes
  mode_t mode = 0;          // permission bits of the result
  gid_t group = 0;          // the group of an existing target
};

}  // namespace detail

// The folders of results committed but not yet synced, for runs that make many files: each folder
// is synced once, at the end, instead of once per file. A result's data is synced at its commit
// either way, so its name can only ever lead to its whole content. The termination handler syncs
// them too, so a run ended by a signal keeps what it finished.
class folder_syncs {
 public:
  folder_syncs() = default;
  folder_syncs(const folder_syncs&) = delete;
  folder_syncs& operator=(const folder_syncs&) = delete;
  ~folder_syncs();  // syncs what is left

  // Takes folder_fd's folder into the list (once). Returns 0 or an errno value: the list is
  // synced at once when it is full.
  int add(int folder_fd);

  // Syncs every folder in the list and empties it. Returns 0 or the first errno value.
  int sync_all();

 private:
  std::vector<file_id> ids_;
  std::vector<int> fds_;
};

class atomic_file {
 public:
  atomic_file() = default;
  atomic_file(const atomic_file&) = delete;
  atomic_file& operator=(const atomic_file&) = delete;
  ~atomic_file();  // discards what was not committed

  // Opens the target path, relative to the folder at_fd, for an all-or-nothing write; what was
  // open before is discarded. Refusals are those of openat(2) with "w".
  io_result open(const char* path, const atomic_file_options& options, int at_fd = AT_FDCWD);

  // The descriptor to write the result to; -1 when nothing is open.
  int fd() const;

  // Syncs the data, puts the result in place and syncs the folder, or, given `later`, leaves the
  // folder to it. On failure the result is discarded. Either way every descriptor is closed.
  io_result commit(folder_syncs* later = nullptr);

  // Drops the result: nothing is left, and the target is exactly as before.
  void discard();

 private:
  detail::atomic_file_state state_;
};

}  // namespace vurn
