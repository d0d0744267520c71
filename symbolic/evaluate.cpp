#include <bit>
#include <cassert>
#include <limits>
#include <utility>
#include <vector>

#include "symbolic/internal.h"

namespace quoril::symbolic {

namespace {

constexpr std::uint32_t kUnplaced = std::numeric_limits<std::uint32_t>::max();

// Open-addressing map from node id to the node's position in the order. Ids
// are never 0, so 0 marks a free slot; ids are dense and sequential, so a
// multiplicative hash spreads them well.
class PositionTable {
 public:
  // Returns the position slot of `id` and whether it was just inserted (with
  // kUnplaced as its position).
  std::pair<std::uint32_t*, bool> find_or_insert(std::uint64_t id) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    std::size_t i = index_of(id);
    while (true) {
      Slot& slot = slots_[i];
      if (slot.id == id) return {&slot.position, false};
      if (slot.id == 0) {
        slot.id = id;
        slot.position = kUnplaced;
        ++size_;
        return {&slot.position, true};
      }
      i = (i + 1) & mask_;
    }
  }

  std::uint32_t* find(std::uint64_t id) {
    std::size_t i = index_of(id);
    while (slots_[i].id != id) i = (i + 1) & mask_;
    return &slots_[i].position;
  }

 private:
  struct Slot {
    std::uint64_t id = 0;
    std::uint32_t position = 0;
  };

  std::size_t index_of(std::uint64_t id) const noexcept {
    return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> shift_) &
           mask_;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t capacity = old.empty() ? 64 : old.size() * 2;
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    for (const Slot& slot : old) {
      if (slot.id == 0) continue;
      std::size_t i = index_of(slot.id);
      while (slots_[i].id != 0) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

struct Frame {
  ValueNode* node;
  std::int32_t next;
  bool tracked;
  std::uint32_t inputs[4];
};

SmallValue compute(const ValueNode& node, const std::uint32_t* inputs,
                   const std::vector<SmallValue>& values) {
  switch (node.kind) {
    case ValueKind::Constant:
    case ValueKind::Parameter:
      return node.value;
    case ValueKind::Undefined:
      detail::throw_logic_error(
          "cannot evaluate symbolic graph with Undefined values");
    case ValueKind::Expression:
      break;
  }
  switch (node.op) {
    case ExpressionOp::Pack: {
      SmallValue r;
      r.dimension = node.dimension;
      for (int i = 0; i < node.input_count; ++i) {
        const SmallValue& v = values[inputs[i]];
        if (v.dimension != 1) detail::throw_logic_error("Pack input is not scalar");
        r.lanes[static_cast<std::size_t>(i)] = v.lanes[0];
      }
      return r;
    }
    case ExpressionOp::Component: {
      const SmallValue& v = values[inputs[0]];
      const int k = node.component_index;
      if (k < 0 || k >= v.dimension) detail::throw_lane_index_out_of_range();
      SmallValue r;
      r.dimension = 1;
      r.lanes[0] = v.lanes[static_cast<std::size_t>(k)];
      require_finite(r);
      return r;
    }
    case ExpressionOp::Add:
    case ExpressionOp::Subtract:
    case ExpressionOp::Multiply:
    case ExpressionOp::Divide:
      return binary_constant(node.op, values[inputs[0]], values[inputs[1]],
                             node.dimension);
    case ExpressionOp::Negate:
    case ExpressionOp::Sin:
    case ExpressionOp::Cos:
      return unary_constant(node.op, values[inputs[0]]);
    case ExpressionOp::None:
      break;
  }
  detail::throw_logic_error("unsupported symbolic expression op");
}

}  // namespace

void build_topology(const Value& root, Topology& topology, bool evaluate) {
  require_valid(root, "backward value");
  using detail::NodeAccess;
  std::vector<Frame> stack;
  stack.reserve(64);
  PositionTable placed;
  auto& order = topology.order;
  auto& values = topology.values;

  // Only a node with more than one owner can be reached along two paths of
  // the graph: every in-graph path to it holds its own handle, all kept alive
  // by the root during the walk. Solely owned nodes therefore skip the table,
  // which long chains built from temporaries consist of.
  stack.push_back({NodeAccess::get(root), 0, false, {}});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    ValueNode* node = frame.node;
    if (frame.next < node->input_count) {
      const Value& input = node->inputs[static_cast<std::size_t>(frame.next)];
      ValueNode* child = NodeAccess::get(input);
      const bool tracked = NodeAccess::use_count(input) > 1;
      if (tracked) {
        auto [position, inserted] = placed.find_or_insert(child->id);
        if (!inserted) {
          // A DAG cannot reach a node that is still being entered.
          assert(*position != kUnplaced);
          frame.inputs[frame.next++] = *position;
          continue;
        }
      }
      stack.push_back({child, 0, tracked, {}});
      continue;
    }

    const auto position = static_cast<std::uint32_t>(order.size());
    if (evaluate) values.push_back(compute(*node, frame.inputs, values));
    order.push_back({node, {frame.inputs[0], frame.inputs[1], frame.inputs[2],
                            frame.inputs[3]}});
    if (frame.tracked) *placed.find(node->id) = position;
    stack.pop_back();
    if (!stack.empty()) {
      Frame& parent = stack.back();
      parent.inputs[parent.next++] = position;
    }
  }
}

SmallValue Value::evaluate() const {
  Topology topology;
  build_topology(*this, topology, true);
  return topology.values.back();
}

}  // namespace quoril::symbolic
