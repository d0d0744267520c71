#ifndef QUORIL_SYMBOLIC_WALK_H_
#define QUORIL_SYMBOLIC_WALK_H_

// Private to the core: the evaluation order of a graph, what it records of
// each node, and the walk that builds it, evaluating as it goes.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "symbolic/value.h"
#include "symbolic/walk_memory.h"

namespace quoril::symbolic {

// The evaluation order of one graph: every reachable node once, each after
// its inputs, the root last. Raw node pointers are enough because the root
// handle keeps the whole graph alive for the duration of a call.
struct Topology {
  // What the reverse pass needs of a node, copied while the walk has the
  // node in cache, so the pass over the order never touches node memory.
  struct Entry {
    ValueNode* node;
    // Positions of the node's inputs in the order.
    std::uint32_t inputs[4];
    ValueKind kind;
    ExpressionOp op;
    std::int8_t dimension;
    std::int8_t input_count;
    std::int32_t component_index;
  };
  // A node being walked: its entry (filled in as its inputs are placed) and
  // its inputs' nodes, read once on the way down so that finishing the node
  // on the way back up does not touch its memory again.
  struct Frame {
    Entry entry;
    ValueNode* children[4];
    // The input to enter next. One byte keeps a frame at 72 bytes: the
    // stack of a deep chain holds one per node, so it sets peak memory.
    std::int8_t next;
    bool tracked;
    bool shared[4];
  };
  static_assert(sizeof(Frame) <= 72);

  WalkBuffer<Entry> order;
  // Forward value of each position; filled only by an evaluating walk.
  WalkBuffer<SmallValue> values;
  // Reverse-pass adjoint of each position.
  WalkBuffer<std::array<double, 4>> adjoints;
  WalkBuffer<Frame> stack;
  PositionTable placed;
};

enum class Walk { OrderOnly, Evaluate, EvaluateForBackward };

// Orders the graph under `root` depth first (inputs in index order, each node
// appended after its inputs). When evaluating, each node's value is computed
// as it is appended, which is exactly evaluation in order, so the first
// failing node in the order is the one reported. Throws
// std::invalid_argument for an empty root.
void build_topology(const Value& root, Topology& topology, Walk walk);
// Orders the graphs under several roots as one: each root's graph in turn,
// leaving out what an earlier root already placed, so a node shared between
// roots is placed (and evaluated) once. `positions` receives each root's
// position. Throws std::invalid_argument for an empty root, before walking.
void build_topology(std::span<const Value> roots, Topology& topology, Walk walk,
                    std::vector<std::uint32_t>& positions);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_WALK_H_
