#include <string>
#include <utility>
#include <vector>

#include "symbolic/internal.h"

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
  switch (op) {
    case ExpressionOp::None: return "None";
    case ExpressionOp::Pack: return "Pack";
    case ExpressionOp::Component: return "Component";
    case ExpressionOp::Add: return "Add";
    case ExpressionOp::Subtract: return "Subtract";
    case ExpressionOp::Multiply: return "Multiply";
    case ExpressionOp::Divide: return "Divide";
    case ExpressionOp::Negate: return "Negate";
    case ExpressionOp::Sin: return "Sin";
    case ExpressionOp::Cos: return "Cos";
  }
  return "Unknown";
}

ValueNode::~ValueNode() {
  if (input_count == 0) return;
  // Releasing an input may release its inputs in turn, so a naive release
  // recurses as deep as the graph. Instead, inputs that only this node owns
  // and that have inputs of their own are moved into a local list; each is
  // stripped the same way before it dies, so its own destructor finds only
  // shared inputs or leaves and returns at once. A shallow graph never touches
  // the list, which then never allocates.
  std::vector<Value> pending;
  const auto steal_sole_inputs = [&pending](ValueNode& node) noexcept {
    try {
      for (int i = node.input_count - 1; i >= 0; --i) {
        Value& input = node.inputs[static_cast<std::size_t>(i)];
        const ValueNode* child = input.node_.get();
        if (child != nullptr && child->input_count > 0 &&
            input.node_.use_count() == 1) {
          pending.push_back(std::move(input));
        }
      }
    } catch (...) {
      // Out of memory: the inputs left in place are released recursively.
    }
  };
  steal_sole_inputs(*this);
  while (!pending.empty()) {
    Value next = std::move(pending.back());
    pending.pop_back();
    steal_sole_inputs(*next.node_);
  }
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
