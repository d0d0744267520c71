#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "symbolic/columns.h"
#include "symbolic/graph.h"
#include "symbolic/internal.h"
#include "symbolic/kernels.h"

namespace quoril::symbolic {

namespace {

using Entry = Topology::Entry;
using Adjoint = std::array<double, 4>;
constexpr std::size_t kNoColumn = ~std::size_t{0};

constexpr char kMsgWeights[] =
    "hessian weights do not match the outputs' lanes";
constexpr char kMsgHessianBuffer[] =
    "hessian buffer does not match the Parameters";
constexpr char kMsgDirection[] =
    "hessian direction does not match the Parameters";
constexpr char kMsgGradientBuffer[] =
    "gradient buffer does not match the Parameters";

void require_size(std::size_t size, std::size_t expected, const char* message) {
  if (size != expected) detail::throw_invalid_argument(message);
}

// A unary Rule's first derivative at one lane, from its adjoint() with a
// unit adjoint, so that the derivative has one definition.
template <ExpressionOp op>
double first_of(double x, double y) {
  double d = 0.0;
  Rule<op>::adjoint(1.0, x, y, d);
  return d;
}

// g * d, where an adjoint tangent of 0 carries nothing even through an
// infinite first derivative (sqrt at 0), so that only the second
// derivative's own infinity reaches the Hessian.
inline double carried(double g, double d) { return g == 0.0 ? 0.0 : g * d; }

}  // namespace

// Forward over reverse: a forward pass carries, beside each lane's value,
// its derivative along K directions at once; the reverse pass then carries
// beside each adjoint that adjoint's derivative along the same directions,
// which at a Parameter is a column of the weighted Hessian times the
// directions. One sweep serves K directions, so a full Hessian is one
// forward and one reverse pass of K = P tangents, and the weighted sum over
// several outputs (a Lagrangian's) costs no more than one output.
struct HessianProgram::State {
  std::vector<Value> outputs;
  WalkBuffer<Entry> order;
  std::vector<std::uint32_t> roots;
  // The column of each position's first lane, kNoColumn for all but the
  // Parameters of `params`.
  std::vector<std::size_t> column_of;
  std::size_t rows = 0;
  std::size_t cols = 0;
  WalkBuffer<SmallValue> values;
  // Per position and lane, K numbers: [(position * 4 + lane) * K + k].
  std::vector<double> tangents;
  std::vector<Adjoint> adjoints;
  std::vector<double> adjoint_tangents;
  std::size_t directions = 0;

  double* tangent(std::vector<double>& of, std::uint32_t position,
                  std::size_t lane_index) {
    return of.data() + (position * 4 + lane_index) * directions;
  }

  // The values and their tangents along the columns of `seed`, cols x K.
  void forward(std::span<const double> seed) {
    const std::size_t k_count = directions;
    tangents.assign(order.size() * 4 * k_count, 0.0);
    for (std::uint32_t position = 0; position < order.size(); ++position) {
      const Entry& entry = order[position];
      evaluate_entry_into(entry, values, values[position]);
      if (entry.kind == ValueKind::Parameter) {
        const std::size_t column = column_of[position];
        if (column == kNoColumn) continue;
        for (int d = 0; d < entry.dimension; ++d) {
          const auto lane_index = static_cast<std::size_t>(d);
          std::copy_n(seed.data() + (column + lane_index) * k_count, k_count,
                      tangent(tangents, position, lane_index));
        }
        continue;
      }
      if (entry.kind != ValueKind::Expression) continue;
      forward_tangent(entry, position);
    }
  }

  void forward_tangent(const Entry& entry, std::uint32_t position) {
    const std::size_t k_count = directions;
    const SmallValue& out = values[position];
    visit_operation(
        entry.op,
        [&]<typename O>(O) {
          if constexpr (O::kOp == ExpressionOp::Pack) {
            for (int i = 0; i < entry.input_count; ++i) {
              std::copy_n(
                  tangent(tangents, entry.inputs[i], 0), k_count,
                  tangent(tangents, position, static_cast<std::size_t>(i)));
            }
          } else if constexpr (O::kOp == ExpressionOp::Component) {
            std::copy_n(
                tangent(tangents, entry.inputs[0],
                        static_cast<std::size_t>(entry.component_index)),
                k_count, tangent(tangents, position, 0));
          } else if constexpr (O::kArity == 2) {
            const SmallValue& a = values[entry.inputs[0]];
            const SmallValue& b = values[entry.inputs[1]];
            const std::size_t sa = a.dimension == 1 ? 0 : 1;
            const std::size_t sb = b.dimension == 1 ? 0 : 1;
            const bool b_varies = right_varies<O::kOp>(entry);
            for (std::size_t i = 0; i < static_cast<std::size_t>(out.dimension);
                 ++i) {
              double da = 0.0, db = 0.0;
              add_binary_adjoint<O::kOp>(1.0, a.lanes[i * sa], b.lanes[i * sb],
                                         out.lanes[i], da, db, b_varies);
              const double* ta = tangent(tangents, entry.inputs[0], i * sa);
              const double* tb = tangent(tangents, entry.inputs[1], i * sb);
              double* t = tangent(tangents, position, i);
              for (std::size_t k = 0; k < k_count; ++k) {
                t[k] = da * ta[k] + db * tb[k];
              }
            }
          } else {
            const SmallValue& x = values[entry.inputs[0]];
            for (std::size_t i = 0; i < static_cast<std::size_t>(out.dimension);
                 ++i) {
              const double d = first_of<O::kOp>(x.lanes[i], out.lanes[i]);
              const double* tx = tangent(tangents, entry.inputs[0], i);
              double* t = tangent(tangents, position, i);
              for (std::size_t k = 0; k < k_count; ++k) t[k] = d * tx[k];
            }
          }
        },
        [] { detail::throw_logic_error("unsupported symbolic hessian op"); });
  }

  template <ExpressionOp op>
  bool right_varies(const Entry& entry) const {
    if constexpr (kTakesRightVaries<op>) {
      return order[entry.inputs[1]].kind != ValueKind::Constant;
    } else {
      return true;
    }
  }

  // Whether nothing flows back from a position: a node that no weighted
  // output depends on contributes nothing, not 0 * inf where a derivative
  // is infinite.
  bool silent(std::uint32_t position, int dimension) {
    const Adjoint& g = adjoints[position];
    const double* begin = tangent(adjoint_tangents, position, 0);
    const double* end =
        begin + static_cast<std::size_t>(dimension) * directions;
    return std::all_of(g.begin(), g.begin() + dimension,
                       [](double x) { return x == 0.0; }) &&
           std::all_of(begin, end, [](double x) { return x == 0.0; });
  }

  void reverse(std::span<const double> weights) {
    const std::size_t k_count = directions;
    adjoints.assign(order.size(), Adjoint{});
    adjoint_tangents.assign(order.size() * 4 * k_count, 0.0);
    std::size_t row = 0;
    for (const std::uint32_t root : roots) {
      for (int i = 0; i < order[root].dimension; ++i) {
        adjoints[root][static_cast<std::size_t>(i)] += weights[row++];
      }
    }
    for (std::uint32_t position = static_cast<std::uint32_t>(order.size());
         position-- > 0;) {
      const Entry& entry = order[position];
      if (entry.kind != ValueKind::Expression) continue;
      if (silent(position, entry.dimension)) continue;
      reverse_tangent(entry, position);
    }
  }

  void reverse_tangent(const Entry& entry, std::uint32_t position) {
    const std::size_t k_count = directions;
    const SmallValue& out = values[position];
    const Adjoint g = adjoints[position];
    // Adds `scale` times a tangent row into another.
    const auto add = [k_count](double* into, const double* from, double scale) {
      for (std::size_t k = 0; k < k_count; ++k) into[k] += scale * from[k];
    };
    visit_operation(
        entry.op,
        [&]<typename O>(O) {
          if constexpr (O::kOp == ExpressionOp::Pack) {
            for (int i = 0; i < entry.input_count; ++i) {
              const auto li = static_cast<std::size_t>(i);
              adjoints[entry.inputs[i]][0] += g[li];
              add(tangent(adjoint_tangents, entry.inputs[i], 0),
                  tangent(adjoint_tangents, position, li), 1.0);
            }
          } else if constexpr (O::kOp == ExpressionOp::Component) {
            const auto c = static_cast<std::size_t>(entry.component_index);
            adjoints[entry.inputs[0]][c] += g[0];
            add(tangent(adjoint_tangents, entry.inputs[0], c),
                tangent(adjoint_tangents, position, 0), 1.0);
          } else if constexpr (O::kArity == 2) {
            const std::uint32_t ia = entry.inputs[0];
            const std::uint32_t ib = entry.inputs[1];
            const SmallValue& a = values[ia];
            const SmallValue& b = values[ib];
            const std::size_t sa = a.dimension == 1 ? 0 : 1;
            const std::size_t sb = b.dimension == 1 ? 0 : 1;
            const bool b_varies = right_varies<O::kOp>(entry);
            for (std::size_t i = 0; i < static_cast<std::size_t>(out.dimension);
                 ++i) {
              const double av = a.lanes[i * sa];
              const double bv = b.lanes[i * sb];
              double da = 0.0, db = 0.0;
              add_binary_adjoint<O::kOp>(1.0, av, bv, out.lanes[i], da, db,
                                         b_varies);
              const Second s =
                  binary_second<O::kOp>(av, bv, out.lanes[i], b_varies);
              adjoints[ia][i * sa] += g[i] * da;
              adjoints[ib][i * sb] += g[i] * db;
              const double* gt = tangent(adjoint_tangents, position, i);
              const double* ta = tangent(tangents, ia, i * sa);
              const double* tb = tangent(tangents, ib, i * sb);
              double* at = tangent(adjoint_tangents, ia, i * sa);
              double* bt = tangent(adjoint_tangents, ib, i * sb);
              // at and bt are one row when an operand is used twice (x * x):
              // each sum is complete before the next begins.
              for (std::size_t k = 0; k < k_count; ++k) {
                at[k] +=
                    carried(gt[k], da) + g[i] * (s.aa * ta[k] + s.ab * tb[k]);
              }
              for (std::size_t k = 0; k < k_count; ++k) {
                bt[k] +=
                    carried(gt[k], db) + g[i] * (s.ab * ta[k] + s.bb * tb[k]);
              }
            }
          } else {
            const std::uint32_t ix = entry.inputs[0];
            const SmallValue& x = values[ix];
            for (std::size_t i = 0; i < static_cast<std::size_t>(out.dimension);
                 ++i) {
              const double d = first_of<O::kOp>(x.lanes[i], out.lanes[i]);
              const double s = Rule<O::kOp>::second(x.lanes[i], out.lanes[i]);
              adjoints[ix][i] += g[i] * d;
              const double* gt = tangent(adjoint_tangents, position, i);
              const double* tx = tangent(tangents, ix, i);
              double* xt = tangent(adjoint_tangents, ix, i);
              for (std::size_t k = 0; k < k_count; ++k) {
                xt[k] += carried(gt[k], d) + g[i] * s * tx[k];
              }
            }
          }
        },
        [] { detail::throw_logic_error("unsupported symbolic hessian op"); });
  }

  // Runs both passes along the columns of `seed` (cols x K), writing the
  // weighted gradient when asked and the weighted Hessian times the seed,
  // cols x K.
  void run(std::span<const double> weights, std::span<const double> seed,
           std::size_t k_count, std::span<double> gradient,
           std::span<double> product) {
    require_size(weights.size(), rows, kMsgWeights);
    if (!gradient.empty())
      require_size(gradient.size(), cols, kMsgGradientBuffer);
    directions = k_count;
    forward(seed);
    reverse(weights);
    std::fill(product.begin(), product.end(), 0.0);
    if (!gradient.empty()) std::fill(gradient.begin(), gradient.end(), 0.0);
    for (std::uint32_t position = 0; position < order.size(); ++position) {
      const std::size_t column = column_of[position];
      if (column == kNoColumn) continue;
      for (int d = 0; d < order[position].dimension; ++d) {
        const auto lane_index = static_cast<std::size_t>(d);
        if (!gradient.empty()) {
          gradient[column + lane_index] = adjoints[position][lane_index];
        }
        std::copy_n(tangent(adjoint_tangents, position, lane_index), k_count,
                    product.data() + (column + lane_index) * k_count);
      }
    }
  }
};

HessianProgram::HessianProgram(std::span<const Value> outputs,
                               std::span<const Value> params)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.rows = lane_count(outputs);
  const Columns columns = columns_of(params);
  s.cols = columns.count;
  s.outputs.assign(outputs.begin(), outputs.end());
  {
    TopologyLease lease;
    Topology& topology = lease.get();
    build_topology(s.outputs, topology, Walk::OrderOnly, s.roots);
    s.order.assign(topology.order.begin(), topology.order.end());
  }
  s.column_of.assign(s.order.size(), kNoColumn);
  for (std::size_t position = 0; position < s.order.size(); ++position) {
    if (s.order[position].kind != ValueKind::Parameter) continue;
    const auto found = columns.first.find(s.order[position].node);
    if (found != columns.first.end()) s.column_of[position] = found->second;
  }
  s.values.resize(s.order.size());
}

HessianProgram::~HessianProgram() = default;
HessianProgram::HessianProgram(HessianProgram&&) noexcept = default;
HessianProgram& HessianProgram::operator=(HessianProgram&&) noexcept = default;

std::size_t HessianProgram::rows() const noexcept { return state_->rows; }
std::size_t HessianProgram::cols() const noexcept { return state_->cols; }

void HessianProgram::hessian(std::span<const double> weights,
                             std::span<double> gradient,
                             std::span<double> hessian) {
  State& s = *state_;
  const std::size_t n = s.cols;
  require_size(hessian.size(), n * n, kMsgHessianBuffer);
  std::vector<double> identity(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) identity[i * n + i] = 1.0;
  s.run(weights, identity, n, gradient, hessian);
  // Exact arithmetic gives a symmetric result; rounding need not, so the
  // mean of the two triangles makes it so.
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const double mean = 0.5 * (hessian[i * n + j] + hessian[j * n + i]);
      hessian[i * n + j] = mean;
      hessian[j * n + i] = mean;
    }
  }
}

void HessianProgram::hessian_vector_product(std::span<const double> weights,
                                            std::span<const double> direction,
                                            std::span<double> gradient,
                                            std::span<double> product) {
  State& s = *state_;
  require_size(direction.size(), s.cols, kMsgDirection);
  require_size(product.size(), s.cols, kMsgHessianBuffer);
  s.run(weights, direction, 1, gradient, product);
}

}  // namespace quoril::symbolic
