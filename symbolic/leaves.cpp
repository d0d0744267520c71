#include <string>
#include <utility>

#include "symbolic/internal.h"

namespace quoril::symbolic {

Value constant(SmallValue v) {
  require_finite(v);
  return new_leaf(ValueKind::Constant, v.dimension, v, std::nullopt, {});
}
Value constant(std::initializer_list<double> list) {
  return constant(small_value(list));
}
Value constant(double x) { return constant(small_value(x)); }
Value constant(double x, double y) { return constant(small_value(x, y)); }
Value constant(double x, double y, double z) {
  return constant(small_value(x, y, z));
}
Value constant(double x, double y, double z, double w) {
  return constant(small_value(x, y, z, w));
}
Value constant(const quoril::Vec<double, 1>& v) {
  return constant(small_value(v));
}
Value constant(const quoril::Vec<double, 2>& v) {
  return constant(small_value(v));
}
Value constant(const quoril::Vec<double, 3>& v) {
  return constant(small_value(v));
}
Value constant(const quoril::Vec<double, 4>& v) {
  return constant(small_value(v));
}

Value parameter(SmallValue v, std::string name) {
  require_finite(v);
  return new_leaf(ValueKind::Parameter, v.dimension, v, std::nullopt,
                  std::move(name));
}
Value parameter(std::initializer_list<double> list, std::string name) {
  return parameter(small_value(list), std::move(name));
}
Value parameter(double x, std::string name) {
  return parameter(small_value(x), std::move(name));
}
Value parameter(double x, double y, std::string name) {
  return parameter(small_value(x, y), std::move(name));
}
Value parameter(double x, double y, double z, std::string name) {
  return parameter(small_value(x, y, z), std::move(name));
}
Value parameter(double x, double y, double z, double w, std::string name) {
  return parameter(small_value(x, y, z, w), std::move(name));
}
Value parameter(const quoril::Vec<double, 1>& v, std::string name) {
  return parameter(small_value(v), std::move(name));
}
Value parameter(const quoril::Vec<double, 2>& v, std::string name) {
  return parameter(small_value(v), std::move(name));
}
Value parameter(const quoril::Vec<double, 3>& v, std::string name) {
  return parameter(small_value(v), std::move(name));
}
Value parameter(const quoril::Vec<double, 4>& v, std::string name) {
  return parameter(small_value(v), std::move(name));
}

Value undefined(int dimension, std::string name) {
  if (!dimension_in_range(dimension)) detail::throw_bad_dimension();
  return new_leaf(ValueKind::Undefined, dimension, SmallValue{}, std::nullopt,
                  std::move(name));
}

Value undefined_with_hint(SmallValue hint, std::string name) {
  require_finite(hint);
  // The node takes its dimension from the hint, so the two always match.
  return new_leaf(ValueKind::Undefined, hint.dimension, SmallValue{}, hint,
                  std::move(name));
}
Value undefined_with_hint(std::initializer_list<double> list,
                          std::string name) {
  return undefined_with_hint(small_value(list), std::move(name));
}
Value undefined_with_hint(double x, std::string name) {
  return undefined_with_hint(small_value(x), std::move(name));
}
Value undefined_with_hint(double x, double y, std::string name) {
  return undefined_with_hint(small_value(x, y), std::move(name));
}
Value undefined_with_hint(double x, double y, double z, std::string name) {
  return undefined_with_hint(small_value(x, y, z), std::move(name));
}
Value undefined_with_hint(double x, double y, double z, double w,
                          std::string name) {
  return undefined_with_hint(small_value(x, y, z, w), std::move(name));
}
Value undefined_with_hint(const quoril::Vec<double, 1>& v, std::string name) {
  return undefined_with_hint(small_value(v), std::move(name));
}
Value undefined_with_hint(const quoril::Vec<double, 2>& v, std::string name) {
  return undefined_with_hint(small_value(v), std::move(name));
}
Value undefined_with_hint(const quoril::Vec<double, 3>& v, std::string name) {
  return undefined_with_hint(small_value(v), std::move(name));
}
Value undefined_with_hint(const quoril::Vec<double, 4>& v, std::string name) {
  return undefined_with_hint(small_value(v), std::move(name));
}

}  // namespace quoril::symbolic
