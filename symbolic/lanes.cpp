#include <stdexcept>
#include <string>

#include "symbolic/internal.h"

namespace quoril::symbolic {

namespace detail {

void throw_invalid_argument(const char* message) {
  throw std::invalid_argument(message);
}
void throw_out_of_range(const char* message) {
  throw std::out_of_range(message);
}
void throw_logic_error(const char* message) { throw std::logic_error(message); }
void throw_not_valid(const char* label) {
  throw std::invalid_argument(std::string(label) +
                              " is not a valid symbolic value");
}
void throw_bad_dimension() { throw_invalid_argument(kMsgBadDimension); }
void throw_not_finite() { throw_invalid_argument(kMsgNotFinite); }
void throw_lane_index_out_of_range() { throw_out_of_range(kMsgLaneIndex); }
void throw_invalid_handle() {
  throw_logic_error("invalid symbolic value handle");
}

}  // namespace detail

namespace {

template <std::size_t N>
SmallValue from_elements(const double* elements) {
  SmallValue v;
  v.dimension = static_cast<std::int32_t>(N);
  for (std::size_t i = 0; i < N; ++i) v.lanes[i] = elements[i];
  require_finite(v);
  return v;
}

}  // namespace

SmallValue small_value(std::initializer_list<double> list) {
  // The count is checked before any element is looked at.
  if (list.size() - 1 > 3) {
    detail::throw_invalid_argument(
        "symbolic value constructor expects 1..4 lanes");
  }
  SmallValue v;
  v.dimension = static_cast<std::int32_t>(list.size());
  std::size_t i = 0;
  for (double x : list) v.lanes[i++] = x;
  require_finite(v);
  return v;
}

SmallValue small_value(double x) {
  const double e[] = {x};
  return from_elements<1>(e);
}
SmallValue small_value(double x, double y) {
  const double e[] = {x, y};
  return from_elements<2>(e);
}
SmallValue small_value(double x, double y, double z) {
  const double e[] = {x, y, z};
  return from_elements<3>(e);
}
SmallValue small_value(double x, double y, double z, double w) {
  const double e[] = {x, y, z, w};
  return from_elements<4>(e);
}
SmallValue small_value(const quoril::Vec<double, 1>& v) {
  return from_elements<1>(v.data());
}
SmallValue small_value(const quoril::Vec<double, 2>& v) {
  return from_elements<2>(v.data());
}
SmallValue small_value(const quoril::Vec<double, 3>& v) {
  return from_elements<3>(v.data());
}
SmallValue small_value(const quoril::Vec<double, 4>& v) {
  return from_elements<4>(v.data());
}

}  // namespace quoril::symbolic
