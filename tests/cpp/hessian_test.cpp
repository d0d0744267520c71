#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <vector>

#include "symbolic/graph.h"
#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

// A one-lane loss of a two-lane Parameter x and a one-lane s.
using Loss = std::function<Value(const Value& x, const Value& s)>;

struct Case {
  const char* name;
  Loss loss;
};

Value total(const Value& v) {
  Value sum = component(v, 0);
  for (int i = 1; i < v.dimension(); ++i) sum = sum + component(v, i);
  return sum;
}

std::vector<double> hessian_of(const Value& output,
                               const std::vector<Value>& params) {
  HessianProgram program({&output, 1}, params);
  std::vector<double> h(program.cols() * program.cols());
  const double weight = 1.0;
  program.hessian({&weight, 1}, {}, h);
  return h;
}

// Central differences of the exact gradient, column by column.
std::vector<double> differenced_hessian(const Value& output,
                                        const std::vector<Value>& params) {
  const std::size_t n = lane_count(params);
  std::vector<double> result(n * n), plus(n), minus(n);
  std::size_t col = 0;
  for (const Value& p : params) {
    for (int k = 0; k < p.dimension(); ++k, ++col) {
      const SmallValue at = p.value();
      SmallValue moved = at;
      const double h = 1e-5 * std::max(1.0, std::abs(at[k]));
      moved.lanes[static_cast<std::size_t>(k)] = at[k] + h;
      p.set_value(moved);
      jacobian_into({&output, 1}, params, {}, plus);
      moved.lanes[static_cast<std::size_t>(k)] = at[k] - h;
      p.set_value(moved);
      jacobian_into({&output, 1}, params, {}, minus);
      p.set_value(at);
      for (std::size_t r = 0; r < n; ++r) {
        result[r * n + col] = (plus[r] - minus[r]) / (2 * h);
      }
    }
  }
  return result;
}

void expect_matches_differences(const std::vector<Case>& cases) {
  const Value x = parameter(0.7, -1.3, "x");
  const Value s = parameter(1.9, "s");
  const std::vector<Value> params{x, s};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Value loss = c.loss(x, s);
    const std::vector<double> h = hessian_of(loss, params);
    const std::vector<double> d = differenced_hessian(loss, params);
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(h[i * 3 + j], h[j * 3 + i]);
        EXPECT_NEAR(h[i * 3 + j], d[i * 3 + j],
                    1e-6 * (1.0 + std::abs(d[i * 3 + j])))
            << "entry " << i << ", " << j;
      }
    }
  }
}

TEST(Hessian, ArithmeticMatchesDifferencedGradient) {
  expect_matches_differences({
      {"add", [](auto& x, auto& s) { return total((x + s) * (x + s)); }},
      {"subtract", [](auto& x, auto& s) { return total((s - x) * (x - 2.0)); }},
      {"multiply reuse", [](auto& x, auto&) { return total(x * x * x); }},
      {"multiply broadcast", [](auto& x, auto& s) { return total(x * s * x); }},
      {"divide", [](auto& x, auto& s) { return total(s / x); }},
      {"divide by itself used twice",
       [](auto& x, auto& s) { return total((x * s) / (s * s + x)); }},
      {"negate", [](auto& x, auto& s) { return total(-(x * s * s)); }},
  });
}

TEST(Hessian, ElementaryFunctionsMatchDifferencedGradient) {
  expect_matches_differences({
      {"sin", [](auto& x, auto& s) { return total(sin(x * s)); }},
      {"cos", [](auto& x, auto& s) { return total(cos(x + s * x)); }},
      {"exp", [](auto& x, auto& s) { return total(exp(x * s)); }},
      {"log", [](auto& x, auto& s) { return total(log(x * x + s)); }},
      {"sqrt", [](auto& x, auto& s) { return total(sqrt(x * x + s * s)); }},
      {"tanh", [](auto& x, auto& s) { return total(tanh(x * s)); }},
      {"abs", [](auto& x, auto& s) { return total(abs(x) * s * abs(x)); }},
      {"sinc_sqrt", [](auto& x, auto& s) { return total(sinc_sqrt(x * s)); }},
      {"atanc_sqrt",
       [](auto& x, auto& s) { return total(atanc_sqrt(x * x * s)); }},
  });
}

TEST(Hessian, BinaryFunctionsMatchDifferencedGradient) {
  expect_matches_differences({
      {"pow varying exponent",
       [](auto& x, auto& s) { return total(pow(x * x + 1.0, s)); }},
      {"pow constant exponent",
       [](auto& x, auto& s) { return total(pow(x * s, 3.0)); }},
      {"pow varying base and exponent",
       [](auto& x, auto& s) { return total(pow(s, x)); }},
      {"atan2", [](auto& x, auto& s) { return total(atan2(x, s)); }},
      {"atan2 reversed", [](auto& x, auto& s) { return total(atan2(s, x)); }},
  });
}

TEST(Hessian, LaneMovesMatchDifferencedGradient) {
  expect_matches_differences({
      {"component",
       [](auto& x, auto& s) { return component(x, 0) * component(x, 1) * s; }},
      {"pack",
       [](auto& x, auto& s) {
         return total(vec3(component(x, 1), s, component(x, 0)) *
                      vec3(s, component(x, 0), s));
       }},
      {"pack reuse",
       [](auto& x, auto& s) {
         const Value p = vec2(s * s, component(x, 0));
         return total(p * p * x);
       }},
  });
}

// Kinks follow the first derivative's convention there.
TEST(Hessian, KinksFollowTheFirstDerivative) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Kink {
    const char* name;
    double at;
    std::function<Value(const Value&)> loss;
    double expected;
  };
  const std::vector<Kink> kinks{
      {"abs at 0", 0.0, [](auto& s) { return abs(s) * s; }, 0.0},
      {"abs of a square at 0", 0.0, [](auto& s) { return abs(s * s); }, 0.0},
      {"sqrt at 0", 0.0, [](auto& s) { return sqrt(s); }, -kInf},
      {"pow of a negative base", -1.5, [](auto& s) { return pow(s, 3.0); },
       -9.0},
      {"pow exponent 1 at 0", 0.0, [](auto& s) { return pow(s, 1.0); }, 0.0},
      {"pow exponent 2 at 0", 0.0, [](auto& s) { return pow(s, 2.0); }, 2.0},
  };
  for (const Kink& k : kinks) {
    SCOPED_TRACE(k.name);
    const Value s = parameter(k.at, "s");
    EXPECT_EQ(hessian_of(k.loss(s), {s})[0], k.expected);
  }
}

TEST(Hessian, WeightedOutputsAndProductsAgreeWithFullHessians) {
  const Value x = parameter(0.4, 1.1, "x");
  const Value s = parameter(-0.8, "s");
  const Value unused = parameter(2.0, "unused");
  const Value shared = sin(x * s);
  const std::vector<Value> outputs{total(shared * x), shared * s,
                                   total(shared)};
  const std::vector<Value> params{s, unused, x};
  HessianProgram program(outputs, params);
  ASSERT_EQ(program.rows(), 4u);
  ASSERT_EQ(program.cols(), 4u);
  const std::vector<double> weights{1.5, -2.0, 0.5, 3.0};
  std::vector<double> combined(16), gradient(4);
  program.hessian(weights, gradient, combined);

  std::vector<double> expected(16, 0.0);
  for (std::size_t row = 0; row < 4; ++row) {
    std::vector<double> unit(4, 0.0), h(16);
    unit[row] = 1.0;
    program.hessian(unit, {}, h);
    for (std::size_t i = 0; i < 16; ++i) expected[i] += weights[row] * h[i];
  }
  std::vector<double> jac(4 * 4), expected_gradient(4, 0.0);
  jacobian_into(outputs, params, {}, jac);
  for (std::size_t row = 0; row < 4; ++row) {
    for (std::size_t c = 0; c < 4; ++c) {
      expected_gradient[c] += weights[row] * jac[row * 4 + c];
    }
  }
  const std::vector<double> v{0.3, 5.0, -1.0, 2.0};
  std::vector<double> product(4);
  program.hessian_vector_product(weights, v, {}, product);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(gradient[i], expected_gradient[i], 1e-14);
    double hv = 0.0;
    for (std::size_t j = 0; j < 4; ++j) {
      EXPECT_NEAR(combined[i * 4 + j], expected[i * 4 + j], 1e-13);
      hv += combined[i * 4 + j] * v[j];
    }
    EXPECT_NEAR(product[i], hv, 1e-13);
    EXPECT_EQ(combined[i * 4 + 1], 0.0);
  }
}

TEST(Hessian, RefusesBuffersOfTheWrongSize) {
  const Value x = parameter(0.4, 1.1, "x");
  const Value out = total(x * x);
  HessianProgram program({&out, 1}, {&x, 1});
  std::vector<double> one{1.0}, two{1.0, 2.0}, h(4), wrong(3);
  EXPECT_THROW_MSG(program.hessian(two, {}, h), std::invalid_argument,
                   "hessian weights do not match the outputs' lanes");
  EXPECT_THROW_MSG(program.hessian(one, {}, wrong), std::invalid_argument,
                   "hessian buffer does not match the Parameters");
  EXPECT_THROW_MSG(program.hessian(one, wrong, h), std::invalid_argument,
                   "gradient buffer does not match the Parameters");
  EXPECT_THROW_MSG(program.hessian_vector_product(one, wrong, {}, two),
                   std::invalid_argument,
                   "hessian direction does not match the Parameters");
  EXPECT_THROW_MSG(HessianProgram({&out, 1}, {&out, 1}), std::invalid_argument,
                   "jacobian columns must be Parameters");
}

}  // namespace
}  // namespace quoril::symbolic
