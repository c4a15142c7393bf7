// The one place that names and chooses the AES implementations. On x86-64 the processor is asked
// (cpuid) which AES and vector instructions it has, and the operating system (xgetbv) whether it
// saves the wider registers; on ARMv8 Linux the kernel's hardware capabilities tell whether the
// AES instructions are there. The first implementation of the table that can run is used: a
// hardware one, or else the bitsliced one, which runs anywhere.
//
// The choice covers key set-up as well as the blocks: key_state_init expands (and for decryption
// converts) the key with the implementation in use, so no other code touches the key schedule.
//
// Security: every implementation chosen here is constant-time in key set-up (expansion and
// conversion) and in the block work: no memory access or branch depends on the key or the data.
// The table-driven core is not (its lookups are indexed by key and data bytes, which code sharing
// the cache can observe), so it is never chosen; it stays as the reference in tests and
// benchmarks, which select it by name, and the library does not export it.
#include <array>
#include <atomic>

#include "aes_impl.h"

#if defined(VURN_AES_X86)
#include <cpuid.h>
#endif
#if defined(VURN_AES_ARMV8)
#include <sys/auxv.h>
#endif

namespace vurn {
namespace {

#if defined(VURN_AES_X86)

struct cpu_support {
  bool aes_ni = false, vaes_avx2 = false, vaes_avx512 = false;
};

// Which registers the operating system saves on a context switch (XCR0).
std::uint64_t enabled_register_state() {
  std::uint32_t low = 0, high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return std::uint64_t{high} << 32 | low;
}

cpu_support detect_cpu_support() {
  constexpr std::uint32_t leaf1_ecx_sse41 = 1u << 19, leaf1_ecx_aes = 1u << 25,
                          leaf1_ecx_osxsave = 1u << 27, leaf1_ecx_avx = 1u << 28;
  constexpr std::uint32_t leaf7_ebx_avx2 = 1u << 5, leaf7_ebx_avx512f = 1u << 16,
                          leaf7_ecx_vaes = 1u << 9;
  constexpr std::uint64_t xmm_ymm_state = 0x6, zmm_state = 0xe0;  // SSE+AVX; opmask+ZMM

  cpu_support support;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return support;
  support.aes_ni = (ecx & leaf1_ecx_aes) != 0 && (ecx & leaf1_ecx_sse41) != 0;
  const bool avx = (ecx & leaf1_ecx_avx) != 0 && (ecx & leaf1_ecx_osxsave) != 0;
  if (!support.aes_ni || !avx || __get_cpuid_max(0, nullptr) < 7) return support;

  const std::uint64_t state = enabled_register_state();
  if ((state & xmm_ymm_state) != xmm_ymm_state) return support;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool vaes = (ecx & leaf7_ecx_vaes) != 0;
  support.vaes_avx2 = vaes && (ebx & leaf7_ebx_avx2) != 0;
  support.vaes_avx512 = vaes && (ebx & leaf7_ebx_avx512f) != 0 && (state & zmm_state) == zmm_state;
  return support;
}

const cpu_support& cpu() {
  static const cpu_support support = detect_cpu_support();
  return support;
}

bool has_aes_ni() {
  return cpu().aes_ni;
}
bool has_vaes_avx2() {
  return cpu().vaes_avx2;
}
bool has_vaes_avx512() {
  return cpu().vaes_avx512;
}

#endif

#if defined(VURN_AES_ARMV8)
bool has_armv8_aes() {
  return (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
}
#endif

bool runs_anywhere() {
  return true;
}

struct implementation_row {
  aes_impl_id id;
  const char* name;
  const aes_impl* impl;
  bool (*available)();
};

// In the order of preference.
constexpr implementation_row implementations[] = {
#if defined(VURN_AES_X86)
    {aes_impl_id::vaes_avx512, "vaes_avx512", &vaes_avx512_impl, has_vaes_avx512},
    {aes_impl_id::vaes_avx2, "vaes_avx2", &vaes_avx2_impl, has_vaes_avx2},
    {aes_impl_id::aes_ni, "aes_ni", &aes_ni_impl, has_aes_ni},
#endif
#if defined(VURN_AES_ARMV8)
    {aes_impl_id::armv8, "armv8", &armv8_aes_impl, has_armv8_aes},
#endif
    {aes_impl_id::bitsliced, "bitsliced", &bitsliced_aes_impl, runs_anywhere},
    // The table core: never chosen (the bitsliced row above always is first), selectable by name
    // as the reference.
    {aes_impl_id::table, "table", &table_aes_impl, runs_anywhere},
};

constexpr auto implementation_ids = [] {
  std::array<aes_impl_id, std::size(implementations)> ids{};
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = implementations[i].id;
  return ids;
}();

const implementation_row* row_of(aes_impl_id id) {
  for (const implementation_row& row : implementations) {
    if (row.id == id) return &row;
  }
  return nullptr;
}

const aes_impl* best_available() {
  for (const implementation_row& row : implementations) {
    if (row.available()) return row.impl;
  }
  return &bitsliced_aes_impl;
}

std::atomic<const aes_impl*> active{nullptr};

}  // namespace

std::span<const aes_impl_id> all_aes_impls() {
  return implementation_ids;
}

const char* aes_impl_name(aes_impl_id id) {
  const implementation_row* row = row_of(id);
  return row != nullptr ? row->name : "unknown";
}

const aes_impl* find_aes_impl(aes_impl_id id) {
  const implementation_row* row = row_of(id);
  return row != nullptr && row->available() ? row->impl : nullptr;
}

bool select_aes_impl(aes_impl_id id) {
  const aes_impl* impl = find_aes_impl(id);
  if (impl == nullptr) return false;
  active.store(impl, std::memory_order_relaxed);
  return true;
}

const aes_impl& active_aes_impl() {
  const aes_impl* impl = active.load(std::memory_order_relaxed);
  if (impl == nullptr) {
    impl = best_available();
    active.store(impl, std::memory_order_relaxed);
  }
  return *impl;
}

aes_impl_id active_aes_impl_id() {
  const aes_impl* impl = &active_aes_impl();
  for (const implementation_row& row : implementations) {
    if (row.impl == impl) return row.id;
  }
  return aes_impl_id::bitsliced;  // not reached: every implementation has a row
}

}  // namespace vurn
