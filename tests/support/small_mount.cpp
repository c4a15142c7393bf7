#include "support/small_mount.h"

#include <sys/mount.h>
#include <sys/stat.h>

namespace vurn::test {

small_mount::small_mount(const std::string& where, const std::string& options) : path(where) {
  mkdir(path.c_str(), 0755);
  mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

small_mount::~small_mount() {
  if (mounted) umount2(path.c_str(), MNT_DETACH);
}

}  // namespace vurn::test
