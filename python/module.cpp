#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>

#include "conversions.h"
#include "symbolic/value.h"

namespace py = pybind11;

using quoril::python::coerce_symbolic_value;
using quoril::python::expression_value;
using quoril::python::g_expression_type;
using quoril::python::is_number;
using quoril::python::parse_small_value_args;
using quoril::python::parse_small_value_sequence;
using quoril::python::small_value_tuple;
using quoril::python::to_double;
using quoril::symbolic::SmallValue;
using quoril::symbolic::Value;

namespace {

py::object optional_hint_tuple(const Value& value) {
  if (!value.has_hint()) return py::none();
  return small_value_tuple(value.hint());
}

py::object optional_grad_tuple(const Value& value) {
  if (!value.has_grad()) return py::none();
  return small_value_tuple(value.grad());
}

std::string keyword_name(const py::kwargs& kwargs) {
  return kwargs["name"].cast<std::string>();
}

Value make_constant(const py::args& args, const py::kwargs& kwargs) {
  if (!kwargs.empty()) {
    throw py::type_error("Constant does not accept keyword arguments");
  }
  return quoril::symbolic::constant(parse_small_value_args(args, "Constant"));
}

Value make_parameter(const py::args& args, const py::kwargs& kwargs) {
  std::string name;
  // Keywords are settled before the positional arguments are parsed.
  if (kwargs.contains("name")) {
    name = keyword_name(kwargs);
    if (kwargs.size() > 1) throw py::type_error("unknown keyword argument");
  } else if (!kwargs.empty()) {
    throw py::type_error("unknown keyword argument");
  }
  return quoril::symbolic::parameter(parse_small_value_args(args, "Parameter"),
                                     std::move(name));
}

Value make_undefined(const py::args& args, const py::kwargs& kwargs) {
  if (!args.empty()) {
    throw py::type_error(
        "Undefined expects keyword arguments: hint=..., dim=..., name=...");
  }
  py::object hint = py::none();
  int dim = 1;
  bool dim_given = false;
  std::string name;
  std::size_t recognised = 0;
  if (kwargs.contains("hint")) {
    hint = kwargs["hint"];
    ++recognised;
  }
  if (kwargs.contains("dim")) {
    dim = kwargs["dim"].cast<int>();
    dim_given = true;
    ++recognised;
  }
  if (kwargs.contains("name")) {
    name = keyword_name(kwargs);
    ++recognised;
  }
  if (kwargs.size() != recognised) {
    throw py::type_error("unknown keyword argument");
  }
  if (hint.is_none()) return quoril::symbolic::undefined(dim, std::move(name));
  const SmallValue record = is_number(hint)
                                ? quoril::symbolic::small_value(to_double(hint))
                                : parse_small_value_sequence(hint, "hint");
  if (dim_given && dim != record.dimension) {
    throw py::value_error("Undefined hint dimension does not match dim");
  }
  return quoril::symbolic::undefined_with_hint(record, std::move(name));
}

void set_value(const Value& self, const py::args& args) {
  self.set_value(parse_small_value_args(args, "set_value"));
}

void backward(const Value& self, const py::object& seed) {
  if (seed.is_none()) {
    self.backward();
  } else if (is_number(seed)) {
    self.backward(quoril::symbolic::small_value(to_double(seed)));
  } else {
    self.backward(parse_small_value_sequence(seed, "backward seed"));
  }
}

py::tuple inputs_tuple(const Value& self) {
  const int count = self.input_count();
  py::tuple result(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    result[static_cast<std::size_t>(i)] = py::cast(self.input(i));
  }
  return result;
}

// The operators' own slots. Python would otherwise reach the registered
// __add__ and friends through a method lookup and the library's generic
// dispatch on every operation; these do the same conversion and core call
// directly. The registered methods stay for explicit calls and introspection.
template <Value (*Apply)(Value, Value)>
PyObject* binary_slot(PyObject* left, PyObject* right) noexcept {
  try {
    if (const Value* self = expression_value(left)) {
      Value other = coerce_symbolic_value(right, "right operand");
      return py::cast(Apply(*self, std::move(other))).release().ptr();
    }
    // Python calls a binary slot only when one operand has this type.
    const Value* self = expression_value(right);
    if (self == nullptr) Py_RETURN_NOTIMPLEMENTED;
    Value other = coerce_symbolic_value(left, "left operand");
    return py::cast(Apply(std::move(other), *self)).release().ptr();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

PyObject* negative_slot(PyObject* operand) noexcept {
  try {
    const Value* self = expression_value(operand);
    if (self == nullptr) Py_RETURN_NOTIMPLEMENTED;
    return py::cast(-*self).release().ptr();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

Value add(Value a, Value b) { return std::move(a) + std::move(b); }
Value subtract(Value a, Value b) { return std::move(a) - std::move(b); }
Value multiply(Value a, Value b) { return std::move(a) * std::move(b); }
Value divide(Value a, Value b) { return std::move(a) / std::move(b); }

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  const std::string message = py::detail::get_fully_qualified_tp_name(type) +
                              ": No constructor defined!";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

}  // namespace

// ---- Module ---------------------------------------------------------------

PYBIND11_MODULE(_quoril, m, py::multiple_interpreters::not_supported()) {
  namespace qs = quoril::symbolic;

  m.attr("__version__") = "0.1.0";

  py::class_<Value> expression(m, "Expression");
  g_expression_type = reinterpret_cast<PyTypeObject*>(expression.ptr());
  {
    // An instance made by __new__ alone would hold no Value, and every method
    // would then read through a null pointer. Objects come only from the
    // module's own functions, which allocate instances without tp_new, so
    // tp_new can refuse with the error a call of the type gave anyway.
    auto* type = reinterpret_cast<PyTypeObject*>(expression.ptr());
    type->tp_new = &refuse_new;
    PyType_Modified(type);
  }

  expression
      .def_property_readonly(
          "id", [](const Value& self) -> std::uint64_t { return self.id(); })
      .def_property_readonly("kind",
                             [](const Value& self) -> const char* {
                               return qs::to_string(self.kind());
                             })
      .def_property_readonly("op",
                             [](const Value& self) -> const char* {
                               return qs::to_string(self.op());
                             })
      .def_property_readonly("dim", &Value::dimension)
      .def_property_readonly("dimension", &Value::dimension)
      .def_property_readonly("name", &Value::name)
      .def_property_readonly("is_constant", &Value::is_constant)
      .def_property_readonly("is_parameter", &Value::is_parameter)
      .def_property_readonly("is_undefined", &Value::is_undefined)
      .def_property_readonly("is_expression", &Value::is_expression)
      .def_property_readonly("is_leaf", &Value::is_leaf)
      .def_property_readonly("value",
                             [](const Value& self) -> py::tuple {
                               return small_value_tuple(self.value());
                             })
      .def_property_readonly("hint", &optional_hint_tuple)
      .def_property_readonly("grad", &optional_grad_tuple)
      .def_property_readonly("inputs", &inputs_tuple)
      .def_property_readonly(
          "x", [](Value self) { return qs::component(std::move(self), 0); })
      .def_property_readonly(
          "y", [](Value self) { return qs::component(std::move(self), 1); })
      .def_property_readonly(
          "z", [](Value self) { return qs::component(std::move(self), 2); })
      .def_property_readonly(
          "w", [](Value self) { return qs::component(std::move(self), 3); });

  expression
      .def("__getitem__",
           [](Value self, int index) {
             return qs::component(std::move(self), index);
           })
      .def("eval",
           [](const Value& self) -> py::tuple {
             return small_value_tuple(self.evaluate());
           })
      .def("set_value", &set_value)
      .def("backward", &backward, py::arg("seed") = py::none())
      .def("zero_grad", &Value::zero_grad)
      .def("__repr__", &Value::debug_string)
      .def(
          "__add__",
          [](Value self, const py::object& other) {
            return std::move(self) +
                   coerce_symbolic_value(other, "right operand");
          },
          py::is_operator())
      .def(
          "__radd__",
          [](Value self, const py::object& other) {
            return coerce_symbolic_value(other, "left operand") +
                   std::move(self);
          },
          py::is_operator())
      .def(
          "__sub__",
          [](Value self, const py::object& other) {
            return std::move(self) -
                   coerce_symbolic_value(other, "right operand");
          },
          py::is_operator())
      .def(
          "__rsub__",
          [](Value self, const py::object& other) {
            return coerce_symbolic_value(other, "left operand") -
                   std::move(self);
          },
          py::is_operator())
      .def(
          "__mul__",
          [](Value self, const py::object& other) {
            return std::move(self) *
                   coerce_symbolic_value(other, "right operand");
          },
          py::is_operator())
      .def(
          "__rmul__",
          [](Value self, const py::object& other) {
            return coerce_symbolic_value(other, "left operand") *
                   std::move(self);
          },
          py::is_operator())
      .def(
          "__truediv__",
          [](Value self, const py::object& other) {
            return std::move(self) /
                   coerce_symbolic_value(other, "right operand");
          },
          py::is_operator())
      .def(
          "__rtruediv__",
          [](Value self, const py::object& other) {
            return coerce_symbolic_value(other, "left operand") /
                   std::move(self);
          },
          py::is_operator())
      .def(
          "__neg__", [](Value self) { return -std::move(self); },
          py::is_operator());
  {
    PyNumberMethods* number = g_expression_type->tp_as_number;
    number->nb_add = &binary_slot<&add>;
    number->nb_subtract = &binary_slot<&subtract>;
    number->nb_multiply = &binary_slot<&multiply>;
    number->nb_true_divide = &binary_slot<&divide>;
    number->nb_negative = &negative_slot;
    PyType_Modified(g_expression_type);
  }

  m.def("Constant", &make_constant);
  m.def("Parameter", &make_parameter);
  m.def("Undefined", &make_undefined);
  // Arguments are coerced from the last to the first, so with several bad
  // arguments the error names the last of them.
  m.def("vec2", [](const py::object& x, const py::object& y) {
    Value vy = coerce_symbolic_value(y, "vec2 y");
    Value vx = coerce_symbolic_value(x, "vec2 x");
    return qs::vec2(std::move(vx), std::move(vy));
  });
  m.def("vec3",
        [](const py::object& x, const py::object& y, const py::object& z) {
          Value vz = coerce_symbolic_value(z, "vec3 z");
          Value vy = coerce_symbolic_value(y, "vec3 y");
          Value vx = coerce_symbolic_value(x, "vec3 x");
          return qs::vec3(std::move(vx), std::move(vy), std::move(vz));
        });
  m.def("vec4", [](const py::object& x, const py::object& y,
                   const py::object& z, const py::object& w) {
    Value vw = coerce_symbolic_value(w, "vec4 w");
    Value vz = coerce_symbolic_value(z, "vec4 z");
    Value vy = coerce_symbolic_value(y, "vec4 y");
    Value vx = coerce_symbolic_value(x, "vec4 x");
    return qs::vec4(std::move(vx), std::move(vy), std::move(vz), std::move(vw));
  });
  m.def("sin", [](const py::object& value) {
    return qs::sin(coerce_symbolic_value(value, "sin value"));
  });
  m.def("cos", [](const py::object& value) {
    return qs::cos(coerce_symbolic_value(value, "cos value"));
  });
}
