#ifndef QUORIL_PYTHON_CONVERSIONS_H_
#define QUORIL_PYTHON_CONVERSIONS_H_

// Conversions between Python objects and the core's records and handles,
// shared by the module _quoril and the package's native module so that both
// accept the same operands with the same errors. Each module compiles its
// own copy; neither exports any of it.

#include <pybind11/pybind11.h>

#include <string>

#include "symbolic/value.h"

namespace quoril::python {

namespace py = pybind11;
using quoril::symbolic::SmallValue;
using quoril::symbolic::Value;

// A sequence that is not text: the interpreter counts str and bytes as
// sequences, but a string of digits is not a vector.
inline bool is_numeric_sequence(py::handle object) {
  PyObject* p = object.ptr();
  return PySequence_Check(p) != 0 && !PyUnicode_Check(p) && !PyBytes_Check(p);
}

inline bool is_number(py::handle object) {
  PyObject* p = object.ptr();
  return PyLong_Check(p) || PyFloat_Check(p);
}

// The library's ordinary float conversion: anything the interpreter can turn
// into a float, else its cast failure.
inline double to_double(py::handle object) { return object.cast<double>(); }

inline SmallValue small_value_from(const double* lanes, Py_ssize_t count) {
  switch (count) {
    case 1: return quoril::symbolic::small_value(lanes[0]);
    case 2: return quoril::symbolic::small_value(lanes[0], lanes[1]);
    case 3: return quoril::symbolic::small_value(lanes[0], lanes[1], lanes[2]);
    default:
      return quoril::symbolic::small_value(lanes[0], lanes[1], lanes[2],
                                           lanes[3]);
  }
}

inline SmallValue parse_small_value_sequence(const py::handle& object,
                                             const char* label) {
  if (!is_numeric_sequence(object)) {
    throw py::type_error(std::string(label) +
                         " must be a numeric sequence of length 1..4");
  }
  const Py_ssize_t length = PySequence_Size(object.ptr());
  if (length < 0) throw py::error_already_set();
  if (length < 1 || length > 4) {
    throw py::value_error(std::string(label) + " must contain 1..4 values");
  }
  double lanes[4];
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyObject* item = PySequence_GetItem(object.ptr(), i);
    if (item == nullptr) throw py::error_already_set();
    lanes[i] = to_double(py::reinterpret_steal<py::object>(item));
  }
  return small_value_from(lanes, length);
}

inline SmallValue parse_small_value_args(const py::args& args,
                                         const char* label) {
  const Py_ssize_t count = PyTuple_GET_SIZE(args.ptr());
  if (count == 1 && is_numeric_sequence(args[0])) {
    return parse_small_value_sequence(args[0], label);
  }
  if (count < 1 || count > 4) {
    throw py::value_error(std::string(label) + " expects 1..4 numeric values");
  }
  double lanes[4];
  for (Py_ssize_t i = 0; i < count; ++i) {
    lanes[i] = to_double(PyTuple_GET_ITEM(args.ptr(), i));
  }
  return small_value_from(lanes, count);
}

// The Expression type, set once when the module body registers it.
inline PyTypeObject* g_expression_type = nullptr;

// Returns the Value held by an Expression object, or null for any other
// object. Every Expression holds one: the type refuses bare __new__.
inline const Value* expression_value(PyObject* object) {
  if (Py_TYPE(object) != g_expression_type &&
      !PyType_IsSubtype(Py_TYPE(object), g_expression_type)) {
    return nullptr;
  }
  auto* instance = reinterpret_cast<py::detail::instance*>(object);
  return instance->get_value_and_holder().value_ptr<Value>();
}

inline Value coerce_symbolic_value(const py::handle& object,
                                   const char* label) {
  if (const Value* value = expression_value(object.ptr())) return *value;
  if (is_number(object)) {
    return quoril::symbolic::constant(to_double(object));
  }
  if (is_numeric_sequence(object)) {
    return quoril::symbolic::constant(
        parse_small_value_sequence(object, label));
  }
  throw py::type_error(std::string(label) +
                       " must be a symbolic value or numeric constant");
}

inline py::tuple small_value_tuple(const SmallValue& v) {
  py::tuple result(static_cast<std::size_t>(v.dimension));
  for (int i = 0; i < v.dimension; ++i) {
    PyObject* lane = PyFloat_FromDouble(v[i]);
    if (lane == nullptr) throw py::error_already_set();
    PyTuple_SET_ITEM(result.ptr(), i, lane);
  }
  return result;
}

}  // namespace quoril::python

#endif  // QUORIL_PYTHON_CONVERSIONS_H_
