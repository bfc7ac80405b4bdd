#pragma once
// A growable array whose storage always starts on a 128-byte boundary, so the
// velocity kernels can load eight consecutive floats as one aligned vector.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "panic.hpp"

namespace aerlox_rs::vpm {

/// Alignment of every particle array, in bytes.
inline constexpr std::size_t kAVecAlign = 128;

/// Growable vector of trivially copyable values on 128-byte-aligned storage.
///
/// Growth on push: new capacity = max(2*cap, cap+1), at least 4. A copy (or
/// clone()) has capacity equal to its length; an empty array owns no block.
template <class T>
class AVec {
  static_assert(std::is_trivially_copyable_v<T>, "AVec holds plain values only");

 public:
  AVec() = default;
  /// An empty array with room for n values (n = 0 allocates nothing).
  static AVec with_capacity(std::size_t n) {
    AVec v;
    v.reserve_exact(n);
    return v;
  }
  /// n copies of value.
  static AVec filled(std::size_t n, T value) {
    AVec v = with_capacity(n);
    for (std::size_t i = 0; i < n; ++i) v.ptr_[i] = value;
    v.len_ = n;
    return v;
  }
  /// The values of src followed by copies of fill up to length n_total.
  static AVec padded(std::span<const T> src, std::size_t n_total, T fill) {
    AERLOX_ASSERT(n_total >= src.size());
    AVec v = with_capacity(n_total);
    if (!src.empty()) std::memcpy(v.ptr_, src.data(), src.size() * sizeof(T));
    for (std::size_t i = src.size(); i < n_total; ++i) v.ptr_[i] = fill;
    v.len_ = n_total;
    return v;
  }

  AVec(const AVec& o) { copy_from(o); }
  AVec(AVec&& o) noexcept
      : ptr_(std::exchange(o.ptr_, nullptr)),
        len_(std::exchange(o.len_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  AVec& operator=(const AVec& o) {
    if (this != &o) {
      AVec tmp(o);
      swap(tmp);
    }
    return *this;
  }
  AVec& operator=(AVec&& o) noexcept {
    if (this != &o) {
      AVec tmp(std::move(o));
      swap(tmp);
    }
    return *this;
  }
  ~AVec() { release(); }

  void swap(AVec& o) noexcept {
    std::swap(ptr_, o.ptr_);
    std::swap(len_, o.len_);
    std::swap(cap_, o.cap_);
  }

  /// Deep copy whose capacity equals its length.
  AVec clone() const { return AVec(*this); }

  std::size_t size() const { return len_; }
  std::size_t len() const { return len_; }
  bool empty() const { return len_ == 0; }
  std::size_t capacity() const { return cap_; }
  T* data() { return ptr_; }
  const T* data() const { return ptr_; }
  T* begin() { return ptr_; }
  T* end() { return ptr_ + len_; }
  const T* begin() const { return ptr_; }
  const T* end() const { return ptr_ + len_; }
  /// Unchecked access (callers index inside [0, size())); use at() otherwise.
  T& operator[](std::size_t i) { return ptr_[i]; }
  const T& operator[](std::size_t i) const { return ptr_[i]; }
  std::span<T> span() { return {ptr_, len_}; }
  std::span<const T> span() const { return {ptr_, len_}; }
  operator std::span<const T>() const { return span(); }

  void push_back(T value) {
    if (len_ == cap_) {
      // cap_ never exceeds 2^62 - 1 (reserve_exact), so doubling cannot wrap.
      std::size_t grown = cap_ * 2 > cap_ + 1 ? cap_ * 2 : cap_ + 1;
      reserve_exact(grown < 4 ? 4 : grown);
    }
    ptr_[len_++] = value;
  }

  /// Lengthens the array by n values and returns the first of them; their
  /// contents are unspecified until the caller writes every one.
  T* extend(std::size_t n) {
    if (n > cap_ - len_) {
      std::size_t grown = cap_ * 2 > cap_ + 1 ? cap_ * 2 : cap_ + 1;
      if (grown < len_ + n) grown = len_ + n;
      reserve_exact(grown < 4 ? 4 : grown);
    }
    T* first = ptr_ + len_;
    len_ += n;
    return first;
  }

  /// Removes the first k values, moving the rest to the front in order.
  void erase_front(std::size_t k) {
    AERLOX_ASSERT(k <= len_);
    if (k == 0) return;
    std::memmove(ptr_, ptr_ + k, (len_ - k) * sizeof(T));
    len_ -= k;
  }

  /// Drops every value; keeps the block.
  void clear() { len_ = 0; }
  /// Keeps the first n elements (n <= size()).
  void truncate(std::size_t n) {
    AERLOX_ASSERT(n <= len_);
    len_ = n;
  }

  /// Makes room for at least n values in total (exactly n when it grows).
  void reserve_exact(std::size_t n) {
    if (n <= cap_) return;
    // The byte count must fit the address space and a signed size.
    constexpr std::size_t kMaxElems = ((std::size_t{1} << 62) - 1);
    if (n > kMaxElems || n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T))
      panic("capacity overflow");
    T* fresh = static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{kAVecAlign}));
    if (len_ != 0) std::memcpy(fresh, ptr_, len_ * sizeof(T));
    release_block();
    ptr_ = fresh;
    cap_ = n;
  }

 private:
  void copy_from(const AVec& o) {
    if (o.len_ == 0) return;
    reserve_exact(o.len_);
    std::memcpy(ptr_, o.ptr_, o.len_ * sizeof(T));
    len_ = o.len_;
  }
  void release_block() noexcept {
    if (ptr_ != nullptr) ::operator delete(ptr_, std::align_val_t{kAVecAlign});
  }
  void release() noexcept {
    release_block();
    ptr_ = nullptr;
    len_ = 0;
    cap_ = 0;
  }

  T* ptr_ = nullptr;
  std::size_t len_ = 0;
  std::size_t cap_ = 0;
};

}  // namespace aerlox_rs::vpm
