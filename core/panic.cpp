#include "panic.hpp"

namespace aerlox_rs {

void panic(std::string msg) { throw Panic(std::move(msg)); }

void assert_failed(const char* cond) {
  throw Panic(std::string("assertion failed: ") + cond);
}

void index_failed(std::size_t len, std::size_t index) {
  throw Panic("index out of bounds: the len is " + std::to_string(len) +
              " but the index is " + std::to_string(index));
}

}  // namespace aerlox_rs
