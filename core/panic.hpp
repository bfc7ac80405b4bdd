#pragma once
// Failure reporting for the core library.
//
// Two kinds of failure leave the core:
//  * Panic      - a violated internal invariant (capacity exceeded, index out of
//                 range, impossible state). The binding layer turns it into the
//                 Python-level PanicException; it never aborts the process.
//  * ValueError - input that the caller can fix (a malformed state array, an
//                 unknown option name). The binding layer raises ValueError.
#include <cstddef>
#include <exception>
#include <string>
#include <utility>

namespace aerlox_rs {

/// A violated internal invariant; the message is what the user sees.
class Panic : public std::exception {
 public:
  explicit Panic(std::string msg) : msg_(std::move(msg)) {}
  const char* what() const noexcept override { return msg_.c_str(); }

 private:
  std::string msg_;
};

/// Caller-fixable bad input detected inside the core.
class ValueError : public std::exception {
 public:
  explicit ValueError(std::string msg) : msg_(std::move(msg)) {}
  const char* what() const noexcept override { return msg_.c_str(); }

 private:
  std::string msg_;
};

[[noreturn]] void panic(std::string msg);
/// Throws Panic("assertion failed: <cond>").
[[noreturn]] void assert_failed(const char* cond);
/// Throws Panic for an index past the end of a sequence of length len.
[[noreturn]] void index_failed(std::size_t len, std::size_t index);

/// Bounds-checked element access for any sized, indexable container.
template <class C>
inline decltype(auto) at(C& c, std::size_t i) {
  if (i >= std::size(c)) index_failed(std::size(c), i);
  return c[i];
}

}  // namespace aerlox_rs

/// Checks an invariant; the condition's source text becomes the message, so
/// write it the way users should read it ("n_psi > 0").
#define AERLOX_ASSERT(cond) \
  ((cond) ? static_cast<void>(0) : ::aerlox_rs::assert_failed(#cond))

/// Same, with an explicit text for conditions whose C++ spelling differs from
/// the text users see.
#define AERLOX_ASSERT_MSG(cond, text) \
  ((cond) ? static_cast<void>(0) : ::aerlox_rs::assert_failed(text))
