#include "symbolic/walk_memory.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "symbolic/walk.h"

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

}  // namespace

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

}  // namespace quoril::symbolic
