// Prints the AES implementation the cipher routines choose on this machine, which is the one vurn
// uses, followed by every implementation the machine can run.
#include <cstdio>

#include "cipher/aes_impl.h"

int main() {
  std::printf("%s (available:", vurn::aes_impl_name(vurn::active_aes_impl_id()));
  for (vurn::aes_impl_id id : vurn::all_aes_impls()) {
    if (vurn::find_aes_impl(id) != nullptr) std::printf(" %s", vurn::aes_impl_name(id));
  }
  std::printf(")\n");
  return 0;
}
