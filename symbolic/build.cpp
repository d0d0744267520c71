#include <string>
#include <utility>

#include "symbolic/internal.h"
#include "symbolic/kernels.h"

namespace quoril::symbolic {

namespace {

[[noreturn]] void throw_dimension_mismatch(int left, int right) {
  throw std::invalid_argument(
      "cannot combine symbolic values with dimensions " + std::to_string(left) +
      " and " + std::to_string(right));
}

const ValueNode& node_of(const Value& v) noexcept {
  return *detail::NodeAccess::get(v);
}

// Shared by vec2, vec3 and vec4: every argument is validated before any
// shape is looked at, and only an all-Constant pack folds.
template <std::size_t N>
Value pack(std::array<Value, 4> args, const char* const (&labels)[N],
           const char* shape_message) {
  for (std::size_t i = 0; i < N; ++i) require_valid(args[i], labels[i]);
  bool all_constant = true;
  for (std::size_t i = 0; i < N; ++i) {
    const ValueNode& node = node_of(args[i]);
    if (node.dimension != 1) detail::throw_invalid_argument(shape_message);
    all_constant = all_constant && node.kind == ValueKind::Constant;
  }
  if (all_constant) {
    SmallValue folded;
    folded.dimension = static_cast<std::int32_t>(N);
    for (std::size_t i = 0; i < N; ++i) {
      folded.lanes[i] = node_of(args[i]).value.lanes[0];
    }
    return constant(folded);
  }
  return make_expression(ExpressionOp::Pack, static_cast<int>(N),
                         std::move(args), static_cast<int>(N), -1);
}

}  // namespace

SmallValue binary_lanes(ExpressionOp op, const SmallValue& lhs,
                        const SmallValue& rhs, int dimension) {
  return visit_operation(
      op,
      [&]<typename O>(O) -> SmallValue {
        if constexpr (is_lanewise_of_arity<O::kOp>(2)) {
          return binary_lanes_of<O::kOp>(lhs, rhs, dimension);
        } else {
          detail::throw_invalid_argument(
              "unsupported binary symbolic expression op");
        }
      },
      []() -> SmallValue {
        detail::throw_invalid_argument(
            "unsupported binary symbolic expression op");
      });
}

SmallValue unary_lanes(ExpressionOp op, const SmallValue& value) {
  return visit_operation(
      op,
      [&]<typename O>(O) -> SmallValue {
        if constexpr (is_lanewise_of_arity<O::kOp>(1)) {
          return unary_lanes_of<O::kOp>(value);
        } else {
          detail::throw_invalid_argument(
              "unsupported unary symbolic expression op");
        }
      },
      []() -> SmallValue {
        detail::throw_invalid_argument(
            "unsupported unary symbolic expression op");
      });
}

Value make_expression(ExpressionOp op, int dimension,
                      std::array<Value, 4> inputs, int input_count,
                      int component_index) {
  if (!dimension_in_range(dimension)) detail::throw_bad_dimension();
  if (!dimension_in_range(input_count)) {
    detail::throw_invalid_argument(
        "symbolic expression input count must be in 1..4");
  }
  for (int i = 0; i < input_count; ++i) {
    require_valid(inputs[static_cast<std::size_t>(i)], "expression input");
  }
  auto node = std::make_shared<ValueNode>();
  node->id = g_next_value_id.fetch_add(1);
  node->kind = ValueKind::Expression;
  node->op = op;
  node->dimension = dimension;
  node->inputs = std::move(inputs);
  node->input_count = input_count;
  node->component_index = component_index;
  return Value(std::move(node));
}

Value vec2(Value x, Value y) {
  static constexpr const char* kLabels[] = {"vec2 x", "vec2 y"};
  return pack<2>({std::move(x), std::move(y), {}, {}}, kLabels,
                 "vec2 expression inputs must be scalar symbolic values");
}

Value vec3(Value x, Value y, Value z) {
  static constexpr const char* kLabels[] = {"vec3 x", "vec3 y", "vec3 z"};
  return pack<3>({std::move(x), std::move(y), std::move(z), {}}, kLabels,
                 "vec3 expression inputs must be scalar symbolic values");
}

Value vec4(Value x, Value y, Value z, Value w) {
  static constexpr const char* kLabels[] = {"vec4 x", "vec4 y", "vec4 z",
                                            "vec4 w"};
  return pack<4>({std::move(x), std::move(y), std::move(z), std::move(w)},
                 kLabels,
                 "vec4 expression inputs must be scalar symbolic values");
}

Value component(Value value, int index) {
  require_valid(value, "component value");
  const ValueNode& node = node_of(value);
  if (index < 0 || index >= node.dimension) {
    detail::throw_out_of_range("symbolic component index out of range");
  }
  // Looking through scalars, Constants and packs keeps the graph from
  // growing: none of them needs a Component node.
  if (node.dimension == 1) return value;
  if (node.kind == ValueKind::Constant) {
    return constant(node.value.lanes[static_cast<std::size_t>(index)]);
  }
  if (node.kind == ValueKind::Expression && node.op == ExpressionOp::Pack) {
    // Through the checked accessor: a Pack made by hand with make_expression
    // may have fewer inputs than lanes.
    return value.input(index);
  }
  return make_expression(ExpressionOp::Component, 1,
                         {std::move(value), {}, {}, {}}, 1, index);
}

Value binary_expression(ExpressionOp op, Value left, Value right) {
  require_valid(left, "left operand");
  require_valid(right, "right operand");
  const ValueNode& l = node_of(left);
  const ValueNode& r = node_of(right);
  int dimension = l.dimension;
  if (l.dimension != r.dimension) {
    if (l.dimension == 1) {
      dimension = r.dimension;
    } else if (r.dimension != 1) {
      throw_dimension_mismatch(l.dimension, r.dimension);
    }
  }
  if (l.kind == ValueKind::Constant && r.kind == ValueKind::Constant) {
    return constant(binary_lanes(op, l.value, r.value, dimension));
  }
  return make_expression(op, dimension,
                         {std::move(left), std::move(right), {}, {}}, 2, -1);
}

Value unary_expression(ExpressionOp op, Value operand) {
  require_valid(operand, "unary operand");
  const ValueNode& node = node_of(operand);
  if (node.kind == ValueKind::Constant) {
    return constant(unary_lanes(op, node.value));
  }
  const int dimension = node.dimension;
  return make_expression(op, dimension, {std::move(operand), {}, {}, {}}, 1,
                         -1);
}

Value operator+(Value a, Value b) {
  return binary_expression(ExpressionOp::Add, std::move(a), std::move(b));
}
Value operator-(Value a, Value b) {
  return binary_expression(ExpressionOp::Subtract, std::move(a), std::move(b));
}
Value operator*(Value a, Value b) {
  return binary_expression(ExpressionOp::Multiply, std::move(a), std::move(b));
}
Value operator/(Value a, Value b) {
  return binary_expression(ExpressionOp::Divide, std::move(a), std::move(b));
}

// The number's Constant is made first, on the number's side, so a NaN number
// is reported before the other operand is looked at.
Value operator+(Value a, double s) {
  Value c = constant(s);
  return binary_expression(ExpressionOp::Add, std::move(a), std::move(c));
}
Value operator+(double s, Value a) {
  Value c = constant(s);
  return binary_expression(ExpressionOp::Add, std::move(c), std::move(a));
}
Value operator-(Value a, double s) {
  Value c = constant(s);
  return binary_expression(ExpressionOp::Subtract, std::move(a), std::move(c));
}
Value operator-(double s, Value a) {
  Value c = constant(s);
  return binary_expression(ExpressionOp::Subtract, std::move(c), std::move(a));
}
Value operator*(Value a, double s) {
  Value c = constant(s);
  return binary_expression(ExpressionOp::Multiply, std::move(a), std::move(c));
}
Value operator*(double s, Value a) {
  Value c = constant(s);
  return binary_expression(ExpressionOp::Multiply, std::move(c), std::move(a));
}
Value operator/(Value a, double s) {
  Value c = constant(s);
  return binary_expression(ExpressionOp::Divide, std::move(a), std::move(c));
}
Value operator/(double s, Value a) {
  Value c = constant(s);
  return binary_expression(ExpressionOp::Divide, std::move(c), std::move(a));
}

Value operator-(Value a) {
  return unary_expression(ExpressionOp::Negate, std::move(a));
}
Value sin(Value a) { return unary_expression(ExpressionOp::Sin, std::move(a)); }
Value cos(Value a) { return unary_expression(ExpressionOp::Cos, std::move(a)); }
Value exp(Value a) { return unary_expression(ExpressionOp::Exp, std::move(a)); }
Value log(Value a) { return unary_expression(ExpressionOp::Log, std::move(a)); }
Value sqrt(Value a) {
  return unary_expression(ExpressionOp::Sqrt, std::move(a));
}
Value tanh(Value a) {
  return unary_expression(ExpressionOp::Tanh, std::move(a));
}
Value abs(Value a) { return unary_expression(ExpressionOp::Abs, std::move(a)); }
Value sinc_sqrt(Value s) {
  return unary_expression(ExpressionOp::SincSqrt, std::move(s));
}
Value atanc_sqrt(Value u) {
  return unary_expression(ExpressionOp::AtancSqrt, std::move(u));
}

Value pow(Value base, Value exponent) {
  return binary_expression(ExpressionOp::Pow, std::move(base),
                           std::move(exponent));
}
Value pow(Value base, double exponent) {
  Value c = constant(exponent);
  return binary_expression(ExpressionOp::Pow, std::move(base), std::move(c));
}
Value pow(double base, Value exponent) {
  Value c = constant(base);
  return binary_expression(ExpressionOp::Pow, std::move(c),
                           std::move(exponent));
}
Value atan2(Value y, Value x) {
  return binary_expression(ExpressionOp::Atan2, std::move(y), std::move(x));
}
Value atan2(Value y, double x) {
  Value c = constant(x);
  return binary_expression(ExpressionOp::Atan2, std::move(y), std::move(c));
}
Value atan2(double y, Value x) {
  Value c = constant(y);
  return binary_expression(ExpressionOp::Atan2, std::move(c), std::move(x));
}

}  // namespace quoril::symbolic
