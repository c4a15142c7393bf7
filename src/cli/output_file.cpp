#include "cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "cli/messages.h"
#include "cli/reports.h"

namespace vurn {
namespace {

// The stream gets its own descriptor, so that closing it leaves the result's with its owner.
std::FILE* open_stream_on(int fd) {
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return nullptr;
  std::FILE* stream = fdopen(own, "w");
  if (stream == nullptr) close(own);
  return stream;
}

// The permission bits an output of input may have: those of a regular file read, any for
// standard input or a device.
mode_t permissions_of(std::FILE* input) {
  struct stat st;
  if (input == nullptr || input == stdin || fstat(fileno(input), &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    return 07777;
  }
  return st.st_mode & 07777;
}

}  // namespace

output_file::~output_file() {
  discard_output(*this);
}

bool open_output(output_file& output, const char* path, std::FILE* input, int folder_fd,
                 const char* target) {
  discard_output(output);
  if (path == nullptr) {
    output.stream = stdout;
    output.name = text::STANDARD_OUTPUT;
    return true;
  }
  output.name = path;
  atomic_file_options options;
  options.mode_limit = permissions_of(input);
  options.no_follow = target != nullptr;
  io_result opened = output.file.open(target != nullptr ? target : path, options, folder_fd);
  if (opened.ok()) {
    output.stream = open_stream_on(output.file.fd());
    if (output.stream == nullptr) opened = last_error();
  }
  if (opened.ok()) return true;
  output.file.discard();
  report_uncreated_output(path, opened.error_number);
  return false;
}

bool commit_output(output_file& output, folder_syncs* later) {
  if (output.stream == stdout) {
    output.stream = nullptr;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    report_write_error(output.name, errno);
    return false;
  }
  const bool flushed = std::fclose(output.stream) == 0;
  output.stream = nullptr;
  const int status = flushed ? output.file.commit(later).error_number : errno;
  if (status == 0) return true;
  report_write_error(output.name, status);
  output.file.discard();
  return false;
}

void discard_output(output_file& output) {
  if (output.stream != nullptr && output.stream != stdout) std::fclose(output.stream);
  output.stream = nullptr;
  output.file.discard();
}

}  // namespace vurn
