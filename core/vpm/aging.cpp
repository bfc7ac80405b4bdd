#include "aging.hpp"

#include <cmath>

namespace aerlox_rs::vpm::aging {

void core_spread(ParticleField& field, double nu, double dt) {
  if (dt <= 0.0 || nu <= 0.0) return;
  const auto s = static_cast<float>((nu + nu) * dt);
  for (float& g : field.sigma) g = std::sqrt(g * g + s);
}

void strength_decay(ParticleField& field, float factor) {
  if (!(factor > 0.0f && factor < 1.0f)) return;
  for (AVec<float>* a : {&field.ax, &field.ay, &field.az})
    for (float& v : *a) v = v * factor;
}

}  // namespace aerlox_rs::vpm::aging
