#pragma once
// The resolved free wake: the pieces the march uses instead of the plain ones
// when the rotor carries WakePhysics. Shed segments are cut into overlapping
// particles; the blade sees the youngest particles as the vortex segments they
// were cut from, with a core tied to the blade; the wake stretches its
// vorticity and relaxes it towards the curl of its own velocity.
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "vpm/common.hpp"
#include "vpm/march.hpp"
#include "vpm/rotor.hpp"

namespace aerlox_rs::vpm {

/// Lamb-Oseen constant of the core growth law r_c^2 = r_0^2 + 4 alpha_L delta nu t.
inline constexpr double kLambOseen = 1.25643;

/// Moves the wake by one midpoint step in its own velocity plus the free
/// stream u_inf (m/s) over dt (s); with ph.stretching the strengths follow
/// d alpha_i/dt = alpha_j du_j/dx_i (the transposed scheme, which keeps the
/// total strength), and ph.relaxation then turns each strength that fraction
/// of the way towards the direction of the local vorticity, keeping its size;
/// ph.smagorinsky spreads each core by the eddy viscosity of the local strain.
/// The velocities come from the direct sum, or from the fast summation at
/// ph.fast_rtol once the wake holds ph.fast_min_particles.
/// Returns the largest particle speed relative to the hub at the second
/// stage (m/s); +inf when any velocity or strength is not finite.
/// With stretch_age_s > 0 only particles younger than that (by `age`, when
/// known; a particle of unknown age is not stretched) are stretched. With
/// ph.stretching_max_length and the particles' filaments known, no strength
/// grows past gamma times that many core radii.
double advect_resolved(ParticleField& f, std::array<float, 3> u_inf, float dt, const WakePhysics& ph,
                       const std::vector<double>* age = nullptr, double stretch_age_s = 0.0,
                       const std::vector<Filament>* filament = nullptr);

/// Drops the particles more than `limit` (m) above the disk (hub z below
/// -limit; the hub's z axis points down, along the inflow), with their ages and
/// filaments when those are known. Returns the particles dropped.
std::size_t drop_upstream(ParticleField& f, std::vector<double>* age, std::vector<Filament>* filament, double limit);

/// First particle of the near wake: the run of particles at the back whose
/// age is below (near_steps + 0.5) dt; wake.len() when ages or filaments are
/// unknown (a merged wake, a wake from a plain rotor).
std::size_t near_wake_start(const ParticleField& wake, const std::vector<double>* age,
                            const std::vector<Filament>* filament, const WakePhysics& ph, double dt);

/// Adds to u[i] the velocity at p[i] of near-wake particles [k0, len): each
/// is seen as its straight piece of filament (alpha / gamma, centred on the
/// particle) with the near-wake core grown by its age.
void add_near_wake(std::span<V3> u, std::span<const V3> p, const ParticleField& wake, std::size_t k0,
                   const std::vector<double>& age, const std::vector<Filament>& filament, const WakePhysics& ph);

/// Fewest pieces no longer than `piece` (m, > 0) that cut a filament `length`
/// (m) long, at most max_split: a NaN or huge count takes max_split.
std::size_t piece_count(double length, double piece, std::size_t max_split);

/// Sheds the filament a -> a + s of circulation gamma (m^2/s): cut into the
/// fewest pieces no longer than ph.overlap * core (at most ph.max_split), one
/// particle of core `core` at each piece's midpoint carrying gamma times the
/// piece; overlap 0 sheds one particle at a. Appends to wake, age (0) and
/// filament ({gamma, core0}); returns the particles added.
std::size_t shed_filament(ParticleField& wake, std::vector<double>* age, std::vector<Filament>* filament,
                          const V3& a, const V3& s, double gamma, float core, double core0, const WakePhysics& ph);

}  // namespace aerlox_rs::vpm
