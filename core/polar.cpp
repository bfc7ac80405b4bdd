#include "polar.hpp"

namespace aerlox_rs {

TabulatedPolar::TabulatedPolar(std::vector<double> alpha, std::vector<double> cl,
                               std::vector<double> cd)
    : alpha_(std::move(alpha)), cl_(std::move(cl)), cd_(std::move(cd)) {
  if (alpha_.size() != cl_.size() || alpha_.size() != cd_.size())
    throw ValueError("alpha, cl, cd must have the same length");
  if (alpha_.empty()) throw ValueError("polar table is empty");
}

}  // namespace aerlox_rs
