#include "fileio/atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>
#include <span>

#include "fileio/fd.h"
#include "fileio/pending_names.h"
#include "fileio/termination.h"

namespace vurn {
namespace {

using detail::atomic_file_plan;
using detail::atomic_file_state;

constexpr int WRITE_FLAGS = O_WRONLY | O_CLOEXEC | O_NOCTTY;
constexpr int MAX_LINK_HOPS = 40;  // as many as the kernel follows in one name
constexpr int NAME_ATTEMPTS = 100;
constexpr std::size_t COPY_BUFFER_SIZE = 1024 * 1024;

// ---- Small helpers ----

int write_flags(const atomic_file_state& f) {
  return WRITE_FLAGS | (f.no_follow ? O_NOFOLLOW : 0);
}

int error_of(int result) {
  return result == 0 ? 0 : errno;
}

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// A folder the caller may search but not read is still good for creating and linking names.
int open_folder(int at, const std::string& folder) {
  int fd = openat(at, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#if defined(O_PATH)
  if (fd < 0 && errno == EACCES) fd = openat(at, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
  return fd;
}

int sync_file(int fd) {
  return error_of(fsync(fd));
}

// A folder opened by path only, or on a file system that cannot sync folders, is not an error.
int sync_folder(int fd) {
  if (fsync(fd) == 0 || errno == EBADF || errno == EINVAL) return 0;
  return errno;
}

// The folder of a result just put in place: synced now, or by `later`.
int sync_folder(const atomic_file_state& f, folder_syncs* later) {
  return later != nullptr ? later->add(f.folder_fd) : sync_folder(f.folder_fd);
}

// A fresh name for a temporary file; creating it exclusively decides whether it is free.
std::string temp_name_candidate() {
  static std::uint64_t counter = 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t x =
      static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
      (static_cast<std::uint64_t>(getpid()) << 42) ^ (++counter * 0x9E3779B97F4A7C15ull);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  static constexpr char ALPHABET[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name = ".vurn.";
  for (int i = 0; i < 8; ++i, x /= 62) name += ALPHABET[x % 62];
  return name;
}

// ---- The temporary file ----

// Gives the temporary file a fresh name in its folder: make_at(name) creates the name exclusively
// and returns 0, EEXIST to try another, or an errno value.
template <typename make_name>
int claim_temp_name(atomic_file_state& f, make_name make_at) {
  for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
    const std::string candidate = temp_name_candidate();
    const termination_signals_held held;
    const int status = make_at(candidate.c_str());
    if (status == 0) {
      f.temp_name = candidate;
      f.cleanup_slot = remember_pending(f.temp_folder_fd, candidate);
      return 0;
    }
    if (status != EEXIST) return status;
  }
  return EEXIST;
}

// An unnamed file vanishes by itself whatever ends the process; a named one is the fallback.
int create_temp_in_folder(atomic_file_state& f) {
#if defined(O_TMPFILE)
  f.fd = openat(f.temp_folder_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (f.fd >= 0) return 0;
#endif
  return claim_temp_name(f, [&f](const char* name) {
    f.fd = openat(f.temp_folder_fd, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    return f.fd >= 0 ? 0 : errno;
  });
}

// In the target's folder, where a rename or a link can put it in place; otherwise in $TMPDIR or
// /tmp, from where its content is copied. in_target_folder tells which. A folder that refuses the
// caller a new name refuses a new target too, so for a new target that refusal is the answer.
int create_temp(atomic_file_state& f, bool new_target, bool& in_target_folder) {
  in_target_folder = false;
  if (f.folder_fd >= 0) {
    f.temp_folder_fd = fcntl(f.folder_fd, F_DUPFD_CLOEXEC, 0);
    const int status = f.temp_folder_fd < 0 ? errno : create_temp_in_folder(f);
    if (status == 0) {
      in_target_folder = true;
      return 0;
    }
    close_fd(f.temp_folder_fd);
    if (new_target && (status == EACCES || status == EPERM || status == EROFS)) return status;
  }
  const char* folder = std::getenv("TMPDIR");
  if (folder == nullptr || *folder == '\0') folder = "/tmp";
  f.temp_folder_fd = open_folder(AT_FDCWD, folder);
  if (f.temp_folder_fd < 0) return errno;
  return create_temp_in_folder(f);
}

// Gives an unnamed temporary file the name `name` in folder_fd; never replaces an existing name.
int link_unnamed(int fd, int folder_fd, const char* name) {
#if defined(AT_EMPTY_PATH)
  if (linkat(fd, "", folder_fd, name, AT_EMPTY_PATH) == 0) return 0;
  if (errno == EEXIST) return EEXIST;
#endif
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
  return error_of(linkat(AT_FDCWD, proc_path, folder_fd, name, AT_SYMLINK_FOLLOW));
}

// A rename needs a name to move: an unnamed temporary file gets a fresh one first.
int name_temp(atomic_file_state& f) {
  return claim_temp_name(
      f, [&f](const char* name) { return link_unnamed(f.fd, f.temp_folder_fd, name); });
}

// ---- Opening: the existing target ----

bool has_extended_attributes([[maybe_unused]] int fd) {
#if defined(__linux__)
  return flistxattr(fd, nullptr, 0) > 0;
#else
  return false;
#endif
}

// A rename keeps all that "w" keeps only for a plain file of the caller's own, named directly.
bool may_replace_by_rename(const atomic_file_state& f, const struct stat& target) {
  struct stat named;
  if (fstatat(f.folder_fd, f.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(named, target)) {
    return false;
  }
  return target.st_uid == geteuid() && target.st_nlink == 1 &&
         (target.st_mode & (S_ISUID | S_ISGID)) == 0 && !has_extended_attributes(f.target_fd);
}

// Moves (folder_fd, name), a symbolic link, to the name the link leads to, resolved relative to
// the link's folder. The caller owns the new folder descriptor.
int step_through_link(int folder_fd, const std::string& name, int& next_folder,
                      std::string& next_name) {
  std::array<char, PATH_MAX> text{};
  const ssize_t length = readlinkat(folder_fd, name.c_str(), text.data(), text.size());
  if (length < 0) return errno;
  if (length == 0) return ENOENT;
  if (static_cast<std::size_t>(length) == text.size()) return ENAMETOOLONG;
  const path_parts parts = split_path(std::string(text.data(), static_cast<std::size_t>(length)));
  if (parts.name.empty()) return EISDIR;
  next_folder = open_folder(folder_fd, parts.folder);
  if (next_folder < 0) return errno;
  next_name = parts.name;
  return 0;
}

// What the pinning open creates when the name vanished after the probe: an empty file of the
// caller's own with the result's mode and one name.
bool may_have_created(const atomic_file_state& f, const struct stat& file) {
  return S_ISREG(file.st_mode) && file.st_size == 0 && file.st_nlink == 1 &&
         file.st_uid == geteuid() && (file.st_mode & 07777) == f.mode;
}

// Removes the file the pinning open created, found where the kernel put it (the name, or the name
// its symbolic links lead to), and only while that name still leads to exactly that file.
void remove_created(int at_fd, const path_parts& parts, const struct stat& created) {
  unique_fd folder(open_folder(at_fd, parts.folder));
  std::string name = parts.name;
  for (int hop = 0; folder.valid() && hop <= MAX_LINK_HOPS; ++hop) {
    struct stat named;
    if (fstatat(folder.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (same_file(named, created)) {
      unlinkat(folder.get(), name.c_str(), 0);
      return;
    }
    int next_folder = -1;
    if (!S_ISLNK(named.st_mode) || step_through_link(folder.get(), name, next_folder, name) != 0) {
      return;
    }
    folder.reset(next_folder);
  }
}

// The second, O_CREAT open of pin_existing_target. When it reaches another file than the probe
// (the name changed meanwhile), it fails with EAGAIN, and a file it created is removed again:
// a failed run leaves no name that was not there before. The signals are held meanwhile, so that
// none ends the process between creating and removing.
int open_pinned(const atomic_file_state& f, const char* path, const path_parts& parts,
                const struct stat& probed, struct stat& target) {
  const termination_signals_held held;
  const bool regular = S_ISREG(probed.st_mode);
  unique_fd pinned(
      openat(f.at_fd, path, write_flags(f) | O_CREAT | (regular ? 0 : O_NONBLOCK), f.mode));
  if (!pinned.valid() || fstat(pinned.get(), &target) != 0) return -errno;
  if (same_file(probed, target)) return pinned.release();
  if (may_have_created(f, target)) remove_created(f.at_fd, parts, target);
  return -EAGAIN;
}

// A result narrower than the target's mode gets its mode after the content is in; a caller who
// may not change the file's mode (another user's file it may write) is refused before anything
// changes. Setting the mode it has is the test.
int check_mode_can_be_narrowed(int target_fd, const struct stat& target) {
  return error_of(fchmod(target_fd, target.st_mode & 07777));
}

// Opens an existing target as "w" would, without truncating it: once without O_CREAT, to learn
// that it exists, and once with it, which brings in the kernel's protection of files planted in
// shared folders. Both must reach the same file. ENOENT when there is no target.
int pin_existing_target(atomic_file_state& f, const char* path, const path_parts& parts,
                        const atomic_file_options& options) {
  unique_fd probe(openat(f.at_fd, path, write_flags(f)));
  if (!probe.valid()) return errno;
  struct stat probed;
  if (fstat(probe.get(), &probed) != 0) return errno;
  struct stat target;
  const int pinned = open_pinned(f, path, parts, probed, target);
  if (pinned < 0) return -pinned;
  if (!S_ISREG(probed.st_mode)) {
    close(pinned);
    f.fd = probe.release();
    f.plan = atomic_file_plan::direct;
    return 0;
  }
  f.target_fd = pinned;
  f.mode = target.st_mode & options.mode_limit & 07777;
  if (f.mode != (target.st_mode & 07777)) {
    const int status = check_mode_can_be_narrowed(f.target_fd, target);
    if (status != 0) return status;
  }
  f.name = parts.name;
  f.group = target.st_gid;
  f.folder_fd = open_folder(f.at_fd, parts.folder);
  const bool renameable = f.folder_fd >= 0 && may_replace_by_rename(f, target);
  bool in_target_folder = false;
  const int temp_status = create_temp(f, false, in_target_folder);
  if (temp_status != 0) return temp_status;
  f.plan =
      renameable && in_target_folder ? atomic_file_plan::rename_over : atomic_file_plan::copy_into;
  return 0;
}

// ---- Opening: a new target ----

// The kernel's rule for links in sticky world-writable folders: follow only a link of one's own
// or of the folder's owner.
bool may_follow_link(int folder_fd, const struct stat& link) {
  struct stat folder;
  if (fstat(folder_fd, &folder) != 0) return false;
  const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  return !shared || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

// Where "w" would create the file: the name itself, or for a dangling symbolic link the name it
// points at (the link stays). Each step is resolved by the kernel relative to the folder before.
int follow_dangling_links(atomic_file_state& f, bool create_only) {
  for (int hop = 0;; ++hop) {
    struct stat named;
    if (fstatat(f.folder_fd, f.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? 0 : errno;
    }
    if (create_only || !S_ISLNK(named.st_mode)) return EEXIST;
    if (f.no_follow) return ELOOP;
    if (hop == MAX_LINK_HOPS) return ELOOP;
    if (!may_follow_link(f.folder_fd, named)) return EACCES;
    int next = -1;
    const int status = step_through_link(f.folder_fd, f.name, next, f.name);
    if (status != 0) return status;
    close_fd(f.folder_fd);
    f.folder_fd = next;
  }
}

int prepare_new_target(atomic_file_state& f, const path_parts& parts, bool create_only) {
  f.folder_fd = open_folder(f.at_fd, parts.folder);
  if (f.folder_fd < 0) return errno;
  f.name = parts.name;
  const int status = follow_dangling_links(f, create_only);
  if (status != 0) return status;
  bool in_target_folder = false;
  const int temp_status = create_temp(f, true, in_target_folder);
  if (temp_status != 0) return temp_status;
  f.plan = in_target_folder ? atomic_file_plan::link_new : atomic_file_plan::copy_new;
  return 0;
}

// ---- Committing ----

// Copies bytes [begin, end) of from to the same offsets in to.
int copy_range(int from, int to, off_t begin, off_t end, std::span<char> buffer) {
  for (off_t offset = begin; offset < end;) {
    const auto want =
        static_cast<std::size_t>(std::min(end - offset, static_cast<off_t>(buffer.size())));
    const ssize_t got = pread(from, buffer.data(), want, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got < 0 ? errno : EIO;
    const int status =
        write_all_at(to, buffer.first(static_cast<std::size_t>(got)), offset).error_number;
    if (status != 0) return status;
    offset += got;
  }
  return 0;
}

// Holes read as zeros, so writing zeros into those below end claims their blocks without
// changing what the file holds; overwriting the rest in place then needs no new blocks.
int fill_holes([[maybe_unused]] int fd, [[maybe_unused]] off_t end,
               [[maybe_unused]] std::span<char> buffer) {
#if defined(SEEK_HOLE) && defined(SEEK_DATA)
  std::fill(buffer.begin(), buffer.end(), '\0');
  for (off_t hole = lseek(fd, 0, SEEK_HOLE); hole >= 0 && hole < end;) {
    off_t data = lseek(fd, hole, SEEK_DATA);
    data = data < 0 ? end : std::min(data, end);  // ENXIO: no data up to the end of the file
    for (off_t offset = hole; offset < data;) {
      const auto length =
          static_cast<std::size_t>(std::min(data - offset, static_cast<off_t>(buffer.size())));
      const int status = write_all_at(fd, buffer.first(length), offset).error_number;
      if (status != 0) return status;
      offset += static_cast<off_t>(length);
    }
    hole = lseek(fd, data, SEEK_HOLE);
  }
#endif
  return 0;
}

// Claims the space for size bytes before a byte of `to` below old_size changes, so that a full
// disk or a file-size limit fails with the file as it was. Blocks are reserved without changing
// the visible size; a file system that cannot reserve them gets its holes filled and the new
// content beyond the old end first, cut off again when that fails. copy_end tells how much is
// left to copy.
int claim_space(int from, int to, off_t size, off_t old_size, std::span<char> buffer,
                off_t& copy_end) {
  copy_end = size;
  struct rlimit limit {};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(size) > limit.rlim_cur) {
    return EFBIG;
  }
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
  if (size == 0 || fallocate(to, FALLOC_FL_KEEP_SIZE, 0, size) == 0) return 0;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return errno;
#endif
  int status = fill_holes(to, std::min(size, old_size), buffer);
  if (status != 0 || size <= old_size) return status;
  status = copy_range(from, to, old_size, size, buffer);
  if (status != 0) {
    while (ftruncate(to, old_size) != 0 && errno == EINTR) {
    }
    return status;
  }
  copy_end = old_size;
  return 0;
}

// Makes the content of `to` that of `from`, then syncs it.
int replace_content(int from, int to) {
  struct stat source;
  struct stat target;
  if (fstat(from, &source) != 0 || fstat(to, &target) != 0) return errno;
  const std::unique_ptr<char[]> storage(new (std::nothrow) char[COPY_BUFFER_SIZE]);
  if (storage == nullptr) return ENOMEM;
  const std::span<char> buffer(storage.get(), COPY_BUFFER_SIZE);
  off_t copy_end = 0;
  int status = claim_space(from, to, source.st_size, target.st_size, buffer, copy_end);
  if (status == 0) status = copy_range(from, to, 0, copy_end, buffer);
  if (status == 0) status = error_of(ftruncate(to, source.st_size));
  return status != 0 ? status : sync_file(to);
}

int give_attributes(const atomic_file_state& f, bool with_group) {
  struct stat current;
  if (fstat(f.fd, &current) != 0) return errno;
  if (with_group && current.st_gid != f.group &&
      fchown(f.fd, static_cast<uid_t>(-1), f.group) != 0) {
    return errno;
  }
  return error_of(fchmod(f.fd, f.mode));
}

// The mode changes only once the content is in, so a failed copy leaves the target as it was.
// A terminating signal waits until the target holds the whole new content, on disk: ending the
// process halfway would leave neither the old content nor the new.
int copy_into_target(atomic_file_state& f) {
  struct stat target;
  if (fstat(f.target_fd, &target) != 0) return errno;
  const termination_signals_held held;
  const int status = replace_content(f.fd, f.target_fd);
  if (status != 0 || (target.st_mode & 07777) == f.mode) return status;
  return fchmod(f.target_fd, f.mode) != 0 ? errno : 0;
}

// Creates the target exclusively and copies the content in; on failure it is removed again.
int copy_as_new(atomic_file_state& f, folder_syncs* later) {
  int target = -1;
  int slot = -1;
  {
    const termination_signals_held held;
    target = openat(f.folder_fd, f.name.c_str(), WRITE_FLAGS | O_CREAT | O_EXCL, f.mode);
    if (target < 0) return errno;
    slot = remember_pending(f.folder_fd, f.name);
  }
  int status = replace_content(f.fd, target);
  if (close(target) != 0 && status == 0) status = errno;
  {
    const termination_signals_held held;
    if (status != 0) unlinkat(f.folder_fd, f.name.c_str(), 0);
    forget_pending(slot);
  }
  return status != 0 ? status : sync_folder(f, later);
}

// Whether the target's name still leads to the file pinned at the start.
bool still_names_target(const atomic_file_state& f) {
  struct stat named;
  struct stat pinned;
  return fstatat(f.folder_fd, f.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(f.target_fd, &pinned) == 0 && same_file(named, pinned);
}

void remove_temp_name(atomic_file_state& f) {
  const termination_signals_held held;
  if (!f.temp_name.empty()) unlinkat(f.temp_folder_fd, f.temp_name.c_str(), 0);
  forget_pending(f.cleanup_slot);
  f.temp_name.clear();
}

int rename_over(atomic_file_state& f, folder_syncs* later) {
  int status = give_attributes(f, true);
  if (status == EPERM) return copy_into_target(f);  // a new file cannot have the target's group
  if (status == 0) status = sync_file(f.fd);
  if (status != 0) return status;
  if ((f.temp_name.empty() && name_temp(f) != 0) || !still_names_target(f)) {
    return copy_into_target(f);
  }
  const termination_signals_held held;
  if (renameat(f.temp_folder_fd, f.temp_name.c_str(), f.folder_fd, f.name.c_str()) != 0) {
    return errno;
  }
  forget_pending(f.cleanup_slot);
  f.temp_name.clear();
  return sync_folder(f, later);
}

int link_new(atomic_file_state& f, folder_syncs* later) {
  int status = give_attributes(f, false);
  if (status == 0) status = sync_file(f.fd);
  if (status != 0) return status;
  if (f.temp_name.empty()) {
    status = link_unnamed(f.fd, f.folder_fd, f.name.c_str());
  } else {
    status =
        error_of(linkat(f.temp_folder_fd, f.temp_name.c_str(), f.folder_fd, f.name.c_str(), 0));
    if (status == 0) remove_temp_name(f);
  }
  // Where no link can be made (no /proc, no hard links), the content is copied instead.
  if (status != 0 && status != EEXIST) return copy_as_new(f, later);
  return status != 0 ? status : sync_folder(f, later);
}

int finish_direct(atomic_file_state& f) {
  struct stat target;
  int status = error_of(fstat(f.fd, &target));
  if (status == 0 && S_ISBLK(target.st_mode)) status = sync_file(f.fd);
  if (close(f.fd) != 0 && status == 0) status = errno;
  f.fd = -1;
  return status;
}

}  // namespace

atomic_file::~atomic_file() {
  discard();
}

io_result atomic_file::open(const char* path, const atomic_file_options& options, int at_fd) {
  discard();
  state_.at_fd = at_fd;
  state_.no_follow = options.no_follow;
  if (path == nullptr || *path == '\0') return {ENOENT, 0};
  const path_parts parts = split_path(path);
  if (parts.name.empty()) return {EISDIR, 0};
  state_.mode = options.new_mode & ~current_umask() & options.mode_limit & 07777;
  int status = ENOENT;
  if (!options.create_only) status = pin_existing_target(state_, path, parts, options);
  if (status == ENOENT) status = prepare_new_target(state_, parts, options.create_only);
  if (status != 0) discard();
  return {status, 0};
}

int atomic_file::fd() const {
  return state_.fd;
}

io_result atomic_file::commit(folder_syncs* later) {
  int status = EBADF;
  switch (state_.plan) {
    case atomic_file_plan::none:
      break;
    case atomic_file_plan::direct:
      status = finish_direct(state_);
      break;
    case atomic_file_plan::rename_over:
      status = rename_over(state_, later);
      break;
    case atomic_file_plan::link_new:
      status = link_new(state_, later);
      break;
    case atomic_file_plan::copy_into:
      status = copy_into_target(state_);
      break;
    case atomic_file_plan::copy_new:
      status = copy_as_new(state_, later);
      break;
  }
  discard();
  return {status, 0};
}

folder_syncs::~folder_syncs() {
  sync_all();
}

int folder_syncs::add(int folder_fd) {
  struct stat st;
  if (fstat(folder_fd, &st) != 0) return errno;
  for (const file_id& id : ids_) {
    if (id.dev == st.st_dev && id.ino == st.st_ino) return 0;
  }
  const int fd = fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0 || !remember_unsynced_folder(fd)) {
    // No room to keep it: what is kept and this one are synced now.
    const int status = sync_all();
    const int own = fd >= 0 ? sync_folder(fd) : sync_folder(folder_fd);
    if (fd >= 0) close(fd);
    return status != 0 ? status : own;
  }
  ids_.push_back(file_id{st.st_dev, st.st_ino});
  fds_.push_back(fd);
  return 0;
}

int folder_syncs::sync_all() {
  int status = 0;
  for (const int fd : fds_) {
    const int synced = sync_folder(fd);
    if (status == 0) status = synced;
  }
  forget_unsynced_folders();
  for (const int fd : fds_) close(fd);
  fds_.clear();
  ids_.clear();
  return status;
}

void atomic_file::discard() {
  atomic_file_state& f = state_;
  remove_temp_name(f);
  close_fd(f.fd);
  close_fd(f.target_fd);
  close_fd(f.folder_fd);
  close_fd(f.temp_folder_fd);
  f.name.clear();
  f.plan = atomic_file_plan::none;
}

}  // namespace vurn
