#include "symbolic/graph.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "symbolic/columns.h"
#include "symbolic/internal.h"
#include "symbolic/program.h"

namespace quoril::symbolic {

namespace {

constexpr char kMsgLanesBuffer[] =
    "output buffer does not match the outputs' lanes";
constexpr char kMsgJacobianBuffer[] =
    "jacobian buffer does not match outputs and Parameters";

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
  require_size(lanes, lane_count(outputs), kMsgLanesBuffer);
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
constexpr std::size_t kNoColumn = ~std::size_t{0};

ColumnAt column_positions(const WalkBuffer<Entry>& order,
                          const Columns& columns) {
  ColumnAt column_at;
  for (std::size_t position = 0; position < order.size(); ++position) {
    if (order[position].kind != ValueKind::Parameter) continue;
    const auto found = columns.first.find(order[position].node);
    if (found != columns.first.end()) {
      column_at.emplace_back(static_cast<std::uint32_t>(position),
                             found->second);
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
                std::span<const std::uint32_t> roots, const ColumnAt& column_at,
                std::size_t cols, WalkBuffer<Adjoint>& adjoints,
                std::span<double> lanes, std::span<double> jacobian) {
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
      finish_pass(scratch,
                  [&](std::uint32_t position) { adjoints[position] = {}; });
    }
    if (own_run) run_start = root + 1;
  }
}

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
    require_size(lanes, rows, kMsgLanesBuffer);
  }
  require_size(jacobian, rows * columns.count, kMsgJacobianBuffer);

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

PreparedProgram::PreparedProgram(std::span<const Value> roots_of,
                                 std::span<const Value> params,
                                 std::span<const ValueNode* const> inputs) {
  rows = lane_count(roots_of);
  const Columns columns = columns_of(params);
  cols = columns.count;
  outputs.assign(roots_of.begin(), roots_of.end());
  std::vector<std::uint32_t> roots;
  {
    TopologyLease lease;
    Topology& topology = lease.get();
    build_topology(outputs, topology, Walk::OrderOnly, roots);
    order.assign(topology.order.begin(), topology.order.end());
  }
  plan = plan_sweeps(order, roots, columns);
  input_positions.assign(inputs.size(), kNotReached);
  std::unordered_map<const ValueNode*, std::size_t> input_of;
  for (std::size_t k = 0; k < inputs.size(); ++k)
    input_of.emplace(inputs[k], k);
  // A Constant's node is read once here rather than on every call: the
  // graph's nodes are spread over far more memory than its values. One
  // that fails to evaluate (only a node filled in by hand can) stays a step,
  // so that the failure comes in order when the program runs.
  values.resize(order.size());
  for (std::size_t position = 0; position < order.size(); ++position) {
    const Entry& entry = order[position];
    if (!input_of.empty() && entry.kind != ValueKind::Expression) {
      const auto found = input_of.find(entry.node);
      if (found != input_of.end()) {
        input_positions[found->second] = static_cast<std::uint32_t>(position);
        continue;
      }
    }
    if (entry.kind == ValueKind::Constant) {
      try {
        values[position] = evaluate_entry(entry, values);
        continue;
      } catch (const std::exception&) {
      }
    }
    steps.push_back(static_cast<std::uint32_t>(position));
  }
  adjoints.assign(order.size(), Adjoint{});
}

void PreparedProgram::read_lanes(double* lanes) const {
  std::size_t row = 0;
  for (const SweepPlan::Output& out : plan.outputs) {
    const SmallValue& v = values[out.root];
    for (int i = 0; i < v.dimension; ++i) lanes[row++] = lane(v, i);
  }
}

void PreparedProgram::sweep(std::span<double> lanes,
                            std::span<double> jacobian) {
  if (!swept_clean) adjoints.assign(order.size(), Adjoint{});
  swept_clean = false;
  run_sweeps(plan, order, values, adjoints, cols, lanes, jacobian);
  swept_clean = true;
}

void PreparedProgram::require_sizes(std::span<double> lanes,
                                    std::span<double> jacobian) const {
  if (!lanes.empty()) require_size(lanes, rows, kMsgLanesBuffer);
  require_size(jacobian, rows * cols, kMsgJacobianBuffer);
}

struct JacobianProgram::State : PreparedProgram {
  using PreparedProgram::PreparedProgram;
};

JacobianProgram::JacobianProgram(std::span<const Value> outputs,
                                 std::span<const Value> params)
    : state_(std::make_unique<State>(outputs, params)) {}

JacobianProgram::~JacobianProgram() = default;
JacobianProgram::JacobianProgram(JacobianProgram&&) noexcept = default;
JacobianProgram& JacobianProgram::operator=(JacobianProgram&&) noexcept =
    default;

std::size_t JacobianProgram::rows() const noexcept { return state_->rows; }
std::size_t JacobianProgram::cols() const noexcept { return state_->cols; }

void JacobianProgram::evaluate(std::span<double> lanes) {
  State& s = *state_;
  require_size(lanes, s.rows, kMsgLanesBuffer);
  s.forward();
  s.read_lanes(lanes.data());
}

void JacobianProgram::jacobian(std::span<double> lanes,
                               std::span<double> jacobian) {
  State& s = *state_;
  s.require_sizes(lanes, jacobian);
  s.forward();
  s.sweep(lanes, jacobian);
}

EvaluationStatus JacobianProgram::try_evaluate(std::span<double> lanes) {
  State& s = *state_;
  require_size(lanes, s.rows, kMsgLanesBuffer);
  if (!s.forward_finite()) return EvaluationStatus::NotFinite;
  s.copy_lanes(lanes);
  return EvaluationStatus::Finite;
}

EvaluationStatus JacobianProgram::try_jacobian(std::span<double> lanes,
                                               std::span<double> jacobian) {
  State& s = *state_;
  s.require_sizes(lanes, jacobian);
  if (!s.forward_finite()) return EvaluationStatus::NotFinite;
  s.sweep(lanes, jacobian);
  for (const double d : jacobian) {
    if (!std::isfinite(d)) return EvaluationStatus::NotFinite;
  }
  return EvaluationStatus::Finite;
}

}  // namespace quoril::symbolic
