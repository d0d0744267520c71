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
  std::size_t row = 0;
  for (const Value& output : outputs) {
    const SmallValue v = output.evaluate();
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
  std::fill(jacobian.begin(), jacobian.end(), 0.0);

  TopologyLease lease;
  Topology& topology = lease.get();
  // Positions in the current output's order of the Parameters that are
  // columns, with their first column.
  std::vector<std::pair<std::size_t, std::size_t>> reached;
  std::size_t row = 0;
  for (const Value& output : outputs) {
    topology.order.clear();
    topology.values.clear();
    build_topology(output, topology, Walk::EvaluateForBackward);
    const auto& order = topology.order;
    const SmallValue& value = topology.values.back();
    reached.clear();
    for (std::size_t position = 0; position < order.size(); ++position) {
      if (order[position].kind != ValueKind::Parameter) continue;
      const auto found = columns.find(order[position].node);
      if (found != columns.end()) reached.emplace_back(position, found->second);
    }
    for (int i = 0; i < value.dimension; ++i, ++row) {
      if (!lanes.empty()) lanes[row] = lane(value, i);
      if (reached.empty()) continue;
      std::array<double, 4> seed{};
      seed[static_cast<std::size_t>(i)] = 1.0;
      reverse_sweep(topology, seed);
      double* out = jacobian.data() + row * cols;
      for (const auto& [position, column] : reached) {
        const int dimension = order[position].dimension;
        for (int k = 0; k < dimension; ++k) {
          out[column + static_cast<std::size_t>(k)] =
              topology.adjoints[position][static_cast<std::size_t>(k)];
        }
      }
    }
  }
}

GraphTrace trace(std::span<const Value> roots, bool evaluate,
                 std::size_t max_nodes) {
  if (max_nodes == 0) detail::throw_invalid_argument("max_nodes must be at least 1");
  for (const Value& root : roots) require_valid(root, "output");

  // One order over all roots: each root's own order, with the nodes an
  // earlier root already placed left out and input positions remapped.
  std::vector<Topology::Entry> order;
  std::unordered_map<std::uint64_t, std::uint32_t> placed;
  {
    TopologyLease lease;
    Topology& topology = lease.get();
    std::vector<std::uint32_t> global;
    for (const Value& root : roots) {
      topology.order.clear();
      build_topology(root, topology, Walk::OrderOnly);
      global.assign(topology.order.size(), 0);
      for (std::size_t local = 0; local < topology.order.size(); ++local) {
        Topology::Entry entry = topology.order[local];
        const auto [it, inserted] = placed.emplace(
            entry.node->id, static_cast<std::uint32_t>(order.size()));
        global[local] = it->second;
        if (!inserted) continue;
        for (int k = 0; k < entry.input_count && k < 4; ++k) {
          entry.inputs[k] = global[entry.inputs[k]];
        }
        order.push_back(entry);
      }
    }
  }

  // A handle that owns each node: a root's own, or an input slot of a node
  // that uses it. The roots keep all of them alive for this call.
  std::vector<const Value*> handle(order.size(), nullptr);
  for (const Value& root : roots) handle[placed.at(root.node().id)] = &root;
  for (const Topology::Entry& entry : order) {
    for (int k = 0; k < entry.input_count && k < 4; ++k) {
      handle[entry.inputs[k]] = &entry.node->inputs[static_cast<std::size_t>(k)];
    }
  }

  GraphTrace result;
  result.total = order.size();

  // Values in order until the first failure, which is kept, not thrown.
  std::vector<SmallValue> values;
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
    for (const Value& root : roots) depth[placed.at(root.node().id)] = 0;
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
