// Files that appear whole or not at all.
//
// The result is written to a temporary file and becomes visible only when it is committed; on
// failure, or when the process ends by a signal, the target is exactly as it was before and no
// other file remains. What the caller sees on success is what opening the target with fopen's "w"
// would have given: the kernel resolves the name (its symbolic-link and permission checks apply),
// an existing file keeps its owner, group, permission bits and hard links, and a new file gets
// new_mode less the umask. Devices, FIFOs and terminals are written directly.
//
// Every routine returns 0 or an errno value. Every descriptor is close-on-exec.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>

namespace vurn {

struct atomic_file_options {
  mode_t new_mode = 0666;    // less the umask, for a new file
  bool force_mode = false;   // the result gets new_mode even when it replaces a file
  bool create_only = false;  // fail with EEXIST if the name exists, also if it appears meanwhile
};

// How an open file becomes the result on commit.
enum class atomic_file_plan {
  none,         // nothing open
  direct,       // fd is the target itself (device, FIFO, terminal)
  rename_over,  // the temporary file replaces the existing target's name
  link_new,     // the temporary file gets the new target's name
  copy_into,    // the temporary file's content is copied into the existing target, pinned at open
  copy_new,     // the content is copied into a target created exclusively at commit
};

struct atomic_file {
  int fd = -1;  // the descriptor to write the result to

  atomic_file_plan plan = atomic_file_plan::none;
  int target_fd = -1;       // the existing target, opened at the start as "w" would open it
  int folder_fd = -1;       // the folder that holds (or will hold) the target's name
  std::string name;         // the target's name within that folder
  int temp_folder_fd = -1;  // the folder of the temporary file
  std::string temp_name;    // a named temporary file's name there; empty when it has none
  int cleanup_slot = -1;    // its entry in the list a signal handler removes
  mode_t mode = 0;          // permission bits of the result
  gid_t group = 0;          // the group of an existing target

  atomic_file() = default;
  atomic_file(const atomic_file&) = delete;
  atomic_file& operator=(const atomic_file&) = delete;
  ~atomic_file();  // discards what was not committed
};

// Opens the target path for an all-or-nothing write. Refusals are those of open(2) with "w".
int atomic_file_open(atomic_file& f, const char* path, const atomic_file_options& options);

// Syncs the data, puts the result in place and syncs the folder. On failure the result is
// discarded. Either way every descriptor of f is closed.
int atomic_file_commit(atomic_file& f);

// Drops the result: nothing is left, and the target is exactly as before.
void atomic_file_discard(atomic_file& f);

// The signals whose handler is to call atomic_file_remove_pending.
inline constexpr int TERMINATING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Holds off TERMINATING_SIGNALS while it lives: while a pending name and its entry come or go
// together, and while a forked child is not yet known to the handler.
struct termination_signals_held {
  sigset_t previous{};
  termination_signals_held();
  ~termination_signals_held();
  termination_signals_held(const termination_signals_held&) = delete;
  termination_signals_held& operator=(const termination_signals_held&) = delete;
};

// Removes the named temporary files (and a target being created by copying) of every open
// atomic_file. Async-signal-safe: for a handler of a signal that ends the process.
void atomic_file_remove_pending() noexcept;

}  // namespace vurn
