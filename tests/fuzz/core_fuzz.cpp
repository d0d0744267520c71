// Fuzz target over the core's public interface. The input bytes are a small
// program of factory, builder, set_value, evaluate, backward and zero_grad
// calls on a pool of handles. After every call the target checks what the
// core promises whatever the arguments, and aborts at the first broken
// promise so that the fuzzer keeps the input:
//
// - a failure is exactly std::invalid_argument, std::out_of_range or
//   std::logic_error with a documented message of that category, and it is
//   the failure the arguments call for wherever that is cheap to tell;
// - a failed call draws no node id and changes no node reachable from the
//   pool; a successful one draws exactly the ids of the nodes it makes;
// - gradients exist only on Parameters;
// - on a well-formed graph, evaluation and the backward pass give, bit for
//   bit, what an independent walk of the same graph with the same IEEE
//   operations in the same order gives, failures included; a builder's
//   result evaluates to exactly the Constant that folding the same operation
//   over Constants of its operands' values gives.
//
// tests/fuzz/corpus_replay_test.cpp links this file without the fuzzer and
// replays the stored corpus through it.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "symbolic/smooth.h"
#include "symbolic/value.h"

namespace {

namespace qs = quoril::symbolic;
using qs::ExpressionOp;
using qs::SmallValue;
using qs::Value;
using qs::ValueKind;
using qs::ValueNode;

constexpr std::size_t kPoolSize = 8;
constexpr int kMaxSteps = 256;
// Bounds what one input may build through chains, so that an execution stays
// short under the sanitizers.
constexpr std::size_t kMaxChainNodes = 16384;
// Graphs up to this many nodes are compared with the independent walk.
constexpr std::size_t kReferenceNodes = 4096;
// Nodes compared before and after every call.
constexpr std::size_t kSnapshotNodes = 256;

[[noreturn]] void violated(const std::string& what) {
  std::fprintf(stderr, "core_fuzz: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

void expect(bool condition, const char* what) {
  if (!condition) violated(what);
}
void expect(bool condition, const std::string& what) {
  if (!condition) violated(what);
}

// ---- Failures ---------------------------------------------------------------

enum class Category { InvalidArgument, OutOfRange, Logic };

const char* category_name(Category c) {
  switch (c) {
    case Category::InvalidArgument: return "invalid_argument";
    case Category::OutOfRange: return "out_of_range";
    case Category::Logic: return "logic_error";
  }
  return "?";
}

struct Failure {
  Category category;
  std::string message;

  bool operator==(const Failure&) const = default;
};

std::string describe(const std::optional<Failure>& f) {
  if (!f) return "success";
  return std::string(category_name(f->category)) + " \"" + f->message + "\"";
}

Failure invalid(std::string message) {
  return {Category::InvalidArgument, std::move(message)};
}
Failure out_of_range(std::string message) {
  return {Category::OutOfRange, std::move(message)};
}
Failure logic(std::string message) {
  return {Category::Logic, std::move(message)};
}

const char kBadDimension[] = "symbolic value dimension must be in 1..4";
const char kNotFinite[] = "symbolic value lanes must be finite";
const char kLaneIndex[] = "symbolic value lane index out of range";
const char kInvalidHandle[] = "invalid symbolic value handle";
const char kHasUndefined[] =
    "cannot evaluate symbolic graph with Undefined values";

Failure not_valid(std::string_view label) {
  return invalid(std::string(label) + " is not a valid symbolic value");
}

// The category a documented message belongs to, or nothing for a message
// the core never documents.
std::optional<Category> documented(std::string_view message) {
  static const std::unordered_map<std::string_view, Category> kFixed = {
      {"symbolic value constructor expects 1..4 lanes",
       Category::InvalidArgument},
      {kBadDimension, Category::InvalidArgument},
      {kNotFinite, Category::InvalidArgument},
      {"symbolic hint dimension mismatch", Category::InvalidArgument},
      {"set_value() dimension does not match Parameter dimension",
       Category::InvalidArgument},
      {"symbolic expression input count must be in 1..4",
       Category::InvalidArgument},
      {"vec2 expression inputs must be scalar symbolic values",
       Category::InvalidArgument},
      {"vec3 expression inputs must be scalar symbolic values",
       Category::InvalidArgument},
      {"vec4 expression inputs must be scalar symbolic values",
       Category::InvalidArgument},
      {"backward seed dimension does not match output dimension",
       Category::InvalidArgument},
      {"backward() without seed requires scalar output",
       Category::InvalidArgument},
      {"unsupported binary symbolic expression op", Category::InvalidArgument},
      {"unsupported unary symbolic expression op", Category::InvalidArgument},
      {kLaneIndex, Category::OutOfRange},
      {"symbolic expression input index out of range", Category::OutOfRange},
      {"symbolic component index out of range", Category::OutOfRange},
      {kInvalidHandle, Category::Logic},
      {"symbolic value has no direct numeric value", Category::Logic},
      {"symbolic value has no hint", Category::Logic},
      {"symbolic value has no gradient", Category::Logic},
      {"set_value() is only valid for Parameter values", Category::Logic},
      {kHasUndefined, Category::Logic},
      {"Pack input is not scalar", Category::Logic},
      {"unsupported symbolic expression op", Category::Logic},
      {"missing symbolic evaluation cache entry", Category::Logic},
      {"unsupported unary backward op", Category::Logic},
      {"unsupported binary backward op", Category::Logic},
      {"unsupported symbolic backward op", Category::Logic},
  };
  static const std::string_view kLabels[] = {
      "expression input", "vec2 x",        "vec2 y",          "vec3 x",
      "vec3 y",           "vec3 z",        "vec4 x",          "vec4 y",
      "vec4 z",           "vec4 w",        "component value", "left operand",
      "right operand",    "unary operand", "backward value"};
  if (auto it = kFixed.find(message); it != kFixed.end()) return it->second;
  constexpr std::string_view kNotValid = " is not a valid symbolic value";
  if (message.ends_with(kNotValid)) {
    const std::string_view label =
        message.substr(0, message.size() - kNotValid.size());
    for (std::string_view known : kLabels) {
      if (label == known) return Category::InvalidArgument;
    }
    return std::nullopt;
  }
  constexpr std::string_view kCombine =
      "cannot combine symbolic values with dimensions ";
  if (message.starts_with(kCombine)) {
    const std::string_view dims = message.substr(kCombine.size());
    if (dims.size() == 7 && dims[0] >= '1' && dims[0] <= '4' &&
        dims.substr(1, 5) == " and " && dims[6] >= '1' && dims[6] <= '4') {
      return Category::InvalidArgument;
    }
  }
  return std::nullopt;
}

// Runs `call` and returns its failure, after checking that the exception is
// of one of the three documented types exactly, with a documented message of
// that type.
template <typename Call>
std::optional<Failure> attempt(Call&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    const std::type_info& type = typeid(e);
    Category category;
    if (type == typeid(std::invalid_argument)) {
      category = Category::InvalidArgument;
    } else if (type == typeid(std::out_of_range)) {
      category = Category::OutOfRange;
    } else if (type == typeid(std::logic_error)) {
      category = Category::Logic;
    } else {
      violated(std::string("undocumented exception type ") + type.name() +
               ": " + e.what());
    }
    const std::optional<Category> expected = documented(e.what());
    if (!expected) violated(std::string("undocumented message: ") + e.what());
    if (*expected != category) {
      violated(std::string("message \"") + e.what() + "\" thrown as " +
               category_name(category) + ", documented as " +
               category_name(*expected));
    }
    return Failure{category, e.what()};
  } catch (...) {
    violated("an exception not derived from std::exception");
  }
  return std::nullopt;
}

void expect_outcome(const std::optional<Failure>& actual,
                    const std::optional<Failure>& expected, const char* call) {
  if (actual != expected) {
    violated(std::string(call) + ": got " + describe(actual) + ", expected " +
             describe(expected));
  }
}

// ---- Records ----------------------------------------------------------------

bool same_bits(const SmallValue& a, const SmallValue& b) {
  return a.dimension == b.dimension &&
         std::memcmp(a.lanes.data(), b.lanes.data(), sizeof a.lanes) == 0;
}

std::string describe(const SmallValue& v) {
  char text[160];
  std::snprintf(text, sizeof text, "{%d: %.17g %.17g %.17g %.17g}", v.dimension,
                v.lanes[0], v.lanes[1], v.lanes[2], v.lanes[3]);
  return text;
}

void expect_same(const SmallValue& actual, const SmallValue& expected,
                 const char* what) {
  if (!same_bits(actual, expected)) {
    violated(std::string(what) + ": " + describe(actual) + ", expected " +
             describe(expected));
  }
}

// Gradients are not checked for finiteness, and the sign and payload of a
// NaN depend on which operand the compiler puts first in an addition or a
// product, so any two NaN lanes count as the same.
void expect_same_gradient(const SmallValue& actual,
                          const SmallValue& expected) {
  bool same = actual.dimension == expected.dimension;
  for (std::size_t i = 0; i < 4 && same; ++i) {
    const double a = actual.lanes[i];
    const double e = expected.lanes[i];
    same =
        (std::isnan(a) && std::isnan(e)) || std::memcmp(&a, &e, sizeof a) == 0;
  }
  if (!same) {
    violated("gradient after backward: " + describe(actual) + ", expected " +
             describe(expected));
  }
}

SmallValue make_record(int dimension, std::initializer_list<double> lanes) {
  SmallValue v;
  v.dimension = dimension;
  std::size_t i = 0;
  for (double lane : lanes) v.lanes[i++] = lane;
  return v;
}

// The check every record passes before it enters a node.
std::optional<Failure> finiteness(const SmallValue& v) {
  if (v.dimension < 1 || v.dimension > 4) return invalid(kBadDimension);
  for (int i = 0; i < v.dimension; ++i) {
    if (!(std::fabs(v.lanes[static_cast<std::size_t>(i)]) <=
          std::numeric_limits<double>::max())) {
      return invalid(kNotFinite);
    }
  }
  return std::nullopt;
}

struct Computed {
  std::optional<Failure> failure;
  SmallValue value;
};

// The operations of two operands, then of one, in the order the input's
// bytes pick them.
constexpr ExpressionOp kBinaryOps[] = {
    ExpressionOp::Add,    ExpressionOp::Subtract, ExpressionOp::Multiply,
    ExpressionOp::Divide, ExpressionOp::Pow,      ExpressionOp::Atan2};
constexpr ExpressionOp kUnaryOps[] = {
    ExpressionOp::Negate,   ExpressionOp::Sin, ExpressionOp::Cos,
    ExpressionOp::Exp,      ExpressionOp::Log, ExpressionOp::Sqrt,
    ExpressionOp::Tanh,     ExpressionOp::Abs, ExpressionOp::SincSqrt,
    ExpressionOp::AtancSqrt};
// The highest enumerator; to_string names every one up to it.
constexpr unsigned kLastOp = 18;

bool is_binary(ExpressionOp op) {
  return std::find(std::begin(kBinaryOps), std::end(kBinaryOps), op) !=
         std::end(kBinaryOps);
}
bool is_unary(ExpressionOp op) {
  return std::find(std::begin(kUnaryOps), std::end(kUnaryOps), op) !=
         std::end(kUnaryOps);
}

// The lanes of an arithmetic operation, written out afresh: one IEEE
// operation per lane, a one-lane operand standing for every lane.
Computed binary_lanes(ExpressionOp op, const SmallValue& lhs,
                      const SmallValue& rhs, int dimension) {
  SmallValue r;
  r.dimension = dimension;
  for (int i = 0; i < std::min(dimension, 4); ++i) {
    const double a =
        lhs.lanes[lhs.dimension == 1 ? 0u : static_cast<std::size_t>(i)];
    const double b =
        rhs.lanes[rhs.dimension == 1 ? 0u : static_cast<std::size_t>(i)];
    double& out = r.lanes[static_cast<std::size_t>(i)];
    switch (op) {
      case ExpressionOp::Add: out = a + b; break;
      case ExpressionOp::Subtract: out = a - b; break;
      case ExpressionOp::Multiply: out = a * b; break;
      case ExpressionOp::Divide: out = a / b; break;
      case ExpressionOp::Pow: out = std::pow(a, b); break;
      case ExpressionOp::Atan2: out = std::atan2(a, b); break;
      default:
        return {invalid("unsupported binary symbolic expression op"), {}};
    }
  }
  return {finiteness(r), r};
}

Computed unary_lanes(ExpressionOp op, const SmallValue& x) {
  SmallValue r;
  r.dimension = x.dimension;
  for (int i = 0; i < std::min(x.dimension, 4); ++i) {
    const double a = x.lanes[static_cast<std::size_t>(i)];
    double& out = r.lanes[static_cast<std::size_t>(i)];
    switch (op) {
      case ExpressionOp::Negate: out = -a; break;
      case ExpressionOp::Sin: out = std::sin(a); break;
      case ExpressionOp::Cos: out = std::cos(a); break;
      case ExpressionOp::Exp: out = std::exp(a); break;
      case ExpressionOp::Log: out = std::log(a); break;
      case ExpressionOp::Sqrt: out = std::sqrt(a); break;
      case ExpressionOp::Tanh: out = std::tanh(a); break;
      case ExpressionOp::Abs: out = std::fabs(a); break;
      // The functions of a squared angle are the core's own math library,
      // as libm is for the others.
      case ExpressionOp::SincSqrt: out = qs::sinc_sqrt(a); break;
      case ExpressionOp::AtancSqrt: out = qs::atanc_sqrt(a); break;
      default: return {invalid("unsupported unary symbolic expression op"), {}};
    }
  }
  return {finiteness(r), r};
}

// ---- Graph observation
// --------------------------------------------------------

const ValueNode* maybe_node(const Value& v) {
  return v.same_node(Value()) ? nullptr : &v.node();
}

struct NodeImage {
  const ValueNode* node;
  ValueKind kind;
  ExpressionOp op;
  std::int32_t dimension;
  std::int32_t input_count;
  std::int32_t component_index;
  SmallValue value;
  std::optional<SmallValue> hint;
  std::optional<SmallValue> grad;
  std::string name;
  std::array<const ValueNode*, 4> inputs;
};

using Snapshot = std::unordered_map<std::uint64_t, NodeImage>;

NodeImage image_of(const ValueNode& n) {
  NodeImage image{&n,
                  n.kind,
                  n.op,
                  n.dimension,
                  n.input_count,
                  n.component_index,
                  n.value,
                  n.hint,
                  n.grad,
                  n.name,
                  {}};
  for (std::size_t i = 0; i < 4; ++i) image.inputs[i] = maybe_node(n.inputs[i]);
  return image;
}

bool same_optional(const std::optional<SmallValue>& a,
                   const std::optional<SmallValue>& b) {
  return a.has_value() == b.has_value() && (!a || same_bits(*a, *b));
}

bool same_image(const NodeImage& a, const NodeImage& b) {
  return a.node == b.node && a.kind == b.kind && a.op == b.op &&
         a.dimension == b.dimension && a.input_count == b.input_count &&
         a.component_index == b.component_index &&
         same_bits(a.value, b.value) && same_optional(a.hint, b.hint) &&
         same_optional(a.grad, b.grad) && a.name == b.name &&
         a.inputs == b.inputs;
}

// What every node promises whatever made it.
void check_node(const ValueNode& n, std::uint64_t next_id) {
  expect(n.id >= 1 && n.id < next_id, "node id outside the ids drawn");
  expect(n.dimension >= 1 && n.dimension <= 4, "node dimension outside 1..4");
  expect(n.input_count >= 0 && n.input_count <= 4, "input count outside 0..4");
  // make_expression moves all four slots in, so only those below the count
  // are promised to be set.
  for (int i = 0; i < n.input_count; ++i) {
    expect(maybe_node(n.inputs[static_cast<std::size_t>(i)]) != nullptr,
           "an input slot below the count is empty");
  }
  if (n.grad) {
    expect(n.kind == ValueKind::Parameter,
           "gradient on a node that is not a Parameter");
    expect(n.grad->dimension == n.dimension, "gradient of another dimension");
    for (int i = n.dimension; i < 4; ++i) {
      expect(
          std::signbit(n.grad->lanes[static_cast<std::size_t>(i)]) == false &&
              n.grad->lanes[static_cast<std::size_t>(i)] == 0.0,
          "gradient lane beyond the dimension is not +0.0");
    }
  }
  if (n.kind == ValueKind::Expression && n.input_count > 0) {
    expect(same_bits(n.value, SmallValue{}), "expression holds a value");
    expect(!n.hint && n.name.empty(), "expression holds a hint or a name");
  }
}

// ---- Independent walk
// -----------------------------------------------------------

// The evaluation order of a graph (depth first, inputs in index order, each
// node after its inputs) with each node's input positions, and whether every
// node has the shape that the builders give.
struct Walk {
  std::vector<const ValueNode*> order;
  std::vector<std::array<std::uint32_t, 4>> inputs;
  bool well_formed = true;
  bool complete = true;
};

bool well_formed_node(const ValueNode& n,
                      const std::array<const ValueNode*, 4>& in) {
  if (n.dimension < 1 || n.dimension > 4) return false;
  switch (n.kind) {
    case ValueKind::Constant:
    case ValueKind::Parameter:
      return n.input_count == 0 && n.value.dimension == n.dimension &&
             !finiteness(n.value);
    case ValueKind::Undefined:
      return n.input_count == 0 &&
             (!n.hint || n.hint->dimension == n.dimension);
    case ValueKind::Expression: break;
    default: return false;
  }
  if (n.op == ExpressionOp::Pack) {
    if (n.input_count != n.dimension || n.dimension < 2 ||
        n.component_index != -1) {
      return false;
    }
    for (int i = 0; i < n.input_count; ++i) {
      if (in[static_cast<std::size_t>(i)]->dimension != 1) return false;
    }
    return true;
  }
  if (n.op == ExpressionOp::Component) {
    return n.input_count == 1 && n.dimension == 1 && n.component_index >= 0 &&
           n.component_index < in[0]->dimension;
  }
  if (is_binary(n.op)) {
    if (n.input_count != 2 || n.component_index != -1) return false;
    const int l = in[0]->dimension;
    const int r = in[1]->dimension;
    const int d = l == r ? l : l == 1 ? r : r == 1 ? l : 0;
    return d == n.dimension;
  }
  if (is_unary(n.op)) {
    return n.input_count == 1 && n.component_index == -1 &&
           in[0]->dimension == n.dimension;
  }
  return false;
}

Walk walk(const Value& root, std::size_t limit) {
  Walk w;
  constexpr std::uint32_t kEntered = 0xFFFFFFFFu;
  std::unordered_map<const ValueNode*, std::uint32_t> position;
  struct Frame {
    const ValueNode* node;
    int next;
    std::array<std::uint32_t, 4> in;
  };
  std::vector<Frame> stack;
  const ValueNode* r = &root.node();
  position[r] = kEntered;
  stack.push_back({r, 0, {}});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.node->input_count) {
      const ValueNode* child =
          &top.node->inputs[static_cast<std::size_t>(top.next)].node();
      auto [it, inserted] = position.try_emplace(child, kEntered);
      if (!inserted) {
        expect(it->second != kEntered, "graph holds a cycle");
        top.in[static_cast<std::size_t>(top.next++)] = it->second;
        continue;
      }
      stack.push_back({child, 0, {}});
      continue;
    }
    if (w.order.size() >= limit) {
      w.complete = false;
      return w;
    }
    const auto placed = static_cast<std::uint32_t>(w.order.size());
    std::array<const ValueNode*, 4> in{};
    for (int i = 0; i < top.node->input_count; ++i) {
      in[static_cast<std::size_t>(i)] =
          w.order[top.in[static_cast<std::size_t>(i)]];
    }
    w.well_formed = w.well_formed && well_formed_node(*top.node, in);
    w.order.push_back(top.node);
    w.inputs.push_back(top.in);
    position[top.node] = placed;
    stack.pop_back();
    if (!stack.empty()) {
      Frame& parent = stack.back();
      parent.in[static_cast<std::size_t>(parent.next++)] = placed;
    }
  }
  return w;
}

struct Forward {
  std::optional<Failure> failure;
  std::vector<SmallValue> values;
};

// Evaluates a well-formed graph node by node in order; the first failing
// node ends the walk.
Forward forward(const Walk& w) {
  Forward f;
  f.values.reserve(w.order.size());
  for (std::size_t p = 0; p < w.order.size(); ++p) {
    const ValueNode& n = *w.order[p];
    const auto& in = w.inputs[p];
    Computed c;
    switch (n.kind) {
      case ValueKind::Undefined: c.failure = logic(kHasUndefined); break;
      case ValueKind::Expression:
        if (n.op == ExpressionOp::Pack) {
          c.value.dimension = n.dimension;
          for (int i = 0; i < n.input_count; ++i) {
            c.value.lanes[static_cast<std::size_t>(i)] =
                f.values[in[static_cast<std::size_t>(i)]].lanes[0];
          }
        } else if (n.op == ExpressionOp::Component) {
          c.value = make_record(
              1, {f.values[in[0]]
                      .lanes[static_cast<std::size_t>(n.component_index)]});
          c.failure = finiteness(c.value);
        } else if (is_binary(n.op)) {
          c = binary_lanes(n.op, f.values[in[0]], f.values[in[1]], n.dimension);
        } else {
          c = unary_lanes(n.op, f.values[in[0]]);
        }
        break;
      default: c.value = n.value; break;
    }
    if (c.failure) {
      f.failure = c.failure;
      return f;
    }
    f.values.push_back(c.value);
  }
  return f;
}

using Adjoint = std::array<double, 4>;

// The reverse walk over a well-formed graph whose forward pass succeeded:
// per node from the root back, per lane, left contribution before right.
// A power's exponent gets no contribution when it is a Constant, whose
// adjoint nothing reads (its log(base) would be NaN for a negative base).
std::vector<Adjoint> adjoints(const Walk& w, const Forward& f,
                              const SmallValue& seed) {
  std::vector<Adjoint> adj(w.order.size(), Adjoint{});
  adj.back() = seed.lanes;
  for (std::size_t p = w.order.size(); p-- > 0;) {
    const ValueNode& n = *w.order[p];
    if (n.kind != ValueKind::Expression) continue;
    const Adjoint g = adj[p];
    const auto& in = w.inputs[p];
    const auto lanes = static_cast<std::size_t>(n.dimension);
    if (n.op == ExpressionOp::Pack) {
      for (std::size_t i = 0; i < static_cast<std::size_t>(n.input_count);
           ++i) {
        adj[in[i]][0] += g[i];
      }
    } else if (n.op == ExpressionOp::Component) {
      adj[in[0]][static_cast<std::size_t>(n.component_index)] += g[0];
    } else if (is_binary(n.op)) {
      const SmallValue& a = f.values[in[0]];
      const SmallValue& b = f.values[in[1]];
      const SmallValue& y = f.values[p];
      const std::size_t sa = a.dimension == 1 ? 0 : 1;
      const std::size_t sb = b.dimension == 1 ? 0 : 1;
      const bool constant_exponent =
          n.op == ExpressionOp::Pow &&
          w.order[in[1]]->kind == ValueKind::Constant;
      for (std::size_t i = 0; i < lanes; ++i) {
        const double ai = a.lanes[i * sa];
        const double bi = b.lanes[i * sb];
        double left = g[i];
        double right = g[i];
        switch (n.op) {
          case ExpressionOp::Multiply:
            left = g[i] * bi;
            right = g[i] * ai;
            break;
          case ExpressionOp::Divide: {
            const double bb = bi * bi;
            left = g[i] / bi;
            right = ((-g[i]) * ai) / bb;
            break;
          }
          case ExpressionOp::Pow:
            // b a^(b-1), 0 for b = 0; a^b log a, 0 for a = 0.
            left = g[i] * (bi == 0.0 ? 0.0 : bi * std::pow(ai, bi - 1.0));
            right = g[i] * (ai == 0.0 ? 0.0 : y.lanes[i] * std::log(ai));
            break;
          case ExpressionOp::Atan2: {
            const double r2 = bi * bi + ai * ai;
            left = g[i] * (bi / r2);
            right = g[i] * ((-ai) / r2);
            break;
          }
          default: break;
        }
        adj[in[0]][i * sa] += left;
        if (n.op == ExpressionOp::Subtract) {
          adj[in[1]][i * sb] -= g[i];
        } else if (!constant_exponent) {
          adj[in[1]][i * sb] += right;
        }
      }
    } else {
      const SmallValue& x = f.values[in[0]];
      const SmallValue& y = f.values[p];
      for (std::size_t i = 0; i < lanes; ++i) {
        const double xi = x.lanes[i];
        const double yi = y.lanes[i];
        double contribution = (-1.0) * g[i];
        switch (n.op) {
          case ExpressionOp::Sin: contribution = std::cos(xi) * g[i]; break;
          case ExpressionOp::Cos: contribution = (-std::sin(xi)) * g[i]; break;
          case ExpressionOp::Exp: contribution = yi * g[i]; break;
          case ExpressionOp::Log: contribution = (1.0 / xi) * g[i]; break;
          case ExpressionOp::Sqrt: contribution = (0.5 / yi) * g[i]; break;
          case ExpressionOp::Tanh: contribution = (1.0 - yi * yi) * g[i]; break;
          // 0 at 0 (either sign).
          case ExpressionOp::Abs:
            contribution = (xi > 0.0 ? 1.0 : xi < 0.0 ? -1.0 : 0.0) * g[i];
            break;
          case ExpressionOp::SincSqrt:
            contribution = qs::sinc_sqrt_d1(xi) * g[i];
            break;
          case ExpressionOp::AtancSqrt:
            contribution = qs::atanc_sqrt_d1(xi) * g[i];
            break;
          default: break;
        }
        adj[in[0]][i] += contribution;
      }
    }
  }
  return adj;
}

// ---- Input decoding
// ---------------------------------------------------------------

class Program {
 public:
  Program(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(size) {}

  bool done() const { return position_ >= size_; }
  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  std::uint16_t u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
  }
  double raw_double() {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= std::uint64_t{byte()} << (8 * i);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  // Lanes that the core must take apart: signed zeros, subnormals, the
  // largest finite numbers, NaN and infinities, and any bit pattern at all.
  double lane() {
    const std::uint8_t b = byte();
    constexpr double kMax = std::numeric_limits<double>::max();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    switch (b % 24) {
      case 0: return 0.0;
      case 1: return -0.0;
      case 2: return 1.0;
      case 3: return -1.0;
      case 4: return 0.5;
      case 5: return 2.0;
      case 6: return 3.0;
      case 7: return 0.1;
      case 8: return 1e308;
      case 9: return -1e308;
      case 10: return kMax;
      case 11: return std::numeric_limits<double>::min();
      case 12: return std::numeric_limits<double>::denorm_min();
      case 13: return -std::numeric_limits<double>::denorm_min();
      case 14: return std::numeric_limits<double>::quiet_NaN();
      case 15: return kInf;
      case 16: return -kInf;
      case 17: return 1e-200;
      case 18: return 1e154;
      case 19: return 3.141592653589793;
      case 20: return 1e22;
      case 21: return raw_double();
      default: return static_cast<double>(b / 24) - 4.0;
    }
  }

  int dimension() {
    static constexpr int kDimensions[] = {
        1, 2, 3, 4, 1, 2, 3,  4,
        1, 2, 3, 4, 0, 5, -1, std::numeric_limits<int>::min()};
    return kDimensions[byte() % 16];
  }

  // A record of any dimension, sometimes with lanes set beyond it.
  SmallValue record() {
    const std::uint8_t shape = byte();
    SmallValue v;
    v.dimension = dimension();
    const int used = std::clamp(v.dimension, 0, 4);
    for (int i = 0; i < used; ++i)
      v.lanes[static_cast<std::size_t>(i)] = lane();
    if (shape & 1) {
      for (int i = used; i < 4; ++i)
        v.lanes[static_cast<std::size_t>(i)] = lane();
    }
    return v;
  }

  std::string name() {
    std::string text(byte() % 7, '\0');
    for (char& c : text) c = static_cast<char>(byte());
    return text;
  }

  int small_int() {
    static constexpr int kValues[] = {0, 1, 2, 3, -1, 4, 5, -2};
    return kValues[byte() % 8];
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// ---- The interpreter
// -----------------------------------------------------------

std::uint64_t next_id() { return qs::constant(0.0).id(); }

std::string expected_description(const ValueNode& n) {
  std::string text = qs::to_string(n.kind);
  text += "<" + std::to_string(n.dimension) + ">#" + std::to_string(n.id);
  if (!n.name.empty()) text += "(" + n.name + ")";
  if (n.kind == ValueKind::Expression)
    text += std::string(" op=") + qs::to_string(n.op);
  return text;
}

class Fuzzer {
 public:
  explicit Fuzzer(Program& in) : in_(in) {}

  void run() {
    for (int step = 0; step < kMaxSteps && !in_.done(); ++step) {
      one_step();
      check_pool();
    }
    for (const Value& v : pool_) {
      if (!v.same_node(Value())) check_evaluation(v);
    }
    // Release in an order the input picks, so shared and solely owned
    // subgraphs are torn down from every side.
    const std::size_t first = in_.byte() % kPoolSize;
    for (std::size_t i = 0; i < kPoolSize; ++i) {
      pool_[(first + i * 3) % kPoolSize] = Value();
    }
  }

 private:
  Value& slot() { return pool_[in_.byte() % kPoolSize]; }

  Snapshot snapshot() const {
    Snapshot s;
    std::vector<const ValueNode*> queue;
    for (const Value& v : pool_) {
      if (const ValueNode* n = maybe_node(v)) queue.push_back(n);
    }
    for (std::size_t i = 0; i < queue.size() && s.size() < kSnapshotNodes;
         ++i) {
      const ValueNode& n = *queue[i];
      if (!s.try_emplace(n.id, image_of(n)).second) continue;
      for (int k = 0; k < n.input_count; ++k) {
        queue.push_back(&n.inputs[static_cast<std::size_t>(k)].node());
      }
    }
    return s;
  }

  // Every node seen before a call is as it was, except those `may_change`
  // lets through.
  template <typename Exempt>
  void expect_kept(const Snapshot& before, const Snapshot& after,
                   Exempt&& may_change, const char* call) {
    for (const auto& [id, image] : before) {
      auto it = after.find(id);
      if (it == after.end()) continue;  // beyond the snapshot's reach now
      if (!same_image(image, it->second) && !may_change(image, it->second)) {
        violated(std::string(call) + " changed node #" + std::to_string(id));
      }
    }
  }

  void expect_kept(const Snapshot& before, const char* call) {
    expect_kept(
        before, snapshot(),
        [](const NodeImage&, const NodeImage&) { return false; }, call);
  }

  void check_pool() {
    const std::uint64_t limit = next_id();
    for (const auto& [id, image] : snapshot()) check_node(*image.node, limit);
  }

  // A call that returns a new handle: checks the failure or the ids drawn,
  // and stores the result.
  template <typename Call>
  std::optional<Failure> build(Value& target, const char* label,
                               const std::optional<Failure>& expected,
                               std::uint64_t ids_on_failure, Call&& call) {
    const Snapshot before = snapshot();
    const std::uint64_t first = next_id();
    Value result;
    const std::optional<Failure> failure = attempt([&] { result = call(); });
    const std::uint64_t drawn = next_id() - first - 1;
    expect_outcome(failure, expected, label);
    if (failure) {
      if (drawn != ids_on_failure) {
        violated(std::string(label) + " failed but drew " +
                 std::to_string(drawn) + " ids");
      }
      expect_kept(before, label);
      return failure;
    }
    expect(!result.same_node(Value()),
           std::string(label) + ": a successful call returned an empty handle");
    if (result.id() > first) {
      // A new node: the last id drawn is its own.
      expect(result.id() == first + drawn,
             "a new node does not carry the last id drawn");
    }
    expect_kept(before, label);
    target = std::move(result);
    return std::nullopt;
  }

  // Checks a new leaf's fields.
  void expect_leaf(const Value& v, ValueKind kind, int dimension,
                   const SmallValue& value,
                   const std::optional<SmallValue>& hint,
                   const std::string& name) {
    const ValueNode& n = v.node();
    expect(n.kind == kind && n.op == ExpressionOp::None,
           "leaf of the wrong kind");
    expect(n.dimension == dimension, "leaf of the wrong dimension");
    expect_same(n.value, value, "leaf value");
    expect(same_optional(n.hint, hint), "leaf hint");
    expect(n.name == name, "leaf name");
    expect(n.input_count == 0 && n.component_index == -1 && !n.grad,
           "leaf with inputs, a component index or a gradient");
  }

  void one_step() {
    switch (in_.byte() % 22) {
      case 0: leaf_step(ValueKind::Constant); break;
      case 1: leaf_step(ValueKind::Parameter); break;
      case 2: undefined_step(); break;
      case 3: leaf_step(ValueKind::Undefined); break;
      case 4: make_node_step(); break;
      case 5:
      case 6: binary_step(); break;
      case 7: number_step(); break;
      case 8: unary_step(); break;
      case 9: pack_step(); break;
      case 10: component_step(); break;
      case 11: make_expression_step(); break;
      case 12: set_value_step(); break;
      case 13: check_evaluation(slot()); break;
      case 14: backward_step(true); break;
      case 15: backward_step(false); break;
      case 16: zero_grad_step(); break;
      case 17: access_step(); break;
      case 18: slot() = slot(); break;
      case 19: slot() = Value(); break;
      case 20: chain_step(); break;
      default: input_step(); break;
    }
  }

  // constant, parameter and undefined_with_hint in all their lane forms.
  void leaf_step(ValueKind kind) {
    Value& target = slot();
    const std::uint8_t form = in_.byte() % 8;
    const std::string name =
        kind == ValueKind::Constant ? std::string() : in_.name();
    SmallValue lanes;
    double l[5] = {};
    std::optional<Failure> expected;
    std::function<Value()> call;
    const auto make = [kind, name](SmallValue v) {
      if (kind == ValueKind::Constant) return qs::constant(v);
      if (kind == ValueKind::Parameter) return qs::parameter(v, name);
      return qs::undefined_with_hint(v, name);
    };
    if (form == 0) {
      lanes = in_.record();
      expected = finiteness(lanes);
      call = [&] { return make(lanes); };
    } else if (form == 1) {
      const std::size_t count = in_.byte() % 6;
      for (std::size_t i = 0; i < count; ++i) l[i] = in_.lane();
      lanes.dimension = static_cast<int>(count);
      for (std::size_t i = 0; i < std::min<std::size_t>(count, 4); ++i)
        lanes.lanes[i] = l[i];
      expected = count < 1 || count > 4
                     ? std::optional(invalid(
                           "symbolic value constructor expects 1..4 lanes"))
                     : finiteness(lanes);
      call = [&, count]() -> Value {
        switch (count) {
          case 0: return list_form(kind, {}, name);
          case 1: return list_form(kind, {l[0]}, name);
          case 2: return list_form(kind, {l[0], l[1]}, name);
          case 3: return list_form(kind, {l[0], l[1], l[2]}, name);
          case 4: return list_form(kind, {l[0], l[1], l[2], l[3]}, name);
          default: return list_form(kind, {l[0], l[1], l[2], l[3], l[4]}, name);
        }
      };
    } else {
      const int arity = 1 + form % 4;
      const bool vec = form >= 6;
      lanes.dimension = arity;
      for (int i = 0; i < arity; ++i)
        lanes.lanes[static_cast<std::size_t>(i)] = in_.lane();
      expected = finiteness(lanes);
      call = [&, arity, vec] {
        return arity_form(kind, lanes, arity, vec, name);
      };
    }
    const bool failed =
        build(target, "leaf factory", expected, 0, call).has_value();
    if (failed) return;
    std::optional<SmallValue> hint;
    SmallValue value = lanes;
    if (kind == ValueKind::Undefined) {
      hint = lanes;
      value = SmallValue{};
    }
    expect_leaf(target, kind, lanes.dimension, value, hint, name);
  }

  static Value list_form(ValueKind kind, std::initializer_list<double> l,
                         const std::string& name) {
    if (kind == ValueKind::Constant) return qs::constant(l);
    if (kind == ValueKind::Parameter) return qs::parameter(l, name);
    return qs::undefined_with_hint(l, name);
  }

  static Value arity_form(ValueKind kind, const SmallValue& v, int arity,
                          bool vec, const std::string& name) {
    const auto& l = v.lanes;
    if (vec) {
      switch (arity) {
        case 1: {
          const quoril::Vec<double, 1> e{{l[0]}};
          return kind == ValueKind::Constant ? qs::constant(e)
                 : kind == ValueKind::Parameter
                     ? qs::parameter(e, name)
                     : qs::undefined_with_hint(e, name);
        }
        case 2: {
          const quoril::Vec<double, 2> e{{l[0], l[1]}};
          return kind == ValueKind::Constant ? qs::constant(e)
                 : kind == ValueKind::Parameter
                     ? qs::parameter(e, name)
                     : qs::undefined_with_hint(e, name);
        }
        case 3: {
          const quoril::Vec<double, 3> e{{l[0], l[1], l[2]}};
          return kind == ValueKind::Constant ? qs::constant(e)
                 : kind == ValueKind::Parameter
                     ? qs::parameter(e, name)
                     : qs::undefined_with_hint(e, name);
        }
        default: {
          const quoril::Vec<double, 4> e{{l[0], l[1], l[2], l[3]}};
          return kind == ValueKind::Constant ? qs::constant(e)
                 : kind == ValueKind::Parameter
                     ? qs::parameter(e, name)
                     : qs::undefined_with_hint(e, name);
        }
      }
    }
    switch (arity) {
      case 1:
        return kind == ValueKind::Constant ? qs::constant(l[0])
               : kind == ValueKind::Parameter
                   ? qs::parameter(l[0], name)
                   : qs::undefined_with_hint(l[0], name);
      case 2:
        return kind == ValueKind::Constant ? qs::constant(l[0], l[1])
               : kind == ValueKind::Parameter
                   ? qs::parameter(l[0], l[1], name)
                   : qs::undefined_with_hint(l[0], l[1], name);
      case 3:
        return kind == ValueKind::Constant ? qs::constant(l[0], l[1], l[2])
               : kind == ValueKind::Parameter
                   ? qs::parameter(l[0], l[1], l[2], name)
                   : qs::undefined_with_hint(l[0], l[1], l[2], name);
      default:
        return kind == ValueKind::Constant
                   ? qs::constant(l[0], l[1], l[2], l[3])
               : kind == ValueKind::Parameter
                   ? qs::parameter(l[0], l[1], l[2], l[3], name)
                   : qs::undefined_with_hint(l[0], l[1], l[2], l[3], name);
    }
  }

  void undefined_step() {
    Value& target = slot();
    const int dimension = in_.dimension();
    const std::string name = in_.name();
    std::optional<Failure> expected;
    if (dimension < 1 || dimension > 4) expected = invalid(kBadDimension);
    if (build(target, "undefined", expected, 0,
              [&] { return qs::undefined(dimension, name); })) {
      return;
    }
    expect_leaf(target, ValueKind::Undefined, dimension, SmallValue{},
                std::nullopt, name);
  }

  void make_node_step() {
    Value& target = slot();
    static constexpr ValueKind kKinds[] = {
        ValueKind::Constant, ValueKind::Parameter, ValueKind::Undefined,
        ValueKind::Expression, static_cast<ValueKind>(9)};
    const ValueKind kind = kKinds[in_.byte() % 5];
    const int dimension = in_.dimension();
    const SmallValue value = in_.byte() % 2 ? in_.record() : SmallValue{};
    std::optional<SmallValue> hint;
    if (in_.byte() % 2) hint = in_.record();
    const std::string name = in_.name();
    std::optional<Failure> expected;
    if (dimension < 1 || dimension > 4) {
      expected = invalid(kBadDimension);
    } else if (value.dimension != 0 && finiteness(value)) {
      expected = finiteness(value);
    } else if (hint && finiteness(*hint)) {
      expected = finiteness(*hint);
    } else if (hint && hint->dimension != dimension) {
      expected = invalid("symbolic hint dimension mismatch");
    }
    if (build(target, "make_node", expected, 0, [&] {
          return Value(qs::make_node(kind, dimension, value, hint, name));
        })) {
      return;
    }
    expect_leaf(target, kind, dimension, value, hint, name);
  }

  // What a binary builder must do with two handles, short of the fold.
  static std::optional<Failure> binary_checks(const Value& a, const Value& b) {
    if (!maybe_node(a)) return not_valid("left operand");
    if (!maybe_node(b)) return not_valid("right operand");
    const int l = a.dimension();
    const int r = b.dimension();
    if (l != r && l != 1 && r != 1) {
      return invalid("cannot combine symbolic values with dimensions " +
                     std::to_string(l) + " and " + std::to_string(r));
    }
    return std::nullopt;
  }

  static Value apply(ExpressionOp op, Value a, Value b) {
    switch (op) {
      case ExpressionOp::Add: return std::move(a) + std::move(b);
      case ExpressionOp::Subtract: return std::move(a) - std::move(b);
      case ExpressionOp::Multiply: return std::move(a) * std::move(b);
      case ExpressionOp::Pow: return qs::pow(std::move(a), std::move(b));
      case ExpressionOp::Atan2: return qs::atan2(std::move(a), std::move(b));
      default: return std::move(a) / std::move(b);
    }
  }

  static Value apply(ExpressionOp op, Value a) {
    switch (op) {
      case ExpressionOp::Negate: return -std::move(a);
      case ExpressionOp::Sin: return qs::sin(std::move(a));
      case ExpressionOp::Exp: return qs::exp(std::move(a));
      case ExpressionOp::Log: return qs::log(std::move(a));
      case ExpressionOp::Sqrt: return qs::sqrt(std::move(a));
      case ExpressionOp::Tanh: return qs::tanh(std::move(a));
      case ExpressionOp::Abs: return qs::abs(std::move(a));
      case ExpressionOp::SincSqrt: return qs::sinc_sqrt(std::move(a));
      case ExpressionOp::AtancSqrt: return qs::atanc_sqrt(std::move(a));
      default: return qs::cos(std::move(a));
    }
  }

  static ExpressionOp binary_op(std::uint8_t b) {
    return kBinaryOps[b % std::size(kBinaryOps)];
  }
  static ExpressionOp unary_op(std::uint8_t b) {
    return kUnaryOps[b % std::size(kUnaryOps)];
  }

  // The outcome of a binary builder, and the folded record when both
  // operands are Constants.
  static Computed binary_prediction(ExpressionOp op, const Value& a,
                                    const Value& b) {
    if (auto f = binary_checks(a, b)) return {f, {}};
    if (a.is_constant() && b.is_constant()) {
      const int d = a.dimension() == 1 ? b.dimension() : a.dimension();
      return binary_lanes(op, a.node().value, b.node().value, d);
    }
    return {};
  }

  void binary_step() {
    const ExpressionOp op = binary_op(in_.byte());
    const Value a = slot();
    const Value b = slot();
    Value& target = slot();
    const Computed predicted = binary_prediction(op, a, b);
    if (build(target, "binary operator", predicted.failure, 0,
              [&] { return apply(op, a, b); })) {
      return;
    }
    expect_binary_result(op, a, b, target, predicted);
  }

  void expect_binary_result(ExpressionOp op, const Value& a, const Value& b,
                            const Value& result, const Computed& predicted) {
    if (a.is_constant() && b.is_constant()) {
      expect(result.is_constant(), "two Constants did not fold");
      expect_same(result.node().value, predicted.value, "folded lanes");
      return;
    }
    const ValueNode& n = result.node();
    const int d = a.dimension() == 1 ? b.dimension() : a.dimension();
    expect(n.kind == ValueKind::Expression && n.op == op && n.dimension == d &&
               n.input_count == 2 && n.component_index == -1,
           "binary node of the wrong shape");
    expect(n.inputs[0].same_node(a) && n.inputs[1].same_node(b),
           "binary node does not keep its operands in source order");
    check_fold(result,
               [&](const Value& x, const Value& y) { return apply(op, x, y); },
               {a, b});
  }

  // A builder's new node evaluates to exactly what the same builder folds
  // from Constants holding its operands' values, failures included.
  template <typename Builder>
  void check_fold(const Value& node, Builder&& builder,
                  std::vector<Value> operands) {
    std::vector<Value> constants;
    for (const Value& operand : operands) {
      const Walk w = walk(operand, kReferenceNodes);
      if (!w.complete || !w.well_formed) return;
      const Forward f = forward(w);
      if (f.failure) return;
      constants.push_back(qs::constant(f.values.back()));
    }
    SmallValue evaluated;
    const std::optional<Failure> evaluation =
        attempt([&] { evaluated = node.evaluate(); });
    SmallValue folded;
    const std::optional<Failure> folding = attempt([&] {
      Value c = constants.size() == 1 ? builder(constants[0], Value())
                                      : builder(constants[0], constants[1]);
      expect(c.is_constant(), "an operation over Constants did not fold");
      folded = c.value();
    });
    expect_outcome(evaluation, folding, "evaluation against folding");
    if (!evaluation)
      expect_same(evaluated, folded, "evaluation against folding");
  }

  void number_step() {
    const ExpressionOp op = binary_op(in_.byte());
    const bool number_left = in_.byte() % 2;
    const double s = in_.lane();
    const Value a = slot();
    Value& target = slot();
    const bool finite = std::fabs(s) <= std::numeric_limits<double>::max();
    // The number's Constant is made before the other operand is looked at;
    // it is the documented exception to drawing no id on failure.
    Computed predicted;
    if (!finite) {
      predicted.failure = invalid(kNotFinite);
    } else {
      const Value c = qs::constant(s);
      predicted = number_left ? binary_prediction(op, c, a)
                              : binary_prediction(op, a, c);
    }
    const std::uint64_t ids_on_failure = finite ? 1 : 0;
    if (build(target, "operator with a number", predicted.failure,
              ids_on_failure, [&] {
                switch (op) {
                  case ExpressionOp::Add: return number_left ? s + a : a + s;
                  case ExpressionOp::Subtract:
                    return number_left ? s - a : a - s;
                  case ExpressionOp::Multiply:
                    return number_left ? s * a : a * s;
                  case ExpressionOp::Pow:
                    return number_left ? qs::pow(s, a) : qs::pow(a, s);
                  case ExpressionOp::Atan2:
                    return number_left ? qs::atan2(s, a) : qs::atan2(a, s);
                  default: return number_left ? s / a : a / s;
                }
              })) {
      return;
    }
    if (a.is_constant()) {
      expect(target.is_constant(), "a Constant and a number did not fold");
      expect_same(target.node().value, predicted.value, "folded lanes");
      return;
    }
    const ValueNode& n = target.node();
    const Value& number = n.inputs[number_left ? 0 : 1];
    expect(n.op == op && n.inputs[number_left ? 1 : 0].same_node(a) &&
               number.is_constant() &&
               same_bits(number.node().value, make_record(1, {s})),
           "the number does not keep its side of the operator");
  }

  void unary_step() {
    const ExpressionOp op = unary_op(in_.byte());
    const Value a = slot();
    Value& target = slot();
    Computed predicted;
    if (!maybe_node(a)) {
      predicted.failure = not_valid("unary operand");
    } else if (a.is_constant()) {
      predicted = unary_lanes(op, a.node().value);
    }
    if (build(target, "unary operation", predicted.failure, 0,
              [&] { return apply(op, a); })) {
      return;
    }
    if (a.is_constant()) {
      expect(target.is_constant(),
             "a unary operation on a Constant did not fold");
      expect_same(target.node().value, predicted.value, "folded lanes");
      return;
    }
    const ValueNode& n = target.node();
    expect(n.kind == ValueKind::Expression && n.op == op &&
               n.dimension == a.dimension() && n.input_count == 1 &&
               n.inputs[0].same_node(a),
           "unary node of the wrong shape");
    check_fold(target,
               [&](const Value& x, const Value&) { return apply(op, x); }, {a});
  }

  void pack_step() {
    const int count = 2 + in_.byte() % 3;
    std::array<Value, 4> args;
    for (int i = 0; i < count; ++i) args[static_cast<std::size_t>(i)] = slot();
    Value& target = slot();
    static constexpr const char* kLabels[3][4] = {
        {"vec2 x", "vec2 y"},
        {"vec3 x", "vec3 y", "vec3 z"},
        {"vec4 x", "vec4 y", "vec4 z", "vec4 w"}};
    std::optional<Failure> expected;
    for (int i = 0; i < count && !expected; ++i) {
      if (!maybe_node(args[static_cast<std::size_t>(i)])) {
        expected = not_valid(kLabels[count - 2][i]);
      }
    }
    bool all_constant = true;
    for (int i = 0; i < count && !expected; ++i) {
      const Value& arg = args[static_cast<std::size_t>(i)];
      if (arg.dimension() != 1) {
        expected = invalid("vec" + std::to_string(count) +
                           " expression inputs must be scalar symbolic values");
      }
      all_constant = all_constant && arg.is_constant();
    }
    if (build(target, "vec", expected, 0, [&] {
          if (count == 2) return qs::vec2(args[0], args[1]);
          if (count == 3) return qs::vec3(args[0], args[1], args[2]);
          return qs::vec4(args[0], args[1], args[2], args[3]);
        })) {
      return;
    }
    if (all_constant) {
      SmallValue folded;
      folded.dimension = count;
      for (int i = 0; i < count; ++i) {
        folded.lanes[static_cast<std::size_t>(i)] =
            args[static_cast<std::size_t>(i)].node().value.lanes[0];
      }
      expect(target.is_constant(), "a pack of Constants did not fold");
      expect_same(target.node().value, folded, "folded pack");
      return;
    }
    const ValueNode& n = target.node();
    expect(n.op == ExpressionOp::Pack && n.dimension == count &&
               n.input_count == count,
           "pack node of the wrong shape");
    for (int i = 0; i < count; ++i) {
      expect(n.inputs[static_cast<std::size_t>(i)].same_node(
                 args[static_cast<std::size_t>(i)]),
             "pack node does not keep its arguments in order");
    }
  }

  void component_step() {
    const Value v = slot();
    const int index = in_.small_int();
    Value& target = slot();
    std::optional<Failure> expected;
    if (!maybe_node(v)) {
      expected = not_valid("component value");
    } else if (index < 0 || index >= v.dimension()) {
      expected = out_of_range("symbolic component index out of range");
    } else if (v.dimension() > 1 && v.is_expression() &&
               v.op() == ExpressionOp::Pack && index >= v.input_count()) {
      // A Pack made by hand may have fewer inputs than lanes.
      expected = out_of_range("symbolic expression input index out of range");
    } else if (v.dimension() > 1 && v.is_constant()) {
      // make_node takes an empty record (dimension 0) unchecked, whatever
      // its lanes hold; the lane's own Constant is checked like any other.
      expected = finiteness(make_record(
          1, {v.node().value.lanes[static_cast<std::size_t>(index)]}));
    }
    if (build(target, "component", expected, 0,
              [&] { return qs::component(v, index); })) {
      return;
    }
    const ValueNode& n = v.node();
    if (n.dimension == 1) {
      expect(target.same_node(v),
             "component of a scalar is not the scalar itself");
    } else if (n.kind == ValueKind::Constant) {
      expect(target.is_constant() &&
                 same_bits(
                     target.node().value,
                     make_record(
                         1, {n.value.lanes[static_cast<std::size_t>(index)]})),
             "component of a Constant is not a Constant of its lane");
    } else if (n.kind == ValueKind::Expression && n.op == ExpressionOp::Pack) {
      expect(target.same_node(n.inputs[static_cast<std::size_t>(index)]),
             "component of a pack is not the packed input");
    } else {
      const ValueNode& c = target.node();
      expect(c.op == ExpressionOp::Component && c.dimension == 1 &&
                 c.input_count == 1 && c.component_index == index &&
                 c.inputs[0].same_node(v),
             "component node of the wrong shape");
    }
  }

  void make_expression_step() {
    static constexpr std::uint8_t kOps[] = {
        0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 200};
    const auto op =
        static_cast<ExpressionOp>(kOps[in_.byte() % std::size(kOps)]);
    const int dimension = in_.dimension();
    const int count = in_.small_int();
    const int index = in_.small_int();
    std::array<Value, 4> inputs;
    for (Value& input : inputs) {
      if (in_.byte() % 4) input = slot();
    }
    Value& target = slot();
    std::optional<Failure> expected;
    if (dimension < 1 || dimension > 4) {
      expected = invalid(kBadDimension);
    } else if (count < 1 || count > 4) {
      expected = invalid("symbolic expression input count must be in 1..4");
    } else {
      for (int i = 0; i < count && !expected; ++i) {
        if (!maybe_node(inputs[static_cast<std::size_t>(i)])) {
          expected = not_valid("expression input");
        }
      }
    }
    const std::array<Value, 4> kept = inputs;
    if (build(target, "make_expression", expected, 0, [&] {
          return qs::make_expression(op, dimension, inputs, count, index);
        })) {
      return;
    }
    const ValueNode& n = target.node();
    expect(n.kind == ValueKind::Expression && n.op == op &&
               n.dimension == dimension && n.input_count == count &&
               n.component_index == index,
           "make_expression node of the wrong shape");
    for (int i = 0; i < 4; ++i) {
      expect(n.inputs[static_cast<std::size_t>(i)].same_node(
                 kept[static_cast<std::size_t>(i)]),
             "make_expression did not move its inputs in slot order");
    }
  }

  void set_value_step() {
    const Value target = slot();
    const SmallValue v = in_.record();
    std::optional<Failure> expected = finiteness(v);
    if (!expected) {
      if (!maybe_node(target)) {
        expected = logic(kInvalidHandle);
      } else if (!target.is_parameter()) {
        expected = logic("set_value() is only valid for Parameter values");
      } else if (v.dimension != target.dimension()) {
        expected =
            invalid("set_value() dimension does not match Parameter dimension");
      }
    }
    const Snapshot before = snapshot();
    const std::uint64_t first = next_id();
    const std::optional<Failure> failure =
        attempt([&] { target.set_value(v); });
    expect(next_id() == first + 1, "set_value drew an id");
    expect_outcome(failure, expected, "set_value");
    if (failure) {
      expect_kept(before, "set_value");
      return;
    }
    const ValueNode* changed = &target.node();
    expect_same(changed->value, v, "value after set_value");
    expect_kept(
        before, snapshot(),
        [changed](const NodeImage& was, const NodeImage& now) {
          NodeImage restored = now;
          restored.value = was.value;
          return was.node == changed && same_image(was, restored);
        },
        "set_value");
  }

  // Evaluation matches the independent walk on well-formed graphs and
  // changes nothing anywhere.
  void check_evaluation(const Value& root) {
    const Snapshot before = snapshot();
    const std::uint64_t first = next_id();
    SmallValue result;
    const std::optional<Failure> failure =
        attempt([&] { result = root.evaluate(); });
    expect(next_id() == first + 1, "evaluation drew an id");
    expect_kept(before, "evaluate");
    if (!maybe_node(root)) {
      expect_outcome(failure, not_valid("backward value"), "evaluate");
      return;
    }
    const Walk w = walk(root, kReferenceNodes);
    if (!w.complete || !w.well_formed) return;
    const Forward f = forward(w);
    expect_outcome(failure, f.failure, "evaluate");
    if (!failure) expect_same(result, f.values.back(), "evaluate");
  }

  void backward_step(bool with_seed) {
    const Value root = slot();
    const SmallValue seed = with_seed ? in_.record() : make_record(1, {1.0});
    std::optional<Failure> expected;
    if (!maybe_node(root)) {
      expected =
          with_seed ? not_valid("backward value") : logic(kInvalidHandle);
    } else if (!with_seed && root.dimension() != 1) {
      expected = invalid("backward() without seed requires scalar output");
    } else if (auto f = finiteness(seed)) {
      expected = f;
    } else if (seed.dimension != root.dimension()) {
      expected =
          invalid("backward seed dimension does not match output dimension");
    }
    const Snapshot before = snapshot();
    const std::uint64_t first = next_id();
    const std::optional<Failure> failure = attempt([&] {
      if (with_seed) {
        root.backward(seed);
      } else {
        root.backward();
      }
    });
    expect(next_id() == first + 1, "backward drew an id");
    const Snapshot after = snapshot();
    if (expected || failure) {
      // Graph failures come from evaluation, checked against the walk below.
      if (expected) expect_outcome(failure, expected, "backward");
      expect_kept(
          before, after,
          [](const NodeImage&, const NodeImage&) { return false; },
          "failed backward");
      if (!expected) check_backward_failure(root, *failure);
      return;
    }
    // Only gradients of Parameters may change, and on a well-formed graph
    // by exactly the independent walk's adjoints.
    expect_kept(
        before, after,
        [](const NodeImage& was, const NodeImage& now) {
          NodeImage restored = now;
          restored.grad = was.grad;
          return was.kind == ValueKind::Parameter && same_image(was, restored);
        },
        "backward");
    const Walk w = walk(root, kReferenceNodes);
    if (!w.complete || !w.well_formed) return;
    const Forward f = forward(w);
    if (f.failure)
      violated("backward succeeded where evaluation fails: " +
               describe(f.failure));
    const std::vector<Adjoint> adj = adjoints(w, f, seed);
    for (std::size_t p = 0; p < w.order.size(); ++p) {
      const ValueNode& n = *w.order[p];
      if (n.kind != ValueKind::Parameter) continue;
      auto was = before.find(n.id);
      if (was == before.end()) continue;
      SmallValue expected_grad = was->second.grad.value_or(SmallValue{});
      expected_grad.dimension = n.dimension;
      for (int i = 0; i < n.dimension; ++i) {
        expected_grad.lanes[static_cast<std::size_t>(i)] +=
            adj[p][static_cast<std::size_t>(i)];
      }
      expect(n.grad.has_value(), "a reached Parameter has no gradient");
      expect_same_gradient(*n.grad, expected_grad);
    }
  }

  void check_backward_failure(const Value& root, const Failure& failure) {
    const Walk w = walk(root, kReferenceNodes);
    if (!w.complete || !w.well_formed) return;
    const Forward f = forward(w);
    expect_outcome(failure, f.failure,
                   "backward on a graph that cannot evaluate");
  }

  void zero_grad_step() {
    const Value root = slot();
    const Snapshot before = snapshot();
    const std::uint64_t first = next_id();
    const std::optional<Failure> failure = attempt([&] { root.zero_grad(); });
    expect(next_id() == first + 1, "zero_grad drew an id");
    const std::optional<Failure> expected =
        maybe_node(root) ? std::nullopt
                         : std::optional(not_valid("backward value"));
    expect_outcome(failure, expected, "zero_grad");
    if (failure) {
      expect_kept(before, "zero_grad");
      return;
    }
    const Walk w = walk(root, kMaxChainNodes * 2);
    for (const ValueNode* n : w.order) {
      expect(!n->grad, "zero_grad left a gradient on a reachable node");
    }
    expect_kept(
        before, snapshot(),
        [](const NodeImage& was, const NodeImage& now) {
          NodeImage restored = now;
          restored.grad = was.grad;
          return was.kind == ValueKind::Parameter && !now.grad &&
                 same_image(was, restored);
        },
        "zero_grad");
  }

  // The handle's read-only members: each throws exactly what its contract
  // says and otherwise reports the node's own fields.
  void access_step() {
    const Value v = slot();
    const int index = in_.small_int();
    const ValueNode* n = maybe_node(v);
    const auto expect_member = [&](const std::optional<Failure>& expected,
                                   auto&& call, const char* label) {
      expect_outcome(attempt(call), n ? expected : logic(kInvalidHandle),
                     label);
    };
    expect(v.is_leaf() == (n && n->kind != ValueKind::Expression), "is_leaf");
    expect(v.same_node(v) && v.same_node(Value()) == !n, "same_node");
    switch (in_.byte() % 8) {
      case 0:
        if (!n) {
          // Every member but is_leaf and same_node refuses an empty handle.
          const std::function<void()> members[] = {[&] { v.id(); },
                                                   [&] { v.kind(); },
                                                   [&] { v.op(); },
                                                   [&] { v.dimension(); },
                                                   [&] { v.component_index(); },
                                                   [&] { v.name(); },
                                                   [&] { v.is_constant(); },
                                                   [&] { v.is_parameter(); },
                                                   [&] { v.is_undefined(); },
                                                   [&] { v.is_expression(); },
                                                   [&] { v.has_hint(); },
                                                   [&] { v.has_grad(); },
                                                   [&] { v.input_count(); },
                                                   [&] { v.node(); },
                                                   [&] { v.mutable_node(); },
                                                   [&] { v.backward(); }};
          for (const auto& member : members) {
            expect_outcome(attempt(member), logic(kInvalidHandle),
                           "member of an empty handle");
          }
          break;
        }
        expect(v.id() == n->id && v.kind() == n->kind && v.op() == n->op &&
                   v.dimension() == n->dimension &&
                   v.component_index() == n->component_index &&
                   &v.name() == &n->name && v.input_count() == n->input_count &&
                   v.is_constant() == (n->kind == ValueKind::Constant) &&
                   v.is_parameter() == (n->kind == ValueKind::Parameter) &&
                   v.is_undefined() == (n->kind == ValueKind::Undefined) &&
                   v.is_expression() == (n->kind == ValueKind::Expression) &&
                   v.has_hint() == n->hint.has_value() &&
                   v.has_grad() == n->grad.has_value(),
               "accessors disagree with the node");
        break;
      case 1: {
        const bool has = n && (n->kind == ValueKind::Constant ||
                               n->kind == ValueKind::Parameter);
        expect_member(
            has ? std::nullopt
                : std::optional(
                      logic("symbolic value has no direct numeric value")),
            [&] {
              const SmallValue r = v.value();
              expect_same(r, n->value, "value()");
            },
            "value()");
        break;
      }
      case 2:
        expect_member(
            n && n->hint ? std::nullopt
                         : std::optional(logic("symbolic value has no hint")),
            [&] {
              const SmallValue r = v.hint();
              expect_same(r, *n->hint, "hint()");
            },
            "hint()");
        break;
      case 3:
        expect_member(
            n && n->grad
                ? std::nullopt
                : std::optional(logic("symbolic value has no gradient")),
            [&] {
              const SmallValue r = v.grad();
              expect_same(r, *n->grad, "grad()");
            },
            "grad()");
        break;
      case 4:
        expect_member(
            n && index >= 0 && index < n->input_count
                ? std::nullopt
                : std::optional(out_of_range(
                      "symbolic expression input index out of range")),
            [&] {
              const Value& input = v.input(index);
              expect(&input == &n->inputs[static_cast<std::size_t>(index)],
                     "input() is not the node's slot");
            },
            "input()");
        break;
      case 5:
        expect_member(
            std::nullopt,
            [&] {
              const std::string text = v.debug_string();
              if (text != expected_description(*n))
                violated("debug_string: " + text);
            },
            "debug_string");
        break;
      case 6: {
        const SmallValue r = in_.record();
        // A hand-made record may claim more lanes than it stores; a read
        // past the four lanes is refused like any other.
        const std::optional<Failure> expected =
            index >= 0 && index < r.dimension && index < 4
                ? std::nullopt
                : std::optional(out_of_range(kLaneIndex));
        expect_outcome(
            attempt([&] {
              const double lane = r[index];
              expect(
                  std::memcmp(&lane, &r.lanes[static_cast<std::size_t>(index)],
                              sizeof lane) == 0,
                  "lane read");
            }),
            expected, "SmallValue::operator[]");
        break;
      }
      default: {
        const auto kind = static_cast<ValueKind>(in_.byte());
        const auto op = static_cast<ExpressionOp>(in_.byte());
        const std::string_view k = qs::to_string(kind);
        const std::string_view o = qs::to_string(op);
        expect(
            static_cast<unsigned>(kind) <= 3 ? k != "Unknown" : k == "Unknown",
            "to_string(kind)");
        expect(static_cast<unsigned>(op) <= kLastOp ? o != "Unknown"
                                                    : o == "Unknown",
               "to_string(op)");
        break;
      }
    }
  }

  // Long chains of one operation: the builders, the walks and the release of
  // nodes must all work without recursing as deep as the chain.
  void chain_step() {
    Value& target = slot();
    const Value* partner_slot = &slot();
    const std::uint8_t shape = in_.byte();
    std::size_t length = 1 + static_cast<std::size_t>(in_.u16()) % 4096;
    const bool self_paired = partner_slot == &target;
    length = std::min(length, kMaxChainNodes - chain_nodes_);
    if (length == 0 || !maybe_node(target) || !maybe_node(*partner_slot))
      return;
    const Value partner = *partner_slot;
    Value x = target;
    std::size_t built = 0;
    const std::optional<Failure> failure = attempt([&] {
      for (; built < length; ++built) {
        const std::size_t kind =
            shape % (std::size(kBinaryOps) + std::size(kUnaryOps));
        if (kind < std::size(kBinaryOps)) {
          x = apply(kBinaryOps[kind], x, self_paired ? x : partner);
        } else {
          x = apply(kUnaryOps[kind - std::size(kBinaryOps)], x);
        }
      }
    });
    chain_nodes_ += built;
    if (failure && built == 0) return;
    target = std::move(x);
  }

  void input_step() {
    const Value v = slot();
    Value& target = slot();
    const int index = in_.small_int();
    if (!maybe_node(v) || index < 0 || index >= v.input_count()) return;
    target = v.input(index);
  }

  Program& in_;
  std::array<Value, kPoolSize> pool_;
  std::size_t chain_nodes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  Program program(data, size);
  Fuzzer(program).run();
  return 0;
}
