#include "trim.hpp"

#include "numfmt.hpp"

namespace aerlox_rs {

double clamp_checked(double x, double lo, double hi) {
  if (!(lo <= hi))
    panic("min > max, or either was NaN. min = " + fmt_plain(lo) + ", max = " + fmt_plain(hi));
  if (x < lo) x = lo;
  if (x > hi) x = hi;
  return x;
}

}  // namespace aerlox_rs
