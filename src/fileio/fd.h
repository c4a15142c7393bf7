// Descriptors and the transfers over them that every file-handling part needs: an owner that
// closes, loops that finish short transfers and retry after EINTR, file identity, and the result
// every routine of this unit returns.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string>

namespace vurn {

// What a file operation came to, the one shape of every result of this unit: error_number is 0
// when it succeeded, else the errno value that says why it failed. Transfers also say how many
// bytes moved.
struct io_result {
  int error_number = 0;
  std::size_t bytes = 0;
  bool ok() const { return error_number == 0; }
};

// The errno value left by a system call that failed, as a result.
io_result last_error();

// Closes fd when it is open and marks it closed (-1).
void close_fd(int& fd);

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

// Writes all of data (EIO when nothing more could be written).
io_result write_all(int fd, std::span<const char> data);
// The same at an offset, leaving the file position alone.
io_result write_all_at(int fd, std::span<const char> data, off_t offset);

// Reads until buffer is full, the file ends or a read fails; bytes says how many arrived. Only a
// failed read is an error: the end of the file is not.
io_result read_up_to(int fd, std::span<char> buffer);

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

// Fills id for the file at path; fails when the name leads nowhere.
io_result file_id_of(const char* path, file_id& id);

// Removes the name path only while it still leads to the file id: a name that was removed or now
// leads elsewhere is left alone. Fails with ESTALE when the name leads to another file.
io_result remove_if_same(const char* path, const file_id& id);

}  // namespace vurn
