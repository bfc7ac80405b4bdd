#pragma once
// Aging of wake particles between steps: viscous core spreading and
// exponential strength decay.
#include "common.hpp"

namespace aerlox_rs::vpm::aging {

/// Core-spreading model of viscous diffusion: every core radius becomes
/// sqrt(sigma^2 + s) with s = 2*nu*dt rounded to single precision.
/// nu: kinematic viscosity, m^2/s; dt: s. Nothing happens when dt <= 0 or
/// nu <= 0.
void core_spread(ParticleField& field, double nu, double dt);

/// Multiplies every strength component by factor when 0 < factor < 1;
/// otherwise (including NaN) leaves the field unchanged.
void strength_decay(ParticleField& field, float factor);

}  // namespace aerlox_rs::vpm::aging
