#include "symbolic/graph.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "symbolic/internal.h"

namespace quoril::symbolic {

namespace {

using detail::NodeAccess;

void require_size(std::span<double> buffer, std::size_t size,
                  const char* message) {
  if (buffer.size() != size) detail::throw_invalid_argument(message);
}

}  // namespace

std::size_t lane_count(std::span<const Value> values) {
  std::size_t count = 0;
  for (const Value& value : values) {
    require_valid(value, "output");
    count += static_cast<std::size_t>(value.node().dimension);
  }
  return count;
}

void evaluate_into(std::span<const Value> outputs, std::span<double> lanes) {
  require_size(lanes, lane_count(outputs),
               "output buffer does not match the outputs' lanes");
  TopologyLease lease;
  Topology& topology = lease.get();
  std::vector<std::uint32_t> roots;
  build_topology(outputs, topology, Walk::Evaluate, roots);
  std::size_t row = 0;
  for (const std::uint32_t root : roots) {
    const SmallValue& v = topology.values[root];
    for (int i = 0; i < v.dimension; ++i) lanes[row++] = lane(v, i);
  }
}

void jacobian_into(std::span<const Value> outputs,
                   std::span<const Value> params, std::span<double> lanes,
                   std::span<double> jacobian) {
  const std::size_t rows = lane_count(outputs);
  // Column of the first lane of each Parameter, found by node.
  std::unordered_map<const ValueNode*, std::size_t> columns;
  columns.reserve(params.size());
  std::size_t cols = 0;
  for (const Value& param : params) {
    require_valid(param, "parameter");
    const ValueNode* node = NodeAccess::get(param);
    if (node->kind != ValueKind::Parameter) {
      detail::throw_invalid_argument("jacobian columns must be Parameters");
    }
    if (!columns.emplace(node, cols).second) {
      detail::throw_invalid_argument("jacobian Parameter given twice");
    }
    cols += static_cast<std::size_t>(node->dimension);
  }
  if (!lanes.empty()) {
    require_size(lanes, rows, "output buffer does not match the outputs' lanes");
  }
  require_size(jacobian, rows * cols,
               "jacobian buffer does not match outputs and Parameters");

  // One walk over all outputs evaluates every node once, however many
  // outputs share it.
  TopologyLease lease;
  Topology& topology = lease.get();
  std::vector<std::uint32_t> roots;
  build_topology(outputs, topology, Walk::EvaluateForBackward, roots);
  const auto& order = topology.order;
  const auto& values = topology.values;

  // Positions of the Parameters that are columns, with their first column.
  std::vector<std::pair<std::uint32_t, std::size_t>> column_at;
  for (std::size_t position = 0; position < order.size(); ++position) {
    if (order[position].kind != ValueKind::Parameter) continue;
    const auto found = columns.find(order[position].node);
    if (found != columns.end()) {
      column_at.emplace_back(static_cast<std::uint32_t>(position), found->second);
    }
  }

  // Each output lane needs a reverse pass over only the nodes its output
  // reaches. The walk placed the nodes that output reached first in one run
  // of the order, ending at the output; those are swept in order. Nodes
  // that an earlier output placed sit below the run; the few the sweep
  // reaches are queued and handled highest position first, which is again
  // an order in which every node comes after all its users.
  auto& adjoints = topology.adjoints;
  adjoints.assign(order.size(), std::array<double, 4>{});
  std::vector<std::uint8_t> queued(order.size(), 0);
  std::vector<std::uint32_t> heap;
  std::vector<std::uint32_t> touched;
  const auto handle = [&](std::uint32_t position, std::uint32_t run_start) {
    const Topology::Entry& entry = order[position];
    if (entry.kind != ValueKind::Expression) return;
    propagate(entry, adjoints[position], values[position], order, values,
              adjoints);
    for (int k = 0; k < entry.input_count; ++k) {
      const std::uint32_t input = entry.inputs[k];
      if (input >= run_start || queued[input] != 0) continue;
      queued[input] = 1;
      touched.push_back(input);
      // A leaf has nothing to pass on; it only needs clearing afterwards.
      if (order[input].kind != ValueKind::Expression) continue;
      heap.push_back(input);
      std::push_heap(heap.begin(), heap.end());
    }
  };

  std::fill(jacobian.begin(), jacobian.end(), 0.0);
  std::uint32_t run_start = 0;
  std::size_t row = 0;
  for (const std::uint32_t root : roots) {
    const SmallValue& value = values[root];
    const bool own_run = root >= run_start;
    for (int i = 0; i < value.dimension; ++i, ++row) {
      if (!lanes.empty()) lanes[row] = lane(value, i);
      if (column_at.empty()) continue;
      adjoints[root][static_cast<std::size_t>(i)] = 1.0;
      if (own_run) {
        for (std::uint32_t position = root + 1; position-- > run_start;) {
          handle(position, run_start);
        }
      } else {
        queued[root] = 1;
        touched.push_back(root);
        heap.push_back(root);
      }
      while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end());
        const std::uint32_t position = heap.back();
        heap.pop_back();
        handle(position, run_start);
      }
      double* out = jacobian.data() + row * cols;
      for (const auto& [position, column] : column_at) {
        const int dimension = order[position].dimension;
        for (int k = 0; k < dimension; ++k) {
          out[column + static_cast<std::size_t>(k)] =
              adjoints[position][static_cast<std::size_t>(k)];
        }
      }
      // Clear what this lane wrote, and nothing else.
      if (own_run) {
        std::fill(adjoints.begin() + run_start, adjoints.begin() + root + 1,
                  std::array<double, 4>{});
      }
      for (const std::uint32_t position : touched) {
        adjoints[position] = {};
        queued[position] = 0;
      }
      touched.clear();
    }
    if (own_run) run_start = root + 1;
  }
}

GraphTrace trace(std::span<const Value> roots, bool evaluate,
                 std::size_t max_nodes) {
  if (max_nodes == 0) detail::throw_invalid_argument("max_nodes must be at least 1");

  // One order over all roots, each node once.
  WalkBuffer<Topology::Entry> order;
  std::vector<std::uint32_t> root_at;
  {
    TopologyLease lease;
    Topology& topology = lease.get();
    build_topology(roots, topology, Walk::OrderOnly, root_at);
    order = std::move(topology.order);
  }

  // A handle that owns each node: a root's own, or an input slot of a node
  // that uses it. The roots keep all of them alive for this call.
  std::vector<const Value*> handle(order.size(), nullptr);
  for (std::size_t k = 0; k < roots.size(); ++k) handle[root_at[k]] = &roots[k];
  for (const Topology::Entry& entry : order) {
    for (int k = 0; k < entry.input_count && k < 4; ++k) {
      handle[entry.inputs[k]] = &entry.node->inputs[static_cast<std::size_t>(k)];
    }
  }

  GraphTrace result;
  result.total = order.size();

  // Values in order until the first failure, which is kept, not thrown.
  WalkBuffer<SmallValue> values;
  if (evaluate) {
    values.reserve(order.size());
    for (const Topology::Entry& entry : order) {
      try {
        values.push_back(evaluate_entry(entry, values));
      } catch (...) {
        result.failed = *handle[values.size()];
        result.error = std::current_exception();
        break;
      }
    }
  }

  // Distance from the nearest root: the order lists every node after its
  // inputs, so one sweep from the end settles each node before its inputs.
  std::vector<bool> keep(order.size(), true);
  if (order.size() > max_nodes) {
    constexpr std::uint32_t kFar = 0xFFFFFFFFu;
    std::vector<std::uint32_t> depth(order.size(), kFar);
    for (const std::uint32_t root : root_at) depth[root] = 0;
    for (std::size_t position = order.size(); position-- > 0;) {
      const Topology::Entry& entry = order[position];
      for (int k = 0; k < entry.input_count && k < 4; ++k) {
        std::uint32_t& d = depth[entry.inputs[k]];
        d = std::min(d, depth[position] + 1);
      }
    }
    // Nearest first; among equals, the later in the order.
    std::vector<std::uint32_t> ranked(order.size());
    for (std::size_t i = 0; i < ranked.size(); ++i) {
      ranked[i] = static_cast<std::uint32_t>(i);
    }
    const auto nearer = [&](std::uint32_t a, std::uint32_t b) {
      return depth[a] != depth[b] ? depth[a] < depth[b] : a > b;
    };
    std::nth_element(ranked.begin(),
                     ranked.begin() + static_cast<std::ptrdiff_t>(max_nodes),
                     ranked.end(), nearer);
    std::fill(keep.begin(), keep.end(), false);
    for (std::size_t i = 0; i < max_nodes; ++i) keep[ranked[i]] = true;
  }

  std::vector<std::int64_t> index(order.size(), -1);
  for (std::size_t position = 0; position < order.size(); ++position) {
    if (!keep[position]) continue;
    const Topology::Entry& entry = order[position];
    index[position] = static_cast<std::int64_t>(result.nodes.size());
    result.nodes.push_back(*handle[position]);
    std::array<std::int64_t, 4> inputs{-1, -1, -1, -1};
    for (int k = 0; k < entry.input_count && k < 4; ++k) {
      inputs[static_cast<std::size_t>(k)] = index[entry.inputs[k]];
    }
    result.inputs.push_back(inputs);
    result.values.push_back(position < values.size()
                                ? std::optional<SmallValue>(values[position])
                                : std::nullopt);
  }
  return result;
}

}  // namespace quoril::symbolic
