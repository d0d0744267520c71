#include <gtest/gtest.h>

#include <barrier>
#include <cmath>
#include <cstddef>
#include <thread>
#include <vector>

#include "symbolic/value.h"
#include "test_util.h"

namespace quoril::symbolic {
namespace {

using testing::record;
using testing::same_bits;

// Far deeper than any recursion over inputs could go on an 8 MiB stack.
TEST(DeepGraphs, TenMillionNodeChainRunsAndReleases) {
  constexpr int kNodes = 10'000'000;
  constexpr double kP = 0.5;
  const Value p = parameter(kP, "p");
  // The same chain in plain doubles, with its derivative in forward mode as
  // an oracle independent of the reverse walk.
  double value = kP;
  double derivative = 1.0;
  double middle_value = 0.0;
  Value x = p;
  Value middle;
  for (int i = 0; i < kNodes; ++i) {
    switch (i % 3) {
      case 0:
        derivative *= std::cos(value);
        value = std::sin(value);
        x = sin(x);
        break;
      case 1:
        derivative = derivative * kP + value;
        value *= kP;
        x = x * p;
        break;
      default:
        derivative += 1.0;
        value += kP;
        x = x + p;
        break;
    }
    if (i == kNodes / 2) {
      middle = x;
      middle_value = value;
    }
  }
  EXPECT_DOUBLE_EQ(x.evaluate()[0], value);
  x.backward();
  ASSERT_TRUE(p.has_grad());
  EXPECT_NEAR(p.grad()[0], derivative, 1e-9 * std::abs(derivative));

  x = Value();
  // Release must stop at nodes that another handle still holds.
  EXPECT_DOUBLE_EQ(middle.evaluate()[0], middle_value);
  middle = Value();
  EXPECT_TRUE(same_bits(p.value(), record({kP})));
}

TEST(DeepGraphs, WideBalancedSum) {
  constexpr int kLeaves = 1 << 17;
  const Value q = parameter(2.0, "q");
  std::vector<Value> leaves;
  std::vector<Value> level;
  for (int i = 0; i < kLeaves; ++i) {
    leaves.push_back(parameter(static_cast<double>(i), ""));
    level.push_back(leaves.back() * q);
  }
  while (level.size() > 1) {
    std::vector<Value> next;
    for (std::size_t i = 0; i < level.size(); i += 2) {
      next.push_back(level[i] + level[i + 1]);
    }
    level.swap(next);
  }
  const Value root = level.front();
  level.clear();
  // Integers below 2^53 throughout, so every sum is exact in any order.
  const double sum = static_cast<double>(kLeaves) * (kLeaves - 1) / 2;
  EXPECT_TRUE(same_bits(root.evaluate(), record({2.0 * sum})));
  root.backward();
  EXPECT_TRUE(same_bits(q.grad(), record({sum})));
  int wrong = 0;
  for (const Value& leaf : leaves) {
    if (!leaf.has_grad() || !same_bits(leaf.grad(), record({2.0}))) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
}

TEST(DeepGraphs, DeepChainOfPacksAndComponents) {
  // Each step rotates the lanes left by one through a Multiply, three
  // Component nodes and a Pack node.
  constexpr int kSteps = 300'001;
  const Value v = parameter(1.0, 2.0, 3.0, "v");
  const Value s = parameter(1.0, "s");
  Value x = v;
  for (int step = 0; step < kSteps; ++step) {
    const Value w = x * s;
    x = vec3(component(w, 1), component(w, 2), component(w, 0));
  }
  ASSERT_EQ(x.op(), ExpressionOp::Pack);
  ASSERT_EQ(kSteps % 3, 1);
  EXPECT_TRUE(same_bits(x.evaluate(), record({2.0, 3.0, 1.0})));

  x.backward(record({1.0, 10.0, 100.0}));
  // Root lane j holds v's lane j + 1, so v's lane m gets seed lane m - 1.
  EXPECT_TRUE(same_bits(v.grad(), record({100.0, 1.0, 10.0})));
  // With s = 1 every step contributes the same seed-weighted sum 2 + 30 + 100.
  EXPECT_TRUE(same_bits(s.grad(), record({132.0 * kSteps})));
  x = Value();
}

// x * x holds its input twice, so the input's owner count is two even when
// nothing else refers to it.
TEST(DeepGraphs, ChainOfSelfPairedNodesReleases) {
  Value x = parameter(1.0, "p");
  for (int i = 0; i < 1'000'000; ++i) x = x * x;
  EXPECT_EQ(x.evaluate()[0], 1.0);
  x = Value();
}

// make_expression moves all four slots in, including those past the input
// count, and those must be released without recursion too.
TEST(DeepGraphs, ChainHeldPastTheInputCountReleases) {
  const Value p = parameter(1.0, "p");
  Value x = p;
  for (int i = 0; i < 1'000'000; ++i) {
    x = make_expression(ExpressionOp::Negate, 1, {p, {}, {}, x}, 1, -1);
  }
  EXPECT_EQ(x.evaluate()[0], -1.0);
  x = Value();
}

// Owner counts are atomic, so handles to one graph may be dropped on several
// threads at once; whichever thread lets go last releases the shared part,
// and it must do so without recursing whatever the others are doing.
TEST(DeepGraphs, SharedDeepChainReleasedFromSeveralThreadsAtOnce) {
  constexpr int kThreads = 4;
  const Value p = parameter(1.0, "p");
  Value base = p;
  for (int i = 0; i < 300'000; ++i) base = i % 2 == 0 ? base * base : base + p;
  std::vector<Value> tops(kThreads);
  for (Value& top : tops) {
    top = base;
    for (int i = 0; i < 100'000; ++i) top = top * top;
  }
  std::barrier start(kThreads + 1);
  std::vector<std::thread> threads;
  for (Value& top : tops) {
    threads.emplace_back([&start, &top] {
      start.arrive_and_wait();
      top = Value();
    });
  }
  start.arrive_and_wait();
  base = Value();
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(same_bits(p.value(), record({1.0})));
}

}  // namespace
}  // namespace quoril::symbolic
