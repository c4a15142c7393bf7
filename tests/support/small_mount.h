// A small tmpfs mounted on a folder for one test, for full-disk and no-inode cases; unmounted when
// the test ends. Mounting needs root: tests skip, saying so, when mounted is false.
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

}  // namespace vurn::test
