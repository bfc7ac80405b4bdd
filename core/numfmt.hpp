#pragma once
// Number texts for reprs and messages.
//
// Both forms print the shortest decimal digits that read back to the same
// double. The plain form never uses an exponent and drops ".0" from integral
// values ("3", "0.1", "1152921504606847000", "-0"); the debug form keeps ".0"
// ("3.0") and switches to exponent notation for non-zero magnitudes below
// 1e-4 or at least 1e16 ("1e-7", "1.5e16").
#include <string>

namespace aerlox_rs {

std::string fmt_plain(double v);
std::string fmt_debug(double v);

}  // namespace aerlox_rs
