#ifndef QUORIL_SYMBOLIC_WALK_MEMORY_H_
#define QUORIL_SYMBOLIC_WALK_MEMORY_H_

// Private to the core: the memory graph walks run in: huge-page buffers, the
// table of placed nodes, and the per-thread buffers lent to each call and
// given back after a large graph is released.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace quoril::symbolic {

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
  // NOLINTNEXTLINE(google-explicit-constructor)
  WalkAllocator(const WalkAllocator<U>&) noexcept {}
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
  // Returns the position slot of an `id` inserted in this walk. Inline, as
  // the walk looks up every shared node it finishes.
  std::uint32_t* find(std::uint64_t id) noexcept {
    std::size_t i = index_of(id);
    while (slots_[i].walk != walk_ || slots_[i].id != id) i = (i + 1) & mask_;
    return &slots_[i].position;
  }
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

struct Topology;

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

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_WALK_MEMORY_H_
