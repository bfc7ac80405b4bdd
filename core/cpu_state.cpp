#include "cpu_state.hpp"

#include <atomic>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace aerlox_rs {
namespace {

std::atomic<bool> g_clear{true};

#if defined(__x86_64__)
__attribute__((target("avx"))) void zero_upper() { _mm256_zeroupper(); }

bool cpu_has_avx() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx");
}
#endif

}  // namespace

void clear_upper_vector_state() noexcept {
#if defined(__x86_64__)
  static const bool has_avx = cpu_has_avx();
  if (has_avx && g_clear.load(std::memory_order_relaxed)) zero_upper();
#endif
}

void set_upper_state_clearing_for_testing(bool on) noexcept { g_clear.store(on, std::memory_order_relaxed); }

}  // namespace aerlox_rs
