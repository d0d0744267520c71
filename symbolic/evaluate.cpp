#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstdint>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "symbolic/internal.h"
#include "symbolic/kernels.h"

namespace quoril::symbolic {

namespace {

std::size_t round_up_huge(std::size_t bytes) noexcept {
  return (bytes + kHugeBufferBytes - 1) & ~(kHugeBufferBytes - 1);
}

}  // namespace

void* allocate_walk_buffer(std::size_t bytes) {
#if defined(__linux__)
  if (bytes >= kHugeBufferBytes) {
    // Over-map by one huge page so that the buffer can start on a boundary,
    // then give back the ends.
    const std::size_t size = round_up_huge(bytes);
    const std::size_t mapped = size + kHugeBufferBytes;
    void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned =
        (start + kHugeBufferBytes - 1) & ~(kHugeBufferBytes - 1);
    if (aligned != start) munmap(raw, aligned - start);
    const std::size_t tail = start + mapped - (aligned + size);
    if (tail != 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
    void* buffer = reinterpret_cast<void*>(aligned);
    // Only advice: without huge pages the buffer works the same.
    madvise(buffer, size, MADV_HUGEPAGE);
    return buffer;
  }
#endif
  return ::operator new(bytes);
}

void free_walk_buffer(void* buffer, std::size_t bytes) noexcept {
#if defined(__linux__)
  if (bytes >= kHugeBufferBytes) {
    munmap(buffer, round_up_huge(bytes));
    return;
  }
#endif
  ::operator delete(buffer);
}

void PositionTable::begin_walk() noexcept {
  size_ = 0;
  if (++walk_ == 0) {
    // After 2^32 walks stale slots could look current again.
    for (Slot& slot : slots_) slot.walk = 0;
    walk_ = 1;
  }
}

std::pair<std::uint32_t*, bool> PositionTable::find_or_insert(
    std::uint64_t id) {
  if ((size_ + 1) * 2 > slots_.size()) grow();
  std::size_t i = index_of(id);
  while (true) {
    Slot& slot = slots_[i];
    if (slot.walk != walk_) {
      slot = {id, kUnplaced, walk_};
      ++size_;
      return {&slot.position, true};
    }
    if (slot.id == id) return {&slot.position, false};
    i = (i + 1) & mask_;
  }
}

std::uint32_t* PositionTable::find(std::uint64_t id) noexcept {
  std::size_t i = index_of(id);
  while (slots_[i].walk != walk_ || slots_[i].id != id) i = (i + 1) & mask_;
  return &slots_[i].position;
}

void PositionTable::grow() {
  std::vector<Slot> old = std::move(slots_);
  const std::size_t capacity = old.empty() ? 64 : old.size() * 2;
  slots_.assign(capacity, Slot{0, 0, 0});
  mask_ = capacity - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  const std::uint32_t current = walk_;
  if (walk_ == 0) walk_ = 1;
  for (const Slot& slot : old) {
    if (slot.walk != current) continue;
    std::size_t i = index_of(slot.id);
    while (slots_[i].walk == walk_) i = (i + 1) & mask_;
    slots_[i] = {slot.id, slot.position, walk_};
  }
}

void PositionTable::release() noexcept {
  std::vector<Slot>().swap(slots_);
  size_ = 0;
  mask_ = 0;
  shift_ = 63;
}

namespace {

inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  static_cast<void>(address);
#endif
}

// How many frames below the top of the walk's stack to look for the next
// node to fetch.
constexpr std::size_t kLookahead = 8;

// How far below the node being entered the walk fetches memory while a
// descent runs down through memory, and how far below the previous node the
// next one may lie for the run to go on.
constexpr std::uintptr_t kRunAhead = 2048;
constexpr std::uintptr_t kRunStep = 4096;
constexpr std::uintptr_t kLine = 64;

// Fetches the memory just below the nodes a first descent enters.
//
// A node is created after its inputs, and a graph built in one go gets its
// nodes from the allocator largely in creation order, so the node a long
// descent enters next usually lies a little below the one it is in. Each
// step of the descent needs the address read in the step before, so without
// help a cold chain costs one memory latency per node; fetching the memory
// below turns those dependent misses into a stream. Later descents mostly
// revisit memory that the first one went through or that the climb already
// fetches, so only nodes entered deeper than the walk has been count.
// Fetching starts only once such a node has landed a little below the last,
// so a graph whose nodes are scattered over the heap does not fill the
// cache with guesses.
class RunAhead {
 public:
  // `depth` is the number of frames on the walk's stack below the node.
  void entered(const ValueNode* node, std::size_t depth) noexcept {
    if (depth < deepest_) return;
    deepest_ = depth + 1;
    const auto here = reinterpret_cast<std::uintptr_t>(node) & ~(kLine - 1);
    const bool runs_on = here < last_ && last_ - here <= kRunStep;
    last_ = here;
    if (!runs_on || here < kRunAhead) {
      next_ = here;
      return;
    }
    if (next_ > here) next_ = here;
    const std::uintptr_t target = here - kRunAhead;
    while (next_ > target) {
      next_ -= kLine;
      prefetch(reinterpret_cast<const void*>(next_));
    }
  }

 private:
  std::size_t deepest_ = 0;
  // The node entered last, and the lowest address fetched in this run.
  std::uintptr_t last_ = 0;
  std::uintptr_t next_ = 0;
};

// Walk buffers grow to the largest graph walked and are kept for the next
// call: giving back the memory of a large graph after every call made the
// next one fault in about 150 bytes per node of fresh pages, which cost more
// than the walk itself. They are given back when a large graph is released
// instead, so a program that drops its graph gets the memory back with it.
// The thread that releases the graph trims at once; other threads trim at
// the end of their next call that needs less than the retained size.
constexpr std::size_t kRetainedEntries = kLargeGraphNodes;

std::atomic<std::uint64_t> g_large_releases{0};

thread_local bool t_topology_gone = false;
thread_local bool t_topology_in_use = false;
thread_local std::uint64_t t_seen_large_releases = 0;

// The calling thread's buffers. A release can run during thread exit, after
// they are destroyed, and then must leave them alone.
struct ThreadTopology {
  Topology topology;
  ThreadTopology() = default;
  ThreadTopology(const ThreadTopology&) = delete;
  ThreadTopology& operator=(const ThreadTopology&) = delete;
  ~ThreadTopology() { t_topology_gone = true; }
};
thread_local ThreadTopology t_topology;
thread_local bool t_topology_touched = false;

template <typename T>
void trim(WalkBuffer<T>& buffer) noexcept {
  if (buffer.capacity() > kRetainedEntries) WalkBuffer<T>().swap(buffer);
}

void trim(Topology& t) noexcept {
  trim(t.order);
  trim(t.values);
  trim(t.adjoints);
  trim(t.stack);
  if (t.placed.capacity() > 2 * kRetainedEntries) t.placed.release();
}

SmallValue leaf_value(const ValueNode& node) {
  if (node.kind == ValueKind::Undefined) {
    detail::throw_logic_error(
        "cannot evaluate symbolic graph with Undefined values");
  }
  // A leaf filled in by hand may claim more lanes than a record holds, in
  // the node (the reverse pass sizes the leaf's gradient by that claim) or
  // in its record (a Component would read past the lanes). The empty record
  // of a hand-made leaf stays what it was: a value of no lanes.
  if (!dimension_in_range(node.dimension) ||
      static_cast<unsigned>(node.value.dimension) > 4u) {
    detail::throw_bad_dimension();
  }
  return node.value;
}

// A node built directly with make_expression may have fewer inputs than its
// operation reads; the unset positions would silently alias another node.
// Checked per case of the dispatch, so the count needed is a constant.
template <int arity>
void require_operands(const Topology::Entry& entry) {
  if (entry.input_count < std::max(arity, 1)) {
    detail::throw_out_of_range("symbolic expression input index out of range");
  }
}

// Computes an Expression node from its inputs' values, with the kernels that
// folding uses, leaving its lanes unchecked.
SmallValue compute(const Topology::Entry& entry,
                   const WalkBuffer<SmallValue>& values) {
  const std::uint32_t* inputs = entry.inputs;
  return visit_operation(
      entry.op,
      [&]<typename O>(O) {
        require_operands<O::kArity>(entry);
        if constexpr (O::kOp == ExpressionOp::Pack) {
          SmallValue r;
          r.dimension = entry.dimension;
          for (int i = 0; i < entry.input_count; ++i) {
            const SmallValue& v = values[inputs[i]];
            if (v.dimension != 1) {
              detail::throw_logic_error("Pack input is not scalar");
            }
            r.lanes[static_cast<std::size_t>(i)] = v.lanes[0];
          }
          return r;
        } else if constexpr (O::kOp == ExpressionOp::Component) {
          const SmallValue& v = values[inputs[0]];
          const int k = entry.component_index;
          if (k < 0 || k >= v.dimension) {
            detail::throw_lane_index_out_of_range();
          }
          SmallValue r;
          r.dimension = 1;
          r.lanes[0] = v.lanes[static_cast<std::size_t>(k)];
          return r;
        } else if constexpr (O::kArity == 2) {
          return binary_lanes_of<O::kOp>(values[inputs[0]], values[inputs[1]],
                                         entry.dimension);
        } else {
          return unary_lanes_of<O::kOp>(values[inputs[0]]);
        }
      },
      [&]() -> SmallValue {
        require_operands<-1>(entry);
        detail::throw_logic_error("unsupported symbolic expression op");
      });
}

Topology::Entry describe(ValueNode* node) noexcept {
  return {node,
          {0, 0, 0, 0},
          node->kind,
          node->op,
          static_cast<std::int8_t>(node->dimension),
          static_cast<std::int8_t>(node->input_count),
          node->component_index};
}

// Asks for the end of what entering a node reads, which may lie on the
// cache line after its counts: the slots of its first two inputs.
void fetch_inputs(const ValueNode* node) noexcept {
  prefetch(&node->inputs[1]);
}

// Asks for the line of the owner counts that make_shared puts just before a
// node. Where the node starts a cache line, they lie on the line before it,
// which nothing else the walk reads brings in; that is so for every other
// node of a graph whose nodes the heap happened to place at such an offset,
// and it made such graphs a third slower. Only a guess at an address, so a
// node owned some other way costs a wasted fetch.
void fetch_counts(const ValueNode* node) noexcept {
  constexpr std::uintptr_t kCountsBefore = 8;
  prefetch(reinterpret_cast<const void*>(
      reinterpret_cast<std::uintptr_t>(node) - kCountsBefore));
}

// Asks for all the parts of a node that entering it reads.
void fetch_node(const ValueNode* node) noexcept {
  fetch_counts(node);
  prefetch(node);
  fetch_inputs(node);
}

// The input that the frame `depth` frames below the top of the stack enters
// after the one it is in now, if any.
const ValueNode* pending_input(const WalkBuffer<Topology::Frame>& stack,
                               std::size_t depth) noexcept {
  const Topology::Frame& frame = stack[stack.size() - 1 - depth];
  const int pending = frame.next + 1;
  return pending < frame.entry.input_count ? frame.children[pending] : nullptr;
}

}  // namespace

SmallValue evaluate_entry_general(const Topology::Entry& entry,
                                  const WalkBuffer<SmallValue>& values) {
  return entry.kind == ValueKind::Expression ? compute(entry, values)
                                             : leaf_value(*entry.node);
}

TopologyLease::TopologyLease() {
  if (t_topology_in_use) {
    owned_ = std::make_unique<Topology>();
    topology_ = owned_.get();
  } else {
    topology_ = &t_topology.topology;
    t_topology_in_use = true;
    t_topology_touched = true;
  }
}

TopologyLease::~TopologyLease() {
  if (owned_) return;
  Topology& t = *topology_;
  const std::uint64_t releases =
      g_large_releases.load(std::memory_order_relaxed);
  if (releases != t_seen_large_releases) {
    t_seen_large_releases = releases;
    const std::size_t used =
        std::max({t.order.size(), t.values.size(), t.adjoints.size()});
    if (used <= kRetainedEntries) trim(t);
  }
  t.order.clear();
  t.values.clear();
  t.adjoints.clear();
  t.stack.clear();
  t_topology_in_use = false;
}

void release_large_walk_buffers() noexcept {
  const std::uint64_t releases =
      g_large_releases.fetch_add(1, std::memory_order_relaxed) + 1;
  if (!t_topology_touched || t_topology_gone || t_topology_in_use) return;
  t_seen_large_releases = releases;
  trim(t_topology.topology);
}

namespace {

// Walks the graph under one root, continuing the order, values and position
// table that earlier roots of the same call left, and returns the root's
// position. A tracked root is looked up and recorded in the table, as a
// shared node is, so a root that an earlier root reached is not walked
// again; a lone root needs no table entry.
std::uint32_t walk_graph(ValueNode* const root_node, bool track_root,
                         Topology& topology, Walk walk, std::uint32_t& count) {
  using detail::NodeAccess;
  using Entry = Topology::Entry;
  using Frame = Topology::Frame;
  const bool evaluate = walk != Walk::OrderOnly;
  const bool keep_order = walk != Walk::Evaluate;
  auto& stack = topology.stack;
  auto& order = topology.order;
  auto& values = topology.values;
  PositionTable& placed = topology.placed;

  // Places a node whose inputs are all placed. Values are computed in exactly
  // the order nodes are placed, so the first failing node in the order is the
  // one whose error is reported.
  const auto place = [&](const Entry& entry) {
    if (evaluate) {
      // Computed in place: a value copied in whole would be read back
      // through a wide store that the next node's load only partly covers.
      values.emplace_back();
      evaluate_entry_into(entry, values, values.back());
    }
    if (keep_order) order.push_back(entry);
    return count++;
  };
  RunAhead run_ahead;
  const auto enter = [&](ValueNode* node, bool tracked) {
    run_ahead.entered(node, stack.size());
    Frame& frame = stack.emplace_back();
    frame.entry = describe(node);
    frame.next = 0;
    frame.tracked = tracked;
    for (int i = 0; i < node->input_count; ++i) {
      const Value& input = node->inputs[static_cast<std::size_t>(i)];
      ValueNode* child = NodeAccess::get(input);
      frame.children[i] = child;
      // Entering the child reads its input slots, which may lie beyond the
      // cache line of its owner count read below. Asking for them now
      // overlaps that miss with the rest of this node's work instead of
      // paying the misses one after another down a long chain.
      fetch_inputs(child);
      // Only a node with more than one owner can be reached along two paths
      // of the graph: every in-graph path to it holds its own handle, all
      // kept alive by the root during the walk. Solely owned nodes skip the
      // table, and long chains built from temporaries consist of them.
      frame.shared[i] = NodeAccess::use_count(input) > 1;
    }
  };

  std::uint32_t* root_slot = nullptr;
  if (track_root) {
    auto [slot, inserted] = placed.find_or_insert(root_node->id);
    if (!inserted) return *slot;
    root_slot = slot;
  }
  if (root_node->input_count == 0) {
    const std::uint32_t position = place(describe(root_node));
    if (root_slot != nullptr) *root_slot = position;
    return position;
  }
  enter(root_node, track_root);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next < frame.entry.input_count) {
      ValueNode* child = frame.children[frame.next];
      const bool tracked = frame.shared[frame.next];
      std::uint32_t* slot = nullptr;
      if (tracked) {
        auto [position, inserted] = placed.find_or_insert(child->id);
        if (!inserted) {
          // A DAG cannot reach a node that is still being entered.
          assert(*position != PositionTable::kUnplaced);
          frame.entry.inputs[frame.next++] = *position;
          continue;
        }
        slot = position;
      }
      if (child->input_count == 0) {
        // A leaf is placed as soon as it is entered.
        const std::uint32_t position = place(describe(child));
        if (slot != nullptr) *slot = position;
        frame.entry.inputs[frame.next++] = position;
        continue;
      }
      enter(child, tracked);
      continue;
    }

    const std::uint32_t position = place(frame.entry);
    if (frame.tracked) *placed.find(frame.entry.node->id) = position;
    stack.pop_back();
    if (!stack.empty()) {
      Frame& parent = stack.back();
      parent.entry.inputs[parent.next++] = position;
    }
    // While the walk climbs back up, the frames below the top say which
    // inputs it will enter next; their nodes were last touched on the way
    // down, long ago. The climb fetches the pending input of the frame
    // 2 * kLookahead below the top, and, once that has had time to arrive,
    // the inputs of the one kLookahead below, which it enters right after.
    if (stack.size() > 2 * kLookahead) {
      if (const ValueNode* next = pending_input(stack, 2 * kLookahead)) {
        fetch_node(next);
      }
    }
    if (stack.size() > kLookahead) {
      // A shared node is looked up by id when it is placed, and its owner
      // count is read again when its next user is entered; both lines were
      // last touched on the way down. Ask for them, and once its id has had
      // time to arrive, for its slot in the position table.
      const Frame& ahead = stack[stack.size() - 1 - kLookahead];
      if (ahead.tracked) {
        fetch_counts(ahead.entry.node);
        prefetch(&ahead.entry.node->id);
      }
      const Frame& nearer = stack[stack.size() - 1 - kLookahead / 2];
      if (nearer.tracked) placed.prefetch(nearer.entry.node->id);
      if (const ValueNode* next = pending_input(stack, kLookahead)) {
        for (int i = 0; i < next->input_count; ++i) {
          fetch_node(NodeAccess::get(next->inputs[static_cast<std::size_t>(i)]));
        }
      }
    }
  }
  // The root is placed last.
  return count - 1;
}

}  // namespace

void build_topology(const Value& root, Topology& topology, Walk walk) {
  require_valid(root, "backward value");
  topology.placed.begin_walk();
  std::uint32_t count = 0;
  walk_graph(detail::NodeAccess::get(root), false, topology, walk, count);
}

void build_topology(std::span<const Value> roots, Topology& topology,
                    Walk walk, std::vector<std::uint32_t>& positions) {
  for (const Value& root : roots) require_valid(root, "output");
  topology.placed.begin_walk();
  positions.clear();
  std::uint32_t count = 0;
  for (const Value& root : roots) {
    positions.push_back(walk_graph(detail::NodeAccess::get(root), true,
                                   topology, walk, count));
  }
}


SmallValue Value::evaluate() const {
  TopologyLease lease;
  Topology& topology = lease.get();
  build_topology(*this, topology, Walk::Evaluate);
  return topology.values.back();
}

}  // namespace quoril::symbolic
