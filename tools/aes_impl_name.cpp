// Prints the AES implementation the cipher routines choose on this machine, which is the one vurn
// uses, followed by every implementation the machine can run.
#include <cstdio>
#include <string>

#include "cipher/aes_impl.h"

int main() {
  const vurn::aes_impl* active = &vurn::active_aes_impl();
  std::string available;
  for (vurn::aes_impl_id id : vurn::all_aes_impls()) {
    const vurn::aes_impl* impl = vurn::find_aes_impl(id);
    if (impl == active) std::printf("%s", vurn::aes_impl_name(id));
    if (impl != nullptr) available += std::string(" ") + vurn::aes_impl_name(id);
  }
  std::printf(" (available:%s)\n", available.c_str());
  return 0;
}
