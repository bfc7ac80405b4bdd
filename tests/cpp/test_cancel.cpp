// Cancellation of long computations and the worker pool's thread-start
// failure: a stop leaves inputs and later calls untouched, a check that never
// fires changes no bit, and only the calling thread is ever asked.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <new>
#include <string>
#include <thread>

#include "bem_fixtures.hpp"
#include "cancel.hpp"
#include "oye.hpp"
#include "pitt_peters.hpp"
#include "trim.hpp"
#include "vpm/pool.hpp"
#include "vpm/rotor.hpp"
#include "vpm_test_util.hpp"

using namespace aerlox_rs;
using namespace aerlox_test;

namespace {

// The check under test: fires on its `fire_at`-th call (0: never) and
// records whether any call came from a thread other than the test's.
std::atomic<long> g_calls{0};
std::atomic<long> g_fire_at{0};
std::atomic<bool> g_foreign{false};
std::thread::id g_owner;

bool counting_check() noexcept {
  if (std::this_thread::get_id() != g_owner) g_foreign = true;
  const long n = ++g_calls;
  return g_fire_at != 0 && n >= g_fire_at;
}

struct CheckGuard {
  explicit CheckGuard(long fire_at) {
    g_calls = 0;
    g_fire_at = fire_at;
    g_foreign = false;
    g_owner = std::this_thread::get_id();
    set_cancel_check(counting_check);
  }
  ~CheckGuard() {
    set_cancel_check(nullptr);
    vpm::pool::set_worker_count_for_testing(0);
  }
};

vpm::VpmRotor<LinearPolar> vpm_rotor() {
  RotorDefinition d = small_rotor(12);
  return vpm::VpmRotor<LinearPolar>::create(d, polar_of(d), d.control_gains(), {});
}

}  // namespace

TEST(Cancel, RelaxAndTrimStopAndAnIdleCheckChangesNothing) {
  const RotorDefinition d = small_rotor();
  const auto oye = OyeBEMModel<LinearPolar>::build_with_k(d, polar_of(d), 12, 0.0);
  const auto pp = PittPetersModel<LinearPolar>::build(d, polar_of(d), 12);
  const RotorInputs in = forward_inputs(10.0, 150.0, 0.8, 0.1);
  TrimOptions opt;
  opt.max_iterations = 4;
  opt.n_inflow_relax = 20;

  const auto relaxed = relax_inflow(oye, oye.initial_state(), in, 50, 0.005);
  const auto trimmed = solve_trim_cyclic(pp, pp.initial_state(), in, opt);
  {
    CheckGuard idle(0);
    EXPECT_EQ(relax_inflow(oye, oye.initial_state(), in, 50, 0.005).get_inflow(),
              relaxed.get_inflow());
    const auto again = solve_trim_cyclic(pp, pp.initial_state(), in, opt);
    EXPECT_EQ(again.tilt_lon, trimmed.tilt_lon);
    EXPECT_EQ(again.tilt_lat, trimmed.tilt_lat);
    EXPECT_EQ(again.final_state.get_inflow(), trimmed.final_state.get_inflow());
    EXPECT_GT(g_calls.load(), 12);  // the relaxation asks every fourth step, the trim each pass
  }
  {
    CheckGuard stop(7);
    const auto start = oye.initial_state();
    EXPECT_THROW(relax_inflow(oye, start, in, 1000000000, 0.005), Cancelled);
    EXPECT_EQ(g_calls.load(), 7);
    g_calls = 0;
    EXPECT_THROW(solve_trim_cyclic(pp, pp.initial_state(), in, opt), Cancelled);
    EXPECT_FALSE(g_foreign.load());
  }
  // Afterwards, without a check, the same answers as before.
  EXPECT_EQ(relax_inflow(oye, oye.initial_state(), in, 50, 0.005).get_inflow(), relaxed.get_inflow());
}

TEST(Cancel, PoolAsksOnlyItsCallerAndStopsBetweenItems) {
  for (std::size_t workers : {1u, 2u, 4u}) {
    CheckGuard stop(3);
    vpm::pool::set_worker_count_for_testing(workers);
    std::atomic<long> items{0};
    auto body = [&](std::size_t b, std::size_t e, std::size_t) {
      for (std::size_t i = b; i < e; ++i) {
        items.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    };
    EXPECT_THROW(vpm::pool::parallel_for(1000, body), Cancelled) << workers;
    EXPECT_FALSE(g_foreign.load()) << workers;
    // Stopped after the caller's third item; the rest never ran.
    if (workers == 1) EXPECT_EQ(items.load(), 3);
    else EXPECT_LT(items.load(), 1000) << workers;
    // The pool runs whole loops again once the check is quiet.
    g_fire_at = 0;
    items = 0;
    vpm::pool::parallel_for(100, body);
    EXPECT_EQ(items.load(), 100) << workers;
  }
}

TEST(Cancel, VortexStepStopsAndAnIdleCheckChangesNothing) {
  const auto rotor = vpm_rotor();
  const RotorInputs in = axial_inputs(10.0, 150.0);
  vpm::VpmRotorState s = rotor.initial_rotor_state();
  for (int k = 0; k < 20; ++k) s = rotor.step(in, s, 0.002).second;
  const auto [ref_loads, ref_next] = rotor.step(in, s, 0.002);
  {
    CheckGuard idle(0);
    vpm::pool::set_worker_count_for_testing(2);
    const auto [loads, next] = rotor.step(in, s, 0.002);
    EXPECT_EQ(loads.F_world.z(), ref_loads.F_world.z());
    EXPECT_EQ(loads.Q_spin, ref_loads.Q_spin);
    ASSERT_EQ(next.n_particles(), ref_next.n_particles());
    for (std::size_t i = 0; i < next.n_particles(); ++i)
      ASSERT_EQ(next.wake->px[i], ref_next.wake->px[i]) << i;
    EXPECT_FALSE(g_foreign.load());
  }
  for (long fire_at : {1L, 2L, 5L}) {
    CheckGuard stop(fire_at);
    vpm::pool::set_worker_count_for_testing(2);
    const std::size_t before = s.n_particles();
    EXPECT_THROW(rotor.step(in, s, 0.002), Cancelled) << fire_at;
    EXPECT_EQ(s.n_particles(), before);
    EXPECT_FALSE(g_foreign.load());
  }
}

// In a child: caps the address space just above what is mapped, so a new
// thread's stack cannot be mapped, and asks for a pool of sixteen (more than the C library keeps
// stacks of finished threads for). 0 when that
// fails as std::bad_alloc and the pool starts once the cap is lifted.
[[maybe_unused]] int start_pool_under_tight_limit() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long vm_kb = -1;
  while (status >> key)
    if (key == "VmSize:") status >> vm_kb;
  rlimit old{};
  if (vm_kb < 0 || getrlimit(RLIMIT_AS, &old) != 0) return 3;
  const rlimit tight{static_cast<rlim_t>(vm_kb + 2048) * 1024, old.rlim_max};
  if (setrlimit(RLIMIT_AS, &tight) != 0) return 3;
  vpm::pool::set_worker_count_for_testing(16);
  int code = 1;
  try {
    vpm::pool::parallel_for(100, [](std::size_t, std::size_t, std::size_t) {});
  } catch (const std::bad_alloc&) {
    code = 0;
  } catch (...) {
    code = 2;
  }
  setrlimit(RLIMIT_AS, &old);
  std::atomic<int> n{0};
  vpm::pool::parallel_for(100, [&](std::size_t b, std::size_t e, std::size_t) {
    n += static_cast<int>(e - b);
  });
  if (code == 0 && (n != 100 || vpm::pool::worker_count() != 16)) code = 4;
  std::fflush(nullptr);
  return code;
}

TEST(Cancel, WorkerThreadsThatCannotStartAreMemoryExhaustion) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  EXPECT_EXIT(std::_Exit(start_pool_under_tight_limit()), ::testing::ExitedWithCode(0), "");
#endif
}
