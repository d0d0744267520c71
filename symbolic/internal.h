#ifndef QUORIL_SYMBOLIC_INTERNAL_H_
#define QUORIL_SYMBOLIC_INTERNAL_H_

// Private to the core: checks, numeric kernels and graph walks shared by the
// builders, evaluation and the reverse pass.

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "symbolic/value.h"

namespace quoril::symbolic {

namespace detail {

struct NodeAccess {
  static ValueNode* get(const Value& v) noexcept { return v.node_.get(); }
  static long use_count(const Value& v) noexcept { return v.node_.use_count(); }
  static std::shared_ptr<ValueNode>& pointer(Value& v) noexcept {
    return v.node_;
  }
};

[[noreturn]] void throw_invalid_argument(const char* message);
[[noreturn]] void throw_out_of_range(const char* message);
[[noreturn]] void throw_logic_error(const char* message);
[[noreturn]] void throw_not_valid(const char* label);
[[noreturn]] void throw_bad_dimension();
[[noreturn]] void throw_not_finite();

}  // namespace detail

// The process-wide node id counter; one fetch-and-add per created node.
extern std::atomic<std::uint64_t> g_next_value_id;

inline constexpr char kMsgBadDimension[] =
    "symbolic value dimension must be in 1..4";
inline constexpr char kMsgNotFinite[] = "symbolic value lanes must be finite";
inline constexpr char kMsgLaneIndex[] = "symbolic value lane index out of range";

inline bool dimension_in_range(int dimension) noexcept {
  return static_cast<unsigned>(dimension) - 1u <= 3u;
}

// Accepts a record whose dimension is 1..4 and whose lanes in use are finite.
// `!(|x| <= max)` is also true for NaN, so one comparison rejects NaN and
// both infinities.
inline void require_finite(const SmallValue& v) {
  if (!dimension_in_range(v.dimension)) detail::throw_bad_dimension();
  constexpr double kMax = std::numeric_limits<double>::max();
  for (int i = 0; i < v.dimension; ++i) {
    if (!(std::fabs(v.lanes[static_cast<std::size_t>(i)]) <= kMax)) {
      detail::throw_not_finite();
    }
  }
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

// The single definition of what the arithmetic operations do to numbers,
// shared by folding and evaluation so both agree to the last bit. A one-lane
// operand stands for the same number in every lane.
inline SmallValue binary_constant(ExpressionOp op, const SmallValue& lhs,
                                  const SmallValue& rhs, int dimension) {
  SmallValue result;
  result.dimension = dimension;
  if (dimension >= 1) {
    const int n = dimension < 4 ? dimension : 4;
    const int ls = lhs.dimension == 1 ? 0 : 1;
    const int rs = rhs.dimension == 1 ? 0 : 1;
    switch (op) {
      case ExpressionOp::Add:
        for (int i = 0; i < n; ++i) lane(result, i) = lane(lhs, i * ls) + lane(rhs, i * rs);
        break;
      case ExpressionOp::Subtract:
        for (int i = 0; i < n; ++i) lane(result, i) = lane(lhs, i * ls) - lane(rhs, i * rs);
        break;
      case ExpressionOp::Multiply:
        for (int i = 0; i < n; ++i) lane(result, i) = lane(lhs, i * ls) * lane(rhs, i * rs);
        break;
      case ExpressionOp::Divide:
        for (int i = 0; i < n; ++i) lane(result, i) = lane(lhs, i * ls) / lane(rhs, i * rs);
        break;
      default:
        detail::throw_invalid_argument("unsupported binary symbolic expression op");
    }
  }
  require_finite(result);
  return result;
}

inline SmallValue unary_constant(ExpressionOp op, const SmallValue& value) {
  SmallValue result;
  result.dimension = value.dimension;
  if (value.dimension >= 1) {
    const int n = value.dimension < 4 ? value.dimension : 4;
    switch (op) {
      case ExpressionOp::Negate:
        for (int i = 0; i < n; ++i) lane(result, i) = -lane(value, i);
        break;
      case ExpressionOp::Sin:
        for (int i = 0; i < n; ++i) lane(result, i) = std::sin(lane(value, i));
        break;
      case ExpressionOp::Cos:
        for (int i = 0; i < n; ++i) lane(result, i) = std::cos(lane(value, i));
        break;
      default:
        detail::throw_invalid_argument("unsupported unary symbolic expression op");
    }
  }
  require_finite(result);
  return result;
}

// Creates a leaf from arguments the caller has already checked.
std::shared_ptr<ValueNode> new_leaf(ValueKind kind, int dimension,
                                    const SmallValue& value,
                                    const std::optional<SmallValue>& hint,
                                    std::string name);

Value binary_expression(ExpressionOp op, Value left, Value right);
Value unary_expression(ExpressionOp op, Value operand);

// The evaluation order of one graph: every reachable node once, each after
// its inputs, the root last. Raw node pointers are enough because the root
// handle keeps the whole graph alive for the duration of a call.
struct Topology {
  struct Entry {
    ValueNode* node;
    // Positions of the node's inputs in `order`.
    std::uint32_t inputs[4];
  };
  std::vector<Entry> order;
  // Forward value of order[i]; empty unless the walk evaluated.
  std::vector<SmallValue> values;
};

// Orders the graph under `root` depth first (inputs in index order, each node
// appended after its inputs). With `evaluate` set, each node's value is
// computed as it is appended, which is exactly evaluation in order, so the
// first failing node in the order is the one reported. Throws
// std::invalid_argument for an empty root.
void build_topology(const Value& root, Topology& topology, bool evaluate);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_INTERNAL_H_
