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

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>

namespace vurn {
namespace {

constexpr int WRITE_FLAGS = O_WRONLY | O_CLOEXEC | O_NOCTTY;
constexpr int MAX_LINK_HOPS = 40;  // as many as the kernel follows in one name
constexpr int NAME_ATTEMPTS = 100;
constexpr std::size_t COPY_BUFFER_SIZE = 1024 * 1024;

// ---- Names a signal handler removes ----

struct pending_name {
  volatile sig_atomic_t in_use = 0;
  int folder_fd = -1;
  char name[NAME_MAX + 1] = {};
};

// Fixed storage: a signal handler may only touch what already exists.
std::array<pending_name, 8> pending_names;

int remember_pending(int folder_fd, const std::string& name) {
  if (name.size() > NAME_MAX) return -1;
  for (std::size_t slot = 0; slot < pending_names.size(); ++slot) {
    pending_name& entry = pending_names[slot];
    if (entry.in_use) continue;
    entry.folder_fd = folder_fd;
    name.copy(entry.name, name.size());
    entry.name[name.size()] = '\0';
    entry.in_use = 1;
    return static_cast<int>(slot);
  }
  return -1;
}

void forget_pending(int& slot) {
  if (slot >= 0) pending_names[static_cast<std::size_t>(slot)].in_use = 0;
  slot = -1;
}

// ---- Small helpers ----

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

int error_of(int result) {
  return result == 0 ? 0 : errno;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

struct path_parts {
  std::string folder;
  std::string name;  // empty when the path ends in '/'
};

path_parts split_path(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
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
int claim_temp_name(atomic_file& f, make_name make_at) {
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
int create_temp_in_folder(atomic_file& f) {
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
int create_temp(atomic_file& f, bool new_target, bool& in_target_folder) {
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
int name_temp(atomic_file& f) {
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
bool may_replace_by_rename(const atomic_file& f, const struct stat& target) {
  struct stat named;
  if (fstatat(f.folder_fd, f.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(named, target)) {
    return false;
  }
  return target.st_uid == geteuid() && target.st_nlink == 1 &&
         (target.st_mode & (S_ISUID | S_ISGID)) == 0 && !has_extended_attributes(f.target_fd);
}

// Opens an existing target as "w" would, without truncating it: once without O_CREAT, to learn
// that it exists, and once with it, which brings in the kernel's protection of files planted in
// shared folders. Both must reach the same file. ENOENT when there is no target.
int pin_existing_target(atomic_file& f, const char* path, const path_parts& parts,
                        const atomic_file_options& options) {
  int probe = open(path, WRITE_FLAGS);
  if (probe < 0) return errno;
  struct stat probed;
  if (fstat(probe, &probed) != 0) {
    const int status = errno;
    close_fd(probe);
    return status;
  }
  const bool regular = S_ISREG(probed.st_mode);
  int pinned = open(path, WRITE_FLAGS | O_CREAT | (regular ? 0 : O_NONBLOCK), f.mode);
  struct stat target;
  const int status = pinned < 0 ? errno : error_of(fstat(pinned, &target));
  if (status != 0 || !same_file(probed, target)) {
    close_fd(probe);
    close_fd(pinned);
    return status != 0 ? status : EAGAIN;
  }
  if (!regular) {
    close_fd(pinned);
    f.fd = probe;
    f.plan = atomic_file_plan::direct;
    return 0;
  }
  close_fd(probe);
  f.target_fd = pinned;
  f.name = parts.name;
  f.group = target.st_gid;
  f.mode = options.force_mode ? (options.new_mode & 07777) : (target.st_mode & 07777);
  f.folder_fd = open_folder(AT_FDCWD, parts.folder);
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
int follow_dangling_links(atomic_file& f, bool create_only) {
  for (int hop = 0;; ++hop) {
    struct stat named;
    if (fstatat(f.folder_fd, f.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? 0 : errno;
    }
    if (create_only || !S_ISLNK(named.st_mode)) return EEXIST;
    if (hop == MAX_LINK_HOPS) return ELOOP;
    if (!may_follow_link(f.folder_fd, named)) return EACCES;
    std::array<char, PATH_MAX> text{};
    const ssize_t length = readlinkat(f.folder_fd, f.name.c_str(), text.data(), text.size());
    if (length < 0) return errno;
    if (length == 0) return ENOENT;
    if (static_cast<std::size_t>(length) == text.size()) return ENAMETOOLONG;
    const path_parts parts = split_path(std::string(text.data(), static_cast<std::size_t>(length)));
    if (parts.name.empty()) return EISDIR;
    const int next = open_folder(f.folder_fd, parts.folder);
    if (next < 0) return errno;
    close_fd(f.folder_fd);
    f.folder_fd = next;
    f.name = parts.name;
  }
}

int prepare_new_target(atomic_file& f, const path_parts& parts, bool create_only) {
  f.folder_fd = open_folder(AT_FDCWD, parts.folder);
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

int write_all_at(int fd, const char* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t written = pwrite(fd, data, size, offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : EIO;
    data += written;
    size -= static_cast<std::size_t>(written);
    offset += written;
  }
  return 0;
}

// Claims the blocks first, without changing the visible size, so that a full disk or a file-size
// limit fails before the target is touched. File systems that cannot reserve space are written
// all the same.
int reserve_space([[maybe_unused]] int fd, [[maybe_unused]] off_t size) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(size) > limit.rlim_cur) {
    return EFBIG;
  }
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
  if (size > 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP &&
      errno != ENOSYS) {
    return errno;
  }
#endif
  return 0;
}

// Makes the content of `to` that of `from`, then syncs it.
int replace_content(int from, int to) {
  struct stat source;
  if (fstat(from, &source) != 0) return errno;
  int status = reserve_space(to, source.st_size);
  if (status != 0) return status;
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[COPY_BUFFER_SIZE]);
  if (buffer == nullptr) return ENOMEM;
  for (off_t offset = 0; offset < source.st_size;) {
    const ssize_t got = pread(from, buffer.get(), COPY_BUFFER_SIZE, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got < 0 ? errno : EIO;
    status = write_all_at(to, buffer.get(), static_cast<std::size_t>(got), offset);
    if (status != 0) return status;
    offset += got;
  }
  status = error_of(ftruncate(to, source.st_size));
  return status != 0 ? status : sync_file(to);
}

int give_attributes(const atomic_file& f, bool with_group) {
  struct stat current;
  if (fstat(f.fd, &current) != 0) return errno;
  if (with_group && current.st_gid != f.group &&
      fchown(f.fd, static_cast<uid_t>(-1), f.group) != 0) {
    return errno;
  }
  return error_of(fchmod(f.fd, f.mode));
}

// The mode changes only once the content is in, so a failed copy leaves the target as it was.
int copy_into_target(atomic_file& f) {
  struct stat target;
  if (fstat(f.target_fd, &target) != 0) return errno;
  const int status = replace_content(f.fd, f.target_fd);
  if (status != 0 || (target.st_mode & 07777) == f.mode) return status;
  return fchmod(f.target_fd, f.mode) != 0 ? errno : 0;
}

// Creates the target exclusively and copies the content in; on failure it is removed again.
int copy_as_new(atomic_file& f) {
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
  return status != 0 ? status : sync_folder(f.folder_fd);
}

// Whether the target's name still leads to the file pinned at the start.
bool still_names_target(const atomic_file& f) {
  struct stat named;
  struct stat pinned;
  return fstatat(f.folder_fd, f.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(f.target_fd, &pinned) == 0 && same_file(named, pinned);
}

void remove_temp_name(atomic_file& f) {
  const termination_signals_held held;
  if (!f.temp_name.empty()) unlinkat(f.temp_folder_fd, f.temp_name.c_str(), 0);
  forget_pending(f.cleanup_slot);
  f.temp_name.clear();
}

int rename_over(atomic_file& f) {
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
  return sync_folder(f.folder_fd);
}

int link_new(atomic_file& f) {
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
  if (status != 0 && status != EEXIST) return copy_as_new(f);
  return status != 0 ? status : sync_folder(f.folder_fd);
}

int finish_direct(atomic_file& f) {
  struct stat target;
  int status = error_of(fstat(f.fd, &target));
  if (status == 0 && S_ISBLK(target.st_mode)) status = sync_file(f.fd);
  if (close(f.fd) != 0 && status == 0) status = errno;
  f.fd = -1;
  return status;
}

}  // namespace

termination_signals_held::termination_signals_held() {
  sigset_t held;
  sigemptyset(&held);
  for (int signal_number : TERMINATING_SIGNALS) sigaddset(&held, signal_number);
  sigprocmask(SIG_BLOCK, &held, &previous);
}

termination_signals_held::~termination_signals_held() {
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

atomic_file::~atomic_file() {
  atomic_file_discard(*this);
}

int atomic_file_open(atomic_file& f, const char* path, const atomic_file_options& options) {
  atomic_file_discard(f);
  if (path == nullptr || *path == '\0') return ENOENT;
  const path_parts parts = split_path(path);
  if (parts.name.empty()) return EISDIR;
  f.mode = options.new_mode & ~current_umask() & 07777;
  int status = ENOENT;
  if (!options.create_only) status = pin_existing_target(f, path, parts, options);
  if (status == ENOENT) status = prepare_new_target(f, parts, options.create_only);
  if (status != 0) atomic_file_discard(f);
  return status;
}

int atomic_file_commit(atomic_file& f) {
  int status = EBADF;
  switch (f.plan) {
    case atomic_file_plan::none:
      break;
    case atomic_file_plan::direct:
      status = finish_direct(f);
      break;
    case atomic_file_plan::rename_over:
      status = rename_over(f);
      break;
    case atomic_file_plan::link_new:
      status = link_new(f);
      break;
    case atomic_file_plan::copy_into:
      status = copy_into_target(f);
      break;
    case atomic_file_plan::copy_new:
      status = copy_as_new(f);
      break;
  }
  atomic_file_discard(f);
  return status;
}

void atomic_file_discard(atomic_file& f) {
  remove_temp_name(f);
  close_fd(f.fd);
  close_fd(f.target_fd);
  close_fd(f.folder_fd);
  close_fd(f.temp_folder_fd);
  f.name.clear();
  f.plan = atomic_file_plan::none;
}

void atomic_file_remove_pending() noexcept {
  for (pending_name& entry : pending_names) {
    if (entry.in_use) unlinkat(entry.folder_fd, entry.name, 0);
  }
}

}  // namespace vurn
