// Internal: clearing temporaries that held key material.
#pragma once

#include <cstddef>

namespace vurn {

// Zeroes size bytes at data when it goes out of scope. The stores are volatile and made out of
// line, so the compiler cannot drop them as writes to storage about to die, and no copy of the
// routine is compiled for the instructions of a hardware implementation (aes_target.h).
struct clear_on_exit {
  void* data;
  std::size_t size;
  ~clear_on_exit();
};

}  // namespace vurn
