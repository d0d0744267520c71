#include <benchmark/benchmark.h>

#include <cstdint>
#include <utility>

#include "symbolic/value.h"

namespace quoril::symbolic {
namespace {

struct Graph {
  Value root;
  std::int64_t nodes = 0;
};

// A Horner loop y = y * x + c over three shared Parameters, with a sine or
// cosine term every few steps; values stay near 2, so nothing overflows.
Graph scalar_graph(std::int64_t target) {
  const Value x = parameter(0.5, "x");
  const Value c = parameter(1.0, "c");
  const Value a = parameter(0.1, "a");
  Graph graph{x, 3};
  Value& y = graph.root;
  for (std::int64_t step = 0; graph.nodes < target; ++step) {
    y = y * x + c;
    graph.nodes += 2;
    if (step % 4 == 1) {
      y = y + sin(y) * a;
      graph.nodes += 3;
    } else if (step % 4 == 3) {
      y = y * cos(x * a);
      graph.nodes += 3;
    }
  }
  return graph;
}

// y = y * s + v over 3 lanes, the scalar s broadcast in every Multiply.
Graph vector_graph(std::int64_t target) {
  const Value s = parameter(0.5, "s");
  const Value v = parameter(1.0, 2.0, 3.0, "v");
  Graph graph{v, 2};
  for (; graph.nodes < target; graph.nodes += 2) {
    graph.root = graph.root * s + v;
  }
  return graph;
}

// y = sin(y) * a + cos(y * b): every step's y has two users, so the walk
// looks it up in its position table; the nodes are made in the order the
// Python program makes them.
Graph sincos_graph(std::int64_t target) {
  const Value a = parameter(0.9, "a");
  const Value b = parameter(0.7, "b");
  Graph graph{parameter(0.1, "y"), 3};
  Value& y = graph.root;
  for (; graph.nodes < target; graph.nodes += 5) {
    const Value sine = sin(y);
    const Value scaled = sine * a;
    const Value inner = y * b;
    const Value cosine = cos(inner);
    y = scaled + cosine;
  }
  return graph;
}

using Builder = Graph (*)(std::int64_t);

void report_per_node(benchmark::State& state, std::int64_t nodes) {
  // An inverted rate is seconds per node, printed with an SI prefix ("36ns").
  state.counters["ns_per_node"] =
      benchmark::Counter(static_cast<double>(nodes),
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
  state.SetItemsProcessed(state.iterations() * nodes);
}

void BM_Evaluate(benchmark::State& state, Builder build) {
  const Graph graph = build(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(graph.root.evaluate());
  }
  report_per_node(state, graph.nodes);
}

void BM_Backward(benchmark::State& state, Builder build) {
  const Graph graph = build(state.range(0));
  const SmallValue seed = graph.root.dimension() == 1
                              ? small_value(1.0)
                              : small_value(1.0, 1.0, 1.0);
  for (auto _ : state) {
    graph.root.backward(seed);
  }
  report_per_node(state, graph.nodes);
}

void BM_Build(benchmark::State& state, Builder build) {
  std::int64_t nodes = 0;
  for (auto _ : state) {
    Graph graph = build(state.range(0));
    nodes = graph.nodes;
    state.PauseTiming();
    graph = Graph();
    state.ResumeTiming();
  }
  report_per_node(state, nodes);
}

void BM_Release(benchmark::State& state, Builder build) {
  std::int64_t nodes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Graph graph = build(state.range(0));
    nodes = graph.nodes;
    state.ResumeTiming();
    graph.root = Value();
  }
  report_per_node(state, nodes);
}

BENCHMARK_CAPTURE(BM_Evaluate, scalar, &scalar_graph)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Evaluate, vector3, &vector_graph)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Evaluate, sincos, &sincos_graph)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Backward, scalar, &scalar_graph)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Backward, vector3, &vector_graph)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Backward, sincos, &sincos_graph)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Build, scalar, &scalar_graph)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Build, vector3, &vector_graph)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Release, scalar, &scalar_graph)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Release, vector3, &vector_graph)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quoril::symbolic
