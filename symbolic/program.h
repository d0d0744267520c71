#ifndef QUORIL_SYMBOLIC_PROGRAM_H_
#define QUORIL_SYMBOLIC_PROGRAM_H_

// Private to the core: the outputs' graphs ordered once with their reverse
// passes planned, as JacobianProgram and RowProgram both run them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "symbolic/columns.h"
#include "symbolic/internal.h"
#include "symbolic/kernels.h"
#include "symbolic/value.h"
#include "symbolic/walk.h"

namespace quoril::symbolic {

using Adjoint = std::array<double, 4>;
// A column Parameter's position in an order, and its first column.
using ColumnAt = std::vector<std::pair<std::uint32_t, std::size_t>>;

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

inline constexpr std::uint32_t kNotReached = ~std::uint32_t{0};

struct PreparedProgram {
  // Orders the outputs' graphs and plans their passes. The leaves in
  // `inputs` take no value from their nodes: the caller writes each one's
  // value at input_positions[k] (kNotReached when no output reaches it)
  // before forward(). Throws as jacobian_into() does before evaluating.
  PreparedProgram(std::span<const Value> roots_of,
                  std::span<const Value> params,
                  std::span<const ValueNode* const> inputs = {});

  // Computes every position's value but the Constants' and the inputs'.
  void forward() {
    // Each position reads only the values before it.
    for (const std::uint32_t position : steps) {
      evaluate_entry_into(order[position], values, values[position]);
    }
  }

  // forward(), stopping at the first value that is not finite: false there
  // instead of the error, for a solver to whom that is a rejected point.
  bool forward_finite() {
    for (const std::uint32_t position : steps) {
      if (!evaluate_entry_finite(order[position], values, values[position])) {
        return false;
      }
    }
    return true;
  }

  void copy_lanes(std::span<double> lanes) const { read_lanes(lanes.data()); }

  void require_sizes(std::span<double> lanes, std::span<double> jacobian) const;

  // Writes the outputs' lanes into `lanes`, which holds `rows` numbers.
  void read_lanes(double* lanes) const;

  // Writes the Jacobian (rows x cols) of the values forward() left, and the
  // lanes when `lanes` is not empty.
  void sweep(std::span<double> lanes, std::span<double> jacobian);

  // Handles that keep the graphs, and so every node of the order, alive.
  std::vector<Value> outputs;
  WalkBuffer<Topology::Entry> order;
  std::size_t rows = 0;
  std::size_t cols = 0;
  SweepPlan plan;
  // The positions whose value each call computes afresh: every one but the
  // Constants, whose values were taken once and cannot change, and the
  // inputs.
  std::vector<std::uint32_t> steps;
  std::vector<std::uint32_t> input_positions;
  WalkBuffer<SmallValue> values;
  WalkBuffer<Adjoint> adjoints;
  // False while a pass runs: one that threw leaves adjoints behind.
  bool swept_clean = true;
};

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_PROGRAM_H_
