#pragma once
// Cooperative cancellation of long computations.
//
// The host installs a check that says whether the call in progress should
// stop (the Python binding asks the interpreter whether a signal such as
// Ctrl-C is pending). Long loops call poll_cancel() where stopping loses
// nothing but the call's own partial results: between inflow relaxation
// steps, trim passes, the blades of a vortex-particle step and the work items
// of the worker pool. A stop unwinds as the exception Cancelled; inputs are
// never touched, so every object stays as it was.
//
// The check runs only on threads that entered the core from the host; the
// pool's workers never call it (they learn of a stop through the pool, which
// polls on its caller's thread). Without an installed check polling costs one
// relaxed atomic load.
#include <exception>

namespace aerlox_rs {

/// Thrown by poll_cancel() when the installed check asks to stop.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "computation cancelled"; }
};

/// True when the call in progress should stop. Must be cheap (it runs every
/// few microseconds at most) and must not throw.
using CancelCheck = bool (*)() noexcept;

/// Installs the process-wide check (nullptr removes it).
void set_cancel_check(CancelCheck check) noexcept;

/// Throws Cancelled when a check is installed, this is not a pool worker and
/// the check says stop.
void poll_cancel();

/// Marks the calling thread as a pool worker: poll_cancel() does nothing on it.
void forbid_cancel_checks_on_this_thread() noexcept;

}  // namespace aerlox_rs
