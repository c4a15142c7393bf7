// Walking a folder tree by descriptor, for runs over whole folders.
//
// How to call it:
//
//   const walk_next end = walk_folder(operand, [&](const walk_entry& e) {
//     if (e.skipped != walk_skip::none) {
//       // name e.path and walk_skip_reason(e.skipped) (and strerror(e.error) when it is set);
//       // a skip is not a failure of the run
//       return walk_next::go_on;
//     }
//     // A regular file: open it through its folder, never by e.path, so that nothing renamed
//     // or swapped for a link meanwhile can send the open elsewhere:
//     //   unique_fd in(openat(e.folder_fd, e.name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
//     // then fstat(in) before trusting it (e.st is as the folder was listed). An output beside
//     // it is made in e.folder_fd with the same name-relative calls.
//     return stop_requested ? walk_next::stop : walk_next::go_on;
//   });
//
// e.folder_fd and e.name are valid only while the callback runs. The walker prints nothing and
// never throws; everything it meets is told to the callback, in order.
//
// What it guarantees:
// - Entries come sorted by name (bytes) within each folder, a folder's content where its name
//   falls among them, so that two runs over the same tree go the same way.
// - A symbolic link is never followed: neither the operand itself, nor a link to a file or a
//   folder inside, nor a folder swapped for a link after it was listed (every folder is opened
//   with openat(parent, name, O_NOFOLLOW | O_DIRECTORY)).
// - The walk stays on the operand's file system (which may differ from the one holding the
//   operand's name); a folder on another one is told as skipped, and so is a folder entered
//   already (by device and inode, as a bind mount can show the same folder twice).
// - Descriptors are bounded: besides the operand's, at most walk_open_folders folder descriptors
//   are held, those of the deepest folders. A shallower folder is closed as the walk goes deeper
//   and opened again, by name from its nearest open ancestor and checked to be the same folder,
//   when the walk comes back to it; a folder that moved meanwhile is told as unreadable (ESTALE)
//   and the walk goes on with its parent. Deep trees thus cost a reopen per level, not a
//   descriptor per level.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>

namespace vurn {

inline constexpr std::size_t walk_open_folders = 16;

// Why an entry was not handed over as a file; none for a regular file.
enum class walk_skip {
  none,
  symbolic_link,      // not followed
  not_regular,        // neither a regular file nor a folder: a FIFO, socket, device
  other_file_system,  // a folder on a file system other than the operand's
  visited_already,    // a folder entered before in this walk
  unreadable,         // a folder that could not be opened or listed, an entry that could not be
                      // looked at: error holds the errno value
};

// A few words for messages, e.g. "symbolic link".
const char* walk_skip_reason(walk_skip reason);

struct walk_entry {
  int folder_fd;            // the folder that holds name; -1 for the operand itself
  const char* name;         // within folder_fd; the operand as given when folder_fd is -1
  const std::string& path;  // operand/.../name, for messages
  const struct stat& st;    // fstatat(folder_fd, name, AT_SYMLINK_NOFOLLOW) as the folder was
                            // listed; zeroed when it could not be taken
  walk_skip skipped;
  int error;  // errno value for unreadable, else 0
};

enum class walk_next { go_on, stop };

// Walks the folder named by path, calling visit for every regular file and every entry skipped,
// the folder itself included when it cannot be walked (a link, not a folder: unreadable with
// ENOTDIR). Returns stop when visit asked to stop, else go_on.
walk_next walk_folder(const std::string& path,
                      const std::function<walk_next(const walk_entry&)>& visit);

}  // namespace vurn
