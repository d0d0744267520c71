#ifndef QUORIL_SYMBOLIC_VALUE_H_
#define QUORIL_SYMBOLIC_VALUE_H_

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "symbolic/vec.h"

namespace quoril::symbolic {

namespace detail {
[[noreturn]] void throw_lane_index_out_of_range();
[[noreturn]] void throw_invalid_handle();
struct NodeAccess;
}  // namespace detail

// A short vector of one to four double lanes and the number of lanes in use.
// Lanes at and beyond `dimension` hold +0.0; the zero-initialised record
// (dimension 0) is the empty record of nodes without a value of their own.
struct SmallValue {
  std::int32_t dimension = 0;
  std::array<double, 4> lanes{};

  // Returns lane `index`; throws std::out_of_range unless 0 <= index <
  // dimension.
  double operator[](int index) const {
    // A hand-made record may claim more lanes than it stores.
    if (index < 0 || index >= dimension || index >= 4) {
      detail::throw_lane_index_out_of_range();
    }
    return lanes[static_cast<std::size_t>(index)];
  }
};

// Builds a record from 1..4 numbers; throws std::invalid_argument for any
// other count or for a NaN or infinite lane.
SmallValue small_value(std::initializer_list<double> list);
// Build a record of the given arity; throw std::invalid_argument for a NaN or
// infinite lane.
SmallValue small_value(double x);
SmallValue small_value(double x, double y);
SmallValue small_value(double x, double y, double z);
SmallValue small_value(double x, double y, double z, double w);
SmallValue small_value(const quoril::Vec<double, 1>& v);
SmallValue small_value(const quoril::Vec<double, 2>& v);
SmallValue small_value(const quoril::Vec<double, 3>& v);
SmallValue small_value(const quoril::Vec<double, 4>& v);

enum class ValueKind : std::uint8_t {
  Constant = 0,
  Parameter = 1,
  Undefined = 2,
  Expression = 3,
};

enum class ExpressionOp : std::uint8_t {
  None = 0,
  Pack = 1,
  Component = 2,
  Add = 3,
  Subtract = 4,
  Multiply = 5,
  Divide = 6,
  Negate = 7,
  Sin = 8,
  Cos = 9,
  Exp = 10,
  Log = 11,
  Sqrt = 12,
  Tanh = 13,
  Abs = 14,
  Pow = 15,
  Atan2 = 16,
  SincSqrt = 17,
  AtancSqrt = 18,
};

// Return the fixed text of an enumerator, "Unknown" for any other value.
const char* to_string(ValueKind kind) noexcept;
const char* to_string(ExpressionOp op) noexcept;

struct ValueNode;

// A shared handle to one graph node; a default-constructed handle is empty.
// Copying shares the node, which lives as long as any handle refers to it.
class Value {
 public:
  Value() noexcept = default;
  // Takes ownership of `node` (which may be null, giving an empty handle).
  Value(std::shared_ptr<ValueNode>
            node) noexcept  // NOLINT(google-explicit-constructor)
      : node_(std::move(node)) {}

  // Returns the node; throws std::logic_error on an empty handle.
  const ValueNode& node() const {
    if (!node_) detail::throw_invalid_handle();
    return *node_;
  }
  // Returns write access to the node, even through a const handle; throws
  // std::logic_error on an empty handle.
  ValueNode& mutable_node() const {
    if (!node_) detail::throw_invalid_handle();
    return *node_;
  }

  // The accessors below throw std::logic_error on an empty handle.
  std::uint64_t id() const;
  ValueKind kind() const;
  ExpressionOp op() const;
  int dimension() const;
  int component_index() const;
  const std::string& name() const;
  bool is_constant() const;
  bool is_parameter() const;
  bool is_undefined() const;
  bool is_expression() const;
  // Returns false for an empty handle, else whether the node is not an
  // Expression; never throws.
  bool is_leaf() const noexcept;

  // Returns the lanes of a Constant or Parameter; throws std::logic_error for
  // Undefined and Expression nodes.
  SmallValue value() const;
  bool has_hint() const;
  // Returns the hint of an Undefined node; throws std::logic_error if absent.
  SmallValue hint() const;
  bool has_grad() const;
  // Returns the accumulated gradient; throws std::logic_error if absent.
  SmallValue grad() const;
  int input_count() const;
  // Returns input slot `index`; throws std::out_of_range unless
  // 0 <= index < input_count().
  const Value& input(int index) const;
  // Returns whether both handles refer to the same node (two empty handles
  // do); never throws.
  bool same_node(const Value& other) const noexcept {
    return node_ == other.node_;
  }

  // Replaces a Parameter's lanes. The record is checked before the handle:
  // std::invalid_argument for a bad dimension or lane, std::logic_error for an
  // empty handle or a node that is not a Parameter, std::invalid_argument for
  // a dimension other than the Parameter's.
  void set_value(SmallValue v) const;

  // Returns a one-line description such as "Parameter<2>#7(p)" or
  // "Expression<2>#12 op=Add".
  std::string debug_string() const;

  // Evaluates every node reachable from this one and returns this node's
  // lanes; throws std::logic_error if an Undefined is reachable and
  // std::invalid_argument at the first non-finite intermediate result.
  SmallValue evaluate() const;

  // Runs one reverse pass seeded with `seed` (of this node's dimension) and
  // adds the derivatives into the grad of every reachable Parameter. Every
  // error is raised before any gradient changes.
  void backward(SmallValue seed) const;
  // Runs backward(1.0); throws std::invalid_argument unless this node has one
  // lane.
  void backward() const;
  // Removes the grad of every Parameter reachable from this node; evaluates
  // nothing, so it succeeds on graphs that cannot be evaluated.
  void zero_grad() const;

 private:
  friend struct ValueNode;
  friend struct detail::NodeAccess;

  std::shared_ptr<ValueNode> node_;
};

// One node of the value graph. Nodes are created whole by make_node and
// make_expression and are always owned through std::shared_ptr.
struct ValueNode {
  // What a graph walk reads of every node comes first, so that with the
  // shared-pointer counts just before it a node with up to two inputs is
  // read from one cache line when it starts on one. The rest is read only
  // at leaves, Parameters and by accessors.
  ValueKind kind = ValueKind::Constant;
  ExpressionOp op = ExpressionOp::None;
  std::int32_t dimension = 0;
  std::int32_t input_count = 0;
  std::int32_t component_index = -1;
  std::array<Value, 4> inputs;
  std::uint64_t id = 0;
  SmallValue value{};
  std::optional<SmallValue> grad;
  std::optional<SmallValue> hint;
  std::string name;

  ValueNode() = default;
  ValueNode(const ValueNode&) = delete;
  ValueNode& operator=(const ValueNode&) = delete;
  // Releases the inputs without recursing into them, so a graph of any depth
  // is released in constant stack space.
  ~ValueNode();
};

// Creates a leaf node with the next id. Throws std::invalid_argument for a
// dimension outside 1..4, a non-finite value or hint (a value of dimension 0
// is the empty record and is not checked), or a hint of another dimension.
std::shared_ptr<ValueNode> make_node(ValueKind kind, int dimension,
                                     SmallValue value,
                                     std::optional<SmallValue> hint,
                                     std::string name);

// Return a new Constant leaf; throw std::invalid_argument for a bad
// dimension, a lane count outside 1..4 or a non-finite lane.
Value constant(SmallValue v);
Value constant(std::initializer_list<double> list);
Value constant(double x);
Value constant(double x, double y);
Value constant(double x, double y, double z);
Value constant(double x, double y, double z, double w);
Value constant(const quoril::Vec<double, 1>& v);
Value constant(const quoril::Vec<double, 2>& v);
Value constant(const quoril::Vec<double, 3>& v);
Value constant(const quoril::Vec<double, 4>& v);

// Return a new Parameter leaf named `name`; throw as constant() does.
Value parameter(SmallValue v, std::string name);
Value parameter(std::initializer_list<double> list, std::string name);
Value parameter(double x, std::string name);
Value parameter(double x, double y, std::string name);
Value parameter(double x, double y, double z, std::string name);
Value parameter(double x, double y, double z, double w, std::string name);
Value parameter(const quoril::Vec<double, 1>& v, std::string name);
Value parameter(const quoril::Vec<double, 2>& v, std::string name);
Value parameter(const quoril::Vec<double, 3>& v, std::string name);
Value parameter(const quoril::Vec<double, 4>& v, std::string name);

// Returns a new Undefined leaf without a hint; throws std::invalid_argument
// for a dimension outside 1..4.
Value undefined(int dimension, std::string name);

// Return a new Undefined leaf carrying `hint`, whose dimension it takes;
// throw as constant() does.
Value undefined_with_hint(SmallValue hint, std::string name);
Value undefined_with_hint(std::initializer_list<double> list, std::string name);
Value undefined_with_hint(double x, std::string name);
Value undefined_with_hint(double x, double y, std::string name);
Value undefined_with_hint(double x, double y, double z, std::string name);
Value undefined_with_hint(double x, double y, double z, double w,
                          std::string name);
Value undefined_with_hint(const quoril::Vec<double, 1>& v, std::string name);
Value undefined_with_hint(const quoril::Vec<double, 2>& v, std::string name);
Value undefined_with_hint(const quoril::Vec<double, 3>& v, std::string name);
Value undefined_with_hint(const quoril::Vec<double, 4>& v, std::string name);

// Creates an Expression node with the next id, moving the handles of `inputs`
// into it. Throws std::invalid_argument for a dimension or input count
// outside 1..4, or an empty handle among the first `input_count` slots; it
// checks nothing about the operation itself.
Value make_expression(ExpressionOp op, int dimension,
                      std::array<Value, 4> inputs, int input_count,
                      int component_index);

// Pack one-lane values into a vector, or fold them into a Constant when all
// are Constants. Throw std::invalid_argument for an empty handle (all are
// checked first) or an argument with more than one lane.
Value vec2(Value x, Value y);
Value vec3(Value x, Value y, Value z);
Value vec4(Value x, Value y, Value z, Value w);

// Returns lane `index` of `value`: `value` itself when it has one lane, the
// packed input of a Pack node, a new Constant for a Constant, else a new
// Component node. Throws std::invalid_argument for an empty handle and
// std::out_of_range for an index outside 0..dimension-1.
Value component(Value value, int index);

// Arithmetic with scalar-to-vector broadcasting. Two Constants fold into a new
// Constant; anything else makes one node with the operands in source order.
// Throw std::invalid_argument for an empty operand, dimensions that do not
// broadcast, or a non-finite folded lane.
Value operator+(Value a, Value b);
Value operator-(Value a, Value b);
Value operator*(Value a, Value b);
Value operator/(Value a, Value b);
// The number becomes a one-lane Constant on its own side, created before the
// other operand is validated.
Value operator+(Value a, double s);
Value operator+(double s, Value a);
Value operator-(Value a, double s);
Value operator-(double s, Value a);
Value operator*(Value a, double s);
Value operator*(double s, Value a);
Value operator/(Value a, double s);
Value operator/(double s, Value a);
// Elementwise negation, sine and cosine; a Constant operand folds. Throw
// std::invalid_argument for an empty operand.
Value operator-(Value a);
Value sin(Value a);
Value cos(Value a);
// Elementwise e^a, natural logarithm, square root, hyperbolic tangent and
// absolute value; a Constant operand folds. Throw std::invalid_argument for
// an empty operand or, when folding, a non-finite lane (log 0, sqrt -1).
Value exp(Value a);
Value log(Value a);
Value sqrt(Value a);
Value tanh(Value a);
Value abs(Value a);
// Elementwise base^exponent and the angle of the point (x, y), broadcasting
// as the arithmetic operators do; two Constants fold. A number becomes a
// one-lane Constant on its own side, created before the other operand is
// validated.
Value pow(Value base, Value exponent);
Value pow(Value base, double exponent);
Value pow(double base, Value exponent);
Value atan2(Value y, Value x);
Value atan2(Value y, double x);
Value atan2(double y, Value x);
// Elementwise sin(sqrt(s)) / sqrt(s) and atan(sqrt(u)) / sqrt(u), the entire
// functions of a squared angle that rotations are written with, exact and
// smooth at 0 and continued below it (sinh, atanh); atanc_sqrt is finite for
// u > -1. A Constant operand folds.
Value sinc_sqrt(Value s);
Value atanc_sqrt(Value u);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_VALUE_H_
