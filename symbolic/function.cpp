#include "symbolic/function.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "symbolic/internal.h"
#include "symbolic/program.h"

namespace quoril::symbolic {

namespace {

using detail::NodeAccess;

constexpr char kMsgInputKind[] =
    "function inputs must be Parameters or Undefined";
constexpr char kMsgInputTwice[] = "function input given twice";
constexpr char kMsgRowData[] = "row data do not match the function's inputs";
constexpr char kMsgRowLanes[] = "output buffer does not match rows and lanes";
constexpr char kMsgRowJacobian[] =
    "jacobian buffer does not match rows, outputs and Parameters";

// Checked before the program is prepared, so a bad input costs no walk.
std::vector<const ValueNode*> input_nodes(std::span<const Value> inputs) {
  std::vector<const ValueNode*> nodes;
  std::unordered_set<const ValueNode*> seen;
  for (const Value& input : inputs) {
    require_valid(input, "function input");
    const ValueNode* node = NodeAccess::get(input);
    if (node->kind != ValueKind::Parameter &&
        node->kind != ValueKind::Undefined) {
      detail::throw_invalid_argument(kMsgInputKind);
    }
    if (!seen.insert(node).second) {
      detail::throw_invalid_argument(kMsgInputTwice);
    }
    nodes.push_back(node);
  }
  return nodes;
}

std::string row_prefix(std::size_t row) {
  return "row " + std::to_string(row) + ": ";
}

// Rethrows the exception being handled as the same standard type, its
// message led by the row; any other exception passes unchanged.
[[noreturn]] void rethrow_in_row(std::size_t row) {
  try {
    throw;
  } catch (const std::out_of_range& e) {
    throw std::out_of_range(row_prefix(row) + e.what());
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(row_prefix(row) + e.what());
  } catch (const std::logic_error& e) {
    throw std::logic_error(row_prefix(row) + e.what());
  }
}

bool all_finite(std::span<const double> numbers) {
  return std::all_of(numbers.begin(), numbers.end(),
                     [](double d) { return std::isfinite(d); });
}

// Rows computed a block at a time, each node over every row of the block
// before the next node: the dispatch on a node's operation and the reads of
// its entry are paid once per block instead of once per row, and each loop
// over the rows is the operation's Rule applied lane by lane, as the row
// walk applies it, so every number comes out the same to the last bit. The
// lanes of position p lie at lanes + (offset[p] + i) * kBlockRows.
constexpr std::size_t kBlockRows = 128;
// Beyond this many lanes in all, a block no longer fits in the caches and
// the rows are walked one by one instead.
constexpr std::size_t kMaxBlockLanes = 512;

// Whether a block computes `entry` as the row walk would, given its
// operands' lane counts: otherwise the rows go one by one, and the row walk
// raises what it raises.
bool blockable(const Topology::Entry& entry,
               const WalkBuffer<Topology::Entry>& order) {
  if (entry.kind != ValueKind::Expression) return true;
  const int dimension = entry.dimension;
  if (dimension < 1 || dimension > 4) return false;
  const int operands = arity(entry.op);
  if (operands < 0 || entry.input_count < std::max(operands, 1)) return false;
  const auto dim_of = [&](int i) {
    return static_cast<int>(order[entry.inputs[i]].dimension);
  };
  switch (entry.op) {
    case ExpressionOp::Pack:
      if (entry.input_count != dimension) return false;
      for (int i = 0; i < entry.input_count; ++i) {
        if (dim_of(i) != 1) return false;
      }
      return true;
    case ExpressionOp::Component:
      return dimension == 1 && entry.component_index >= 0 &&
             entry.component_index < dim_of(0);
    default: break;
  }
  if (operands == 1) return dim_of(0) == dimension;
  for (int i = 0; i < 2; ++i) {
    if (dim_of(i) != 1 && dim_of(i) != dimension) return false;
  }
  return true;
}

// The loops of one node over a block. A position's lanes never share
// memory with another's, and adjoints lie in another buffer than values;
// __restrict says so, which lets the compiler vectorise the loops whose
// Rule it can. Operands may be the same array (x * x): they are only read.
// A written adjoint may be both operands' only in binary_adjoint_rows_same.
template <ExpressionOp op>
void binary_rows(const double* __restrict a, const double* __restrict b,
                 double* __restrict y, std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) y[r] = Rule<op>::value(a[r], b[r]);
}

template <ExpressionOp op>
void unary_rows(const double* __restrict x, double* __restrict y,
                std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) y[r] = Rule<op>::value(x[r]);
}

template <ExpressionOp op>
void binary_adjoint_rows(const double* __restrict g, const double* __restrict a,
                         const double* __restrict b, const double* __restrict y,
                         double* __restrict left, double* __restrict right,
                         bool b_varies, std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    add_binary_adjoint<op>(g[r], a[r], b[r], y[r], left[r], right[r], b_varies);
  }
}

template <ExpressionOp op>
void binary_adjoint_rows_same(const double* __restrict g,
                              const double* __restrict a,
                              const double* __restrict b,
                              const double* __restrict y,
                              double* __restrict both, bool b_varies,
                              std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    add_binary_adjoint<op>(g[r], a[r], b[r], y[r], both[r], both[r], b_varies);
  }
}

template <ExpressionOp op>
void unary_adjoint_rows(const double* __restrict g, const double* __restrict x,
                        const double* __restrict y, double* __restrict to,
                        std::size_t n) {
  for (std::size_t r = 0; r < n; ++r)
    Rule<op>::adjoint(g[r], x[r], y[r], to[r]);
}

// A number is not finite when its exponent bits are all set. Tested on the
// bits with an integer OR, which the compiler may reorder and so vectorise,
// where a loop of isfinite() stays one branch per number.
inline bool block_finite(const double* lanes, std::size_t count) noexcept {
  constexpr std::uint64_t kExponent = 0x7FF0000000000000u;
  std::uint64_t infinite = 0;
  for (std::size_t r = 0; r < count; ++r) {
    infinite |= (~std::bit_cast<std::uint64_t>(lanes[r]) & kExponent) == 0;
  }
  return infinite == 0;
}

}  // namespace

struct RowProgram::State : PreparedProgram {
  State(std::span<const Value> inputs, std::span<const Value> roots_of,
        std::span<const Value> params, std::vector<const ValueNode*> nodes)
      : PreparedProgram(roots_of, params, nodes),
        parameters(params.begin(), params.end()) {
    for (const Value& input : inputs) lanes.push_back(input.node().dimension);
    prepare_blocks();
  }

  // Writes row `row` of every reached input into the value buffer, checked
  // as set_value() checks a Parameter's new value; false for a non-finite
  // lane when `tolerant`, which otherwise throws.
  bool load(std::size_t row, std::span<const RowInput> data, bool tolerant) {
    for (std::size_t k = 0; k < data.size(); ++k) {
      const std::uint32_t position = input_positions[k];
      if (position == kNotReached) continue;
      SmallValue v{};
      v.dimension = lanes[k];
      const double* first = data[k].first + row * data[k].stride;
      for (int i = 0; i < v.dimension; ++i) lane(v, i) = first[i];
      if (!finite_lanes(v)) {
        if (tolerant) return false;
        detail::throw_not_finite();
      }
      values[position] = v;
    }
    return true;
  }

  // Runs rows [begin, end) one by one; a non-finite value gives NotFinite
  // when `tolerant`, and every other failure is thrown with its row.
  EvaluationStatus run_rows(std::size_t begin, std::size_t end,
                            std::span<const RowInput> data,
                            std::span<double> out, std::span<double> jacobian,
                            bool with_jacobian, bool tolerant) {
    const std::size_t block = rows * cols;
    for (std::size_t row = begin; row < end; ++row) {
      try {
        if (tolerant) {
          if (!load(row, data, true) || !forward_finite()) {
            return EvaluationStatus::NotFinite;
          }
        } else {
          load(row, data, false);
          forward();
        }
        std::span<double> row_lanes =
            out.empty() ? out : out.subspan(row * rows, rows);
        if (with_jacobian) {
          sweep(row_lanes, jacobian.subspan(row * block, block));
        } else {
          read_lanes(row_lanes.data());
        }
      } catch (const std::exception&) {
        constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
        std::fill(out.begin(), out.end(), kNaN);
        std::fill(jacobian.begin(), jacobian.end(), kNaN);
        rethrow_in_row(row);
      }
    }
    return EvaluationStatus::Finite;
  }

  // Runs every row, in blocks where the program allows, and a block that
  // meets a lane that is not finite again row by row, so that what it
  // raises (or NotFinite) is the row walk's, for the first such row.
  EvaluationStatus run(std::size_t count, std::span<const RowInput> data,
                       std::span<double> out, std::span<double> jacobian,
                       bool with_jacobian, bool tolerant) {
    std::size_t begin = 0;
    if (block_ready && load_leaves()) {
      for (; begin < count; begin += kBlockRows) {
        const std::size_t n = std::min(kBlockRows, count - begin);
        if (forward_block(begin, n, data)) {
          write_block(begin, n, out, jacobian, with_jacobian);
          continue;
        }
        const EvaluationStatus status = run_rows(
            begin, begin + n, data, out, jacobian, with_jacobian, tolerant);
        if (status != EvaluationStatus::Finite) return status;
      }
    }
    const EvaluationStatus status =
        run_rows(begin, count, data, out, jacobian, with_jacobian, tolerant);
    if (status != EvaluationStatus::Finite) return status;
    if (tolerant && with_jacobian && !all_finite(jacobian)) {
      return EvaluationStatus::NotFinite;
    }
    return EvaluationStatus::Finite;
  }

  // Lays out one block's lanes per position and decides whether the
  // program can run in blocks at all; the Constants' lanes are written
  // here once, as no call changes them.
  void prepare_blocks() {
    std::vector<bool> is_step(order.size(), false);
    for (const std::uint32_t position : steps) is_step[position] = true;
    std::size_t total = 0;
    offsets.resize(order.size());
    block_ready = true;
    for (std::size_t position = 0; position < order.size(); ++position) {
      const Topology::Entry& entry = order[position];
      offsets[position] = total;
      total += static_cast<std::size_t>(std::max<int>(entry.dimension, 0));
      if (!blockable(entry, order) ||
          (entry.kind == ValueKind::Constant && is_step[position])) {
        block_ready = false;
      }
      if (is_step[position] && entry.kind != ValueKind::Expression) {
        leaf_steps.push_back(static_cast<std::uint32_t>(position));
      }
    }
    for (std::size_t k = 0; k < input_positions.size(); ++k) {
      const std::uint32_t position = input_positions[k];
      if (position != kNotReached && order[position].dimension != lanes[k]) {
        block_ready = false;
      }
    }
    if (total > kMaxBlockLanes) block_ready = false;
    if (!block_ready) return;
    for (const SweepPlan::Output& output : plan.outputs) {
      std::vector<bool> written(cols, false);
      for (std::uint32_t k = output.reached_begin; k < output.reached_end;
           ++k) {
        const auto& [position, column] = plan.reached[k];
        for (int d = 0; d < order[position].dimension; ++d) {
          written[column + static_cast<std::size_t>(d)] = true;
        }
      }
      reaches_every_column.push_back(std::all_of(written.begin(), written.end(),
                                                 [](bool w) { return w; }));
    }
    block_lanes.assign(total * kBlockRows, 0.0);
    block_adjoints.assign(cols == 0 ? 0 : total * kBlockRows, 0.0);
    for (std::size_t position = 0; position < order.size(); ++position) {
      if (order[position].kind == ValueKind::Constant) {
        broadcast(position, values[position]);
      }
    }
  }

  double* lanes_at(std::uint32_t position, int lane) {
    return block_lanes.data() +
           (offsets[position] + static_cast<std::size_t>(lane)) * kBlockRows;
  }
  double* adjoints_at(std::uint32_t position, int lane) {
    return block_adjoints.data() +
           (offsets[position] + static_cast<std::size_t>(lane)) * kBlockRows;
  }

  void broadcast(std::size_t position, const SmallValue& v) {
    const auto p = static_cast<std::uint32_t>(position);
    for (int i = 0; i < order[position].dimension; ++i) {
      std::fill_n(lanes_at(p, i), kBlockRows, lane(v, i));
    }
  }

  // Reads the leaves that are not inputs (Parameters, at their values of
  // this call) into every row of the block; false where the row walk must
  // decide, as for an Undefined.
  bool load_leaves() {
    for (const std::uint32_t position : leaf_steps) {
      const Topology::Entry& entry = order[position];
      SmallValue v;
      try {
        v = evaluate_entry_general(entry, values);
      } catch (const std::exception&) {
        return false;
      }
      if (v.dimension != entry.dimension) return false;
      broadcast(position, v);
    }
    return true;
  }

  // Computes rows [begin, begin + n) in the block; false at the first lane
  // that is not finite, in an input or in a value computed.
  bool forward_block(std::size_t begin, std::size_t n,
                     std::span<const RowInput> data) {
    for (std::size_t k = 0; k < data.size(); ++k) {
      const std::uint32_t position = input_positions[k];
      if (position == kNotReached) continue;
      const std::size_t stride = data[k].stride;
      for (int i = 0; i < lanes[k]; ++i) {
        const double* from = data[k].first + begin * stride + i;
        double* to = lanes_at(position, i);
        for (std::size_t r = 0; r < n; ++r) to[r] = from[r * stride];
        if (!block_finite(to, n)) return false;
      }
    }
    for (const std::uint32_t position : steps) {
      const Topology::Entry& entry = order[position];
      if (entry.kind != ValueKind::Expression) continue;
      if (!forward_node(entry, position, n)) return false;
    }
    return true;
  }

  bool forward_node(const Topology::Entry& entry, std::uint32_t position,
                    std::size_t n) {
    const std::uint32_t* in = entry.inputs;
    const int dimension = entry.dimension;
    const auto step = [&](std::uint32_t input) {
      return order[input].dimension == 1 ? 0 : 1;
    };
    return visit_operation(
        entry.op,
        [&]<typename O>(O) {
          if constexpr (O::kOp == ExpressionOp::Pack) {
            for (int i = 0; i < dimension; ++i) {
              std::copy_n(lanes_at(in[i], 0), n, lanes_at(position, i));
            }
            return true;
          } else if constexpr (O::kOp == ExpressionOp::Component) {
            double* y = lanes_at(position, 0);
            std::copy_n(lanes_at(in[0], entry.component_index), n, y);
            return block_finite(y, n);
          } else if constexpr (O::kArity == 2) {
            const int sa = step(in[0]);
            const int sb = step(in[1]);
            bool finite = true;
            for (int i = 0; i < dimension; ++i) {
              const double* a = lanes_at(in[0], i * sa);
              const double* b = lanes_at(in[1], i * sb);
              double* y = lanes_at(position, i);
              binary_rows<O::kOp>(a, b, y, n);
              finite = finite && block_finite(y, n);
            }
            return finite;
          } else {
            bool finite = true;
            for (int i = 0; i < dimension; ++i) {
              const double* x = lanes_at(in[0], i);
              double* y = lanes_at(position, i);
              unary_rows<O::kOp>(x, y, n);
              finite = finite && block_finite(y, n);
            }
            return finite;
          }
        },
        [] { return false; });
  }

  // Adds one node's contributions over the block into its inputs'
  // adjoints, in the order propagate() adds them for one row.
  void reverse_node(const Topology::Entry& entry, std::uint32_t position,
                    std::size_t n) {
    const std::uint32_t* in = entry.inputs;
    const int dimension = entry.dimension;
    visit_operation(
        entry.op,
        [&]<typename O>(O) {
          if constexpr (O::kOp == ExpressionOp::Pack) {
            for (int i = 0; i < entry.input_count; ++i) {
              const double* g = adjoints_at(position, i);
              double* to = adjoints_at(in[i], 0);
              for (std::size_t r = 0; r < n; ++r) to[r] += g[r];
            }
          } else if constexpr (O::kOp == ExpressionOp::Component) {
            const double* g = adjoints_at(position, 0);
            double* to = adjoints_at(in[0], entry.component_index);
            for (std::size_t r = 0; r < n; ++r) to[r] += g[r];
          } else if constexpr (O::kArity == 2) {
            const int sa = order[in[0]].dimension == 1 ? 0 : 1;
            const int sb = order[in[1]].dimension == 1 ? 0 : 1;
            bool b_varies = true;
            if constexpr (kTakesRightVaries<O::kOp>) {
              b_varies = order[in[1]].kind != ValueKind::Constant;
            }
            for (int i = 0; i < dimension; ++i) {
              const double* g = adjoints_at(position, i);
              const double* a = lanes_at(in[0], i * sa);
              const double* b = lanes_at(in[1], i * sb);
              const double* y = lanes_at(position, i);
              double* left = adjoints_at(in[0], i * sa);
              double* right = adjoints_at(in[1], i * sb);
              if (left == right) {
                binary_adjoint_rows_same<O::kOp>(g, a, b, y, left, b_varies, n);
              } else {
                binary_adjoint_rows<O::kOp>(g, a, b, y, left, right, b_varies,
                                            n);
              }
            }
          } else {
            for (int i = 0; i < dimension; ++i) {
              const double* g = adjoints_at(position, i);
              const double* x = lanes_at(in[0], i);
              const double* y = lanes_at(position, i);
              unary_adjoint_rows<O::kOp>(g, x, y, adjoints_at(in[0], i), n);
            }
          }
        },
        [] {});
  }

  // Writes the block's rows of lanes and, when asked, of Jacobian, one
  // reverse pass per output lane over the whole block, as run_sweeps()
  // makes them for one row.
  void write_block(std::size_t begin, std::size_t n, std::span<double> out,
                   std::span<double> jacobian, bool with_jacobian) {
    std::size_t lane_row = 0;
    for (std::size_t o = 0; o < plan.outputs.size(); ++o) {
      const SweepPlan::Output& output = plan.outputs[o];
      const int dimension = order[output.root].dimension;
      for (int i = 0; i < dimension; ++i, ++lane_row) {
        if (!out.empty()) {
          const double* y = lanes_at(output.root, i);
          double* to = out.data() + begin * rows + lane_row;
          for (std::size_t r = 0; r < n; ++r) to[r * rows] = y[r];
        }
        if (!with_jacobian) continue;
        if (cols == 0) continue;
        const std::size_t block = rows * cols;
        double* first = jacobian.data() + begin * block + lane_row * cols;
        // Columns no pass of this output reaches stay 0; where it reaches
        // every one, all are written below.
        if (!reaches_every_column[o]) {
          for (std::size_t r = 0; r < n; ++r) {
            for (std::size_t c = 0; c < cols; ++c) first[r * block + c] = 0.0;
          }
        }
        std::fill_n(adjoints_at(output.root, i), n, 1.0);
        for (std::uint32_t k = output.sweep_begin; k < output.sweep_end; ++k) {
          const std::uint32_t position = plan.sweep[k];
          reverse_node(order[position], position, n);
        }
        for (std::uint32_t k = output.reached_begin; k < output.reached_end;
             ++k) {
          const auto& [position, column] = plan.reached[k];
          for (int d = 0; d < order[position].dimension; ++d) {
            const double* g = adjoints_at(position, d);
            double* to = first + column + static_cast<std::size_t>(d);
            for (std::size_t r = 0; r < n; ++r) to[r * block] = g[r];
          }
        }
        for (std::uint32_t k = output.clear_begin; k < output.clear_end; ++k) {
          const std::uint32_t position = plan.clear[k];
          for (int d = 0; d < order[position].dimension; ++d) {
            std::fill_n(adjoints_at(position, d), n, 0.0);
          }
        }
      }
    }
  }

  void require_data(std::size_t count, std::span<const RowInput> data,
                    std::span<double> out, std::size_t out_size,
                    std::span<double> jacobian, bool with_jacobian) const {
    if (data.size() != lanes.size()) {
      detail::throw_invalid_argument(kMsgRowData);
    }
    for (const RowInput& input : data) {
      if (count > 0 && input.first == nullptr) {
        detail::throw_invalid_argument(kMsgRowData);
      }
    }
    if (out.size() != out_size) detail::throw_invalid_argument(kMsgRowLanes);
    if (with_jacobian && jacobian.size() != count * rows * cols) {
      detail::throw_invalid_argument(kMsgRowJacobian);
    }
  }

  std::vector<Value> parameters;
  std::vector<int> lanes;
  // The block layout (prepare_blocks()); empty unless block_ready.
  bool block_ready = false;
  std::vector<std::size_t> offsets;
  std::vector<std::uint32_t> leaf_steps;
  std::vector<bool> reaches_every_column;
  std::vector<double> block_lanes;
  std::vector<double> block_adjoints;
};

std::size_t first_row_not_finite(std::size_t count, RowInput rows, int lanes) {
  const auto width = static_cast<std::size_t>(lanes);
  // Whole blocks of rows at a time, each through the vectorised test, and
  // the failing block again row by row.
  for (std::size_t begin = 0; begin < count; begin += kBlockRows) {
    const std::size_t n = std::min(kBlockRows, count - begin);
    const double* first = rows.first + begin * rows.stride;
    if (rows.stride == width && block_finite(first, n * width)) continue;
    for (std::size_t r = 0; r < n; ++r) {
      if (!block_finite(first + r * rows.stride, width)) return begin + r;
    }
  }
  return count;
}

RowProgram::RowProgram(std::span<const Value> inputs,
                       std::span<const Value> outputs,
                       std::span<const Value> params)
    : state_(std::make_unique<State>(inputs, outputs, params,
                                     input_nodes(inputs))) {}

RowProgram::~RowProgram() = default;
RowProgram::RowProgram(RowProgram&&) noexcept = default;
RowProgram& RowProgram::operator=(RowProgram&&) noexcept = default;

std::size_t RowProgram::rows() const noexcept { return state_->rows; }
std::size_t RowProgram::cols() const noexcept { return state_->cols; }
std::vector<int> RowProgram::input_lanes() const { return state_->lanes; }
const std::vector<Value>& RowProgram::params() const noexcept {
  return state_->parameters;
}

void RowProgram::evaluate(std::size_t count, std::span<const RowInput> data,
                          std::span<double> lanes) {
  State& s = *state_;
  s.require_data(count, data, lanes, count * s.rows, {}, false);
  static_cast<void>(s.run(count, data, lanes, {}, false, false));
}

void RowProgram::jacobian(std::size_t count, std::span<const RowInput> data,
                          std::span<double> lanes, std::span<double> jacobian) {
  State& s = *state_;
  s.require_data(count, data, lanes, lanes.empty() ? 0 : count * s.rows,
                 jacobian, true);
  static_cast<void>(s.run(count, data, lanes, jacobian, true, false));
}

EvaluationStatus RowProgram::try_evaluate(std::size_t count,
                                          std::span<const RowInput> data,
                                          std::span<double> lanes) {
  State& s = *state_;
  s.require_data(count, data, lanes, count * s.rows, {}, false);
  return s.run(count, data, lanes, {}, false, true);
}

EvaluationStatus RowProgram::try_jacobian(std::size_t count,
                                          std::span<const RowInput> data,
                                          std::span<double> lanes,
                                          std::span<double> jacobian) {
  State& s = *state_;
  s.require_data(count, data, lanes, lanes.empty() ? 0 : count * s.rows,
                 jacobian, true);
  return s.run(count, data, lanes, jacobian, true, true);
}

}  // namespace quoril::symbolic
