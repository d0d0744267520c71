#ifndef QUORIL_TESTS_CPP_TEST_UTIL_H_
#define QUORIL_TESTS_CPP_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <typeinfo>

#include "symbolic/value.h"

namespace quoril::symbolic::testing {

// Builds the expected record directly, so expectations do not depend on the
// small_value factories under test.
inline SmallValue record(std::initializer_list<double> lanes) {
  SmallValue result;
  result.dimension = static_cast<std::int32_t>(lanes.size());
  std::size_t i = 0;
  for (double lane : lanes) result.lanes[i++] = lane;
  return result;
}

inline std::string describe(const SmallValue& v) {
  std::ostringstream out;
  out.precision(17);
  out << "dimension " << v.dimension << " lanes (";
  for (std::size_t i = 0; i < 4; ++i) out << (i ? ", " : "") << v.lanes[i];
  out << ")";
  return out.str();
}

// Succeeds when the dimensions match and all four lanes are bit-identical, so
// -0.0 and +0.0 differ and unused lanes count.
inline ::testing::AssertionResult same_bits(const SmallValue& actual,
                                            const SmallValue& expected) {
  if (actual.dimension == expected.dimension &&
      std::memcmp(actual.lanes.data(), expected.lanes.data(),
                  sizeof actual.lanes) == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << describe(actual) << ", expected " << describe(expected);
}

// Succeeds when `call` throws exactly `type` (a subclass does not count) whose
// what() is exactly `message`.
inline ::testing::AssertionResult fails_with(const std::function<void()>& call,
                                             const std::type_info& type,
                                             std::string_view message) {
  try {
    call();
  } catch (const std::exception& e) {
    if (typeid(e) != type) {
      return ::testing::AssertionFailure()
             << "threw " << typeid(e).name() << " \"" << e.what()
             << "\", expected " << type.name() << " \"" << message << "\"";
    }
    if (message != e.what()) {
      return ::testing::AssertionFailure()
             << "message \"" << e.what() << "\", expected \"" << message
             << "\"";
    }
    return ::testing::AssertionSuccess();
  } catch (...) {
    return ::testing::AssertionFailure() << "threw a non-standard exception";
  }
  return ::testing::AssertionFailure()
         << "did not throw, expected \"" << message << "\"";
}

#define EXPECT_THROW_MSG(statement, exception, message) \
  EXPECT_TRUE(::quoril::symbolic::testing::fails_with(  \
      [&] { static_cast<void>(statement); }, typeid(exception), message))

// Returns how many node ids `call` drew, whether it succeeded or threw.
inline std::uint64_t ids_drawn_by(const std::function<void()>& call) {
  const std::uint64_t before = constant(0.0).id();
  try {
    call();
  } catch (const std::exception&) {
  }
  return constant(0.0).id() - before - 1;
}

// A call that must fail with an exact exception and leave no trace; rows of
// failure tables.
struct FailingCall {
  const char* label;
  std::function<void()> call;
  const std::type_info& type;
  const char* message;
};

inline void expect_fails_cleanly(const FailingCall& c) {
  SCOPED_TRACE(c.label);
  EXPECT_TRUE(fails_with(c.call, c.type, c.message));
  EXPECT_EQ(ids_drawn_by(c.call), 0u);
}

// Builds `depth` diamonds x' = x * half + x * half over `p`: 2^depth paths
// lead from the root to p, so anything that walks paths instead of nodes
// never finishes. With half = 0.5 every level reproduces p exactly.
inline Value diamond_chain(const Value& p, const Value& half, int depth) {
  Value x = p;
  for (int level = 0; level < depth; ++level) x = x * half + x * half;
  return x;
}

}  // namespace quoril::symbolic::testing

#endif  // QUORIL_TESTS_CPP_TEST_UTIL_H_
