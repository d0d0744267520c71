#include "symbolic/function.h"

#include <algorithm>
#include <cmath>
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

}  // namespace

struct RowProgram::State : PreparedProgram {
  State(std::span<const Value> inputs, std::span<const Value> roots_of,
        std::span<const Value> params, std::vector<const ValueNode*> nodes)
      : PreparedProgram(roots_of, params, nodes),
        parameters(params.begin(), params.end()) {
    for (const Value& input : inputs) lanes.push_back(input.node().dimension);
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

  // Runs every row; a non-finite value gives NotFinite when `tolerant`,
  // and every other failure is thrown with its row.
  EvaluationStatus run(std::size_t count, std::span<const RowInput> data,
                       std::span<double> out, std::span<double> jacobian,
                       bool with_jacobian, bool tolerant) {
    const std::size_t block = rows * cols;
    for (std::size_t row = 0; row < count; ++row) {
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
    if (tolerant && with_jacobian && !all_finite(jacobian)) {
      return EvaluationStatus::NotFinite;
    }
    return EvaluationStatus::Finite;
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
};

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
