#include "fileio/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "fileio/fd.h"

namespace vurn {

namespace {

constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct listed_entry {
  std::string name;
  struct stat st;
  int error;  // errno value when st could not be taken
};

struct folder_level {
  unique_fd fd;  // closed while deeper folders hold the descriptors
  struct stat st;
  std::string name;  // within the parent folder
  std::vector<listed_entry> entries;
  std::size_t next = 0;
  std::size_t path_size = 0;  // the folder's own path is this long a prefix of the walk's path
};

bool is_dot_or_dot_dot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Every name in the folder with its lstat data, sorted. Names removed meanwhile are left out.
int list_folder(int fd, std::vector<listed_entry>& entries) {
  const int stream_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (stream_fd < 0) return errno;
  DIR* const dir = fdopendir(stream_fd);
  if (dir == nullptr) {
    const int error = errno;
    close(stream_fd);
    return error;
  }
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* const d = readdir(dir);
    if (d == nullptr) {
      error = errno;
      break;
    }
    if (is_dot_or_dot_dot(d->d_name)) continue;
    listed_entry entry{d->d_name, {}, 0};
    if (fstatat(fd, d->d_name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      entry.error = errno;
    }
    entries.push_back(std::move(entry));
  }
  closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const listed_entry& a, const listed_entry& b) { return a.name < b.name; });
  return error;
}

// A path without trailing slashes, so that opening it cannot follow a final symbolic link.
std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

class walker {
 public:
  explicit walker(const std::function<walk_next(const walk_entry&)>& visit) : visit_(visit) {}

  walk_next run(const std::string& operand) {
    const std::string root = without_trailing_slashes(operand);
    if (enter_folder(AT_FDCWD, root.c_str(), root, nullptr) == walk_next::stop) {
      return walk_next::stop;
    }
    while (!levels_.empty()) {
      if (!levels_.back().fd.valid()) {
        if (reopen_deepest() == walk_next::stop) return walk_next::stop;
        continue;
      }
      folder_level& level = levels_.back();
      if (level.next == level.entries.size()) {
        leave_deepest();
        continue;
      }
      const listed_entry& entry = level.entries[level.next++];
      if (visit_entry(level.fd.get(), entry) == walk_next::stop) return walk_next::stop;
    }
    return walk_next::go_on;
  }

 private:
  walk_next tell(int folder_fd, const char* name, const std::string& path, const struct stat& st,
                 walk_skip skipped, int error) {
    return visit_(
        walk_entry{folder_fd == AT_FDCWD ? -1 : folder_fd, name, path, st, skipped, error});
  }

  const std::string& child_path(const std::string& name) {
    child_path_ = path_;
    if (child_path_.back() != '/') child_path_ += '/';
    child_path_ += name;
    return child_path_;
  }

  walk_next visit_entry(int folder_fd, const listed_entry& entry) {
    const char* const name = entry.name.c_str();
    const std::string& path = child_path(entry.name);
    walk_skip skipped = walk_skip::none;
    if (entry.error != 0) {
      skipped = walk_skip::unreadable;
    } else if (S_ISDIR(entry.st.st_mode)) {
      return enter_folder(folder_fd, name, path, &entry.st);
    } else if (S_ISLNK(entry.st.st_mode)) {
      skipped = walk_skip::symbolic_link;
    } else if (!S_ISREG(entry.st.st_mode)) {
      skipped = walk_skip::not_regular;
    }
    return tell(folder_fd, name, path, entry.st, skipped, entry.error);
  }

  // A folder that was listed as one but does not open as one has been swapped meanwhile.
  walk_next tell_open_failure(int folder_fd, const char* name, const std::string& path, int error) {
    struct stat st {};
    const bool is_link = (error == ELOOP || error == ENOTDIR) &&
                         fstatat(folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISLNK(st.st_mode);
    if (is_link) return tell(folder_fd, name, path, st, walk_skip::symbolic_link, 0);
    return tell(folder_fd, name, path, st, walk_skip::unreadable, error);
  }

  // Opens, checks and lists a folder, and makes it the deepest level. listed is null for the
  // operand, whose file system the walk keeps to.
  walk_next enter_folder(int folder_fd, const char* name, const std::string& path,
                         const struct stat* listed) {
    if (listed != nullptr && listed->st_dev != dev_) {
      return tell(folder_fd, name, path, *listed, walk_skip::other_file_system, 0);
    }
    unique_fd fd(openat(folder_fd, name, FOLDER_FLAGS));
    if (!fd.valid()) return tell_open_failure(folder_fd, name, path, errno);
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
      return tell(folder_fd, name, path, st, walk_skip::unreadable, errno);
    }
    if (listed == nullptr) dev_ = st.st_dev;
    if (st.st_dev != dev_) return tell(folder_fd, name, path, st, walk_skip::other_file_system, 0);
    if (!visited_.insert({st.st_dev, st.st_ino}).second) {
      return tell(folder_fd, name, path, st, walk_skip::visited_already, 0);
    }
    std::vector<listed_entry> entries;
    if (const int error = list_folder(fd.get(), entries); error != 0) {
      return tell(folder_fd, name, path, st, walk_skip::unreadable, error);
    }
    path_ = path;
    levels_.push_back(folder_level{std::move(fd), st, name, std::move(entries), 0, path_.size()});
    close_shallow_folders(levels_.size());
    return walk_next::go_on;
  }

  // Keeps at most walk_open_folders descriptors open among levels 1 .. end-1 (the operand's
  // stays open): those open always form the run first_open_ .. end-1, the shallowest is closed.
  void close_shallow_folders(std::size_t end) {
    first_open_ = std::max<std::size_t>(first_open_, 1);
    while (end - first_open_ > walk_open_folders) levels_[first_open_++].fd.reset();
  }

  void leave_deepest() {
    levels_.pop_back();
    first_open_ = std::min(first_open_, levels_.size());
    if (!levels_.empty()) path_.resize(levels_.back().path_size);
  }

  // Opens again, from the operand down, the folders whose descriptors were closed, each checked
  // to be the folder it was. One that is not is told as unreadable and dropped with its
  // subfolders; the walk goes on in its parent.
  walk_next reopen_deepest() {
    first_open_ = 1;
    for (std::size_t k = 1; k < levels_.size(); ++k) {
      if (levels_[k].fd.valid()) continue;
      const int parent_fd = levels_[k - 1].fd.get();
      unique_fd fd(openat(parent_fd, levels_[k].name.c_str(), FOLDER_FLAGS));
      struct stat st {};
      const int error = !fd.valid()                     ? errno
                        : fstat(fd.get(), &st) != 0     ? errno
                        : !same_file(st, levels_[k].st) ? ESTALE
                                                        : 0;
      if (error != 0) {
        const std::string name = levels_[k].name;
        levels_.erase(levels_.begin() + static_cast<std::ptrdiff_t>(k), levels_.end());
        path_.resize(levels_.back().path_size);
        return tell(parent_fd, name.c_str(), child_path(name), st, walk_skip::unreadable, error);
      }
      levels_[k].fd = std::move(fd);
      close_shallow_folders(k + 1);
    }
    return walk_next::go_on;
  }

  const std::function<walk_next(const walk_entry&)>& visit_;
  std::vector<folder_level> levels_;
  std::size_t first_open_ = 1;
  std::string path_;        // of the deepest folder
  std::string child_path_;  // of the entry being told
  std::set<std::pair<dev_t, ino_t>> visited_;
  dev_t dev_ = 0;
};

}  // namespace

const char* walk_skip_reason(walk_skip reason) {
  // In the order of walk_skip.
  static constexpr const char* reasons[] = {
      "regular file",           "symbolic link",          "not a regular file or folder",
      "on another file system", "folder visited already", "cannot be read"};
  return reasons[static_cast<std::size_t>(reason)];
}

walk_next walk_folder(const std::string& path,
                      const std::function<walk_next(const walk_entry&)>& visit) {
  return walker(visit).run(path);
}

}  // namespace vurn
