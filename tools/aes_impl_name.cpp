// Prints the AES implementation the cipher routines choose on this machine, which is the one vurn
// uses, followed by every implementation the machine can run. Fails (exit 1) when that choice is
// not the first available one in the order of preference, or differs from what the kernel's
// processor flags (/proc/cpuinfo, where it shows this processor's) call for: that catches a
// detection that misreads the processor.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "cipher/aes_impl.h"

namespace {

using vurn::aes_impl_id;

#if defined(VURN_AES_X86) || defined(VURN_AES_ARMV8)
// The words of the first /proc/cpuinfo line that starts with `field`, each with a space on both
// sides, or "" when there is no such line.
std::string cpuinfo_words(const char* field) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind(field, 0) == 0 && line.find(':') != std::string::npos) {
      std::string words;
      std::istringstream rest(line.substr(line.find(':') + 1));
      for (std::string word; rest >> word;) words.append(" ").append(word);
      return words.append(" ");
    }
  }
  return "";
}
#endif

// The implementation the processor flags call for, or nullptr when they cannot tell.
const char* expected_from_cpuinfo() {
#if defined(VURN_AES_X86)
  const std::string flags = cpuinfo_words("flags");
  if (flags.empty()) return nullptr;
  const auto has = [&](std::string flag) {
    flag.insert(0, 1, ' ');
    flag.push_back(' ');
    return flags.find(flag) != std::string::npos;
  };
  if (has("aes") && has("sse4_1") && has("vaes") && has("avx512f")) return "vaes_avx512";
  if (has("aes") && has("sse4_1") && has("vaes") && has("avx2")) return "vaes_avx2";
  if (has("aes") && has("sse4_1")) return "aes_ni";
  return "bitsliced";
#elif defined(VURN_AES_ARMV8)
  const std::string features = cpuinfo_words("Features");
  if (features.empty()) return nullptr;  // e.g. under an emulator that shows the host's
  return features.find(" aes ") != std::string::npos ? "armv8" : "bitsliced";
#else
  return "bitsliced";  // the only constant-time implementation such a build has
#endif
}

}  // namespace

int main() {
  const char* in_use = vurn::aes_impl_name(vurn::active_aes_impl_id());
  const char* first_available = nullptr;
  std::printf("%s (available:", in_use);
  for (aes_impl_id id : vurn::all_aes_impls()) {
    if (vurn::find_aes_impl(id) == nullptr) continue;
    if (first_available == nullptr) first_available = vurn::aes_impl_name(id);
    std::printf(" %s", vurn::aes_impl_name(id));
  }
  std::printf(")\n");

  const char* expected = expected_from_cpuinfo();
  if (expected != nullptr) std::printf("processor flags in /proc/cpuinfo call for %s\n", expected);
  bool ok = true;
  if (std::strcmp(in_use, first_available) != 0) {
    std::fprintf(stderr, "%s is in use, not the first available one\n", in_use);
    ok = false;
  }
  if (expected != nullptr && std::strcmp(in_use, expected) != 0) {
    std::fprintf(stderr, "%s is in use, but the processor flags call for %s\n", in_use, expected);
    ok = false;
  }
  return ok ? 0 : 1;
}
