#include "fileio/wipe.h"

namespace vurn {

scrub_on_exit::~scrub_on_exit() {
  volatile std::byte* p = bytes.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) p[i] = std::byte{0};
}

}  // namespace vurn
