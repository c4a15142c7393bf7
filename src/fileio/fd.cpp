#include "fileio/fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vurn {

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int unique_fd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void unique_fd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int write_all(int fd, std::span<const char> data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

int write_all_at(int fd, std::span<const char> data, off_t offset) {
  while (!data.empty()) {
    const ssize_t n = pwrite(fd, data.data(), data.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data = data.subspan(static_cast<std::size_t>(n));
    offset += n;
  }
  return 0;
}

std::size_t read_up_to(int fd, std::span<char> buffer) {
  std::size_t got = 0;
  while (got < buffer.size()) {
    const ssize_t n = read(fd, buffer.data() + got, buffer.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

bool read_exactly(int fd, std::span<char> buffer) {
  return read_up_to(fd, buffer) == buffer.size();
}

path_parts split_path(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool file_id_of(const char* path, file_id& id) {
  struct stat st;
  if (lstat(path, &st) != 0) return false;
  id = {st.st_dev, st.st_ino};
  return true;
}

// The name is looked at and removed through its folder, so that a folder renamed meanwhile
// cannot send the removal elsewhere.
int remove_if_same(const char* path, const file_id& id) {
#if defined(O_PATH)
  constexpr int FOLDER_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  const path_parts parts = split_path(path);
  const unique_fd folder(open(parts.folder.c_str(), FOLDER_FLAGS));
  if (!folder.valid()) return errno;
  struct stat named;
  if (fstatat(folder.get(), parts.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (named.st_dev != id.dev || named.st_ino != id.ino) return ESTALE;
  return unlinkat(folder.get(), parts.name.c_str(), 0) == 0 ? 0 : errno;
}

}  // namespace vurn
