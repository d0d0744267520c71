#include <string>
#include <utility>
#include <vector>

#include "symbolic/internal.h"
#include "symbolic/operations.h"

namespace quoril::symbolic {

std::atomic<std::uint64_t> g_next_value_id{1};

const char* to_string(ValueKind kind) noexcept {
  switch (kind) {
    case ValueKind::Constant: return "Constant";
    case ValueKind::Parameter: return "Parameter";
    case ValueKind::Undefined: return "Undefined";
    case ValueKind::Expression: return "Expression";
  }
  return "Unknown";
}

const char* to_string(ExpressionOp op) noexcept {
  if (op == ExpressionOp::None) return "None";
  return visit_operation(
      op, []<typename O>(O) { return O::kText; }, [] { return "Unknown"; });
}

namespace {

// The release list of the outermost node destructor running on this thread.
// A plain pointer, so it has no destructor of its own to order against
// handles that die at thread or process exit.
thread_local std::vector<Value>* t_release_list = nullptr;

// Empties the four slots of a dying node without letting a release recurse
// into a node that has inputs of its own: such an input is moved onto the
// release list when this node holds its last reference, and otherwise only
// loses one owner. A node that uses one input in two slots (x * x) holds
// two references to it; the first is dropped here, the second is then the
// last and goes onto the list.
void strip_inputs(std::array<Value, 4>& inputs,
                  std::vector<Value>& list) noexcept {
  for (std::size_t i = inputs.size(); i-- > 0;) {
    Value& input = inputs[i];
    const ValueNode* child = detail::NodeAccess::get(input);
    if (child == nullptr || child->input_count == 0) continue;
    if (detail::NodeAccess::use_count(input) > 1) {
      // Another owner may let go at the same moment on another thread, so
      // this can still be the last reference; the destructor it then runs
      // finds the list set and only strips.
      input = Value();
      continue;
    }
    try {
      list.push_back(std::move(input));
    } catch (...) {
      // Out of memory: the input is released where it is, recursively.
    }
  }
}

}  // namespace

ValueNode::~ValueNode() {
  if (input_count == 0) return;
  if (t_release_list != nullptr) {
    // A release further up this thread's stack drains the list.
    strip_inputs(inputs, *t_release_list);
    return;
  }
  // A shallow graph never pushes onto the list, which then never allocates.
  std::vector<Value> list;
  t_release_list = &list;
  strip_inputs(inputs, list);
  std::size_t released = 0;
  while (!list.empty()) {
    // Dropping the popped handle destroys its node, which strips itself
    // onto the list instead of recursing.
    Value next = std::move(list.back());
    list.pop_back();
    ++released;
  }
  t_release_list = nullptr;
  if (released >= kLargeGraphNodes) release_large_walk_buffers();
}

std::shared_ptr<ValueNode> make_node(ValueKind kind, int dimension,
                                     SmallValue value,
                                     std::optional<SmallValue> hint,
                                     std::string name) {
  if (!dimension_in_range(dimension)) detail::throw_bad_dimension();
  if (value.dimension != 0) require_finite(value);
  if (hint) {
    require_finite(*hint);
    if (hint->dimension != dimension) {
      detail::throw_invalid_argument("symbolic hint dimension mismatch");
    }
  }
  return new_leaf(kind, dimension, value, hint, std::move(name));
}

std::shared_ptr<ValueNode> new_leaf(ValueKind kind, int dimension,
                                    const SmallValue& value,
                                    const std::optional<SmallValue>& hint,
                                    std::string name) {
  auto node = std::make_shared<ValueNode>();
  // The id is drawn only after the allocation succeeded, so a failed call
  // consumes none.
  node->id = g_next_value_id.fetch_add(1);
  node->kind = kind;
  node->dimension = dimension;
  node->value = value;
  node->hint = hint;
  node->name = std::move(name);
  return node;
}

std::uint64_t Value::id() const { return node().id; }
ValueKind Value::kind() const { return node().kind; }
ExpressionOp Value::op() const { return node().op; }
int Value::dimension() const { return node().dimension; }
int Value::component_index() const { return node().component_index; }
const std::string& Value::name() const { return node().name; }
bool Value::is_constant() const { return kind() == ValueKind::Constant; }
bool Value::is_parameter() const { return kind() == ValueKind::Parameter; }
bool Value::is_undefined() const { return kind() == ValueKind::Undefined; }
bool Value::is_expression() const { return kind() == ValueKind::Expression; }
bool Value::is_leaf() const noexcept {
  return node_ != nullptr && node_->kind != ValueKind::Expression;
}

SmallValue Value::value() const {
  const ValueNode& n = node();
  if (n.kind != ValueKind::Constant && n.kind != ValueKind::Parameter) {
    detail::throw_logic_error("symbolic value has no direct numeric value");
  }
  return n.value;
}

bool Value::has_hint() const { return node().hint.has_value(); }

SmallValue Value::hint() const {
  const ValueNode& n = node();
  if (!n.hint) detail::throw_logic_error("symbolic value has no hint");
  return *n.hint;
}

bool Value::has_grad() const { return node().grad.has_value(); }

SmallValue Value::grad() const {
  const ValueNode& n = node();
  if (!n.grad) detail::throw_logic_error("symbolic value has no gradient");
  return *n.grad;
}

int Value::input_count() const { return node().input_count; }

const Value& Value::input(int index) const {
  const ValueNode& n = node();
  if (index < 0 || index >= n.input_count) {
    detail::throw_out_of_range("symbolic expression input index out of range");
  }
  return n.inputs[static_cast<std::size_t>(index)];
}

void Value::set_value(SmallValue v) const {
  // Unlike every other member, the argument is checked before the handle.
  require_finite(v);
  ValueNode& n = mutable_node();
  if (n.kind != ValueKind::Parameter) {
    detail::throw_logic_error("set_value() is only valid for Parameter values");
  }
  if (v.dimension != n.dimension) {
    detail::throw_invalid_argument(
        "set_value() dimension does not match Parameter dimension");
  }
  n.value = v;
}

std::string Value::debug_string() const {
  const ValueNode& n = node();
  std::string text = to_string(n.kind);
  text += '<';
  text += std::to_string(n.dimension);
  text += ">#";
  text += std::to_string(n.id);
  if (!n.name.empty()) {
    text += '(';
    text += n.name;
    text += ')';
  }
  if (n.kind == ValueKind::Expression) {
    text += " op=";
    text += to_string(n.op);
  }
  return text;
}

}  // namespace quoril::symbolic
