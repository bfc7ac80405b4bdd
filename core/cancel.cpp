#include "cancel.hpp"

#include <atomic>

namespace aerlox_rs {

namespace {
std::atomic<CancelCheck> g_check{nullptr};
thread_local bool t_worker = false;
}  // namespace

void set_cancel_check(CancelCheck check) noexcept { g_check.store(check, std::memory_order_release); }

void poll_cancel() {
  const CancelCheck check = g_check.load(std::memory_order_acquire);
  if (check == nullptr || t_worker) return;
  if (check()) throw Cancelled();
}

void forbid_cancel_checks_on_this_thread() noexcept { t_worker = true; }

}  // namespace aerlox_rs
