#pragma once
// The vector unit's state at the library's entry points.
//
// The core is built for the x86-64 baseline, so its floating point uses the
// legacy SSE encoding. On many Intel cores, running such instructions while
// the upper halves of the AVX registers are dirty (a caller's AVX code that
// did not end with vzeroupper) makes every one of them wait on, or merge
// with, the upper state: a blade-element evaluation ran 8.7x slower that way.
// The entry points of the models therefore clear the upper state first when
// the CPU has AVX; elsewhere this is a no-op.
namespace aerlox_rs {

/// Executes vzeroupper on CPUs with AVX (a few cycles), nothing elsewhere.
void clear_upper_vector_state() noexcept;

/// Turns the clearing off (false) or on again (true), for benchmarks that
/// show what it saves.
void set_upper_state_clearing_for_testing(bool on) noexcept;

}  // namespace aerlox_rs
