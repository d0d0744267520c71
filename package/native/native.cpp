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
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "conversions.h"
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

template <Value (*Apply)(Value)>
void def_unary(py::module_& m, const char* name, const char* label) {
  m.def(name, [label](const py::object& value) {
    return Apply(coerce_symbolic_value(value, label));
  }, py::arg("value"));
}

// Arguments are coerced from the last to the first, as the module's vec2
// does, so with two bad arguments the error names the last.
template <Value (*Apply)(Value, Value)>
void def_binary(py::module_& m, const char* name, const char* first,
                const char* second, const char* first_label,
                const char* second_label) {
  m.def(name, [first_label, second_label](const py::object& a,
                                          const py::object& b) {
    Value vb = coerce_symbolic_value(b, second_label);
    Value va = coerce_symbolic_value(a, first_label);
    return Apply(std::move(va), std::move(vb));
  }, py::arg(first), py::arg(second));
}

Value apply_exp(Value a) { return qs::exp(std::move(a)); }
Value apply_log(Value a) { return qs::log(std::move(a)); }
Value apply_sqrt(Value a) { return qs::sqrt(std::move(a)); }
Value apply_tanh(Value a) { return qs::tanh(std::move(a)); }
Value apply_abs(Value a) { return qs::abs(std::move(a)); }
Value apply_pow(Value a, Value b) { return qs::pow(std::move(a), std::move(b)); }
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

py::array_t<double> values(const py::sequence& outputs) {
  const std::vector<Value> roots = values_of(outputs, "outputs");
  py::array_t<double> lanes(static_cast<py::ssize_t>(qs::lane_count(roots)));
  qs::evaluate_into(roots, std::span<double>(lanes.mutable_data(),
                                              static_cast<std::size_t>(lanes.size())));
  return lanes;
}

py::tuple value_and_jacobian(const py::sequence& outputs,
                             const py::sequence& params, bool with_values) {
  const std::vector<Value> roots = values_of(outputs, "outputs");
  const std::vector<Value> columns = values_of(params, "params");
  const auto rows = static_cast<py::ssize_t>(qs::lane_count(roots));
  const auto cols = static_cast<py::ssize_t>(qs::lane_count(columns));
  py::array_t<double> lanes(with_values ? rows : 0);
  py::array_t<double> jacobian({rows, cols});
  qs::jacobian_into(
      roots, columns,
      std::span<double>(lanes.mutable_data(), static_cast<std::size_t>(lanes.size())),
      std::span<double>(jacobian.mutable_data(),
                        static_cast<std::size_t>(jacobian.size())));
  if (!with_values) return py::make_tuple(py::none(), std::move(jacobian));
  return py::make_tuple(std::move(lanes), std::move(jacobian));
}

// The outputs and Parameters of one solve, ordered once for the many
// evaluations that follow.
class Program {
 public:
  Program(const py::sequence& outputs, const py::sequence& params)
      : program_(values_of(outputs, "outputs"), values_of(params, "params")) {}

  py::array_t<double> values() {
    py::array_t<double> lanes(static_cast<py::ssize_t>(program_.rows()));
    program_.evaluate(std::span<double>(lanes.mutable_data(), program_.rows()));
    return lanes;
  }

  py::tuple value_and_jacobian(bool with_values) {
    const auto rows = static_cast<py::ssize_t>(program_.rows());
    const auto cols = static_cast<py::ssize_t>(program_.cols());
    py::array_t<double> lanes(with_values ? rows : 0);
    py::array_t<double> jacobian({rows, cols});
    program_.jacobian(
        std::span<double>(lanes.mutable_data(), static_cast<std::size_t>(lanes.size())),
        std::span<double>(jacobian.mutable_data(),
                          static_cast<std::size_t>(jacobian.size())));
    if (!with_values) return py::make_tuple(py::none(), std::move(jacobian));
    return py::make_tuple(std::move(lanes), std::move(jacobian));
  }

 private:
  qs::JacobianProgram program_;
};

py::tuple trace(const py::sequence& outputs, bool evaluate, std::size_t max_nodes) {
  const std::vector<Value> roots = values_of(outputs, "outputs");
  qs::GraphTrace t = qs::trace(roots, evaluate, max_nodes);
  py::list nodes(t.nodes.size());
  py::list inputs(t.nodes.size());
  py::list lanes(t.nodes.size());
  py::list components(t.nodes.size());
  for (std::size_t i = 0; i < t.nodes.size(); ++i) {
    components[i] = t.nodes[i].op() == qs::ExpressionOp::Component
                        ? t.nodes[i].component_index()
                        : -1;
    nodes[i] = py::cast(t.nodes[i]);
    const int count = t.nodes[i].input_count();
    py::tuple slots(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
      slots[static_cast<std::size_t>(k)] = t.inputs[i][static_cast<std::size_t>(k)];
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
  return py::make_tuple(t.total, std::move(nodes), std::move(inputs),
                        std::move(lanes), std::move(failed), std::move(error),
                        std::move(components));
}

py::array_t<double> array_of(const std::vector<double>& data,
                             std::vector<py::ssize_t> shape) {
  py::array_t<double> array(std::move(shape));
  std::copy(data.begin(), data.end(), array.mutable_data());
  return array;
}

std::vector<double> bounds_of(const py::object& bounds, std::size_t lanes) {
  if (bounds.is_none()) return {};
  const auto array = bounds.cast<py::array_t<double, py::array::c_style | py::array::forcecast>>();
  if (array.ndim() != 1 || static_cast<std::size_t>(array.size()) != lanes) {
    throw py::value_error("bounds do not match the Parameters' lanes");
  }
  return std::vector<double>(array.data(), array.data() + array.size());
}

py::tuple levenberg_marquardt(const py::sequence& residuals,
                              const py::sequence& params,
                              const py::object& lower, const py::object& upper,
                              double ftol, double xtol, double gtol,
                              int max_nfev) {
  const std::vector<Value> outputs = values_of(residuals, "residuals");
  const std::vector<Value> columns = values_of(params, "params");
  const std::size_t lanes = qs::lane_count(columns);
  qs::LeastSquaresOptions options;
  options.lower = bounds_of(lower, lanes);
  options.upper = bounds_of(upper, lanes);
  if (options.lower.empty() != options.upper.empty()) {
    throw py::value_error("give both bounds or neither");
  }
  options.ftol = ftol;
  options.xtol = xtol;
  options.gtol = gtol;
  options.max_nfev = max_nfev;
  const qs::LeastSquaresResult r =
      qs::levenberg_marquardt(outputs, columns, options);
  const auto m = static_cast<py::ssize_t>(r.fun.size());
  const auto n = static_cast<py::ssize_t>(r.x.size());
  return py::make_tuple(array_of(r.x, {n}), array_of(r.fun, {m}),
                        array_of(r.jac, {m, n}), r.nfev, r.njev,
                        static_cast<int>(r.status), py::cast(r.cost_history));
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
  def_binary<&apply_pow>(m, "pow", "x", "y", "pow x", "pow y");
  def_binary<&apply_atan2>(m, "atan2", "y", "x", "atan2 y", "atan2 x");

  // The module's own operand coercion, for helpers written in Python: an
  // Expression as it is, a number or sequence as a new Constant, else the
  // module's error naming `label`.
  m.def("as_value", [](const py::object& value, const std::string& label) {
    return coerce_symbolic_value(value, label.c_str());
  }, py::arg("value"), py::arg("label"));
  m.def("values", &values, py::arg("outputs"));
  m.def("value_and_jacobian", &value_and_jacobian, py::arg("outputs"),
        py::arg("params"), py::arg("with_values"));
  m.def("levenberg_marquardt", &levenberg_marquardt, py::arg("residuals"),
        py::arg("params"), py::arg("lower"), py::arg("upper"),
        py::arg("ftol"), py::arg("xtol"), py::arg("gtol"),
        py::arg("max_nfev"));
  py::class_<Program>(m, "Program")
      .def(py::init<const py::sequence&, const py::sequence&>(),
           py::arg("outputs"), py::arg("params"))
      .def("values", &Program::values)
      .def("value_and_jacobian", &Program::value_and_jacobian,
           py::arg("with_values"));
  m.def("trace", &trace, py::arg("outputs"), py::arg("evaluate"),
        py::arg("max_nodes"));
}
