#ifndef QUORIL_SYMBOLIC_CHECKS_H_
#define QUORIL_SYMBOLIC_CHECKS_H_

// Private to the core: the checks that calls make of handles and records
// before anything else, the out-of-line throws behind them with the fixed
// messages they share, and lane access to a record.

#include <cmath>
#include <cstddef>
#include <limits>

#include "symbolic/value.h"

namespace quoril::symbolic {

namespace detail {

struct NodeAccess {
  static ValueNode* get(const Value& v) noexcept { return v.node_.get(); }
  static long use_count(const Value& v) noexcept { return v.node_.use_count(); }
};

[[noreturn]] void throw_invalid_argument(const char* message);
[[noreturn]] void throw_out_of_range(const char* message);
[[noreturn]] void throw_logic_error(const char* message);
[[noreturn]] void throw_not_valid(const char* label);
[[noreturn]] void throw_bad_dimension();
[[noreturn]] void throw_not_finite();

}  // namespace detail

inline constexpr char kMsgBadDimension[] =
    "symbolic value dimension must be in 1..4";
inline constexpr char kMsgNotFinite[] = "symbolic value lanes must be finite";
inline constexpr char kMsgLaneIndex[] =
    "symbolic value lane index out of range";

inline bool dimension_in_range(int dimension) noexcept {
  return static_cast<unsigned>(dimension) - 1u <= 3u;
}

// Whether one lane is finite: `!(|x| <= max)` is also true for NaN, so one
// comparison rejects NaN and both infinities.
inline bool finite_lane(double x) noexcept {
  return std::fabs(x) <= std::numeric_limits<double>::max();
}

// Returns whether the lanes in use are finite; throws std::invalid_argument
// for a dimension outside 1..4.
inline bool finite_lanes(const SmallValue& v) {
  if (!dimension_in_range(v.dimension)) detail::throw_bad_dimension();
  for (int i = 0; i < v.dimension; ++i) {
    if (!finite_lane(v.lanes[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

// Accepts a record whose dimension is 1..4 and whose lanes in use are finite.
inline void require_finite(const SmallValue& v) {
  if (!finite_lanes(v)) detail::throw_not_finite();
}

inline void require_valid(const Value& value, const char* label) {
  if (detail::NodeAccess::get(value) == nullptr) detail::throw_not_valid(label);
}

inline double lane(const SmallValue& v, int i) noexcept {
  return v.lanes[static_cast<std::size_t>(i)];
}
inline double& lane(SmallValue& v, int i) noexcept {
  return v.lanes[static_cast<std::size_t>(i)];
}

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_CHECKS_H_
