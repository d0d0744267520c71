#include <bit>
#include <cassert>
#include <utility>
#include <vector>

#include "symbolic/internal.h"

namespace quoril::symbolic {

void PositionTable::begin_walk() noexcept {
  size_ = 0;
  if (++walk_ == 0) {
    // After 2^32 walks stale slots could look current again.
    for (Slot& slot : slots_) slot.walk = 0;
    walk_ = 1;
  }
}

std::pair<std::uint32_t*, bool> PositionTable::find_or_insert(
    std::uint64_t id) {
  if ((size_ + 1) * 2 > slots_.size()) grow();
  std::size_t i = index_of(id);
  while (true) {
    Slot& slot = slots_[i];
    if (slot.walk != walk_) {
      slot = {id, kUnplaced, walk_};
      ++size_;
      return {&slot.position, true};
    }
    if (slot.id == id) return {&slot.position, false};
    i = (i + 1) & mask_;
  }
}

std::uint32_t* PositionTable::find(std::uint64_t id) noexcept {
  std::size_t i = index_of(id);
  while (slots_[i].walk != walk_ || slots_[i].id != id) i = (i + 1) & mask_;
  return &slots_[i].position;
}

void PositionTable::grow() {
  std::vector<Slot> old = std::move(slots_);
  const std::size_t capacity = old.empty() ? 64 : old.size() * 2;
  slots_.assign(capacity, Slot{0, 0, 0});
  mask_ = capacity - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  const std::uint32_t current = walk_;
  if (walk_ == 0) walk_ = 1;
  for (const Slot& slot : old) {
    if (slot.walk != current) continue;
    std::size_t i = index_of(slot.id);
    while (slots_[i].walk == walk_) i = (i + 1) & mask_;
    slots_[i] = {slot.id, slot.position, walk_};
  }
}

void PositionTable::release() noexcept {
  std::vector<Slot>().swap(slots_);
  size_ = 0;
  mask_ = 0;
  shift_ = 63;
}

namespace {

// Buffers above this many entries are given back after the call instead of
// being kept for the next one.
constexpr std::size_t kRetainedEntries = std::size_t{1} << 18;

thread_local Topology t_topology;
thread_local bool t_topology_in_use = false;

template <typename T>
void reset(std::vector<T>& buffer) noexcept {
  if (buffer.capacity() > kRetainedEntries) {
    std::vector<T>().swap(buffer);
  } else {
    buffer.clear();
  }
}

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

TopologyLease::TopologyLease() : topology_(&t_topology) {
  if (t_topology_in_use) {
    owned_ = std::make_unique<Topology>();
    topology_ = owned_.get();
  } else {
    t_topology_in_use = true;
  }
}

TopologyLease::~TopologyLease() {
  if (owned_) return;
  Topology& t = *topology_;
  reset(t.order);
  reset(t.values);
  reset(t.adjoints);
  reset(t.stack);
  if (t.placed.capacity() > kRetainedEntries) t.placed.release();
  t_topology_in_use = false;
}

void build_topology(const Value& root, Topology& topology, Walk walk) {
  require_valid(root, "backward value");
  using detail::NodeAccess;
  using Frame = Topology::Frame;
  const bool evaluate = walk != Walk::OrderOnly;
  const bool keep_order = walk != Walk::Evaluate;
  auto& stack = topology.stack;
  auto& order = topology.order;
  auto& values = topology.values;
  PositionTable& placed = topology.placed;
  placed.begin_walk();
  std::uint32_t count = 0;

  // Only a node with more than one owner can be reached along two paths of
  // the graph: every in-graph path to it holds its own handle, all kept alive
  // by the root during the walk. Solely owned nodes therefore skip the table,
  // and long chains built from temporaries consist of them.
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
          assert(*position != PositionTable::kUnplaced);
          frame.inputs[frame.next++] = *position;
          continue;
        }
      }
      stack.push_back({child, 0, tracked, {}});
      continue;
    }

    const std::uint32_t position = count++;
    if (evaluate) values.push_back(compute(*node, frame.inputs, values));
    if (keep_order) {
      order.push_back({node, {frame.inputs[0], frame.inputs[1],
                              frame.inputs[2], frame.inputs[3]}});
    }
    if (frame.tracked) *placed.find(node->id) = position;
    stack.pop_back();
    if (!stack.empty()) {
      Frame& parent = stack.back();
      parent.inputs[parent.next++] = position;
    }
  }
}

SmallValue Value::evaluate() const {
  TopologyLease lease;
  Topology& topology = lease.get();
  build_topology(*this, topology, Walk::Evaluate);
  return topology.values.back();
}

}  // namespace quoril::symbolic
