// Small file systems mounted on a folder for one test, for full-disk and no-inode cases; unmounted
// when the test ends. Mounting needs root: tests skip, saying so, when mounted is false.
#pragma once

#include <string>

namespace vurn::test {

struct small_mount {
  std::string path;
  bool mounted = false;
  // options as for mount -o, e.g. "size=64k,nr_inodes=32"
  small_mount(const std::string& where, const std::string& options);
  ~small_mount();
  small_mount(const small_mount&) = delete;
  small_mount& operator=(const small_mount&) = delete;
};

// A small ext2 image (mkfs.ext2 from e2fsprogs) mounted through a loop device: a file system that
// cannot reserve blocks ahead. why_not tells what failed when mounted is false.
struct small_ext2_mount {
  std::string path;
  bool mounted = false;
  std::string why_not;
  // size_kib of 1 KiB blocks, with room for `inodes` files.
  small_ext2_mount(const std::string& where, int size_kib, int inodes);
  ~small_ext2_mount();
  small_ext2_mount(const small_ext2_mount&) = delete;
  small_ext2_mount& operator=(const small_ext2_mount&) = delete;

 private:
  std::string image_;
};

// Take every free block, or every free inode, of the file system that holds folder: a file
// "filler" grown until a write fails, or empty files "inode<n>" made until one cannot be.
void take_free_blocks(const std::string& folder);
void take_free_inodes(const std::string& folder);

}  // namespace vurn::test
