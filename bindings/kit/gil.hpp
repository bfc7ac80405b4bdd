#pragma once
// Computing without the interpreter lock.
//
// A native call that only computes (no Python object touched between reading
// its arguments and building its result) runs inside without_gil(), so other
// Python threads run meanwhile and a thread pool of such calls scales with the
// cores. What the computation reads must be C++ values owned by the call, or
// values no Python code can change (the models are immutable; the state and
// input records are copied out of their objects first, since their fields
// have setters).
//
// The core's cancellation check (a pending Ctrl-C) needs the lock: on the
// thread that handles signals it takes the lock back for the check, at most
// every few milliseconds; on any other thread no signal can be handled, so it
// answers at once.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kit {

/// Releases the interpreter lock for its lifetime (the calling thread must
/// hold it); takes it back on destruction, also when unwinding.
class GilReleased {
 public:
  GilReleased() noexcept;
  ~GilReleased();
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* saved_;
};

/// Runs f() with the interpreter lock released and returns its result.
template <class F>
decltype(auto) without_gil(F&& f) {
  GilReleased released;
  return std::forward<F>(f)();
}

/// The core's cancellation check: true when a signal handler raised (its
/// exception is then set). Safe with or without the lock held.
bool signal_pending() noexcept;

/// Records which thread handles signals (call once, lock held, at import).
void note_signal_thread();

}  // namespace kit
