#include "aero_io.hpp"

#include "numfmt.hpp"

namespace aerlox_rs {

std::string vec3_debug(const Vec3& v) {
  return "Vec3([" + fmt_debug(v[0]) + ", " + fmt_debug(v[1]) + ", " + fmt_debug(v[2]) + "])";
}

}  // namespace aerlox_rs
