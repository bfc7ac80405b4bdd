#include "pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "cancel.hpp"
#include "panic.hpp"

namespace aerlox_rs::vpm::pool {
namespace {

// A participant's remaining items [begin, end), packed into one word so that
// the owner's claim and a thief's split are single compare-and-swaps.
constexpr std::uint64_t pack(std::uint32_t b, std::uint32_t e) {
  return (static_cast<std::uint64_t>(e) << 32) | b;
}
constexpr std::uint32_t lo(std::uint64_t r) { return static_cast<std::uint32_t>(r); }
constexpr std::uint32_t hi(std::uint64_t r) { return static_cast<std::uint32_t>(r >> 32); }

struct alignas(64) Slot {
  std::atomic<std::uint64_t> range{0};
};

thread_local bool t_inside_task = false;

std::size_t usable_cpus() {
#if defined(__linux__)
  // The CPUs this process may run on (a container or taskset may allow fewer
  // than the machine has); elsewhere the machine's count.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
#endif
  const unsigned h = std::thread::hardware_concurrency();
  return h > 0 ? h : 1;
}

class Pool {
 public:
  explicit Pool(std::size_t participants) : n_(participants), slots_(new Slot[participants]) {
    threads_.reserve(n_ - 1);
    try {
      for (std::size_t w = 1; w < n_; ++w) threads_.emplace_back([this, w] { worker_main(w); });
    } catch (const std::system_error&) {
      // The system would not give us a thread (address space or thread
      // limit): resource exhaustion like any failed allocation. The workers
      // already started are stopped first; no pool is left behind.
      stop_and_join();
      throw std::bad_alloc();
    }
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  /// Stops and joins the workers (never called in a forked child, whose
  /// copy of the pool has no threads behind it).
  ~Pool() { stop_and_join(); }

  std::size_t participants() const { return n_; }

  void run(std::size_t n, RangeFn fn, void* ctx) {
    // Items are tracked as 32-bit indices inside the packed ranges.
    AERLOX_ASSERT_MSG(n <= UINT32_MAX, "parallel loop of at most 2^32 - 1 items");
    for (std::size_t p = 0; p < n_; ++p) {
      const auto b = static_cast<std::uint32_t>(n * p / n_);
      const auto e = static_cast<std::uint32_t>(n * (p + 1) / n_);
      slots_[p].range.store(pack(b, e), std::memory_order_relaxed);
    }
    fn_ = fn;
    ctx_ = ctx;
    failed_.store(false, std::memory_order_relaxed);
    error_ = nullptr;
    {
      std::lock_guard<std::mutex> g(m_);
      active_ = n_ - 1;
      ++generation_;
    }
    cv_work_.notify_all();
    participate(0);
    {
      std::unique_lock<std::mutex> g(m_);
      cv_done_.wait(g, [this] { return active_ == 0; });
    }
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void stop_and_join() {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    cv_work_.notify_all();
    for (auto& t : threads_) t.join();
  }

  void worker_main(std::size_t who) {
    forbid_cancel_checks_on_this_thread();
    std::uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> g(m_);
        cv_work_.wait(g, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
      }
      participate(who);
      bool last = false;
      {
        std::lock_guard<std::mutex> g(m_);
        last = --active_ == 0;
      }
      if (last) cv_done_.notify_one();
    }
  }

  // Claims the first item of slot s; false when it is empty.
  bool claim(Slot& s, std::uint32_t& item) {
    std::uint64_t r = s.range.load(std::memory_order_acquire);
    while (lo(r) < hi(r)) {
      if (s.range.compare_exchange_weak(r, pack(lo(r) + 1, hi(r)), std::memory_order_acq_rel)) {
        item = lo(r);
        return true;
      }
    }
    return false;
  }

  // Moves the back half of victim's remaining items into own (which is empty).
  bool steal(Slot& victim, Slot& own) {
    std::uint64_t r = victim.range.load(std::memory_order_acquire);
    while (lo(r) < hi(r)) {
      const std::uint32_t mid = lo(r) + (hi(r) - lo(r)) / 2;
      if (victim.range.compare_exchange_weak(r, pack(lo(r), mid), std::memory_order_acq_rel)) {
        own.range.store(pack(mid, hi(r)), std::memory_order_release);
        return true;
      }
    }
    return false;
  }

  void participate(std::size_t who) {
    t_inside_task = true;
    Slot& own = slots_[who];
    for (;;) {
      std::uint32_t item;
      while (!failed_.load(std::memory_order_relaxed) && claim(own, item)) {
        // One item per claim keeps the rest of the slot available to thieves;
        // callers size items so that a claim is cheap next to the work.
        try {
          fn_(ctx_, item, item + 1, who);
          // Only the caller may ask the host whether to stop; a stop travels
          // to the workers as a failure of the loop.
          if (who == 0) poll_cancel();
        } catch (...) {
          std::lock_guard<std::mutex> g(err_m_);
          if (!error_) error_ = std::current_exception();
          failed_.store(true, std::memory_order_relaxed);
        }
      }
      if (failed_.load(std::memory_order_relaxed)) break;
      bool stole = false;
      for (std::size_t k = 1; k < n_ && !stole; ++k) stole = steal(slots_[(who + k) % n_], own);
      if (!stole) break;
    }
    t_inside_task = false;
  }

  const std::size_t n_;
  std::unique_ptr<Slot[]> slots_;
  std::vector<std::thread> threads_;

  std::mutex m_;
  std::condition_variable cv_work_, cv_done_;
  std::uint64_t generation_ = 0;
  std::size_t active_ = 0;
  bool stop_ = false;

  RangeFn fn_ = nullptr;
  void* ctx_ = nullptr;
  std::atomic<bool> failed_{false};
  std::mutex err_m_;
  std::exception_ptr error_;
};

// Process-wide state. The mutexes are leaked on purpose: workers may still be
// parked when static destructors run at exit.
std::mutex& submit_mutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
Pool* g_pool = nullptr;
std::size_t g_requested = 0;  // 0: one participant per usable CPU
// Participants of the current pool, readable without the submit lock (which a
// running loop holds).
std::atomic<std::size_t> g_count{0};
std::once_flag g_atfork_once;

// fork() from any thread: wait until no loop is running, and in the child
// drop the parent's pool (its threads do not exist there; it is leaked, never
// joined) so the next loop builds a new one.
void before_fork() { submit_mutex().lock(); }
void after_fork_parent() { submit_mutex().unlock(); }
void after_fork_child() {
  g_pool = nullptr;
  submit_mutex().unlock();
}

// Caller holds submit_mutex().
Pool& pool_locked() {
  if (g_pool == nullptr) {
    std::call_once(g_atfork_once, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
    g_pool = new Pool(g_requested != 0 ? g_requested : usable_cpus());
    g_count.store(g_pool->participants(), std::memory_order_relaxed);
  }
  return *g_pool;
}

}  // namespace

std::size_t worker_count() {
  // Inside a task the loop's caller holds the submit lock; nested loops run
  // serially anyway.
  if (t_inside_task) {
    const std::size_t n = g_count.load(std::memory_order_relaxed);
    return n > 0 ? n : 1;
  }
  std::lock_guard<std::mutex> g(submit_mutex());
  return pool_locked().participants();
}

void set_worker_count_for_testing(std::size_t n) {
  std::lock_guard<std::mutex> g(submit_mutex());
  delete g_pool;
  g_pool = nullptr;
  g_requested = n;
}

void set_worker_count(std::size_t n) {
  // A task's caller holds the submit lock: changing the pool there would deadlock.
  AERLOX_ASSERT_MSG(!t_inside_task, "worker count set from outside parallel loops");
  set_worker_count_for_testing(n);
}

namespace {

// A loop on the calling thread alone, item by item so that it can be stopped
// between items; results do not depend on how the items are divided.
void run_here(std::size_t n, RangeFn fn, void* ctx) {
  for (std::size_t i = 0; i < n; ++i) {
    fn(ctx, i, i + 1, 0);
    poll_cancel();
  }
}

}  // namespace

void run(std::size_t n, RangeFn fn, void* ctx) {
  if (n == 0) return;
  if (n == 1 || t_inside_task) {
    fn(ctx, 0, n, 0);
    return;
  }
  std::unique_lock<std::mutex> g(submit_mutex(), std::try_to_lock);
  if (!g.owns_lock()) {
    // Another thread's loop occupies the pool: run this one here.
    run_here(n, fn, ctx);
    return;
  }
  Pool& p = pool_locked();
  if (p.participants() == 1) {
    // The pool is not used: let go of it, so that whatever the cancellation
    // check runs (a signal handler may set the worker count) finds it free.
    g.unlock();
    run_here(n, fn, ctx);
    return;
  }
  p.run(n, fn, ctx);
}

}  // namespace aerlox_rs::vpm::pool
