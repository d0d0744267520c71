// The package's native module, quoril._native: the operations and graph-wide
// calls that the package adds on top of _quoril. It shares the core library
// with _quoril and makes its values as _quoril.Expression objects, so nodes
// from both modules mix in one graph.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "conversions.h"
#include "symbolic/covariance.h"
#include "symbolic/fit_report.h"
#include "symbolic/function.h"
#include "symbolic/graph.h"
#include "symbolic/solve.h"
#include "symbolic/value.h"

namespace py = pybind11;
namespace qs = quoril::symbolic;

using quoril::python::coerce_symbolic_value;
using quoril::python::expression_value;
using quoril::python::small_value_tuple;
using quoril::symbolic::Value;

namespace {

[[noreturn]] void throw_not_a_value(const char* label,
                                    const std::string& what) {
  throw py::type_error(std::string(label) + " " + what +
                       "; a value holds 1..4 lanes (q.vec2 to q.vec4 make "
                       "one of Expressions), and data go through q.Function "
                       "or data=");
}

// The package's operands are the module's, and its errors the module's
// too, except where an operand is plainly data rather than a value: an
// array or sequence of more than four elements, an object array (NumPy
// makes one of `grid - x`), or a sequence holding Expressions. The module
// would say only that the length is wrong or that a cast failed.
Value package_value(const py::handle& object, const char* label) {
  if (expression_value(object.ptr()) != nullptr ||
      quoril::python::is_number(object) ||
      !quoril::python::is_numeric_sequence(object)) {
    return coerce_symbolic_value(object, label);
  }
  if (py::isinstance<py::array>(object)) {
    const auto array = py::reinterpret_borrow<py::array>(object);
    if (array.dtype().kind() == 'O')
      throw_not_a_value(label, "is an object array");
    if (array.ndim() > 1) {
      throw_not_a_value(
          label,
          "is an array of " + std::to_string(array.ndim()) + " dimensions");
    }
  }
  const Py_ssize_t length = PySequence_Size(object.ptr());
  if (length < 0) throw py::error_already_set();
  if (length > 4) {
    throw_not_a_value(label, "has " + std::to_string(length) + " elements");
  }
  for (Py_ssize_t i = 0; i < length; ++i) {
    auto item =
        py::reinterpret_steal<py::object>(PySequence_GetItem(object.ptr(), i));
    if (!item) throw py::error_already_set();
    if (expression_value(item.ptr()) != nullptr) {
      throw_not_a_value(label, "is a sequence holding Expressions");
    }
  }
  return coerce_symbolic_value(object, label);
}

template <Value (*Apply)(Value)>
void def_unary(py::module_& m, const char* name, const char* label) {
  m.def(
      name,
      [label](const py::object& value) {
        return Apply(package_value(value, label));
      },
      py::arg("value"));
}

// Arguments are coerced from the last to the first, as the module's vec2
// does, so with two bad arguments the error names the last.
template <Value (*Apply)(Value, Value)>
void def_binary(py::module_& m, const char* name, const char* first,
                const char* second, const char* first_label,
                const char* second_label) {
  m.def(
      name,
      [first_label, second_label](const py::object& a, const py::object& b) {
        Value vb = package_value(b, second_label);
        Value va = package_value(a, first_label);
        return Apply(std::move(va), std::move(vb));
      },
      py::arg(first), py::arg(second));
}

Value apply_exp(Value a) { return qs::exp(std::move(a)); }
Value apply_log(Value a) { return qs::log(std::move(a)); }
Value apply_sqrt(Value a) { return qs::sqrt(std::move(a)); }
Value apply_tanh(Value a) { return qs::tanh(std::move(a)); }
Value apply_abs(Value a) { return qs::abs(std::move(a)); }
Value apply_sinc_sqrt(Value a) { return qs::sinc_sqrt(std::move(a)); }
Value apply_atanc_sqrt(Value a) { return qs::atanc_sqrt(std::move(a)); }
Value apply_pow(Value a, Value b) {
  return qs::pow(std::move(a), std::move(b));
}
Value apply_atan2(Value a, Value b) {
  return qs::atan2(std::move(a), std::move(b));
}

// The handles of a sequence of Expression objects; `what` names the
// argument in the error for anything else.
std::vector<Value> values_of(const py::sequence& items, const char* what) {
  std::vector<Value> result;
  result.reserve(py::len(items));
  for (py::handle item : items) {
    const Value* value = expression_value(item.ptr());
    if (value == nullptr) {
      throw py::type_error(std::string(what) + " must be Expressions");
    }
    result.push_back(*value);
  }
  return result;
}

// The Python exception that a core failure becomes.
py::object exception_object(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (...) {
    py::detail::try_translate_exceptions();
  }
  py::error_already_set raised;
  return raised.value();
}

std::span<double> span_of(py::array_t<double>& array) {
  return {array.mutable_data(), static_cast<std::size_t>(array.size())};
}

// Results are named tuples of the interpreter's own kind, as os.stat_result
// is: the package reads them by name, yet they cost no more to make and read
// than a plain tuple, which counts for calls of under a microsecond. The
// module holds each type for the life of the process.
PyTypeObject* g_evaluation_type = nullptr;
PyTypeObject* g_trace_type = nullptr;
PyTypeObject* g_solution_type = nullptr;
PyTypeObject* g_covariance_type = nullptr;

// `qualified_name` and `fields` must be literals: the type keeps pointers to
// them.
PyTypeObject* add_result_type(py::module_& m, const char* name,
                              const char* qualified_name, const char* doc,
                              std::initializer_list<const char*> fields) {
  std::vector<PyStructSequence_Field> members;
  for (const char* field : fields) members.push_back({field, nullptr});
  members.push_back({nullptr, nullptr});
  PyStructSequence_Desc desc{qualified_name, doc, members.data(),
                             static_cast<int>(fields.size())};
  auto type = py::reinterpret_steal<py::object>(
      reinterpret_cast<PyObject*>(PyStructSequence_NewType(&desc)));
  if (!type) throw py::error_already_set();
  m.attr(name) = type;
  return reinterpret_cast<PyTypeObject*>(type.ptr());
}

py::object make_result(PyTypeObject* type,
                       std::initializer_list<py::handle> items) {
  auto result = py::reinterpret_steal<py::object>(PyStructSequence_New(type));
  if (!result) throw py::error_already_set();
  Py_ssize_t i = 0;
  for (py::handle item : items) {
    PyStructSequence_SetItem(result.ptr(), i++, item.inc_ref().ptr());
  }
  return result;
}

// The lanes of some outputs and their Jacobian, from one pass.
struct Evaluation {
  py::array_t<double> values;
  py::array_t<double> jacobian;

  Evaluation(std::size_t rows, std::size_t cols)
      : values(static_cast<py::ssize_t>(rows)),
        jacobian(
            {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)}) {}

  py::object result() const {
    return make_result(g_evaluation_type, {values, jacobian});
  }
};

py::array_t<double> values(const py::sequence& outputs) {
  const std::vector<Value> roots = values_of(outputs, "outputs");
  py::array_t<double> lanes(static_cast<py::ssize_t>(qs::lane_count(roots)));
  qs::evaluate_into(roots, span_of(lanes));
  return lanes;
}

py::array_t<double> jacobian(const py::sequence& outputs,
                             const py::sequence& params) {
  const std::vector<Value> roots = values_of(outputs, "outputs");
  const std::vector<Value> columns = values_of(params, "params");
  py::array_t<double> result(
      {static_cast<py::ssize_t>(qs::lane_count(roots)),
       static_cast<py::ssize_t>(qs::lane_count(columns))});
  qs::jacobian_into(roots, columns, {}, span_of(result));
  return result;
}

py::object value_and_jacobian(const py::sequence& outputs,
                              const py::sequence& params) {
  const std::vector<Value> roots = values_of(outputs, "outputs");
  const std::vector<Value> columns = values_of(params, "params");
  Evaluation e(qs::lane_count(roots), qs::lane_count(columns));
  qs::jacobian_into(roots, columns, span_of(e.values), span_of(e.jacobian));
  return e.result();
}

// The outputs and Parameters of one solve, ordered once for the many
// evaluations that follow. The try_ calls give None where a value or a
// Jacobian entry is not finite, which a solver takes as a failed trial.
class Program {
 public:
  Program(const py::sequence& outputs, const py::sequence& params)
      : program_(values_of(outputs, "outputs"), values_of(params, "params")) {}

  py::array_t<double> values() {
    py::array_t<double> lanes(static_cast<py::ssize_t>(program_.rows()));
    program_.evaluate(span_of(lanes));
    return lanes;
  }

  py::array_t<double> jacobian() {
    py::array_t<double> result({static_cast<py::ssize_t>(program_.rows()),
                                static_cast<py::ssize_t>(program_.cols())});
    program_.jacobian({}, span_of(result));
    return result;
  }

  py::object value_and_jacobian() {
    Evaluation e(program_.rows(), program_.cols());
    program_.jacobian(span_of(e.values), span_of(e.jacobian));
    return e.result();
  }

  py::object try_values() {
    py::array_t<double> lanes(static_cast<py::ssize_t>(program_.rows()));
    if (program_.try_evaluate(span_of(lanes)) != qs::EvaluationStatus::Finite) {
      return py::none();
    }
    return lanes;
  }

  py::object try_value_and_jacobian() {
    Evaluation e(program_.rows(), program_.cols());
    if (program_.try_jacobian(span_of(e.values), span_of(e.jacobian)) !=
        qs::EvaluationStatus::Finite) {
      return py::none();
    }
    return e.result();
  }

 private:
  qs::JacobianProgram program_;
};

py::array_t<double> array_of(std::span<const double> data,
                             std::vector<py::ssize_t> shape) {
  py::array_t<double> array(std::move(shape));
  std::copy(data.begin(), data.end(), array.mutable_data());
  return array;
}

// The core checks the bounds' sizes and order; the copy reads only what the
// array holds.
std::vector<double> bounds_of(const py::object& bounds) {
  if (bounds.is_none()) return {};
  const auto array = bounds.cast<
      py::array_t<double, py::array::c_style | py::array::forcecast>>();
  return std::vector<double>(array.data(), array.data() + array.size());
}

// The solver's options; `callback`, None or a callable taking (x, fun, nit,
// nfev, cost) and returning whether to stop, is called after each accepted
// step, and what it raises ends the solve.
qs::LeastSquaresOptions options_of(const py::object& lower,
                                   const py::object& upper, double ftol,
                                   double xtol, double gtol, int max_nfev,
                                   const py::object& callback) {
  qs::LeastSquaresOptions options;
  options.lower = bounds_of(lower);
  options.upper = bounds_of(upper);
  options.ftol = ftol;
  options.xtol = xtol;
  options.gtol = gtol;
  options.max_nfev = max_nfev;
  if (!callback.is_none()) {
    options.callback = [callback](const qs::LeastSquaresIteration& state) {
      return py::cast<bool>(callback(
          array_of(state.x, {static_cast<py::ssize_t>(state.x.size())}),
          array_of(state.fun, {static_cast<py::ssize_t>(state.fun.size())}),
          state.iteration, state.nfev, state.cost));
    };
  }
  return options;
}

py::object solution_of(const qs::LeastSquaresResult& r) {
  const auto m = static_cast<py::ssize_t>(r.fun.size());
  const auto n = static_cast<py::ssize_t>(r.x.size());
  return make_result(
      g_solution_type,
      {array_of(r.x, {n}), array_of(r.fun, {m}), array_of(r.jac, {m, n}),
       py::int_(r.nfev), py::int_(r.njev), py::int_(static_cast<int>(r.status)),
       py::cast(r.cost_history)});
}

// A model written once and run over rows of data. Each array is (N, lanes)
// float64 with its lanes contiguous; a row stride of 0 (from
// numpy.broadcast_to) gives every row the same lanes.
class RowFunction {
 public:
  RowFunction(const py::sequence& inputs, const py::sequence& outputs,
              const py::sequence& params)
      : program_(values_of(inputs, "inputs"), values_of(outputs, "outputs"),
                 values_of(params, "params")) {}

  py::array_t<double> values(const py::sequence& arrays, std::size_t count) {
    const std::vector<qs::RowInput> data = rows_of(arrays);
    py::array_t<double> lanes({static_cast<py::ssize_t>(count),
                               static_cast<py::ssize_t>(program_.rows())});
    program_.evaluate(count, data, span_of(lanes));
    return lanes;
  }

  py::array_t<double> jacobian(const py::sequence& arrays, std::size_t count) {
    const std::vector<qs::RowInput> data = rows_of(arrays);
    py::array_t<double> result(jacobian_shape(count));
    program_.jacobian(count, data, {}, span_of(result));
    return result;
  }

  py::object value_and_jacobian(const py::sequence& arrays, std::size_t count) {
    const std::vector<qs::RowInput> data = rows_of(arrays);
    py::array_t<double> lanes({static_cast<py::ssize_t>(count),
                               static_cast<py::ssize_t>(program_.rows())});
    py::array_t<double> result(jacobian_shape(count));
    program_.jacobian(count, data, span_of(lanes), span_of(result));
    return make_result(g_evaluation_type, {lanes, result});
  }

  py::object try_values(const py::sequence& arrays, std::size_t count) {
    const std::vector<qs::RowInput> data = rows_of(arrays);
    py::array_t<double> lanes({static_cast<py::ssize_t>(count),
                               static_cast<py::ssize_t>(program_.rows())});
    if (program_.try_evaluate(count, data, span_of(lanes)) !=
        qs::EvaluationStatus::Finite) {
      return py::none();
    }
    return lanes;
  }

  py::object try_value_and_jacobian(const py::sequence& arrays,
                                    std::size_t count) {
    const std::vector<qs::RowInput> data = rows_of(arrays);
    py::array_t<double> lanes({static_cast<py::ssize_t>(count),
                               static_cast<py::ssize_t>(program_.rows())});
    py::array_t<double> result(jacobian_shape(count));
    if (program_.try_jacobian(count, data, span_of(lanes), span_of(result)) !=
        qs::EvaluationStatus::Finite) {
      return py::none();
    }
    return make_result(g_evaluation_type, {lanes, result});
  }

  py::object levenberg_marquardt(const py::sequence& arrays, std::size_t count,
                                 const py::object& lower,
                                 const py::object& upper, double ftol,
                                 double xtol, double gtol, int max_nfev,
                                 const py::object& callback) {
    const std::vector<qs::RowInput> data = rows_of(arrays);
    return solution_of(qs::levenberg_marquardt(
        program_, count, data,
        options_of(lower, upper, ftol, xtol, gtol, max_nfev, callback)));
  }

  std::size_t rows() const { return program_.rows(); }
  std::size_t cols() const { return program_.cols(); }

 private:
  std::vector<py::ssize_t> jacobian_shape(std::size_t count) const {
    return {static_cast<py::ssize_t>(count),
            static_cast<py::ssize_t>(program_.rows()),
            static_cast<py::ssize_t>(program_.cols())};
  }

  // The arrays are kept alive by the caller's sequence for the call.
  static std::vector<qs::RowInput> rows_of(const py::sequence& arrays) {
    std::vector<qs::RowInput> data;
    for (py::handle item : arrays) {
      const auto array = py::reinterpret_borrow<py::array_t<double>>(item);
      data.push_back({array.data(), static_cast<std::size_t>(array.strides(0)) /
                                        sizeof(double)});
    }
    return data;
  }

  qs::RowProgram program_;
};

// The first row of a (N, lanes) float64 array, lanes contiguous, that is
// not finite, or -1.
py::ssize_t first_row_not_finite(const py::array_t<double>& array) {
  const auto count = static_cast<std::size_t>(array.shape(0));
  const int lanes = array.ndim() > 1 ? static_cast<int>(array.shape(1)) : 1;
  const std::size_t row = qs::first_row_not_finite(
      count,
      {array.data(),
       static_cast<std::size_t>(array.strides(0)) / sizeof(double)},
      lanes);
  return row == count ? -1 : static_cast<py::ssize_t>(row);
}

// The second derivatives of some outputs, ordered once; each call is for
// the outputs' lanes weighted by `weights`.
class HessianProgram {
 public:
  using Weights =
      py::array_t<double, py::array::c_style | py::array::forcecast>;

  HessianProgram(const py::sequence& outputs, const py::sequence& params)
      : program_(values_of(outputs, "outputs"), values_of(params, "params")) {}

  py::array_t<double> hessian(const Weights& weights) {
    const auto n = static_cast<py::ssize_t>(program_.cols());
    py::array_t<double> result({n, n});
    program_.hessian(span_of(weights), {}, span_of(result));
    return result;
  }

  py::array_t<double> hessian_vector_product(const Weights& weights,
                                             const Weights& direction) {
    py::array_t<double> result(static_cast<py::ssize_t>(program_.cols()));
    program_.hessian_vector_product(span_of(weights), span_of(direction), {},
                                    span_of(result));
    return result;
  }

 private:
  static std::span<const double> span_of(const Weights& array) {
    return {array.data(), static_cast<std::size_t>(array.size())};
  }
  static std::span<double> span_of(py::array_t<double>& array) {
    return {array.mutable_data(), static_cast<std::size_t>(array.size())};
  }

  qs::HessianProgram program_;
};

py::object trace(const py::sequence& outputs, bool evaluate,
                 std::size_t max_nodes) {
  const std::vector<Value> roots = values_of(outputs, "outputs");
  qs::GraphTrace t = qs::trace(roots, evaluate, max_nodes);
  const std::size_t count = t.nodes.size();
  py::list nodes(count);
  py::list inputs(count);
  py::list lanes(count);
  py::list components(count);
  for (std::size_t i = 0; i < count; ++i) {
    components[i] = t.nodes[i].op() == qs::ExpressionOp::Component
                        ? t.nodes[i].component_index()
                        : -1;
    nodes[i] = py::cast(t.nodes[i]);
    const int slot_count = t.nodes[i].input_count();
    py::tuple slots(static_cast<std::size_t>(slot_count));
    for (int k = 0; k < slot_count; ++k) {
      slots[static_cast<std::size_t>(k)] =
          t.inputs[i][static_cast<std::size_t>(k)];
    }
    inputs[i] = std::move(slots);
    lanes[i] = t.values[i] ? py::object(small_value_tuple(*t.values[i]))
                           : py::object(py::none());
  }
  py::object failed = py::none();
  py::object error = py::none();
  if (t.error) {
    failed = py::cast(t.failed);
    error = exception_object(t.error);
  }
  return make_result(g_trace_type, {py::int_(t.total), nodes, inputs, lanes,
                                    failed, error, components});
}

py::object levenberg_marquardt(const py::sequence& residuals,
                               const py::sequence& params,
                               const py::object& lower, const py::object& upper,
                               double ftol, double xtol, double gtol,
                               int max_nfev, const py::object& callback) {
  const std::vector<Value> outputs = values_of(residuals, "residuals");
  const std::vector<Value> columns = values_of(params, "params");
  return solution_of(qs::levenberg_marquardt(
      outputs, columns,
      options_of(lower, upper, ftol, xtol, gtol, max_nfev, callback)));
}

// `free` is None for every lane, else one bool per Jacobian column. The
// singular directions, needed only for the uncertainty of other outputs,
// are None unless `directions`: every array made costs about as much as the
// decomposition of a small fit.
py::object fit_covariance(
    const py::array_t<double, py::array::c_style | py::array::forcecast>& jac,
    const py::object& free, double scale, bool directions) {
  if (jac.ndim() != 2) throw py::value_error("jac must be 2-dimensional");
  py::array_t<bool, py::array::c_style | py::array::forcecast> mask;
  std::span<const bool> lanes;
  if (!free.is_none()) {
    mask = free.cast<decltype(mask)>();
    lanes = {mask.data(), static_cast<std::size_t>(mask.size())};
  }
  const auto rows = static_cast<std::size_t>(jac.shape(0));
  const auto cols = static_cast<std::size_t>(jac.shape(1));
  const qs::FitCovariance c =
      qs::fit_covariance({jac.data(), static_cast<std::size_t>(jac.size())},
                         rows, cols, lanes, scale, directions);
  const auto n = static_cast<py::ssize_t>(cols);
  py::list undetermined;
  for (std::size_t i = 0; i < cols; ++i) {
    if (c.undetermined[i]) undetermined.append(i);
  }
  py::object row_space = py::none();
  py::object basis = py::none();
  if (directions) {
    const auto rank = static_cast<py::ssize_t>(c.rank);
    const auto k = static_cast<py::ssize_t>(c.free_count);
    row_space = array_of(c.row_space, {rank, k});
    basis = array_of(c.basis, {k, rank});
  }
  return make_result(g_covariance_type,
                     {array_of(c.cov, {n, n}), array_of(c.standard_error, {n}),
                      array_of(c.correlation, {n, n}), py::tuple(undetermined),
                      py::int_(c.rank), py::int_(c.free_count),
                      py::bool_(c.finite), row_space, basis});
}

using DoubleArray =
    py::array_t<double, py::array::c_style | py::array::forcecast>;
using BoolArray = py::array_t<bool, py::array::c_style | py::array::forcecast>;

template <typename T, typename Array>
std::span<const T> read_span(const Array& array) {
  return {array.data(), static_cast<std::size_t>(array.size())};
}

std::string fit_report(const std::string& method, bool converged,
                       std::int64_t evaluations, std::int64_t residual_lanes,
                       std::int64_t dof, double chisqr, double redchi,
                       bool absolute_sigma,
                       const std::vector<std::string>& labels,
                       const DoubleArray& value,
                       const DoubleArray& standard_error,
                       const DoubleArray& correlation, const BoolArray& free,
                       const BoolArray& at_bound) {
  return qs::fit_report(
      {method, converged, evaluations, residual_lanes, dof, chisqr, redchi,
       absolute_sigma},
      {labels, read_span<double>(value), read_span<double>(standard_error),
       read_span<bool>(free), read_span<bool>(at_bound),
       read_span<double>(correlation)});
}

}  // namespace

PYBIND11_MODULE(_native, m, py::multiple_interpreters::not_supported()) {
  // The Expression type is _quoril's; importing it first registers the type
  // that this module's results are made as.
  py::module_::import("_quoril");
  quoril::python::g_expression_type =
      reinterpret_cast<PyTypeObject*>(py::type::of<Value>().ptr());

  def_unary<&apply_exp>(m, "exp", "exp value");
  def_unary<&apply_log>(m, "log", "log value");
  def_unary<&apply_sqrt>(m, "sqrt", "sqrt value");
  def_unary<&apply_tanh>(m, "tanh", "tanh value");
  def_unary<&apply_abs>(m, "abs", "abs value");
  def_unary<&apply_sinc_sqrt>(m, "sinc_sqrt", "sinc_sqrt value");
  def_unary<&apply_atanc_sqrt>(m, "atanc_sqrt", "atanc_sqrt value");
  def_binary<&apply_pow>(m, "pow", "x", "y", "pow x", "pow y");
  def_binary<&apply_atan2>(m, "atan2", "y", "x", "atan2 y", "atan2 x");

  // The operand coercion of the functions above, for helpers written in
  // Python: an Expression as it is, a number or sequence of 1..4 numbers as
  // a new Constant, else an error naming `label`.
  m.def(
      "as_value",
      [](const py::object& value, const std::string& label) {
        return package_value(value, label.c_str());
      },
      py::arg("value"), py::arg("label"));
  g_evaluation_type = add_result_type(
      m, "Evaluation", "quoril._native.Evaluation",
      "The lanes of some outputs and their Jacobian, from one pass.",
      {"values", "jacobian"});
  g_trace_type = add_result_type(
      m, "GraphTrace", "quoril._native.GraphTrace",
      "The nodes beneath some outputs, their inputs by position, the value of "
      "each and the first failure.",
      {"total", "nodes", "inputs", "values", "failed", "error", "components"});
  g_solution_type = add_result_type(
      m, "LeastSquaresSolution", "quoril._native.LeastSquaresSolution",
      "A Levenberg-Marquardt solution, its residuals and Jacobian there, and "
      "how it was reached.",
      {"x", "fun", "jac", "nfev", "njev", "status", "cost_history"});

  g_covariance_type = add_result_type(
      m, "FitCovariance", "quoril._native.FitCovariance",
      "The covariance of a fit's lanes from the SVD of its weighted Jacobian, "
      "the lanes it leaves undetermined, and the kept singular directions.",
      {"cov", "stderr", "correlation", "undetermined", "rank", "free", "finite",
       "row_space", "basis"});

  m.def("values", &values, py::arg("outputs"));
  m.def("jacobian", &jacobian, py::arg("outputs"), py::arg("params"));
  m.def("value_and_jacobian", &value_and_jacobian, py::arg("outputs"),
        py::arg("params"));
  py::class_<Program>(m, "Program")
      .def(py::init<const py::sequence&, const py::sequence&>(),
           py::arg("outputs"), py::arg("params"))
      .def("values", &Program::values)
      .def("jacobian", &Program::jacobian)
      .def("value_and_jacobian", &Program::value_and_jacobian)
      .def("try_values", &Program::try_values)
      .def("try_value_and_jacobian", &Program::try_value_and_jacobian);
  py::class_<RowFunction>(m, "RowFunction")
      .def(py::init<const py::sequence&, const py::sequence&,
                    const py::sequence&>(),
           py::arg("inputs"), py::arg("outputs"), py::arg("params"))
      .def("values", &RowFunction::values, py::arg("arrays"), py::arg("count"))
      .def("jacobian", &RowFunction::jacobian, py::arg("arrays"),
           py::arg("count"))
      .def("value_and_jacobian", &RowFunction::value_and_jacobian,
           py::arg("arrays"), py::arg("count"))
      .def("try_values", &RowFunction::try_values, py::arg("arrays"),
           py::arg("count"))
      .def("try_value_and_jacobian", &RowFunction::try_value_and_jacobian,
           py::arg("arrays"), py::arg("count"))
      .def("levenberg_marquardt", &RowFunction::levenberg_marquardt,
           py::arg("arrays"), py::arg("count"), py::arg("lower"),
           py::arg("upper"), py::arg("ftol"), py::arg("xtol"), py::arg("gtol"),
           py::arg("max_nfev"), py::arg("callback") = py::none())
      .def_property_readonly("rows", &RowFunction::rows)
      .def_property_readonly("cols", &RowFunction::cols);
  m.def("first_row_not_finite", &first_row_not_finite, py::arg("array"));
  py::class_<HessianProgram>(m, "HessianProgram")
      .def(py::init<const py::sequence&, const py::sequence&>(),
           py::arg("outputs"), py::arg("params"))
      .def("hessian", &HessianProgram::hessian, py::arg("weights"))
      .def("hessian_vector_product", &HessianProgram::hessian_vector_product,
           py::arg("weights"), py::arg("direction"));
  m.def("trace", &trace, py::arg("outputs"), py::arg("evaluate"),
        py::arg("max_nodes"));
  m.def("levenberg_marquardt", &levenberg_marquardt, py::arg("residuals"),
        py::arg("params"), py::arg("lower"), py::arg("upper"), py::arg("ftol"),
        py::arg("xtol"), py::arg("gtol"), py::arg("max_nfev"),
        py::arg("callback") = py::none());
  m.attr("NULL_SHARE") = qs::kNullShare;
  m.attr("REPORT_CORRELATION") = qs::kReportCorrelation;
  m.def("fit_report", &fit_report, py::arg("method"), py::arg("converged"),
        py::arg("evaluations"), py::arg("residual_lanes"), py::arg("dof"),
        py::arg("chisqr"), py::arg("redchi"), py::arg("absolute_sigma"),
        py::arg("labels"), py::arg("value"), py::arg("stderr"),
        py::arg("correlation"), py::arg("free"), py::arg("at_bound"));
  m.def("fit_covariance", &fit_covariance, py::arg("jac"), py::arg("free"),
        py::arg("scale"), py::arg("directions"));
}
