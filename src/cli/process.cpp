#include "cli/process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "fileio/termination.h"

namespace vurn {
namespace {

// With descriptor 0, 1 or 2 closed, the next file opened would take its place and data meant for
// it would land in that file. A placeholder that fails every transfer keeps the slot taken, so a
// closed standard stream shows up as a read or write error instead.
void reserve_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      const int placeholder = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
      if (placeholder >= 0 && placeholder != fd) {
        dup2(placeholder, fd);
        close(placeholder);
      }
    }
  }
}

}  // namespace

void prepare_process() {
  reserve_standard_descriptors();
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  install_termination_handlers();
}

}  // namespace vurn
