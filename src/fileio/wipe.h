// Clearing memory that held key material or plaintext.
#pragma once

#include <cstddef>
#include <span>

namespace vurn {

// Clears bytes when it goes out of scope. The stores are volatile so that they are not dropped as
// writes to storage that is about to die.
struct scrub_on_exit {
  std::span<std::byte> bytes;
  ~scrub_on_exit();
};

}  // namespace vurn
