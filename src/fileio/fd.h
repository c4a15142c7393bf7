// Descriptors and the transfers over them that every file-handling part needs: an owner that
// closes, loops that finish short transfers and retry after EINTR, and file identity.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string>

namespace vurn {

// Owns one descriptor and closes it when it goes out of scope.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept;
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();            // gives up ownership without closing
  void reset(int fd = -1);  // closes the descriptor held, then owns fd

 private:
  int fd_ = -1;
};

// Whether two stat results describe the same file.
bool same_file(const struct stat& a, const struct stat& b);

// Writes all of data. Returns 0 or an errno value (EIO when nothing could be written).
int write_all(int fd, std::span<const char> data);
// The same at an offset, leaving the file position alone.
int write_all_at(int fd, std::span<const char> data, off_t offset);

// Reads until buffer is full or the file ends. Returns the number of bytes read; a shorter count
// means the end of the file, or an error with errno set.
std::size_t read_up_to(int fd, std::span<char> buffer);
// Whether exactly buffer.size() bytes could be read.
bool read_exactly(int fd, std::span<char> buffer);

// A path as the folder that holds the name and the name within it.
struct path_parts {
  std::string folder;
  std::string name;  // empty when the path ends in '/'
};
path_parts split_path(const std::string& path);

// Which file a name leads to, without following a final symbolic link.
struct file_id {
  dev_t dev;
  ino_t ino;
};

// Fills id for the file at path. False (errno set) when the name leads nowhere.
bool file_id_of(const char* path, file_id& id);

// Removes the name path only while it still leads to the file id: a name that was removed or now
// leads elsewhere is left alone. Returns 0 once removed, ESTALE when the name leads to another
// file, or another errno value.
int remove_if_same(const char* path, const file_id& id);

}  // namespace vurn
