#include "numfmt.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace aerlox_rs {
namespace {

struct Digits {
  bool negative = false;
  std::string digits;  // significant digits, no leading/trailing zeros
  int exp10 = 0;       // value = 0.digits * 10^exp10 ... see below
};

// Splits |v| (finite, non-zero) into its shortest round-trip digit string d1 d2 ... dn
// and the decimal exponent e such that |v| = d1.d2...dn * 10^e.
Digits split(double v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
  std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
  Digits d;
  d.negative = std::signbit(v);
  const auto epos = s.find('e');
  for (char c : s.substr(0, epos))
    if (c != '.') d.digits.push_back(c);
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  d.exp10 = std::atoi(std::string(s.substr(epos + 1)).c_str());
  return d;
}

std::string special(double v) {
  if (std::isnan(v)) return "NaN";
  return v < 0 ? "-inf" : "inf";
}

// Positional text of d1.d2...dn * 10^e.
std::string positional(const Digits& d) {
  std::string out = d.negative ? "-" : "";
  const int n = static_cast<int>(d.digits.size());
  const int e = d.exp10;
  if (e < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-e - 1), '0');
    out += d.digits;
  } else if (e + 1 >= n) {
    out += d.digits;
    out.append(static_cast<std::size_t>(e + 1 - n), '0');
  } else {
    out += d.digits.substr(0, static_cast<std::size_t>(e + 1));
    out += '.';
    out += d.digits.substr(static_cast<std::size_t>(e + 1));
  }
  return out;
}

}  // namespace

std::string fmt_plain(double v) {
  if (!std::isfinite(v)) return special(v);
  if (v == 0.0) return std::signbit(v) ? "-0" : "0";
  return positional(split(v));
}

std::string fmt_debug(double v) {
  if (!std::isfinite(v)) return special(v);
  if (v == 0.0) return std::signbit(v) ? "-0.0" : "0.0";
  const double a = std::fabs(v);
  const Digits d = split(v);
  if (a < 1e-4 || a >= 1e16) {
    std::string out = d.negative ? "-" : "";
    out += d.digits[0];
    if (d.digits.size() > 1) {
      out += '.';
      out += d.digits.substr(1);
    }
    out += 'e';
    out += std::to_string(d.exp10);
    return out;
  }
  std::string out = positional(d);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

}  // namespace aerlox_rs
