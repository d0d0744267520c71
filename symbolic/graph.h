#ifndef QUORIL_SYMBOLIC_GRAPH_H_
#define QUORIL_SYMBOLIC_GRAPH_H_

// Calls over several values at once: their lanes, their Jacobian and
// Hessian with respect to Parameters, and a listing of the graph beneath
// them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "symbolic/value.h"

namespace quoril::symbolic {

// Returns the total lane count of `values`; throws std::invalid_argument for
// an empty handle.
std::size_t lane_count(std::span<const Value> values);

// Evaluates each output afresh, in order, and writes its lanes one after the
// other into `lanes`, which must hold lane_count(outputs) numbers. Throws
// what Value::evaluate() throws, and std::invalid_argument for a buffer of
// another size.
void evaluate_into(std::span<const Value> outputs, std::span<double> lanes);

// Writes the derivative of every output lane with respect to every
// Parameter lane into `jacobian`, row-major: a row per output lane (outputs
// in order, each one's lanes in order), a column per Parameter lane
// (`params` in order, each one's lanes in order). A Parameter that an output
// does not reach gives zeros. When `lanes` is not empty it receives the
// outputs' lanes as from evaluate_into. No Parameter's grad changes.
//
// Each output is walked on its own, so the cost is the sum over the outputs
// of the nodes each reaches, times its lanes. Throws std::invalid_argument
// for a `params` entry that is not a Parameter or is given twice, or buffers
// of the wrong size, before evaluating anything; then what
// Value::evaluate() throws.
void jacobian_into(std::span<const Value> outputs,
                   std::span<const Value> params, std::span<double> lanes,
                   std::span<double> jacobian);

// What evaluating at a trial point came to, for callers (solvers above all)
// to whom a value that is not finite is an answer rather than an error.
enum class EvaluationStatus : std::uint8_t { Finite, NotFinite };

// The outputs' graphs ordered once, then evaluated with or without their
// Jacobian as often as needed, as a solver does at every trial point.
// Graphs never change shape; only the values of Parameters do, and every
// call reads them afresh, so a program stays exact however the Parameters
// move. It keeps its own handles to the outputs, so their graphs live as
// long as it does. Calls on one program must not overlap.
class JacobianProgram {
 public:
  // Throws what jacobian_into() throws for the same outputs and Parameters
  // before it evaluates anything.
  JacobianProgram(std::span<const Value> outputs,
                  std::span<const Value> params);
  ~JacobianProgram();
  JacobianProgram(JacobianProgram&&) noexcept;
  JacobianProgram& operator=(JacobianProgram&&) noexcept;

  std::size_t rows() const noexcept;
  std::size_t cols() const noexcept;

  // As evaluate_into() and jacobian_into() for the program's outputs and
  // Parameters, with the same results and errors.
  void evaluate(std::span<double> lanes);
  void jacobian(std::span<double> lanes, std::span<double> jacobian);

  // As evaluate() and jacobian(), except that a value, or a Jacobian entry,
  // that is not finite gives NotFinite instead of an error; every other
  // failure still throws. After NotFinite the buffers hold no meaning.
  [[nodiscard]] EvaluationStatus try_evaluate(std::span<double> lanes);
  [[nodiscard]] EvaluationStatus try_jacobian(std::span<double> lanes,
                                              std::span<double> jacobian);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The outputs' graphs ordered once for their second derivatives with
// respect to Parameters, by forward over reverse, at the Parameters'
// current values. Every call is for a weighted sum of the output lanes
// (weights in the order of jacobian_into's rows): one output lane with a
// weight of 1, or a Lagrangian, an objective plus multipliers times
// constraints, at the cost of one. Kinks follow the first derivatives'
// conventions. It keeps its own handles to the outputs; calls on one
// program must not overlap.
class HessianProgram {
 public:
  // Throws what jacobian_into() throws for the same outputs and Parameters
  // before it evaluates anything.
  HessianProgram(std::span<const Value> outputs, std::span<const Value> params);
  ~HessianProgram();
  HessianProgram(HessianProgram&&) noexcept;
  HessianProgram& operator=(HessianProgram&&) noexcept;

  std::size_t rows() const noexcept;
  std::size_t cols() const noexcept;

  // Writes the Hessian of the weighted sum, cols x cols row-major and
  // symmetric, and its gradient when `gradient` is not empty. Throws
  // std::invalid_argument for buffers of the wrong size before evaluating,
  // then what Value::evaluate() throws.
  void hessian(std::span<const double> weights, std::span<double> gradient,
               std::span<double> hessian);
  // Writes the Hessian of the weighted sum times `direction` into
  // `product`, both of cols numbers, with one tangent; as hessian()
  // otherwise.
  void hessian_vector_product(std::span<const double> weights,
                              std::span<const double> direction,
                              std::span<double> gradient,
                              std::span<double> product);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Every node beneath some roots, in evaluation order, with the value of each
// from one evaluation.
struct GraphTrace {
  // The number of distinct nodes reachable from the roots.
  std::size_t total = 0;
  // The nodes kept: all of them, or, when there are more than the limit,
  // those nearest the roots (fewest steps down from any root). In evaluation
  // order: inputs before the nodes that use them, the roots' graphs in the
  // order of the roots.
  std::vector<Value> nodes;
  // Per kept node, the index in `nodes` of each input; -1 for an input that
  // was not kept. Unused slots beyond the node's input count are -1 too.
  std::vector<std::array<std::int64_t, 4>> inputs;
  // Per kept node, its value; empty when not evaluated, or when evaluation
  // stopped before reaching the node.
  std::vector<std::optional<SmallValue>> values;
  // The first node in evaluation order whose value could not be computed,
  // and the error that evaluating it raised; an empty handle when every
  // value was computed or nothing was evaluated.
  Value failed;
  std::exception_ptr error;
};

// Orders the graph beneath `roots` and, when `evaluate` is set, evaluates it
// node by node until the first failure, which is recorded rather than
// thrown. Keeps at most `max_nodes` nodes (at least one). Throws
// std::invalid_argument for an empty handle or a `max_nodes` of 0.
GraphTrace trace(std::span<const Value> roots, bool evaluate,
                 std::size_t max_nodes);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_GRAPH_H_
