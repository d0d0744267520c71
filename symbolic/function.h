#ifndef QUORIL_SYMBOLIC_FUNCTION_H_
#define QUORIL_SYMBOLIC_FUNCTION_H_

// A model written once over leaves that stand for one row of data, run over
// many rows: its lanes and their Jacobian per row, with nothing written into
// any node.

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "symbolic/graph.h"
#include "symbolic/value.h"

namespace quoril::symbolic {

// Where one input's rows lie: the lanes of row i start at first + i * stride
// and follow one another. A stride of 0 gives every row the same lanes.
struct RowInput {
  const double* first = nullptr;
  std::size_t stride = 0;
};

// Returns the first of `count` rows of `lanes` numbers each, the rows
// `stride` numbers apart, that holds a number that is not finite, or
// `count` when every one is finite: the check of a caller's data, one pass
// with no allocation.
std::size_t first_row_not_finite(std::size_t count, RowInput rows, int lanes);

// The outputs' graphs ordered once, with `inputs` (Parameters or Undefined
// leaves) taking their values from the caller's rows and every other leaf
// read from its node at each call, as JacobianProgram reads it. Row i gives
// bit for bit what setting the inputs to row i and calling evaluate_into()
// or jacobian_into() gives. It keeps its own handles to the outputs and the
// Parameters. Calls on one program must not overlap.
class RowProgram {
 public:
  // Throws std::invalid_argument for an input that is not a Parameter or an
  // Undefined, or is given twice, and what JacobianProgram's constructor
  // throws for the outputs and Parameters.
  RowProgram(std::span<const Value> inputs, std::span<const Value> outputs,
             std::span<const Value> params);
  ~RowProgram();
  RowProgram(RowProgram&&) noexcept;
  RowProgram& operator=(RowProgram&&) noexcept;

  // Output lanes per row, Parameter lanes, and the inputs' lanes.
  std::size_t rows() const noexcept;
  std::size_t cols() const noexcept;
  std::vector<int> input_lanes() const;
  const std::vector<Value>& params() const noexcept;

  // Writes `count` rows of lanes (count x rows()) and, for jacobian(), of
  // Jacobian (count x rows() x cols(), row-major); `lanes` may be empty
  // there. `data` holds one entry per input. Throws std::invalid_argument
  // for data or buffers that do not match, before computing anything; then
  // what evaluation throws, of the same type with "row i: " before its
  // message, after filling both buffers with NaN so that no row's numbers
  // outlive a failed call.
  void evaluate(std::size_t count, std::span<const RowInput> data,
                std::span<double> lanes);
  void jacobian(std::size_t count, std::span<const RowInput> data,
                std::span<double> lanes, std::span<double> jacobian);

  // As evaluate() and jacobian(), except that a value or Jacobian entry that
  // is not finite in any row gives NotFinite instead of an error. After
  // NotFinite the buffers hold no meaning.
  [[nodiscard]] EvaluationStatus try_evaluate(std::size_t count,
                                              std::span<const RowInput> data,
                                              std::span<double> lanes);
  [[nodiscard]] EvaluationStatus try_jacobian(std::size_t count,
                                              std::span<const RowInput> data,
                                              std::span<double> lanes,
                                              std::span<double> jacobian);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_FUNCTION_H_
