#include "symbolic/graph.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>
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

namespace {

using Entry = Topology::Entry;
using Adjoint = std::array<double, 4>;
// A column Parameter's position in an order, and its first column.
using ColumnAt = std::vector<std::pair<std::uint32_t, std::size_t>>;
constexpr std::size_t kNoColumn = ~std::size_t{0};

// The column of the first lane of each Parameter, found by node.
struct Columns {
  std::unordered_map<const ValueNode*, std::size_t> first;
  std::size_t count = 0;
};

Columns columns_of(std::span<const Value> params) {
  Columns columns;
  columns.first.reserve(params.size());
  for (const Value& param : params) {
    require_valid(param, "parameter");
    const ValueNode* node = NodeAccess::get(param);
    if (node->kind != ValueKind::Parameter) {
      detail::throw_invalid_argument("jacobian columns must be Parameters");
    }
    if (!columns.first.emplace(node, columns.count).second) {
      detail::throw_invalid_argument("jacobian Parameter given twice");
    }
    columns.count += static_cast<std::size_t>(node->dimension);
  }
  return columns;
}

ColumnAt column_positions(const WalkBuffer<Entry>& order,
                          const Columns& columns) {
  ColumnAt column_at;
  for (std::size_t position = 0; position < order.size(); ++position) {
    if (order[position].kind != ValueKind::Parameter) continue;
    const auto found = columns.first.find(order[position].node);
    if (found != columns.first.end()) {
      column_at.emplace_back(static_cast<std::uint32_t>(position), found->second);
    }
  }
  return column_at;
}

// Bookkeeping of the reverse sweeps. Between sweeps every flag is clear.
struct SweepScratch {
  std::vector<std::uint8_t> queued;
  std::vector<std::uint32_t> heap;
  std::vector<std::uint32_t> touched;
};

// Writes one Jacobian row per output lane (and the lane itself, when
// `lanes` is not empty) from the values of an order built over several
// roots. Expects every adjoint zero and every flag clear, and leaves them
// so, unless propagation throws.
//
// Each output lane needs a reverse pass over only the nodes its output
// reaches. The walk placed the nodes that output reached first in one run
// of the order, ending at the output; those are swept in order. Nodes that
// an earlier output placed sit below the run; the few the sweep reaches are
// queued and handled highest position first, which is again an order in
// which every node comes after all its users.
void sweep_rows(const WalkBuffer<Entry>& order,
                const WalkBuffer<SmallValue>& values,
                std::span<const std::uint32_t> roots,
                const ColumnAt& column_at, std::size_t cols,
                WalkBuffer<Adjoint>& adjoints, SweepScratch& scratch,
                std::span<double> lanes, std::span<double> jacobian) {
  auto& [queued, heap, touched] = scratch;
  const auto handle = [&](std::uint32_t position, std::uint32_t run_start) {
    const Entry& entry = order[position];
    if (entry.kind != ValueKind::Expression) return;
    propagate_entry(entry, adjoints[position], values[position], order, values,
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
                  Adjoint{});
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

}  // namespace

void jacobian_into(std::span<const Value> outputs,
                   std::span<const Value> params, std::span<double> lanes,
                   std::span<double> jacobian) {
  const std::size_t rows = lane_count(outputs);
  const Columns columns = columns_of(params);
  if (!lanes.empty()) {
    require_size(lanes, rows, "output buffer does not match the outputs' lanes");
  }
  require_size(jacobian, rows * columns.count,
               "jacobian buffer does not match outputs and Parameters");

  // One walk over all outputs evaluates every node once, however many
  // outputs share it.
  TopologyLease lease;
  Topology& topology = lease.get();
  std::vector<std::uint32_t> roots;
  build_topology(outputs, topology, Walk::EvaluateForBackward, roots);
  topology.adjoints.assign(topology.order.size(), Adjoint{});
  SweepScratch scratch;
  scratch.queued.assign(topology.order.size(), 0);
  sweep_rows(topology.order, topology.values, roots,
             column_positions(topology.order, columns), columns.count,
             topology.adjoints, scratch, lanes, jacobian);
}

struct JacobianProgram::State {
  // What the reverse pass of one output visits, worked out once from the
  // shape of the graph, which no later call can change.
  struct Plan {
    std::uint32_t root;
    // Ranges of `sweep`, `clear` and `reached`.
    std::uint32_t sweep_begin, sweep_end;
    std::uint32_t clear_begin, clear_end;
    std::uint32_t reached_begin, reached_end;
  };

  // Handles that keep the graphs, and so every node of the order, alive.
  std::vector<Value> outputs;
  WalkBuffer<Entry> order;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<Plan> plans;
  // Expressions to propagate, users before inputs.
  std::vector<std::uint32_t> sweep;
  // Every position a pass writes an adjoint to.
  std::vector<std::uint32_t> clear;
  // The column Parameters a pass reaches.
  ColumnAt reached;
  // The positions whose value each call computes afresh: every one but the
  // Constants, whose values were taken once and cannot change.
  std::vector<std::uint32_t> steps;
  WalkBuffer<SmallValue> values;
  WalkBuffer<Adjoint> adjoints;
  // False while a pass runs: one that threw leaves adjoints behind.
  bool swept_clean = true;

  void plan(std::span<const std::uint32_t> roots, const Columns& columns);

  void forward() {
    // Each position reads only the values before it.
    for (const std::uint32_t position : steps) {
      evaluate_entry_into(order[position], values, values[position]);
    }
  }
};

// Records, for each output, the positions that sweep_rows() would visit,
// clear and read, in the order it would visit them.
void JacobianProgram::State::plan(std::span<const std::uint32_t> roots,
                                  const Columns& columns) {
  std::vector<std::size_t> column_of(order.size(), kNoColumn);
  for (const auto& [position, column] : column_positions(order, columns)) {
    column_of[position] = column;
  }
  std::vector<std::uint8_t> queued(order.size(), 0);
  std::vector<std::uint32_t> heap;
  std::vector<std::uint32_t> touched;
  std::uint32_t run_start = 0;
  for (const std::uint32_t root : roots) {
    Plan p{root, 0, 0, 0, 0, 0, 0};
    p.sweep_begin = static_cast<std::uint32_t>(sweep.size());
    p.clear_begin = static_cast<std::uint32_t>(clear.size());
    p.reached_begin = static_cast<std::uint32_t>(reached.size());
    const auto visit = [&](std::uint32_t position) {
      const Entry& entry = order[position];
      if (column_of[position] != kNoColumn) {
        reached.emplace_back(position, column_of[position]);
      }
      if (entry.kind != ValueKind::Expression) return;
      sweep.push_back(position);
      for (int k = 0; k < entry.input_count; ++k) {
        const std::uint32_t input = entry.inputs[k];
        if (input >= run_start || queued[input] != 0) continue;
        queued[input] = 1;
        touched.push_back(input);
        if (order[input].kind != ValueKind::Expression) {
          if (column_of[input] != kNoColumn) {
            reached.emplace_back(input, column_of[input]);
          }
          continue;
        }
        heap.push_back(input);
        std::push_heap(heap.begin(), heap.end());
      }
    };
    const bool own_run = root >= run_start;
    if (own_run) {
      for (std::uint32_t position = root + 1; position-- > run_start;) {
        clear.push_back(position);
        visit(position);
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
      visit(position);
    }
    for (const std::uint32_t position : touched) {
      clear.push_back(position);
      queued[position] = 0;
    }
    touched.clear();
    p.sweep_end = static_cast<std::uint32_t>(sweep.size());
    p.clear_end = static_cast<std::uint32_t>(clear.size());
    p.reached_end = static_cast<std::uint32_t>(reached.size());
    plans.push_back(p);
    if (own_run) run_start = root + 1;
  }
}

JacobianProgram::JacobianProgram(std::span<const Value> outputs,
                                 std::span<const Value> params)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.rows = lane_count(outputs);
  const Columns columns = columns_of(params);
  s.cols = columns.count;
  s.outputs.assign(outputs.begin(), outputs.end());
  std::vector<std::uint32_t> roots;
  {
    TopologyLease lease;
    Topology& topology = lease.get();
    build_topology(s.outputs, topology, Walk::OrderOnly, roots);
    s.order.assign(topology.order.begin(), topology.order.end());
  }
  s.plan(roots, columns);
  // A Constant's node is read once here rather than on every call: the
  // graph's nodes are spread over far more memory than its values. One
  // that fails to evaluate (only a node filled in by hand can) stays a step,
  // so that the failure comes in order when the program runs.
  s.values.resize(s.order.size());
  for (std::size_t position = 0; position < s.order.size(); ++position) {
    const Entry& entry = s.order[position];
    if (entry.kind == ValueKind::Constant) {
      try {
        s.values[position] = evaluate_entry(entry, s.values);
        continue;
      } catch (const std::exception&) {
      }
    }
    s.steps.push_back(static_cast<std::uint32_t>(position));
  }
  s.adjoints.assign(s.order.size(), Adjoint{});
}

JacobianProgram::~JacobianProgram() = default;
JacobianProgram::JacobianProgram(JacobianProgram&&) noexcept = default;
JacobianProgram& JacobianProgram::operator=(JacobianProgram&&) noexcept = default;

std::size_t JacobianProgram::rows() const noexcept { return state_->rows; }
std::size_t JacobianProgram::cols() const noexcept { return state_->cols; }

void JacobianProgram::evaluate(std::span<double> lanes) {
  State& s = *state_;
  require_size(lanes, s.rows, "output buffer does not match the outputs' lanes");
  s.forward();
  std::size_t row = 0;
  for (const State::Plan& plan : s.plans) {
    const SmallValue& v = s.values[plan.root];
    for (int i = 0; i < v.dimension; ++i) lanes[row++] = lane(v, i);
  }
}

void JacobianProgram::jacobian(std::span<double> lanes,
                               std::span<double> jacobian) {
  State& s = *state_;
  if (!lanes.empty()) {
    require_size(lanes, s.rows, "output buffer does not match the outputs' lanes");
  }
  require_size(jacobian, s.rows * s.cols,
               "jacobian buffer does not match outputs and Parameters");
  s.forward();
  if (!s.swept_clean) s.adjoints.assign(s.order.size(), Adjoint{});
  s.swept_clean = false;
  std::fill(jacobian.begin(), jacobian.end(), 0.0);
  const auto& [order, values, adjoints] = std::tie(s.order, s.values, s.adjoints);
  std::size_t row = 0;
  for (const State::Plan& plan : s.plans) {
    const SmallValue& value = values[plan.root];
    for (int i = 0; i < value.dimension; ++i, ++row) {
      if (!lanes.empty()) lanes[row] = lane(value, i);
      if (s.cols == 0) continue;
      adjoints[plan.root][static_cast<std::size_t>(i)] = 1.0;
      for (std::uint32_t k = plan.sweep_begin; k < plan.sweep_end; ++k) {
        const std::uint32_t position = s.sweep[k];
        propagate_entry(order[position], adjoints[position], values[position],
                  order, values, adjoints);
      }
      double* out = jacobian.data() + row * s.cols;
      for (std::uint32_t k = plan.reached_begin; k < plan.reached_end; ++k) {
        const auto& [position, column] = s.reached[k];
        const int dimension = order[position].dimension;
        for (int d = 0; d < dimension; ++d) {
          out[column + static_cast<std::size_t>(d)] =
              adjoints[position][static_cast<std::size_t>(d)];
        }
      }
      for (std::uint32_t k = plan.clear_begin; k < plan.clear_end; ++k) {
        adjoints[s.clear[k]] = Adjoint{};
      }
    }
  }
  s.swept_clean = true;
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
