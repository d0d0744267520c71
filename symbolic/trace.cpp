#include "symbolic/graph.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "symbolic/internal.h"
#include "symbolic/kernels.h"

namespace quoril::symbolic {

GraphTrace trace(std::span<const Value> roots, bool evaluate,
                 std::size_t max_nodes) {
  if (max_nodes == 0) {
    detail::throw_invalid_argument("max_nodes must be at least 1");
  }

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
      handle[entry.inputs[k]] =
          &entry.node->inputs[static_cast<std::size_t>(k)];
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
