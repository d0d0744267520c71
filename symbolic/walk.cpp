#include "symbolic/walk.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The kernels in full, so that the walk computes each node with them inline.
#include "symbolic/internal.h"
#include "symbolic/kernels.h"

// The general evaluation of one node, for what the one-lane shortcuts leave.
// It sits beside the walk, its hot caller: in a file of its own, the call
// from the walk made 3-lane graphs 20-45% slower to evaluate.
namespace quoril::symbolic {

namespace {

SmallValue leaf_value(const ValueNode& node) {
  if (node.kind == ValueKind::Undefined) {
    detail::throw_logic_error(
        "cannot evaluate symbolic graph with Undefined values");
  }
  // A leaf filled in by hand may claim more lanes than a record holds, in
  // the node (the reverse pass sizes the leaf's gradient by that claim) or
  // in its record (a Component would read past the lanes). The empty record
  // of a hand-made leaf stays what it was: a value of no lanes.
  if (!dimension_in_range(node.dimension) ||
      static_cast<unsigned>(node.value.dimension) > 4u) {
    detail::throw_bad_dimension();
  }
  return node.value;
}

// A node built directly with make_expression may have fewer inputs than its
// operation reads; the unset positions would silently alias another node.
// Checked per case of the dispatch, so the count needed is a constant.
template <int arity>
void require_operands(const Topology::Entry& entry) {
  if (entry.input_count < std::max(arity, 1)) {
    detail::throw_out_of_range("symbolic expression input index out of range");
  }
}

// Computes an Expression node from its inputs' values, with the kernels that
// folding uses, leaving its lanes unchecked.
SmallValue compute(const Topology::Entry& entry,
                   const WalkBuffer<SmallValue>& values) {
  const std::uint32_t* inputs = entry.inputs;
  return visit_operation_by_halving(
      entry.op,
      [&]<typename O>(O) {
        require_operands<O::kArity>(entry);
        if constexpr (O::kOp == ExpressionOp::Pack) {
          SmallValue r;
          r.dimension = entry.dimension;
          for (int i = 0; i < entry.input_count; ++i) {
            const SmallValue& v = values[inputs[i]];
            if (v.dimension != 1) {
              detail::throw_logic_error("Pack input is not scalar");
            }
            r.lanes[static_cast<std::size_t>(i)] = v.lanes[0];
          }
          return r;
        } else if constexpr (O::kOp == ExpressionOp::Component) {
          const SmallValue& v = values[inputs[0]];
          const int k = entry.component_index;
          if (k < 0 || k >= v.dimension) {
            detail::throw_lane_index_out_of_range();
          }
          SmallValue r;
          r.dimension = 1;
          r.lanes[0] = v.lanes[static_cast<std::size_t>(k)];
          return r;
        } else if constexpr (O::kArity == 2) {
          return binary_lanes_of<O::kOp>(values[inputs[0]], values[inputs[1]],
                                         entry.dimension);
        } else {
          return unary_lanes_of<O::kOp>(values[inputs[0]]);
        }
      },
      [&]() -> SmallValue {
        require_operands<-1>(entry);
        detail::throw_logic_error("unsupported symbolic expression op");
      });
}

}  // namespace

SmallValue evaluate_entry_general(const Topology::Entry& entry,
                                  const WalkBuffer<SmallValue>& values) {
  return entry.kind == ValueKind::Expression ? compute(entry, values)
                                             : leaf_value(*entry.node);
}

}  // namespace quoril::symbolic

namespace quoril::symbolic {

namespace {

using detail::NodeAccess;
using Entry = Topology::Entry;
using Frame = Topology::Frame;

inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  static_cast<void>(address);
#endif
}

Entry describe(ValueNode* node) noexcept {
  return {node,
          {0, 0, 0, 0},
          node->kind,
          node->op,
          static_cast<std::int8_t>(node->dimension),
          static_cast<std::int8_t>(node->input_count),
          node->component_index};
}

// Asks for node memory before the walk reads it. Each step of a walk needs
// the address read in the step before, so on nodes that are not in the
// caches (after a collection has walked every object, or on graphs of 100k
// nodes and more) every step would wait on memory. The walk tells it when it
// enters a node, when it sees a child of the node it enters, and when it
// climbs back up; the figures beside each fetch are from alternating runs of
// the builds before and after it on one machine (bench/README.md).
class Prefetcher {
 public:
  // Fetches the memory just below the nodes a first descent enters; `depth`
  // is the number of frames on the walk's stack below the node.
  //
  // A node is created after its inputs, and a graph built in one go gets its
  // nodes from the allocator largely in creation order, so the node a long
  // descent enters next usually lies a little below the one it is in. Each
  // step of the descent needs the address read in the step before, so
  // without help a cold chain costs one memory latency per node; fetching
  // the memory below turns those dependent misses into a stream (the 100k
  // sin/cos graph: 70-89 ns per node to 36-42 evaluated in the core, 80-98
  // to 44-56 for backward() from Python). Later descents mostly revisit
  // memory that the first one went through or that the climb already
  // fetches, so only nodes entered deeper than the walk has been count.
  // Fetching starts only once such a node has landed a little below the
  // last, so a graph whose nodes are scattered over the heap does not fill
  // the cache with guesses (10k such nodes: 41-57 before, 42-48 after).
  void entered(const ValueNode* node, std::size_t depth) noexcept {
    if (depth < deepest_) return;
    deepest_ = depth + 1;
    const auto here = reinterpret_cast<std::uintptr_t>(node) & ~(kLine - 1);
    const bool runs_on = here < last_ && last_ - here <= kRunStep;
    last_ = here;
    if (!runs_on || here < kRunAhead) {
      next_ = here;
      return;
    }
    if (next_ > here) next_ = here;
    const std::uintptr_t target = here - kRunAhead;
    while (next_ > target) {
      next_ -= kLine;
      prefetch(reinterpret_cast<const void*>(next_));
    }
  }

  // Entering the child reads its input slots, which may lie beyond the cache
  // line of its owner count that entering its parent reads. Asking for them
  // now overlaps that miss with the rest of the parent's work instead of
  // paying the misses one after another down a long chain. With the fetch
  // ahead of the climb's next descent, this took a 100k-node graph from
  // about 140 to 80 ns per node on a slower machine.
  static void child_seen(const ValueNode* child) noexcept {
    fetch_inputs(child);
  }

  // Called after the walk has placed a node and popped its frame. While the
  // walk climbs back up, the frames below the top say which inputs it will
  // enter next; their nodes were last touched on the way down, long ago. The
  // climb fetches the pending input of the frame 2 * kLookahead below the
  // top, and, once that has had time to arrive, the inputs of the one
  // kLookahead below, which it enters right after. Two stages instead of one
  // fetch kLookahead ahead took the 100k sin/cos graph from 36-42 to 24 ns
  // per node evaluated in the core, and the 100k graph scattered over the
  // heap from 139-164 to 105-117; a small graph that fits in cache pays
  // about 1 ns per node for the bookkeeping.
  static void climbed(const WalkBuffer<Frame>& stack,
                      const PositionTable& placed) noexcept {
    if (stack.size() > 2 * kLookahead) {
      if (const ValueNode* next = pending_input(stack, 2 * kLookahead)) {
        fetch_node(next);
      }
    }
    if (stack.size() > kLookahead) {
      // A shared node is looked up by id when it is placed, and its owner
      // count is read again when its next user is entered; both lines were
      // last touched on the way down. Ask for them, and once its id has had
      // time to arrive, for its slot in the position table. With the owner
      // counts fetched before every node (fetch_counts), this took the 1M
      // sin/cos graph from 50-60 to 28-34 ns per node for eval() from
      // Python, and from 61 to 45 for backward().
      const Frame& ahead = stack[stack.size() - 1 - kLookahead];
      if (ahead.tracked) {
        fetch_counts(ahead.entry.node);
        prefetch(&ahead.entry.node->id);
      }
      const Frame& nearer = stack[stack.size() - 1 - kLookahead / 2];
      if (nearer.tracked) placed.prefetch(nearer.entry.node->id);
      if (const ValueNode* next = pending_input(stack, kLookahead)) {
        for (int i = 0; i < next->input_count; ++i) {
          fetch_node(
              NodeAccess::get(next->inputs[static_cast<std::size_t>(i)]));
        }
      }
    }
  }

 private:
  // How many frames below the top of the walk's stack to look for the next
  // node to fetch.
  static constexpr std::size_t kLookahead = 8;

  // How far below the node being entered the walk fetches memory while a
  // descent runs down through memory, and how far below the previous node
  // the next one may lie for the run to go on.
  static constexpr std::uintptr_t kRunAhead = 2048;
  static constexpr std::uintptr_t kRunStep = 4096;
  static constexpr std::uintptr_t kLine = 64;

  // Asks for the end of what entering a node reads, which may lie on the
  // cache line after its counts: the slots of its first two inputs.
  static void fetch_inputs(const ValueNode* node) noexcept {
    prefetch(&node->inputs[1]);
  }

  // Asks for the line of the owner counts that make_shared puts just before
  // a node. Where the node starts a cache line, they lie on the line before
  // it, which nothing else the walk reads brings in; that is so for every
  // other node of a graph whose nodes the heap happened to place at such an
  // offset, and it made such graphs a third slower. Only a guess at an
  // address, so a node owned some other way costs a wasted fetch.
  static void fetch_counts(const ValueNode* node) noexcept {
    constexpr std::uintptr_t kCountsBefore = 8;
    prefetch(reinterpret_cast<const void*>(
        reinterpret_cast<std::uintptr_t>(node) - kCountsBefore));
  }

  // Asks for all the parts of a node that entering it reads.
  static void fetch_node(const ValueNode* node) noexcept {
    fetch_counts(node);
    prefetch(node);
    fetch_inputs(node);
  }

  // The input that the frame `depth` frames below the top of the stack
  // enters after the one it is in now, if any.
  static const ValueNode* pending_input(const WalkBuffer<Frame>& stack,
                                        std::size_t depth) noexcept {
    const Frame& frame = stack[stack.size() - 1 - depth];
    const int pending = frame.next + 1;
    return pending < frame.entry.input_count ? frame.children[pending]
                                             : nullptr;
  }

  std::size_t deepest_ = 0;
  // The node entered last, and the lowest address fetched in this run.
  std::uintptr_t last_ = 0;
  std::uintptr_t next_ = 0;
};

// Walks the graph under one root, continuing the order, values and position
// table that earlier roots of the same call left, and returns the root's
// position. A tracked root is looked up and recorded in the table, as a
// shared node is, so a root that an earlier root reached is not walked
// again; a lone root needs no table entry.
std::uint32_t walk_graph(ValueNode* const root_node, bool track_root,
                         Topology& topology, Walk walk, std::uint32_t& count) {
  const bool evaluate = walk != Walk::OrderOnly;
  const bool keep_order = walk != Walk::Evaluate;
  auto& stack = topology.stack;
  auto& order = topology.order;
  auto& values = topology.values;
  PositionTable& placed = topology.placed;
  Prefetcher prefetcher;

  // Places a node whose inputs are all placed. Values are computed in exactly
  // the order nodes are placed, so the first failing node in the order is the
  // one whose error is reported.
  const auto place = [&](const Entry& entry) {
    if (evaluate) {
      // Computed in place: a value copied in whole would be read back
      // through a wide store that the next node's load only partly covers.
      values.emplace_back();
      evaluate_entry_into<Dispatch::Halving>(entry, values, values.back());
    }
    if (keep_order) order.push_back(entry);
    return count++;
  };
  const auto enter = [&](ValueNode* node, bool tracked) {
    prefetcher.entered(node, stack.size());
    Frame& frame = stack.emplace_back();
    frame.entry = describe(node);
    frame.next = 0;
    frame.tracked = tracked;
    for (int i = 0; i < node->input_count; ++i) {
      const Value& input = node->inputs[static_cast<std::size_t>(i)];
      ValueNode* child = NodeAccess::get(input);
      frame.children[i] = child;
      prefetcher.child_seen(child);
      // Only a node with more than one owner can be reached along two paths
      // of the graph: every in-graph path to it holds its own handle, all
      // kept alive by the root during the walk. Solely owned nodes skip the
      // table, and long chains built from temporaries consist of them.
      frame.shared[i] = NodeAccess::use_count(input) > 1;
    }
  };

  std::uint32_t* root_slot = nullptr;
  if (track_root) {
    auto [slot, inserted] = placed.find_or_insert(root_node->id);
    if (!inserted) return *slot;
    root_slot = slot;
  }
  if (root_node->input_count == 0) {
    const std::uint32_t position = place(describe(root_node));
    if (root_slot != nullptr) *root_slot = position;
    return position;
  }
  enter(root_node, track_root);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next < frame.entry.input_count) {
      ValueNode* child = frame.children[frame.next];
      const bool tracked = frame.shared[frame.next];
      std::uint32_t* slot = nullptr;
      if (tracked) {
        auto [position, inserted] = placed.find_or_insert(child->id);
        if (!inserted) {
          // A DAG cannot reach a node that is still being entered.
          assert(*position != PositionTable::kUnplaced);
          frame.entry.inputs[frame.next++] = *position;
          continue;
        }
        slot = position;
      }
      if (child->input_count == 0) {
        // A leaf is placed as soon as it is entered.
        const std::uint32_t position = place(describe(child));
        if (slot != nullptr) *slot = position;
        frame.entry.inputs[frame.next++] = position;
        continue;
      }
      enter(child, tracked);
      continue;
    }

    const std::uint32_t position = place(frame.entry);
    if (frame.tracked) *placed.find(frame.entry.node->id) = position;
    stack.pop_back();
    if (!stack.empty()) {
      Frame& parent = stack.back();
      parent.entry.inputs[parent.next++] = position;
    }
    prefetcher.climbed(stack, placed);
  }
  // The root is placed last.
  return count - 1;
}

}  // namespace

void build_topology(const Value& root, Topology& topology, Walk walk) {
  require_valid(root, "backward value");
  topology.placed.begin_walk();
  std::uint32_t count = 0;
  walk_graph(detail::NodeAccess::get(root), false, topology, walk, count);
}

void build_topology(std::span<const Value> roots, Topology& topology, Walk walk,
                    std::vector<std::uint32_t>& positions) {
  for (const Value& root : roots) require_valid(root, "output");
  topology.placed.begin_walk();
  positions.clear();
  std::uint32_t count = 0;
  for (const Value& root : roots) {
    positions.push_back(
        walk_graph(detail::NodeAccess::get(root), true, topology, walk, count));
  }
}

SmallValue Value::evaluate() const {
  TopologyLease lease;
  Topology& topology = lease.get();
  build_topology(*this, topology, Walk::Evaluate);
  return topology.values.back();
}

}  // namespace quoril::symbolic
