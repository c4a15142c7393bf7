#include "clear.h"

namespace vurn {

clear_on_exit::~clear_on_exit() {
  volatile unsigned char* p = static_cast<unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

}  // namespace vurn
