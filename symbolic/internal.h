#ifndef QUORIL_SYMBOLIC_INTERNAL_H_
#define QUORIL_SYMBOLIC_INTERNAL_H_

// Private to the core: checks and graph walks shared by the builders,
// evaluation and the reverse pass. What a node computes is in kernels.h.

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "symbolic/value.h"

namespace quoril::symbolic {

namespace detail {

struct NodeAccess {
  static ValueNode* get(const Value& v) noexcept { return v.node_.get(); }
  static long use_count(const Value& v) noexcept { return v.node_.use_count(); }
  static std::shared_ptr<ValueNode>& pointer(Value& v) noexcept {
    return v.node_;
  }
};

[[noreturn]] void throw_invalid_argument(const char* message);
[[noreturn]] void throw_out_of_range(const char* message);
[[noreturn]] void throw_logic_error(const char* message);
[[noreturn]] void throw_not_valid(const char* label);
[[noreturn]] void throw_bad_dimension();
[[noreturn]] void throw_not_finite();

}  // namespace detail

// The process-wide node id counter; one fetch-and-add per created node.
extern std::atomic<std::uint64_t> g_next_value_id;

inline constexpr char kMsgBadDimension[] =
    "symbolic value dimension must be in 1..4";
inline constexpr char kMsgNotFinite[] = "symbolic value lanes must be finite";
inline constexpr char kMsgLaneIndex[] = "symbolic value lane index out of range";

inline bool dimension_in_range(int dimension) noexcept {
  return static_cast<unsigned>(dimension) - 1u <= 3u;
}

// Whether one lane is finite: `!(|x| <= max)` is also true for NaN, so one
// comparison rejects NaN and both infinities.
inline bool finite_lane(double x) noexcept {
  return std::fabs(x) <= std::numeric_limits<double>::max();
}

// Returns whether the lanes in use are finite; throws std::invalid_argument
// for a dimension outside 1..4.
inline bool finite_lanes(const SmallValue& v) {
  if (!dimension_in_range(v.dimension)) detail::throw_bad_dimension();
  for (int i = 0; i < v.dimension; ++i) {
    if (!finite_lane(v.lanes[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

// Accepts a record whose dimension is 1..4 and whose lanes in use are finite.
inline void require_finite(const SmallValue& v) {
  if (!finite_lanes(v)) detail::throw_not_finite();
}

inline void require_valid(const Value& value, const char* label) {
  if (detail::NodeAccess::get(value) == nullptr) detail::throw_not_valid(label);
}

inline double lane(const SmallValue& v, int i) noexcept {
  return v.lanes[static_cast<std::size_t>(i)];
}
inline double& lane(SmallValue& v, int i) noexcept {
  return v.lanes[static_cast<std::size_t>(i)];
}

// Creates a leaf from arguments the caller has already checked.
std::shared_ptr<ValueNode> new_leaf(ValueKind kind, int dimension,
                                    const SmallValue& value,
                                    const std::optional<SmallValue>& hint,
                                    std::string name);

Value binary_expression(ExpressionOp op, Value left, Value right);
Value unary_expression(ExpressionOp op, Value operand);

// Memory for walk buffers. A buffer of kHugeBufferBytes or more gets whole
// transparent huge pages where the system offers them: a walk over a
// million nodes otherwise takes a TLB miss every 4 KiB of each buffer it
// streams through, and growing the buffer faults in every 4 KiB page.
inline constexpr std::size_t kHugeBufferBytes = std::size_t{2} << 20;
void* allocate_walk_buffer(std::size_t bytes);
void free_walk_buffer(void* buffer, std::size_t bytes) noexcept;

template <typename T>
struct WalkAllocator {
  using value_type = T;
  WalkAllocator() noexcept = default;
  template <typename U>
  WalkAllocator(const WalkAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)
  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocate_walk_buffer(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    free_walk_buffer(p, n * sizeof(T));
  }
  template <typename U>
  bool operator==(const WalkAllocator<U>&) const noexcept {
    return true;
  }
};

template <typename T>
using WalkBuffer = std::vector<T, WalkAllocator<T>>;

// Open-addressing map from node id to the node's position in an evaluation
// order. Slots carry the number of the walk that wrote them, so starting a
// new walk empties the table without touching its memory.
class PositionTable {
 public:
  static constexpr std::uint32_t kUnplaced = 0xFFFFFFFFu;

  void begin_walk() noexcept;
  // Returns the position slot of `id` and whether it was just inserted (with
  // kUnplaced as its position).
  std::pair<std::uint32_t*, bool> find_or_insert(std::uint64_t id);
  std::uint32_t* find(std::uint64_t id) noexcept;
  // Asks for the slot where a search for `id` starts.
  void prefetch(std::uint64_t id) const noexcept {
#if defined(__GNUC__)
    if (!slots_.empty()) __builtin_prefetch(&slots_[index_of(id)], 1);
#else
    static_cast<void>(id);
#endif
  }
  std::size_t capacity() const noexcept { return slots_.size(); }
  void release() noexcept;

 private:
  struct Slot {
    std::uint64_t id;
    std::uint32_t position;
    std::uint32_t walk;
  };

  std::size_t index_of(std::uint64_t id) const noexcept {
    // Ids are sequential; Fibonacci hashing spreads them over the table.
    return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> shift_) &
           mask_;
  }
  void grow();

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 63;
  std::uint32_t walk_ = 0;
};

// The evaluation order of one graph: every reachable node once, each after
// its inputs, the root last. Raw node pointers are enough because the root
// handle keeps the whole graph alive for the duration of a call.
struct Topology {
  // What the reverse pass needs of a node, copied while the walk has the
  // node in cache, so the pass over the order never touches node memory.
  struct Entry {
    ValueNode* node;
    // Positions of the node's inputs in the order.
    std::uint32_t inputs[4];
    ValueKind kind;
    ExpressionOp op;
    std::int8_t dimension;
    std::int8_t input_count;
    std::int32_t component_index;
  };
  // A node being walked: its entry (filled in as its inputs are placed) and
  // its inputs' nodes, read once on the way down so that finishing the node
  // on the way back up does not touch its memory again.
  struct Frame {
    Entry entry;
    ValueNode* children[4];
    // The input to enter next. One byte keeps a frame at 72 bytes: the
    // stack of a deep chain holds one per node, so it sets peak memory.
    std::int8_t next;
    bool tracked;
    bool shared[4];
  };
  static_assert(sizeof(Frame) <= 72);

  WalkBuffer<Entry> order;
  // Forward value of each position; filled only by an evaluating walk.
  WalkBuffer<SmallValue> values;
  // Reverse-pass adjoint of each position.
  WalkBuffer<std::array<double, 4>> adjoints;
  WalkBuffer<Frame> stack;
  PositionTable placed;
};

// Lends the calling thread's topology buffers to one call and takes them
// back emptied, so repeated evaluation of a graph does not allocate (or
// fault in fresh pages) on every call. A nested or concurrent use on the same
// thread gets buffers of its own.
class TopologyLease {
 public:
  TopologyLease();
  ~TopologyLease();
  TopologyLease(const TopologyLease&) = delete;
  TopologyLease& operator=(const TopologyLease&) = delete;

  Topology& get() noexcept { return *topology_; }

 private:
  Topology* topology_;
  std::unique_ptr<Topology> owned_;
};

// A release that frees at least this many nodes gives back the walk buffers
// kept for graphs of that size.
inline constexpr std::size_t kLargeGraphNodes = std::size_t{1} << 18;

// Gives back the calling thread's walk buffers above the size always kept,
// and has every other thread give back its own at the end of its next call
// that needs less. Run after releasing a large graph.
void release_large_walk_buffers() noexcept;

enum class Walk { OrderOnly, Evaluate, EvaluateForBackward };

// Fills topology.adjoints with the derivative of the seed-weighted root (the
// last node of an order built for backward) with respect to every node.
void reverse_sweep(Topology& topology, const std::array<double, 4>& seed);

// Orders the graph under `root` depth first (inputs in index order, each node
// appended after its inputs). When evaluating, each node's value is computed
// as it is appended, which is exactly evaluation in order, so the first
// failing node in the order is the one reported. Throws
// std::invalid_argument for an empty root.
void build_topology(const Value& root, Topology& topology, Walk walk);
// Orders the graphs under several roots as one: each root's graph in turn,
// leaving out what an earlier root already placed, so a node shared between
// roots is placed (and evaluated) once. `positions` receives each root's
// position. Throws std::invalid_argument for an empty root, before walking.
void build_topology(std::span<const Value> roots, Topology& topology,
                    Walk walk, std::vector<std::uint32_t>& positions);

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_INTERNAL_H_
