#ifndef QUORIL_SYMBOLIC_VEC_H_
#define QUORIL_SYMBOLIC_VEC_H_

#include <cstddef>

namespace quoril {

// A fixed-size vector of N elements stored in order, element 0 first. It is an
// aggregate, so `Vec<double, 3>{1.0, 2.0, 3.0}` builds one; the core only reads
// its elements.
template <typename T, std::size_t N>
struct Vec {
  static_assert(N >= 1, "a Vec holds at least one element");

  T elements[N];

  static constexpr std::size_t size() noexcept { return N; }

  constexpr T& operator[](std::size_t index) noexcept {
    return elements[index];
  }
  constexpr const T& operator[](std::size_t index) const noexcept {
    return elements[index];
  }

  constexpr T* data() noexcept { return elements; }
  constexpr const T* data() const noexcept { return elements; }
};

}  // namespace quoril

#endif  // QUORIL_SYMBOLIC_VEC_H_
