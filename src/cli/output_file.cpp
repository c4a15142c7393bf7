#include "cli/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vurn {
namespace {

// The temporary file's path, for the signal handler and the exit handler. Fixed storage, because
// a signal handler may only touch what is already there.
char pending_temp_path[PATH_MAX + 1];

void remove_pending_temp() {
  if (pending_temp_path[0] != '\0') unlink(pending_temp_path);
}

extern "C" void remove_temp_and_reraise(int signal_number) {
  remove_pending_temp();
  // The handler was installed with SA_RESETHAND, so the signal now ends the process.
  raise(signal_number);
}

void watch_temp_file(const std::string& path) {
  static bool installed = false;
  std::strncpy(pending_temp_path, path.c_str(), PATH_MAX);
  if (installed) return;
  installed = true;
  std::atexit(remove_pending_temp);
  struct sigaction action {};
  action.sa_handler = remove_temp_and_reraise;
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

void forget_temp_file() {
  pending_temp_path[0] = '\0';
}

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t permissions_for_new_file() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// The file a write to path would reach: a symbolic link is followed to the file it names.
std::string resolve_target(const char* path) {
  struct stat link_status;
  if (lstat(path, &link_status) == 0 && S_ISLNK(link_status.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) return resolved;
  }
  return path;
}

bool open_in_place(const char* path, bool existed, output_file* output) {
  output->stream = std::fopen(path, "w");
  output->created_directly = !existed && output->stream != nullptr;
  output->final_path = path;
  return output->stream != nullptr;
}

bool open_through_temp(const std::string& target, mode_t mode, output_file* output) {
  std::string temp = folder_of(target) + "/.vurn.XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  watch_temp_file(temp);
  output->stream = fdopen(fd, "w");
  if (output->stream == nullptr) {
    close(fd);
    unlink(temp.c_str());
    forget_temp_file();
    return false;
  }
  output->temp_path = temp;
  output->final_path = target;
  output->final_mode = mode;
  return true;
}

}  // namespace

bool open_output(const char* path, output_file* output) {
  *output = output_file{};
  if (path == nullptr) {
    output->stream = stdout;
    output->name = "standard output";
    return true;
  }
  output->name = path;
  const std::string target = resolve_target(path);
  struct stat target_status;
  const bool exists = stat(target.c_str(), &target_status) == 0;
  bool opened;
  if (*path == '\0') {
    opened = false;
  } else if (exists && !S_ISREG(target_status.st_mode)) {
    opened = open_in_place(path, true, output);
  } else {
    const mode_t mode = exists ? (target_status.st_mode & 07777) : permissions_for_new_file();
    opened = open_through_temp(target, mode, output) || open_in_place(path, exists, output);
  }
  if (!opened) std::fprintf(stderr, "Unable to create file: %s for writing\n", path);
  return opened;
}

bool commit_output(output_file* output) {
  if (output->temp_path.empty()) return true;
  if (chmod(output->temp_path.c_str(), output->final_mode) != 0 ||
      rename(output->temp_path.c_str(), output->final_path.c_str()) != 0) {
    std::fprintf(stderr, "Error writing %s: %s\n", output->name, std::strerror(errno));
    discard_output(output);
    return false;
  }
  forget_temp_file();
  output->temp_path.clear();
  return true;
}

void discard_output(output_file* output) {
  if (output->stream != nullptr && output->stream != stdout) std::fclose(output->stream);
  output->stream = nullptr;
  if (!output->temp_path.empty()) {
    unlink(output->temp_path.c_str());
    forget_temp_file();
    output->temp_path.clear();
  } else if (output->created_directly) {
    unlink(output->final_path.c_str());
  }
}

}  // namespace vurn
