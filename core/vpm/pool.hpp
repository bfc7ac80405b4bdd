#pragma once
// The process-wide worker pool that runs the wake's induced-velocity loops.
//
// Created on first use with one participant per CPU the process may run on
// (the calling thread is one of them). A loop over n items starts with one
// contiguous slice per participant; a participant that runs dry steals the
// back half of another's remaining slice. Every item is run by exactly one
// task, so loops whose items write disjoint outputs give the same bits for
// any number of participants. The pool survives fork(): a child process gets
// a fresh pool on its first loop.
#include <cstddef>
#include <type_traits>
#include <utility>

namespace aerlox_rs::vpm::pool {

/// Body of a loop: runs items [begin, end) as participant `who`
/// (0 <= who < worker_count() of that loop).
using RangeFn = void (*)(void* ctx, std::size_t begin, std::size_t end, std::size_t who);

/// Participants of a parallel loop (worker threads plus the caller); creates
/// the pool when it does not exist yet.
std::size_t worker_count();

/// Replaces the pool by one with n participants (0: the default, one per
/// usable CPU). For tests and benchmarks; must not race with running loops.
void set_worker_count_for_testing(std::size_t n);

/// Run-time worker control: the next loop runs with n participants (0: one
/// per usable CPU). Results are the same for every n. Panics when called from
/// inside a task.
void set_worker_count(std::size_t n);

/// Runs fn over items [0, n) on the pool and returns when all are done. The
/// first exception thrown by any task is rethrown here (remaining items may be
/// skipped). Called from inside a task, or while another thread's loop holds
/// the pool, the loop runs on the calling thread alone as participant 0.
/// The calling thread polls poll_cancel() after each item it runs, so a stop
/// surfaces here as Cancelled. A pool whose worker threads cannot be started
/// throws std::bad_alloc (and is not kept).
void run(std::size_t n, RangeFn fn, void* ctx);

/// run() with a callable f(begin, end, who).
template <class F>
void parallel_for(std::size_t n, F&& f) {
  using Fn = std::remove_reference_t<F>;
  run(n, [](void* c, std::size_t b, std::size_t e, std::size_t who) { (*static_cast<Fn*>(c))(b, e, who); },
      const_cast<void*>(static_cast<const void*>(&f)));
}

}  // namespace aerlox_rs::vpm::pool
