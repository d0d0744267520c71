#include "symbolic/graph.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "symbolic/internal.h"
#include "symbolic/kernels.h"

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

// The reverse pass of one output lane reaches only the nodes that output
// reaches. The walk placed the nodes that output reached first in one run
// of the order, ending at the output; those are visited in order. Nodes
// that an earlier output placed sit below the run; the few the pass reaches
// are queued and visited highest position first, which is again an order in
// which every node comes after all its users. Which nodes a pass visits
// depends on the shape of the graph alone.
struct PassScratch {
  explicit PassScratch(std::size_t positions) : queued(positions, 0) {}
  // Positions below the run that a pass has queued; all clear between passes.
  std::vector<std::uint8_t> queued;
  std::vector<std::uint32_t> heap;
  // What the pass queued, for the caller to clear with finish_pass().
  std::vector<std::uint32_t> touched;
};

// Calls visit(position) for each position the pass of the output at `root`
// visits, in pass order: every position of the output's run (leaves too)
// when the root lies in it, then every Expression below the run that the
// pass reaches. Leaves below the run are only recorded in scratch.touched.
template <typename Visit>
void trace_pass(const WalkBuffer<Entry>& order, std::uint32_t root,
                std::uint32_t run_start, PassScratch& scratch, Visit&& visit) {
  auto& [queued, heap, touched] = scratch;
  const auto expand = [&](std::uint32_t position) {
    visit(position);
    const Entry& entry = order[position];
    if (entry.kind != ValueKind::Expression) return;
    for (int k = 0; k < entry.input_count; ++k) {
      const std::uint32_t input = entry.inputs[k];
      if (input >= run_start || queued[input] != 0) continue;
      queued[input] = 1;
      touched.push_back(input);
      // A leaf has nothing to pass on.
      if (order[input].kind != ValueKind::Expression) continue;
      heap.push_back(input);
      std::push_heap(heap.begin(), heap.end());
    }
  };
  if (root >= run_start) {
    for (std::uint32_t position = root + 1; position-- > run_start;) {
      expand(position);
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
    expand(position);
  }
}

// Clears the flags of a pass's touched positions, after calling
// done(position) for each.
template <typename Done>
void finish_pass(PassScratch& scratch, Done&& done) {
  for (const std::uint32_t position : scratch.touched) {
    done(position);
    scratch.queued[position] = 0;
  }
  scratch.touched.clear();
}

// Writes one Jacobian row per output lane (and the lane itself, when
// `lanes` is not empty), tracing each pass afresh. Expects every adjoint
// zero and leaves them so, unless propagation throws.
void sweep_rows(const WalkBuffer<Entry>& order,
                const WalkBuffer<SmallValue>& values,
                std::span<const std::uint32_t> roots,
                const ColumnAt& column_at, std::size_t cols,
                WalkBuffer<Adjoint>& adjoints, std::span<double> lanes,
                std::span<double> jacobian) {
  PassScratch scratch(order.size());
  const auto propagate_at = [&](std::uint32_t position) {
    const Entry& entry = order[position];
    if (entry.kind != ValueKind::Expression) return;
    propagate_entry(entry, adjoints[position], values[position], order, values,
                    adjoints);
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
      trace_pass(order, root, run_start, scratch, propagate_at);
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
      finish_pass(scratch, [&](std::uint32_t position) { adjoints[position] = {}; });
    }
    if (own_run) run_start = root + 1;
  }
}

// The passes of every output of an order, traced once and kept: for a
// program, whose order serves many calls.
struct SweepPlan {
  struct Output {
    std::uint32_t root;
    // Ranges of `sweep`, `clear` and `reached`.
    std::uint32_t sweep_begin, sweep_end;
    std::uint32_t clear_begin, clear_end;
    std::uint32_t reached_begin, reached_end;
  };
  std::vector<Output> outputs;
  // Expressions to propagate, users before inputs.
  std::vector<std::uint32_t> sweep;
  // Every position a pass writes an adjoint to.
  std::vector<std::uint32_t> clear;
  // The column Parameters a pass reaches.
  ColumnAt reached;
};

SweepPlan plan_sweeps(const WalkBuffer<Entry>& order,
                      std::span<const std::uint32_t> roots,
                      const Columns& columns) {
  SweepPlan plan;
  std::vector<std::size_t> column_of(order.size(), kNoColumn);
  for (const auto& [position, column] : column_positions(order, columns)) {
    column_of[position] = column;
  }
  const auto reach = [&](std::uint32_t position) {
    if (column_of[position] != kNoColumn) {
      plan.reached.emplace_back(position, column_of[position]);
    }
  };
  PassScratch scratch(order.size());
  std::uint32_t run_start = 0;
  for (const std::uint32_t root : roots) {
    SweepPlan::Output out{root, 0, 0, 0, 0, 0, 0};
    out.sweep_begin = static_cast<std::uint32_t>(plan.sweep.size());
    out.clear_begin = static_cast<std::uint32_t>(plan.clear.size());
    out.reached_begin = static_cast<std::uint32_t>(plan.reached.size());
    const bool own_run = root >= run_start;
    trace_pass(order, root, run_start, scratch, [&](std::uint32_t position) {
      reach(position);
      if (position >= run_start) plan.clear.push_back(position);
      if (order[position].kind == ValueKind::Expression) {
        plan.sweep.push_back(position);
      }
    });
    finish_pass(scratch, [&](std::uint32_t position) {
      plan.clear.push_back(position);
      // Expressions among them, and a root, were visited and reached.
      if (order[position].kind != ValueKind::Expression && position != root) {
        reach(position);
      }
    });
    out.sweep_end = static_cast<std::uint32_t>(plan.sweep.size());
    out.clear_end = static_cast<std::uint32_t>(plan.clear.size());
    out.reached_end = static_cast<std::uint32_t>(plan.reached.size());
    plan.outputs.push_back(out);
    if (own_run) run_start = root + 1;
  }
  return plan;
}

// Writes one Jacobian row per output lane (and the lane itself, when
// `lanes` is not empty) from the values of the order the plan was made for.
// Expects every adjoint zero and leaves them so, unless propagation throws.
void run_sweeps(const SweepPlan& plan, const WalkBuffer<Entry>& order,
                const WalkBuffer<SmallValue>& values,
                WalkBuffer<Adjoint>& adjoints, std::size_t cols,
                std::span<double> lanes, std::span<double> jacobian) {
  std::fill(jacobian.begin(), jacobian.end(), 0.0);
  std::size_t row = 0;
  for (const SweepPlan::Output& out : plan.outputs) {
    const SmallValue& value = values[out.root];
    for (int i = 0; i < value.dimension; ++i, ++row) {
      if (!lanes.empty()) lanes[row] = lane(value, i);
      if (cols == 0) continue;
      adjoints[out.root][static_cast<std::size_t>(i)] = 1.0;
      for (std::uint32_t k = out.sweep_begin; k < out.sweep_end; ++k) {
        const std::uint32_t position = plan.sweep[k];
        propagate_entry(order[position], adjoints[position], values[position],
                        order, values, adjoints);
      }
      double* jacobian_row = jacobian.data() + row * cols;
      for (std::uint32_t k = out.reached_begin; k < out.reached_end; ++k) {
        const auto& [position, column] = plan.reached[k];
        const int dimension = order[position].dimension;
        for (int d = 0; d < dimension; ++d) {
          jacobian_row[column + static_cast<std::size_t>(d)] =
              adjoints[position][static_cast<std::size_t>(d)];
        }
      }
      for (std::uint32_t k = out.clear_begin; k < out.clear_end; ++k) {
        adjoints[plan.clear[k]] = Adjoint{};
      }
    }
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
  sweep_rows(topology.order, topology.values, roots,
             column_positions(topology.order, columns), columns.count,
             topology.adjoints, lanes, jacobian);
}

struct JacobianProgram::State {
  // Handles that keep the graphs, and so every node of the order, alive.
  std::vector<Value> outputs;
  WalkBuffer<Entry> order;
  std::size_t rows = 0;
  std::size_t cols = 0;
  SweepPlan plan;
  // The positions whose value each call computes afresh: every one but the
  // Constants, whose values were taken once and cannot change.
  std::vector<std::uint32_t> steps;
  WalkBuffer<SmallValue> values;
  WalkBuffer<Adjoint> adjoints;
  // False while a pass runs: one that threw leaves adjoints behind.
  bool swept_clean = true;

  void forward() {
    // Each position reads only the values before it.
    for (const std::uint32_t position : steps) {
      evaluate_entry_into(order[position], values, values[position]);
    }
  }
};

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
  s.plan = plan_sweeps(s.order, roots, columns);
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
  for (const SweepPlan::Output& out : s.plan.outputs) {
    const SmallValue& v = s.values[out.root];
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
  run_sweeps(s.plan, s.order, s.values, s.adjoints, s.cols, lanes, jacobian);
  s.swept_clean = true;
}

EvaluationStatus JacobianProgram::try_evaluate(std::span<double> lanes) {
  try {
    evaluate(lanes);
  } catch (const std::invalid_argument& error) {
    if (std::strcmp(error.what(), kMsgNotFinite) != 0) throw;
    return EvaluationStatus::NotFinite;
  }
  return EvaluationStatus::Finite;
}

EvaluationStatus JacobianProgram::try_jacobian(std::span<double> lanes,
                                               std::span<double> jacobian) {
  try {
    this->jacobian(lanes, jacobian);
  } catch (const std::invalid_argument& error) {
    if (std::strcmp(error.what(), kMsgNotFinite) != 0) throw;
    return EvaluationStatus::NotFinite;
  }
  for (const double d : jacobian) {
    if (!std::isfinite(d)) return EvaluationStatus::NotFinite;
  }
  return EvaluationStatus::Finite;
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
