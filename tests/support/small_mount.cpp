#include "support/small_mount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace vurn::test {

small_mount::small_mount(const std::string& where, const std::string& options) : path(where) {
  mkdir(path.c_str(), 0755);
  mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

small_mount::~small_mount() {
  if (mounted) umount2(path.c_str(), MNT_DETACH);
}

small_ext2_mount::small_ext2_mount(const std::string& where, int size_kib, int inodes)
    : path(where), image_(where + ".img") {
  mkdir(path.c_str(), 0755);
  const std::string make = "mkfs.ext2 -q -F -m 0 -b 1024 -N " + std::to_string(inodes) + " " +
                           image_ + " " + std::to_string(size_kib) + " >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) {
    why_not = "mkfs.ext2 (e2fsprogs) is missing or failed";
    return;
  }
  const std::string mount_image = "mount -o loop " + image_ + " " + path + " >/dev/null 2>&1";
  mounted = std::system(mount_image.c_str()) == 0;
  if (!mounted) why_not = "mounting a loop device was refused";
}

small_ext2_mount::~small_ext2_mount() {
  if (mounted) umount2(path.c_str(), MNT_DETACH);
  unlink(image_.c_str());
}

void take_free_blocks(const std::string& folder) {
  const int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::string block(4096, 'f');
  while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
  }
  if (fd >= 0) close(fd);
}

void take_free_inodes(const std::string& folder) {
  for (int i = 0;; ++i) {
    const int fd =
        open((folder + "/inode" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    close(fd);
  }
}

}  // namespace vurn::test
