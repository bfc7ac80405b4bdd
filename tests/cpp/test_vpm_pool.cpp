// The worker pool: every item once, the same bits for any worker count,
// exceptions carried to the caller, nesting, concurrent callers, fork().
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "vpm/common.hpp"
#include "vpm/pool.hpp"
#include "vpm_test_util.hpp"

using namespace aerlox_rs;
using namespace aerlox_rs::vpm;
using vpm_test::first_bit_difference;

namespace {

// Restores the default pool when a test ends.
struct PoolGuard {
  ~PoolGuard() { pool::set_worker_count_for_testing(0); }
};

}  // namespace

TEST(VpmPool, EveryItemRunsExactlyOnce) {
  PoolGuard guard;
  for (std::size_t workers : {1u, 2u, 5u}) {
    pool::set_worker_count_for_testing(workers);
    EXPECT_EQ(pool::worker_count(), workers);
    for (std::size_t n : {0u, 1u, 3u, 1000u}) {
      std::vector<std::atomic<int>> hits(n);
      std::atomic<std::size_t> max_who{0};
      pool::parallel_for(n, [&](std::size_t b, std::size_t e, std::size_t who) {
        for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
        std::size_t m = max_who.load();
        while (who > m && !max_who.compare_exchange_weak(m, who)) {
        }
      });
      for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(hits[i].load(), 1) << i;
      EXPECT_LT(max_who.load(), workers);
    }
  }
}

TEST(VpmPool, ResultsAreBitIdenticalForAnyWorkerCount) {
  PoolGuard guard;
  const ParticleField f = vpm_test::helical_wake(2500, 21);
  pool::set_worker_count_for_testing(1);
  const auto direct = induced_velocities(f);
  const auto tree = induced_velocities_bh(f, 0.5f);
  ParticleField stepped = f.clone();
  advect_rk2(stepped, {0.1f, 0.0f, -1.0f}, 0.01f);
  for (std::size_t workers : {2u, 3u, 8u}) {
    pool::set_worker_count_for_testing(workers);
    EXPECT_EQ(first_bit_difference(induced_velocities(f), direct), -1) << workers;
    EXPECT_EQ(first_bit_difference(induced_velocities_bh(f, 0.5f), tree), -1) << workers;
    ParticleField g = f.clone();
    advect_rk2(g, {0.1f, 0.0f, -1.0f}, 0.01f);
    for (std::size_t i = 0; i < f.len(); ++i) {
      ASSERT_EQ(g.px[i], stepped.px[i]);
      ASSERT_EQ(g.pz[i], stepped.pz[i]);
    }
  }
}

TEST(VpmPool, ExceptionsReachTheCallerAndThePoolCarriesOn) {
  PoolGuard guard;
  pool::set_worker_count_for_testing(3);
  for (int round = 0; round < 3; ++round) {
    EXPECT_THROW(pool::parallel_for(500,
                                    [&](std::size_t b, std::size_t, std::size_t) {
                                      if (b % 97 == 13) throw std::runtime_error("task failed");
                                    }),
                 std::runtime_error);
    std::atomic<std::size_t> sum{0};
    pool::parallel_for(100, [&](std::size_t b, std::size_t e, std::size_t) { sum += e - b; });
    EXPECT_EQ(sum.load(), 100u);
  }
}

TEST(VpmPool, NestedLoopsAndConcurrentCallers) {
  PoolGuard guard;
  pool::set_worker_count_for_testing(2);
  std::atomic<std::size_t> inner{0};
  pool::parallel_for(8, [&](std::size_t, std::size_t, std::size_t) {
    pool::parallel_for(10, [&](std::size_t b, std::size_t e, std::size_t) { inner += e - b; });
  });
  EXPECT_EQ(inner.load(), 80u);
  // Whole evaluations inside a task run on that task's thread.
  const ParticleField small = vpm_test::helical_wake(300, 24);
  const auto tree_want = induced_velocities_bh(small, 0.5f);
  std::vector<long> nested(4, 0);
  pool::parallel_for(4, [&](std::size_t b, std::size_t, std::size_t) {
    nested[b] = first_bit_difference(induced_velocities_bh(small, 0.5f), tree_want);
  });
  for (long d : nested) EXPECT_EQ(d, -1);

  // Two threads evaluating at once: one gets the pool, the other runs alone;
  // both get the exact answer.
  const ParticleField f = vpm_test::helical_wake(1200, 22);
  const auto want = induced_velocities(f);
  std::vector<long> diff(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < 5; ++k) diff[t] += first_bit_difference(induced_velocities(f), want) + 1;
    });
  for (auto& th : threads) th.join();
  for (long d : diff) EXPECT_EQ(d, 0);
}

TEST(VpmPool, ChildProcessStepsAfterFork) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in a child of a threaded process";
#endif
  PoolGuard guard;
  pool::set_worker_count_for_testing(3);
  const ParticleField f = vpm_test::helical_wake(1500, 23);
  const auto want = induced_velocities(f);  // the parent's pool is running
  ParticleField stepped = f.clone();
  advect_rk2_bh(stepped, {0, 0, -1}, 0.01f, 0.5f);

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Child: new pool on first use; same answers.
    bool ok = first_bit_difference(induced_velocities(f), want) == -1;
    ParticleField g = f.clone();
    advect_rk2_bh(g, {0, 0, -1}, 0.01f, 0.5f);
    for (std::size_t i = 0; i < g.len(); ++i) ok = ok && g.pz[i] == stepped.pz[i];
    ok = ok && pool::worker_count() == 3;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "child process hung";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent's pool still works.
  EXPECT_EQ(first_bit_difference(induced_velocities(f), want), -1);
}
