#pragma once

// The slot ring: a bounded single-producer/single-consumer queue of fixed-size slots.
//
// One producer thread and one consumer thread drive it without locks; close() and notify() may
// run on any thread. Two kinds of record travel through it, never mixed in one queue:
//   - single-slot records: push/try_push, pop/try_pop, peek + advance;
//   - variable-size messages: push_var/try_push_var cut a message into fragments of at most
//     slot_size bytes, pop_var/try_pop_var reassemble it.
//
// Every operation returns one of the result codes below. Blocking operations sleep on the other
// side's index (WaitableIndex) and return kClosed once the queue is closed.
//
// Sequence numbers only grow; the slot of sequence s is slots_[s & mask_]. With w the write
// index and r the read index the ring is empty when w == r and full when w - r >= capacity.
//
// Memory order. Each side reads its own index relaxed or acquire and the other side's with
// acquire; the pairs below are what every comment on an atomic access refers to. They are argued
// in the C++ model, which the compiler maps onto AArch64's weak one (acquire and release loads and
// stores to LDAR/STLR, swaps to CASAL or an LDAXR/STLXR loop, fences to DMB); x86-64 reorders only
// a store with a later load, so a missing pair mostly goes unnoticed there.
//   record:  producer stores the slot, then the write index (release); the consumer loads the
//            write index (acquire), then the slot.
//   room:    consumer loads the slot, then stores the read index (release, or an acq_rel swap);
//            the producer loads the read index (acquire) before it stores into the slot again.
//   close:   running_ = 0 (release), then the indices move (notify(): release increments); an
//            operation loads an index (acquire) before it checks running_ (acquire), so a moved
//            index that no push or pop explains always comes with the queue closed.
//   sleep:   the index store and the sleeper check pair through WaitableIndex's barriers.
//
// Overwrite mode lets the producer drop the oldest data, so both sides move the read index, each
// by compare-and-swap from the value it loaded, and the producer may rewrite a slot the consumer
// is copying. The consumer copies the slot of r first and keeps the copy only if its swap from r
// then succeeds (copy-then-validate). If the producer dropped r first, the two swaps from r
// cannot both succeed. If the consumer's swap came first, the producer reuses the slot only after
// its acquire load or swap has read that swap's value (or a later one), so the copy happened
// before the producer's stores. peek() validates with a plain load instead: there a release fence
// after the drop and before the producer's slot stores pairs with an acquire fence after the
// copy, so a copy that saw any of those stores also sees the moved read index. In this mode the
// slot is read and written with relaxed atomic accesses: a copy that loses the race is discarded,
// and it is not a data race.
//
// Counters (stats()). Each side counts what it does on a cache line that only it writes, in the
// block that holds the slots, just before them: the core keeps its size, which importers of the
// Tandem type check. One writer per counter (counter.hpp); readers on any thread get a snapshot
// that is approximate while records flow (pushed may count a record that popped does not yet),
// and exact once both sides are still.

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "orvel/tandem/counter.hpp"
#include "orvel/tandem/waitable_index.hpp"

namespace orvel::tandem {

// Results of the queue operations.
inline constexpr int kSuccess = 1;
inline constexpr int kNothing = 0;  // try_pop*: the queue is empty; push_var*: message refused
inline constexpr int kClosed = -1;  // also: the reassembly buffer could not grow
inline constexpr int kFull = -2;    // and the mode forbids waiting or dropping

enum Mode : std::uint8_t {
  kOverwrite = 1u << 0,    // a full ring drops its oldest data
  kZerocopy = 1u << 1,     // push/try_push store the caller's pointer instead of copying
  kBlockOnFull = 1u << 2,  // push/push_var wait for room
};

// Why push_var/try_push_var refuse a message.
enum class MessageFault : std::uint8_t {
  kNone,
  kZeroSlotSize,               // a queue with slot_size 0 carries no variable-size messages
  kTooManyFragments,           // more than kMaxFragments fragments
  // More fragments than slots, for a push that cannot wait for the consumer to free the ring's
  // head: without waiting it would find the ring full of its own fragments for good, and overwrite
  // mode would drop the message's own head.
  kMoreFragmentsThanCapacity,
};

inline constexpr std::size_t kCacheLine = 64;
inline constexpr std::uint64_t kMaxFragments = 0xFFFF;  // the fragment count field is 16 bits

// What a ring has done so far (stats()). Records are single-slot records or whole messages.
struct RingStats {
  std::uint64_t pushed = 0;           // records published
  std::uint64_t popped = 0;           // records consumed
  std::uint64_t refused_full = 0;     // pushes that returned kFull
  std::uint64_t dropped = 0;          // records the producer dropped to make room (overwrite mode)
  std::uint64_t wakeups_sent = 0;     // sleepers woken, either side
  std::uint64_t consumer_sleeps = 0;  // waits of the consumer that went to sleep
};

// Atomic for overwrite mode only (see above); everywhere they are accessed relaxed, ordered by the
// indices. Every field is zero until the producer first writes the slot, and none is read before.
struct Slot {
  std::atomic<std::byte*> data;  // zerocopy: the pointer pushed, or the slot's storage for a fragment
  std::atomic<std::uint64_t> length;
  std::atomic<std::uint32_t> message_id;       // variable-size fragments only
  std::atomic<std::uint16_t> fragment_index;   // 0-based position in the message
  std::atomic<std::uint16_t> fragment_count;
};

namespace detail {

struct AlignedFree {
  void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using AlignedArray = std::unique_ptr<T[], AlignedFree>;

// At least one byte; 64-byte aligned; throws std::bad_alloc.
inline void* allocate_aligned(std::size_t bytes) {
  const std::size_t rounded = (std::max<std::size_t>(bytes, 1) + kCacheLine - 1) & ~(kCacheLine - 1);
  if (rounded < bytes) throw std::bad_alloc();
  void* p = std::aligned_alloc(kCacheLine, rounded);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// Zero-filled blocks, 64-byte aligned (a page is at least 4 KiB on every Linux port). From
// kMapAtLeast bytes up a block is a private anonymous mapping: its pages read as the kernel's
// zero page and take memory of their own at their first write (2 MiB at a time with huge pages),
// so a ring costs resident memory only as its slots are first used. Written with zeros instead,
// a ring of 16384 slots of 2048 bytes took 34 ms and 32 MiB resident to build. Smaller blocks
// come from the heap, cleared: a mapping of its own would cost more than the clearing. Whichever
// way, free_zeroed() with the same size gives the block back.
inline constexpr std::size_t kMapAtLeast = 128 * 1024;

inline void* allocate_zeroed(std::size_t bytes) {
  if (bytes < kMapAtLeast) {
    void* block = allocate_aligned(bytes);
    std::memset(block, 0, bytes);
    return block;
  }
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  // Huge pages where the system has them: the first pass through a ring then takes one fault per
  // 2 MiB instead of one per 4 KiB, in the producer's path. bench/bridge, a dispatcher's first
  // 500,000 records: 3,500 page faults instead of 11,600, and the producer no longer so slow that
  // the worker sleeps between its records (229 to 570 context switches instead of 1,949). A hint:
  // refused, the block keeps its small pages.
  (void)::madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

inline void free_zeroed(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < kMapAtLeast) {
    std::free(block);
  } else {
    (void)::munmap(block, bytes);  // fails only for arguments that no mapping of ours has
  }
}

// Plain copies. Records up to kInlineCopyLimit bytes are copied inline, 8 bytes at a time: the C
// library's memcpy reads with wide loads, which cannot be served from the narrower stores that
// usually built the record just before, and so waits for those stores to drain to the cache.
// Measured with bench/ring, 64-byte records: 0.77x boost::lockfree::spsc_queue through memcpy;
// copied inline (and with the slow paths out of line, see make_room) 1.42x to 1.74x.
inline constexpr std::size_t kInlineCopyLimit = 256;

inline void copy_bytes(std::byte* dst, const std::byte* src, std::size_t n) noexcept {
  if (n > kInlineCopyLimit) {
    std::memcpy(dst, src, n);
    return;
  }
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, src + i, 8);
    asm("" : "+r"(word));  // keeps the compiler from turning the loop back into a memcpy call
    std::memcpy(dst + i, &word, 8);
  }
  for (; i < n; ++i) dst[i] = src[i];
}

// Copies between private memory and memory the other side may touch concurrently (overwrite
// mode): relaxed atomic accesses on the shared side, word by word where its alignment allows.
enum class Racing : std::uint8_t { kSource, kDestination };

// Relaxed: the consumer's copy is kept only if validated afterwards (see the top of this file).
template <class T, Racing racing>
inline void copy_racing_unit(std::byte* dst, const std::byte* src) noexcept {
  T unit;
  if constexpr (racing == Racing::kSource) {
    unit = std::atomic_ref<T>(*reinterpret_cast<T*>(const_cast<std::byte*>(src))).load(std::memory_order_relaxed);
    std::memcpy(dst, &unit, sizeof unit);
  } else {
    std::memcpy(&unit, src, sizeof unit);
    std::atomic_ref<T>(*reinterpret_cast<T*>(dst)).store(unit, std::memory_order_relaxed);
  }
}

template <Racing racing>
[[gnu::noinline]]  // overwrite mode only: kept out of the plain copy path
void copy_racing(std::byte* dst, const std::byte* src, std::size_t n) noexcept {
  const std::byte* shared = racing == Racing::kSource ? src : dst;
  std::size_t i = 0;
  for (; i < n && (reinterpret_cast<std::uintptr_t>(shared + i) & 7u) != 0; ++i) {
    copy_racing_unit<unsigned char, racing>(dst + i, src + i);
  }
  for (; i + 8 <= n; i += 8) copy_racing_unit<std::uint64_t, racing>(dst + i, src + i);
  for (; i < n; ++i) copy_racing_unit<unsigned char, racing>(dst + i, src + i);
}

// The counters (counter.hpp), one cache line per side, in front of the slots. All-zero bytes are
// a valid block, as for Slot.
struct alignas(kCacheLine) RingCounters {
  struct alignas(kCacheLine) {
    std::uint64_t pushed, refused_full, dropped, wakeups_sent;
  } producer;
  struct alignas(kCacheLine) {
    std::uint64_t popped, sleeps, wakeups_sent;
  } consumer;
};

// One thread at a time on each side of a queue: a second one would corrupt it silently, so
// debug builds stop the process instead. Release builds check nothing.
class SideGuard {
 public:
#ifdef NDEBUG
  SideGuard(std::atomic<std::uint8_t>&, const char*) noexcept {}
#else
  SideGuard(std::atomic<std::uint8_t>& busy, const char* side) noexcept : busy_(busy) {
    // Acquire: pairs with the release in the destructor, so a side handed from one thread to
    // another comes with its private fields as the last user left them.
    if (busy_.exchange(1, std::memory_order_acquire) != 0) {
      std::fprintf(stderr, "orvel: two threads at once on the %s side of one queue\n", side);
      std::abort();
    }
  }
  ~SideGuard() { busy_.store(0, std::memory_order_release); }  // pairs with the exchange above
  SideGuard(const SideGuard&) = delete;
  SideGuard& operator=(const SideGuard&) = delete;

 private:
  std::atomic<std::uint8_t>& busy_;
#endif
};

}  // namespace detail

template <class Index>
class BasicTandemCore {
 public:
  // An unconfigured core: no storage, closed, every operation returns kClosed.
  BasicTandemCore() noexcept = default;
  ~BasicTandemCore();
  BasicTandemCore(const BasicTandemCore&) = delete;
  BasicTandemCore& operator=(const BasicTandemCore&) = delete;

  // Allocates the ring and opens the queue. Once per core. Throws std::invalid_argument for a
  // capacity that is 0 or not a power of two, std::overflow_error when capacity x slot_size does
  // not fit in 64 bits, std::bad_alloc when the memory is not there, std::logic_error when
  // called twice. On a throw the core is unchanged.
  void configure(std::uint64_t slot_size, std::uint64_t capacity, std::uint8_t modes);

  // ---- producer thread ------------------------------------------------------------------
  // One record of up to slot_size bytes (longer ones are truncated; zerocopy stores the
  // pointer). push waits for room with kBlockOnFull; try_push never waits.
  int push(const void* data, std::size_t length) noexcept;
  int try_push(const void* data, std::size_t length) noexcept;
  // One message in ceil(length / slot_size) fragments; kNothing when refused (see
  // check_message). An empty message sends nothing and returns kSuccess.
  int push_var(const void* data, std::size_t length) noexcept;
  int try_push_var(const void* data, std::size_t length) noexcept;
  // Why push_var (may_wait) or try_push_var would refuse a message of `length` bytes.
  MessageFault check_message(std::size_t length, bool may_wait) const noexcept;

  // ---- consumer thread ------------------------------------------------------------------
  // The oldest record. Except in zerocopy mode the bytes are a copy owned by the queue, valid
  // until the next pop, try_pop or peek. pop waits; try_pop returns kNothing when empty.
  int pop(void** data, std::size_t* length) noexcept;
  int try_pop(void** data, std::size_t* length) noexcept;
  // Waits for the oldest record and returns it without consuming it; advance() consumes it.
  int peek(void** data, std::size_t* length) noexcept;
  void advance() noexcept;
  // The next whole message; the bytes stay valid until the next pop_var or try_pop_var.
  // try_pop_var returns kNothing while the message is incomplete and keeps what it has.
  int pop_var(void** data, std::size_t* length) noexcept;
  int try_pop_var(void** data, std::size_t* length) noexcept;

  // ---- any thread -----------------------------------------------------------------------
  // Closes the queue for good and releases every blocked operation with kClosed.
  void close() noexcept;
  // close(), and also moves both indices one step so that any waiter finds its index changed.
  void notify() noexcept;

  // ---- inspection -----------------------------------------------------------------------
  // Acquire: pairs with the release store of configure() (the ring it publishes) and of close()
  // and notify() (see "close" at the top of this file).
  bool is_open() const noexcept { return running_.load(std::memory_order_acquire) != 0; }
  std::uint64_t slot_size() const noexcept { return slot_size_; }
  std::uint64_t capacity() const noexcept { return slots_ ? mask_ + 1 : 0; }
  std::uint8_t modes() const noexcept { return modes_; }
  // Acquire, like the sides' loads of each other's index.
  std::uint64_t write_index() const noexcept { return producer_.state.write.load(std::memory_order_acquire); }
  std::uint64_t read_index() const noexcept { return consumer_.state.read.load(std::memory_order_acquire); }
  std::uint32_t next_message_id() const noexcept { return producer_.state.next_message_id; }
  // The counters, from any thread; all zero before configure(). See the top of this file.
  RingStats stats() const noexcept;

 private:
  friend class TandemCoreTestAccess;  // publishes hand-made fragments in the unit tests

  struct ProducerSide {
    Index write;
    std::uint64_t read_seen = 0;  // the read index as last loaded; the real one is never lower
    std::uint32_t next_message_id = 0;
    std::atomic<std::uint8_t> busy{0};  // SideGuard's flag, in every build: one layout for all
  };
  struct ConsumerSide {
    Index read;
    std::uint64_t write_seen = 0;  // the write index as last loaded; the real one is never lower
    std::uint64_t peeked = 0;      // sequence number of the record peek() returned
    std::uint64_t read_stored = 0;  // the read index as this thread last stored it (consumer_read_index())
    std::atomic<std::uint8_t> busy{0};  // SideGuard's flag, in every build: one layout for all
    std::uint16_t fragments_received = 0;
    std::uint32_t expected_message_id = 0;
    std::uint64_t assembly_length = 0;
    std::uint64_t assembly_capacity = 0;
    detail::AlignedArray<std::byte> assembly;  // grows by doubling, never shrinks
    detail::AlignedArray<std::byte> copy;      // slot_size bytes: what pop and try_pop return
  };
  // Each side's hot fields on cache lines of their own, whatever the object's alignment:
  // a line that holds any byte of `state` holds no byte of another member.
  template <class T>
  struct Isolated {
    std::byte before[kCacheLine];
    T state;
  };

  detail::SideGuard producer_side() noexcept { return {producer_.state.busy, "producer"}; }
  detail::SideGuard consumer_side() noexcept { return {consumer_.state.busy, "consumer"}; }
  bool overwrite() const noexcept { return (modes_ & kOverwrite) != 0; }
  std::byte* slot_storage(std::uint64_t seq) const noexcept {
    return storage_ + (seq & mask_) * slot_size_;
  }
  // In front of the slots, in the same block (configure()).
  detail::RingCounters& counters() const noexcept {
    return *reinterpret_cast<detail::RingCounters*>(reinterpret_cast<std::byte*>(slots_) - sizeof(detail::RingCounters));
  }

  // The read index as the producer needs it: reloaded only when the cached one says full.
  std::uint64_t producer_read_index(std::uint64_t w) noexcept;
  // The write index as the consumer needs it: reloaded only when the cached one says empty.
  std::uint64_t consumer_write_index(std::uint64_t r) noexcept;
  // The read index as the consumer needs it.
  std::uint64_t consumer_read_index() const noexcept;

  void write_record(std::uint64_t w, const void* data, std::size_t length) noexcept;
  void write_fragment(std::uint64_t w, const std::byte* data, std::size_t length, std::uint32_t id,
                      std::uint16_t index, std::uint16_t count) noexcept;
  void fence_before_slot_stores() const noexcept;
  // The sides' publications of their own index, counting the wake-ups they send.
  void publish_write_index(std::uint64_t w) noexcept;
  void publish_read_index(std::uint64_t r) noexcept;
  void copy_into_slot(std::byte* slot_bytes, const void* data, std::size_t length) noexcept;
  void copy_from_slot(std::byte* dst, const std::byte* slot_bytes, std::size_t length) const noexcept;
  // Drops the rest of the message whose fragment is oldest (one record for single-slot ones).
  void drop_oldest(std::uint64_t r, std::uint64_t w, bool whole_message) noexcept;

  // Asks for the lines of slot x: its entry and, outside zerocopy mode, its bytes. Inlined early
  // on purpose: GCC takes a function of prefetches alone for one without effects and drops its
  // calls.
  [[gnu::always_inline]] void prefetch_slot(std::uint64_t x) const noexcept;
  // Asks for the slot a few records after r, while the records in between are taken.
  [[gnu::always_inline]] void prefetch_ahead(std::uint64_t r) const noexcept;
  // Consumes the record at r; false when the producer dropped it first (overwrite mode).
  bool release_slot(std::uint64_t r) noexcept;

  // The sequence number `w` of a free slot: waits for one (may_wait in kBlockOnFull mode) or
  // drops the oldest data to make one (kOverwrite; once only unless may_wait). kSuccess, else
  // kClosed or kFull.
  int free_slot(bool may_wait, bool whole_message, std::uint64_t& w) noexcept;
  // The sequence number `r` of the oldest record, waiting for one if may_wait. kSuccess, else
  // kClosed or kNothing.
  int oldest_record(bool may_wait, std::uint64_t& r) noexcept;
  // Their slow paths, out of line so that the common one stays a few instructions long. With
  // everything inline, bench/ring measured 1.13x to 1.23x boost::lockfree::spsc_queue (64-byte
  // records) in the machine phases where it now measures 1.42x to 1.48x.
  [[gnu::noinline]] int make_room(bool may_wait, bool whole_message, std::uint64_t& w) noexcept;
  [[gnu::noinline]] int await_record(bool may_wait, std::uint64_t& r) noexcept;

  int single_slot_push(const void* data, std::size_t length, bool may_wait) noexcept;
  int single_slot_pop(void** data, std::size_t* length, bool may_wait) noexcept;
  int message_push(const void* data, std::size_t length, bool may_wait) noexcept;
  int message_pop(void** data, std::size_t* length, bool may_wait) noexcept;
  bool grow_assembly(std::uint64_t needed) noexcept;

  Isolated<ProducerSide> producer_;
  Isolated<ConsumerSide> consumer_;
  std::byte shared_after_sides_[kCacheLine];

  // Read by both sides, written only by configure() and (running_) close.
  std::uint64_t mask_ = 0;
  std::uint64_t slot_size_ = 0;
  Slot* slots_ = nullptr;         // capacity records, after the counters, from allocate_zeroed()
  std::byte* storage_ = nullptr;  // capacity x slot_size bytes, from allocate_zeroed()
  std::atomic<std::uint64_t> running_{0};
  std::uint8_t modes_ = 0;

  static_assert(sizeof(Isolated<ProducerSide>) >= sizeof(ProducerSide) + kCacheLine);
  static_assert(sizeof(Isolated<ConsumerSide>) >= sizeof(ConsumerSide) + kCacheLine);
  static_assert(sizeof(shared_after_sides_) >= kCacheLine);
};

using TandemCore = BasicTandemCore<WaitableIndex>;

// ---------------------------------------------------------------------------------------------
// Construction

template <class Index>
void BasicTandemCore<Index>::configure(std::uint64_t slot_size, std::uint64_t capacity,
                                       std::uint8_t modes) {
  if (slots_) throw std::logic_error("the queue is already configured");
  if (capacity == 0 || (capacity & (capacity - 1)) != 0) {
    throw std::invalid_argument("capacity must be a power of two, got " + std::to_string(capacity));
  }
  std::uint64_t storage_bytes = 0;
  std::uint64_t slot_bytes = 0;
  if (__builtin_mul_overflow(capacity, slot_size, &storage_bytes) ||
      __builtin_mul_overflow(capacity, sizeof(Slot), &slot_bytes) ||
      __builtin_add_overflow(slot_bytes, sizeof(detail::RingCounters), &slot_bytes)) {
    throw std::overflow_error("capacity x slot_size does not fit in 64 bits");
  }

  // Neither block is written here: their pages take memory when the producer first fills a
  // slot. All-zero bytes are a valid Slot, whose atomics hold zero, and valid counters.
  detail::AlignedArray<std::byte> copy(static_cast<std::byte*>(detail::allocate_aligned(slot_size)));
  auto* storage = static_cast<std::byte*>(detail::allocate_zeroed(storage_bytes));
  try {
    auto* counters_and_slots = static_cast<std::byte*>(detail::allocate_zeroed(slot_bytes));
    slots_ = reinterpret_cast<Slot*>(counters_and_slots + sizeof(detail::RingCounters));
  } catch (...) {
    detail::free_zeroed(storage, storage_bytes);
    throw;
  }

  mask_ = capacity - 1;
  slot_size_ = slot_size;
  modes_ = modes;
  storage_ = storage;
  consumer_.state.copy = std::move(copy);
  running_.store(1, std::memory_order_release);  // publishes the ring; pairs with is_open()
}

template <class Index>
BasicTandemCore<Index>::~BasicTandemCore() {
  if (slots_ == nullptr) return;
  // The sizes configure() allocated, from the fields it derived from them.
  detail::free_zeroed(storage_, (mask_ + 1) * slot_size_);
  detail::free_zeroed(&counters(), sizeof(detail::RingCounters) + (mask_ + 1) * sizeof(Slot));
}

template <class Index>
RingStats BasicTandemCore<Index>::stats() const noexcept {
  RingStats stats;
  if (slots_ == nullptr) return stats;
  auto& [producer, consumer] = counters();
  stats.pushed = detail::counted(producer.pushed);
  stats.popped = detail::counted(consumer.popped);
  stats.refused_full = detail::counted(producer.refused_full);
  stats.dropped = detail::counted(producer.dropped);
  stats.wakeups_sent = detail::counted(producer.wakeups_sent) + detail::counted(consumer.wakeups_sent);
  stats.consumer_sleeps = detail::counted(consumer.sleeps);
  return stats;
}

// ---------------------------------------------------------------------------------------------
// Indices
//
// Each operation loads the indices first and checks running_ after them ("close" at the top of
// this file): an operation that loaded a bumped index never hands out a slot nobody pushed.

template <class Index>
std::uint64_t BasicTandemCore<Index>::producer_read_index(std::uint64_t w) noexcept {
  ProducerSide& p = producer_.state;
  if (w - p.read_seen > mask_) {
    // Acquire: pairs with the release store or swap of release_slot() and advance(), so the
    // consumer is done with the slots it released; and with notify()'s increment.
    p.read_seen = consumer_.state.read.load(std::memory_order_acquire);
  }
  return p.read_seen;
}

template <class Index>
std::uint64_t BasicTandemCore<Index>::consumer_write_index(std::uint64_t r) noexcept {
  ConsumerSide& c = consumer_.state;
  // In overwrite mode drops can carry r past the cached write index: reload then as well.
  if (static_cast<std::int64_t>(c.write_seen - r) <= 0) {
    // Acquire: pairs with the release store of write_record()/write_fragment(), publishing the
    // slot; and with notify()'s increment.
    c.write_seen = producer_.state.write.load(std::memory_order_acquire);
  }
  return c.write_seen;
}

// ---------------------------------------------------------------------------------------------
// Producer

// Overwrite mode: a drop may just have freed the slot while the consumer peeks at it. Release,
// after the drop and before every store into the slot (the length of an empty record included):
// pairs with the acquire fence in peek(), so a peek whose copy saw any of these stores also sees
// the read index this producer moved, and does not hand out the copy.
template <class Index>
void BasicTandemCore<Index>::fence_before_slot_stores() const noexcept {
  if (overwrite()) std::atomic_thread_fence(std::memory_order_release);
}

template <class Index>
void BasicTandemCore<Index>::copy_into_slot(std::byte* slot_bytes, const void* data,
                                            std::size_t length) noexcept {
  if (overwrite()) {
    detail::copy_racing<detail::Racing::kDestination>(slot_bytes, static_cast<const std::byte*>(data), length);
  } else {
    detail::copy_bytes(slot_bytes, static_cast<const std::byte*>(data), length);
  }
}

// The slot's fields are stored relaxed: the release store of the write index publishes them.
template <class Index>
void BasicTandemCore<Index>::write_record(std::uint64_t w, const void* data, std::size_t length) noexcept {
  Slot& slot = slots_[w & mask_];
  fence_before_slot_stores();
  if (modes_ & kZerocopy) {
    slot.data.store(static_cast<std::byte*>(const_cast<void*>(data)), std::memory_order_relaxed);
    slot.length.store(length, std::memory_order_relaxed);
  } else {
    const std::size_t n = std::min<std::uint64_t>(length, slot_size_);  // the rest is dropped
    copy_into_slot(slot_storage(w), data, n);
    // Records of one size leave the slot array untouched, and its lines stay shared with the
    // consumer instead of bouncing between the cores. Relaxed: the producer's own last store.
    if (slot.length.load(std::memory_order_relaxed) != n) slot.length.store(n, std::memory_order_relaxed);
  }
  publish_write_index(w + 1);
}

template <class Index>
void BasicTandemCore<Index>::write_fragment(std::uint64_t w, const std::byte* data, std::size_t length,
                                            std::uint32_t id, std::uint16_t index,
                                            std::uint16_t count) noexcept {
  Slot& slot = slots_[w & mask_];
  // Always the slot's own storage: a zerocopy push may have left a pointer to caller memory.
  std::byte* bytes = slot_storage(w);
  fence_before_slot_stores();
  copy_into_slot(bytes, data, length);
  slot.data.store(bytes, std::memory_order_relaxed);
  slot.length.store(length, std::memory_order_relaxed);
  slot.message_id.store(id, std::memory_order_relaxed);
  slot.fragment_index.store(index, std::memory_order_relaxed);
  slot.fragment_count.store(count, std::memory_order_relaxed);
  publish_write_index(w + 1);
}

template <class Index>
void BasicTandemCore<Index>::publish_write_index(std::uint64_t w) noexcept {
  if (producer_.state.write.publish(w)) [[unlikely]] detail::count(counters().producer.wakeups_sent);
}

template <class Index>
void BasicTandemCore<Index>::drop_oldest(std::uint64_t r, std::uint64_t w, bool whole_message) noexcept {
  std::uint64_t drop = 1;
  if (whole_message) {
    // The producer wrote these fields itself; the consumer never writes a slot.
    const Slot& oldest = slots_[r & mask_];
    const std::uint16_t rest = static_cast<std::uint16_t>(
        oldest.fragment_count.load(std::memory_order_relaxed) -
        oldest.fragment_index.load(std::memory_order_relaxed));
    drop = std::clamp<std::uint64_t>(rest, 1, w - r);
  }
  std::uint64_t expected = r;
  // A failed swap means the consumer took the record meanwhile: there is room either way. The
  // swap and the load acquire, as in producer_read_index().
  if (consumer_.state.read.publish_if(expected, r + drop)) detail::count(counters().producer.dropped);
  producer_.state.read_seen = consumer_.state.read.load(std::memory_order_acquire);
}

template <class Index>
int BasicTandemCore<Index>::free_slot(bool may_wait, bool whole_message, std::uint64_t& w) noexcept {
  // Acquire, not relaxed, although only this thread stores it: pairs with notify()'s increment.
  w = producer_.state.write.load(std::memory_order_acquire);
  // Inline, the common case: room by the read index as last loaded, which never overstates it.
  if (w - producer_.state.read_seen <= mask_ && is_open()) [[likely]] return kSuccess;
  return make_room(may_wait, whole_message, w);
}

template <class Index>
int BasicTandemCore<Index>::make_room(bool may_wait, bool whole_message, std::uint64_t& w) noexcept {
  for (bool dropped = false;;) {
    w = producer_.state.write.load(std::memory_order_acquire);  // as in free_slot()
    const std::uint64_t r = producer_read_index(w);
    if (!is_open()) return kClosed;
    if (w - r <= mask_) return kSuccess;
    if (overwrite()) {
      if (!may_wait && dropped) break;
      drop_oldest(r, w, whole_message);
      dropped = true;
    } else if (may_wait && (modes_ & kBlockOnFull)) {
      consumer_.state.read.wait_while_equal(r, running_, Waiter::kProducer);
    } else {
      break;
    }
  }
  detail::count(counters().producer.refused_full);
  return kFull;
}

template <class Index>
int BasicTandemCore<Index>::single_slot_push(const void* data, std::size_t length, bool may_wait) noexcept {
  std::uint64_t w;
  const int result = free_slot(may_wait, /*whole_message=*/false, w);
  if (result == kSuccess) {
    write_record(w, data, length);
    detail::count(counters().producer.pushed);
  }
  return result;
}

template <class Index>
int BasicTandemCore<Index>::push(const void* data, std::size_t length) noexcept {
  [[maybe_unused]] const auto guard = producer_side();
  return single_slot_push(data, length, /*may_wait=*/true);
}

template <class Index>
int BasicTandemCore<Index>::try_push(const void* data, std::size_t length) noexcept {
  [[maybe_unused]] const auto guard = producer_side();
  return single_slot_push(data, length, /*may_wait=*/false);
}

template <class Index>
MessageFault BasicTandemCore<Index>::check_message(std::size_t length, bool may_wait) const noexcept {
  if (slot_size_ == 0) return MessageFault::kZeroSlotSize;
  const std::uint64_t fragments = length / slot_size_ + (length % slot_size_ != 0);
  if (fragments > kMaxFragments) return MessageFault::kTooManyFragments;
  const bool streams = may_wait && (modes_ & kBlockOnFull) && !overwrite();
  if (fragments > mask_ + 1 && !streams) return MessageFault::kMoreFragmentsThanCapacity;
  return MessageFault::kNone;
}

template <class Index>
int BasicTandemCore<Index>::message_push(const void* data, std::size_t length, bool may_wait) noexcept {
  if (check_message(length, may_wait) != MessageFault::kNone) return kNothing;
  const auto count = static_cast<std::uint16_t>(length / slot_size_ + (length % slot_size_ != 0));
  const std::uint32_t id = producer_.state.next_message_id++;  // used up even if nothing is sent
  if (count == 0) return kSuccess;

  const auto* bytes = static_cast<const std::byte*>(data);
  std::size_t sent = 0;
  for (std::uint16_t index = 0; index < count; ++index) {
    // A failure leaves the fragments already sent in the ring; the consumer abandons them.
    std::uint64_t w;
    if (const int result = free_slot(may_wait, /*whole_message=*/true, w); result != kSuccess) return result;
    const std::size_t n = std::min<std::uint64_t>(slot_size_, length - sent);
    write_fragment(w, bytes + sent, n, id, index, count);
    if (!is_open()) return kClosed;
    sent += n;
  }
  detail::count(counters().producer.pushed);
  return kSuccess;
}

template <class Index>
int BasicTandemCore<Index>::push_var(const void* data, std::size_t length) noexcept {
  [[maybe_unused]] const auto guard = producer_side();
  return message_push(data, length, /*may_wait=*/true);
}

template <class Index>
int BasicTandemCore<Index>::try_push_var(const void* data, std::size_t length) noexcept {
  [[maybe_unused]] const auto guard = producer_side();
  if (!is_open()) return kClosed;
  return message_push(data, length, /*may_wait=*/false);
}

// ---------------------------------------------------------------------------------------------
// Consumer

template <class Index>
void BasicTandemCore<Index>::copy_from_slot(std::byte* dst, const std::byte* slot_bytes,
                                            std::size_t length) const noexcept {
  if (overwrite()) {
    detail::copy_racing<detail::Racing::kSource>(dst, slot_bytes, length);
  } else {
    detail::copy_bytes(dst, slot_bytes, length);
  }
}

template <class Index>
inline void BasicTandemCore<Index>::prefetch_slot(std::uint64_t x) const noexcept {
  __builtin_prefetch(&slots_[x & mask_]);
  if (!(modes_ & kZerocopy)) __builtin_prefetch(slot_storage(x));
}

// A consumer that has fallen behind reads slots the producer wrote up to a ring ago, on another
// core: each one misses the caches, and slots a slot size apart defeat the hardware's own
// prefetcher. Asking for the slot a few records ahead overlaps its load with the records in
// between. Only for a record published already (by the write index as last loaded), so that the
// line is not taken from a producer running ahead while it writes there. A consumer that has
// caught up asks for its next slot all the same (await_record()): it has nothing else to do.
template <class Index>
inline void BasicTandemCore<Index>::prefetch_ahead(std::uint64_t r) const noexcept {
  constexpr std::int64_t kReadAhead = 8;
  if (static_cast<std::int64_t>(consumer_.state.write_seen - r) > kReadAhead) prefetch_slot(r + kReadAhead);
}

template <class Index>
bool BasicTandemCore<Index>::release_slot(std::uint64_t r) noexcept {
  Index& read = consumer_.state.read;
  // Release: pairs with the producer's acquire loads and swaps of the read index ("room"): the
  // slot was read before the producer may store into it again.
  if (!overwrite()) {
    publish_read_index(r + 1);
    return true;
  }
  // The swap validates the copy on its own, no fence needed: it fails if a drop from r came first
  // (see the top of this file).
  std::uint64_t expected = r;
  return read.publish_if(expected, r + 1);
}

// The consumer's publication outside overwrite mode. In overwrite mode it swaps instead
// (release_slot(), advance()), and counts no wake-up: no producer ever waits for room there.
template <class Index>
void BasicTandemCore<Index>::publish_read_index(std::uint64_t r) noexcept {
  consumer_.state.read_stored = r;
  if (consumer_.state.read.publish(r)) [[unlikely]] detail::count(counters().consumer.wakeups_sent);
}

// Outside overwrite mode only this thread moves the read index (notify() aside, which closes the
// queue first), so it reads its own copy: the index's line is the one a producer waiting for room
// polls, and loading it there took the line back for every record. bench/bridge, the two builds in
// 8 alternating runs of 3 rounds, medians of the runs: the waking socket 0.58x the floor loading
// the index, 0.77x with the copy; waiting in the queue 0.44x against 0.50x; AsyncDispatcher 0.34x
// its floor against 0.42x.
template <class Index>
std::uint64_t BasicTandemCore<Index>::consumer_read_index() const noexcept {
  // Acquire: pairs with the producer's swaps of the index (drops) and with notify()'s increment.
  return overwrite() ? consumer_.state.read.load(std::memory_order_acquire) : consumer_.state.read_stored;
}

template <class Index>
int BasicTandemCore<Index>::oldest_record(bool may_wait, std::uint64_t& r) noexcept {
  r = consumer_read_index();
  // Inline, the common case: a record by the write index as last loaded, never overstated.
  if (static_cast<std::int64_t>(consumer_.state.write_seen - r) > 0 && is_open()) [[likely]] return kSuccess;
  return await_record(may_wait, r);
}

template <class Index>
int BasicTandemCore<Index>::await_record(bool may_wait, std::uint64_t& r) noexcept {
  for (;;) {
    r = consumer_read_index();
    const std::uint64_t w = consumer_write_index(r);
    if (!is_open()) return kClosed;
    if (static_cast<std::int64_t>(w - r) > 0) return kSuccess;
    // A consumer that has caught up asks for slot r while it waits. The producer's stores take
    // its lines away, the next ask brings them back filled while the write index is still on its
    // way, and the record arrives with the index instead of a cache miss after it. bench/ring, hot
    // ping-pong, p50 against boost's in the same rounds: try_pop spin from 1.10x to 0.78x.
    prefetch_slot(r);
    if (!may_wait) return kNothing;  // a partial message is kept for the next call
    const auto ask_for_slot = [this, r] { prefetch_slot(r); };
    if (producer_.state.write.wait_while_equal(w, running_, Waiter::kConsumer, ask_for_slot)) {
      detail::count(counters().consumer.sleeps);
    }
  }
}

template <class Index>
int BasicTandemCore<Index>::single_slot_pop(void** data, std::size_t* length, bool may_wait) noexcept {
  ConsumerSide& c = consumer_.state;
  for (;;) {
    std::uint64_t r;
    if (const int result = oldest_record(may_wait, r); result != kSuccess) return result;
    prefetch_ahead(r);
    // Relaxed: published by the write index, loaded with acquire by oldest_record().
    const Slot& slot = slots_[r & mask_];
    std::byte* bytes = (modes_ & kZerocopy) ? slot.data.load(std::memory_order_relaxed) : slot_storage(r);
    std::uint64_t n = slot.length.load(std::memory_order_relaxed);
    if (!(modes_ & kZerocopy)) {
      // Copied before the slot is released: once it is, the producer may refill it at once.
      n = std::min(n, slot_size_);
      copy_from_slot(c.copy.get(), bytes, n);
      bytes = c.copy.get();
    }
    if (!release_slot(r)) continue;  // dropped by the producer while we copied it
    detail::count(counters().consumer.popped);
    *data = bytes;
    *length = n;
    return kSuccess;
  }
}

template <class Index>
int BasicTandemCore<Index>::pop(void** data, std::size_t* length) noexcept {
  [[maybe_unused]] const auto guard = consumer_side();
  return single_slot_pop(data, length, /*may_wait=*/true);
}

template <class Index>
int BasicTandemCore<Index>::try_pop(void** data, std::size_t* length) noexcept {
  [[maybe_unused]] const auto guard = consumer_side();
  return single_slot_pop(data, length, /*may_wait=*/false);
}

template <class Index>
int BasicTandemCore<Index>::peek(void** data, std::size_t* length) noexcept {
  [[maybe_unused]] const auto guard = consumer_side();
  ConsumerSide& c = consumer_.state;
  for (;;) {
    std::uint64_t r;
    if (const int result = oldest_record(/*may_wait=*/true, r); result != kSuccess) return result;
    prefetch_ahead(r);
    const Slot& slot = slots_[r & mask_];  // relaxed, as in single_slot_pop()
    std::byte* bytes = (modes_ & kZerocopy) ? slot.data.load(std::memory_order_relaxed) : slot_storage(r);
    std::uint64_t n = slot.length.load(std::memory_order_relaxed);
    if (overwrite()) {
      // The producer may drop this record at any moment: hand out a validated copy.
      if (!(modes_ & kZerocopy)) {
        n = std::min(n, slot_size_);
        detail::copy_racing<detail::Racing::kSource>(c.copy.get(), bytes, n);
        bytes = c.copy.get();
      }
      // Pairs with the release fence of fence_before_slot_stores(): if the copy saw any store of
      // a producer that dropped r, the load below sees the moved index.
      std::atomic_thread_fence(std::memory_order_acquire);
      if (c.read.load(std::memory_order_relaxed) != r) continue;
    }
    c.peeked = r;
    *data = bytes;
    *length = n;
    return kSuccess;
  }
}

template <class Index>
void BasicTandemCore<Index>::advance() noexcept {
  [[maybe_unused]] const auto guard = consumer_side();
  if (slots_ == nullptr) return;  // unconfigured: nothing was peeked, and there is nothing to count in
  ConsumerSide& c = consumer_.state;
  // Release, as in release_slot(): the caller is done with the record peek() returned.
  if (overwrite()) {
    // Consumes the peeked record unless the producer has dropped it already.
    std::uint64_t expected = c.peeked;
    if (!c.read.publish_if(expected, c.peeked + 1)) return;
  } else {
    publish_read_index(c.read_stored + 1);
  }
  detail::count(counters().consumer.popped);
}

template <class Index>
bool BasicTandemCore<Index>::grow_assembly(std::uint64_t needed) noexcept {
  ConsumerSide& c = consumer_.state;
  if (needed <= c.assembly_capacity) return true;
  const std::uint64_t capacity = needed > UINT64_MAX / 2 ? needed : 2 * needed;
  void* grown = std::realloc(c.assembly.get(), capacity);
  if (grown == nullptr) return false;
  (void)c.assembly.release();
  c.assembly.reset(static_cast<std::byte*>(grown));
  c.assembly_capacity = capacity;
  return true;
}

template <class Index>
int BasicTandemCore<Index>::message_pop(void** data, std::size_t* length, bool may_wait) noexcept {
  ConsumerSide& c = consumer_.state;
  for (;;) {
    std::uint64_t r;
    if (const int result = oldest_record(may_wait, r); result != kSuccess) return result;

    prefetch_ahead(r);
    // Every field is read before the slot is released: the producer may then rewrite it. Relaxed,
    // as in single_slot_pop().
    const Slot& slot = slots_[r & mask_];
    const std::uint32_t id = slot.message_id.load(std::memory_order_relaxed);
    const std::uint16_t index = slot.fragment_index.load(std::memory_order_relaxed);
    const std::uint16_t count = slot.fragment_count.load(std::memory_order_relaxed);
    const std::uint64_t n = std::min(slot.length.load(std::memory_order_relaxed), slot_size_);

    const bool continues = id == c.expected_message_id && index == c.fragments_received;
    if (!continues && index != 0) {
      release_slot(r);  // a stray fragment: discarded
      continue;
    }
    const std::uint64_t offset = continues ? c.assembly_length : 0;  // index 0 restarts
    if (!grow_assembly(offset + n)) return kClosed;  // nothing consumed from this slot
    copy_from_slot(c.assembly.get() + offset, slot_storage(r), n);
    if (!release_slot(r)) continue;  // dropped while we copied it: nothing is committed

    c.expected_message_id = id;
    c.fragments_received = static_cast<std::uint16_t>((continues ? c.fragments_received : 0) + 1);
    c.assembly_length = offset + n;
    if (c.fragments_received != count) continue;

    detail::count(counters().consumer.popped);
    *data = c.assembly.get();
    *length = c.assembly_length;
    c.expected_message_id = id + 1;
    c.fragments_received = 0;
    c.assembly_length = 0;
    return kSuccess;
  }
}

template <class Index>
int BasicTandemCore<Index>::pop_var(void** data, std::size_t* length) noexcept {
  [[maybe_unused]] const auto guard = consumer_side();
  return message_pop(data, length, /*may_wait=*/true);
}

template <class Index>
int BasicTandemCore<Index>::try_pop_var(void** data, std::size_t* length) noexcept {
  [[maybe_unused]] const auto guard = consumer_side();
  return message_pop(data, length, /*may_wait=*/false);
}

// ---------------------------------------------------------------------------------------------
// Any thread

template <class Index>
void BasicTandemCore<Index>::close() noexcept {
  // Release: pairs with is_open(). Moves no index: a sleeper wakes on the flag itself, which it
  // checks after its barrier (WaitableIndex).
  running_.store(0, std::memory_order_release);
  producer_.state.write.notify();
  consumer_.state.read.notify();
}

template <class Index>
void BasicTandemCore<Index>::notify() noexcept {
  // The flag first, then the release increments: see "close" at the top of this file.
  running_.store(0, std::memory_order_release);
  producer_.state.write.bump();
  consumer_.state.read.bump();
  producer_.state.write.notify();
  consumer_.state.read.notify();
}

}  // namespace orvel::tandem
