#include "fileio/fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vurn {

io_result last_error() {
  return {errno, 0};
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

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
  close_fd(fd_);
  fd_ = fd;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

namespace {

// Calls write_some(rest, done) with what is left of data and how much went before, until all of
// it is written; a call that writes nothing is an error (EIO), as it would never end.
template <typename WriteSome>
io_result write_fully(std::span<const char> data, WriteSome write_some) {
  io_result result;
  while (result.bytes < data.size()) {
    const ssize_t n = write_some(data.subspan(result.bytes), result.bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      result.error_number = n < 0 ? errno : EIO;
      break;
    }
    result.bytes += static_cast<std::size_t>(n);
  }
  return result;
}

}  // namespace

io_result write_all(int fd, std::span<const char> data) {
  return write_fully(data, [fd](std::span<const char> rest, std::size_t) {
    return write(fd, rest.data(), rest.size());
  });
}

io_result write_all_at(int fd, std::span<const char> data, off_t offset) {
  return write_fully(data, [fd, offset](std::span<const char> rest, std::size_t done) {
    return pwrite(fd, rest.data(), rest.size(), offset + static_cast<off_t>(done));
  });
}

io_result read_up_to(int fd, std::span<char> buffer) {
  io_result result;
  while (result.bytes < buffer.size()) {
    const std::span<char> rest = buffer.subspan(result.bytes);
    const ssize_t n = read(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) result.error_number = errno;
    if (n <= 0) break;
    result.bytes += static_cast<std::size_t>(n);
  }
  return result;
}

path_parts split_path(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

io_result file_id_of(const char* path, file_id& id) {
  struct stat st;
  if (lstat(path, &st) != 0) return last_error();
  id = {st.st_dev, st.st_ino};
  return {};
}

// The name is looked at and removed through its folder, so that a folder renamed meanwhile
// cannot send the removal elsewhere.
io_result remove_if_same(const char* path, const file_id& id) {
#if defined(O_PATH)
  constexpr int FOLDER_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  const path_parts parts = split_path(path);
  const unique_fd folder(open(parts.folder.c_str(), FOLDER_FLAGS));
  if (!folder.valid()) return last_error();
  struct stat named;
  if (fstatat(folder.get(), parts.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return last_error();
  }
  if (named.st_dev != id.dev || named.st_ino != id.ino) return {ESTALE, 0};
  if (unlinkat(folder.get(), parts.name.c_str(), 0) != 0) return last_error();
  return {};
}

}  // namespace vurn
