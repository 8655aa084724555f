#pragma once

// One producer at a time on a dispatcher's queue.
//
// The ring is single-producer and, built for speed, does not check (tandem_core.hpp): two threads
// pushing into it at once publish into the same slot or interleave the fragments of their
// messages, and records reported pushed are never delivered. A dispatcher's push routine is
// called by native code of other modules, which may not keep to one thread; producers that
// overlap there take turns instead, the later one waiting until the earlier one's push returns.
//
// Nearly every program keeps to one producer thread, so the turn is biased towards the thread that
// takes it first, through the lock. That thread's later turns are two plain stores and a few loads
// on a line other threads leave alone, with no read-modify-write and no fence (a compiler barrier;
// a full fence only where membarrier(2) is unavailable). Any other thread takes the turn through
// the lock (a compare-and-swap), and the first one to do so revokes the bias for good: from then on
// every producer takes the lock. Revoking waits for a push the owner may have under way, by the
// asymmetric pair of barriers the ring's sleepers use (waitable_index.hpp):
//
//   owner                                    revoker (holds the lock)
//     pushing_ = generation                    biased_ = kRevoked
//     light_barrier()                          heavy_barrier()
//     biased_ still the owner? push            wait while pushing_ is this generation's
//     pushing_ = kFree        (release)        push                   (acquire: after the owner's)
//
// Each side stores, then loads the other's word. Either the owner's barrier point comes after the
// revoker's store, and the owner sees the revocation and takes the lock; or it comes before, the
// revoker's wait sees pushing_ raised (or already lowered again), and waits for the push to end.
//
// A producer kept waiting is a program that breaks the one-producer rule, so waiting is cheap for
// the one that keeps to it rather than fast: nothing wakes the waiter, which looks again at the
// pace of a push retried on a full queue. A waiter first lets go of what the producer in the
// middle of its turn may need (as its Wait says: a dispatcher's producer, the interpreter lock,
// which the consumer takes for its callbacks), and stops waiting once the dispatcher's queue is
// closed.
//
// A thread is never kept waiting for itself. A signal handler that pushes in the middle of a push
// of its thread (it interrupted the owner's push, or one through the lock, or a wait for the
// owner's push that holds the lock) would wait for a push that cannot go on until the handler
// returns: its push is refused at once instead (kReentered), and the record not taken.
//
// A fork may copy a lock that a thread the child does not have was holding, or the mark of a push
// it was making. Both remember the fork generation they were raised in; one raised in an earlier
// generation is free. A thread of the child that has the owner's identity (the thread that forked,
// or one that took over the stack of a thread the child lacks) takes the owner's turns, and no
// other thread of the child can be inside a push while it does.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "orvel/tandem/waitable_index.hpp"

namespace orvel::portage {

namespace detail {
// Incremented in the child of every fork (producer_turn.cpp): the generation of this process image.
extern std::atomic<std::uint32_t> fork_generation;

// The calling thread's identity: the address of its thread control block, which no two live threads
// share (a later thread may have the one of a thread that ended: it then takes the owner's turns,
// which the thread that ended no longer does). One instruction where the compiler reads the thread
// pointer itself.
inline std::uintptr_t this_thread_id() noexcept {
#if __has_builtin(__builtin_thread_pointer)
  return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
#else
  return reinterpret_cast<std::uintptr_t>(pthread_self());
#endif
}
}  // namespace detail

// The result of a push refused because its thread is inside a push of the same dispatcher already
// (a signal handler's push that interrupted it): the record is not taken. Beside the queue's own
// results (tandem_core.hpp).
inline constexpr int kReentered = -3;

// How a producer waits for its turn, the Wait of a TurnHeld: let_go() runs before the first wait,
// once, and take_back() when the turn ends; closed() ends a wait. This one lets go of nothing, for
// a queue that never closes.
struct PlainWait {
  PlainWait() = default;
  PlainWait(const PlainWait&) = delete;  // a Wait is made in place: none is taken for another
  void let_go() noexcept {}
  bool closed() const noexcept { return false; }
  void take_back() noexcept {}
};

// A Wait as the way to the lock uses it.
struct WaitView {
  template <class Wait>
  static WaitView of(Wait& wait) noexcept {
    return {&wait, [](void* self) noexcept { static_cast<Wait*>(self)->let_go(); },
            [](const void* self) noexcept { return static_cast<const Wait*>(self)->closed(); }};
  }
  void* wait;
  void (*let_go)(void* wait) noexcept;
  bool (*closed)(const void* wait) noexcept;
};

// Taken and given back through TurnHeld.
class alignas(64) ProducerTurn {
 public:
  enum class Taken : std::uint8_t {
    kAsOwner,           // the biased owner's turn
    kThroughLock,
    kRefusedClosed,     // the wait ended with the queue closed
    kRefusedReentered,  // this thread is inside a turn already
    kNotYet,            // to be taken through the lock: take_lock()
  };

  // The owner's turn, if this thread has the bias: never waits.
  Taken take_as_owner() noexcept {
    const std::uintptr_t me = detail::this_thread_id();
    const std::uint32_t mark = raised();
    if (biased_.load(std::memory_order_relaxed) == me) [[likely]] {
      // While the bias is this thread's, pushing_ holds this generation's mark only while this
      // thread is inside a turn.
      if (pushing_.load(std::memory_order_relaxed) == mark) [[unlikely]] return Taken::kRefusedReentered;
      pushing_.store(mark, std::memory_order_relaxed);
      tandem::detail::light_barrier();  // pairs with the heavy barrier in take_lock()
      if (biased_.load(std::memory_order_relaxed) == me) [[likely]] return Taken::kAsOwner;
      // Revoked: this attempt pushed nothing. Release: a revoker that reads this store (acquire, in
      // take_lock()) comes after this thread's earlier pushes.
      pushing_.store(kFree, std::memory_order_release);
    }
    return Taken::kNotYet;
  }

  // Takes the turn through the lock, waiting as `wait` says, and revoking the bias first when there
  // is one. The first turn of all makes this thread the owner instead.
  Taken take_lock(WaitView wait) noexcept;

  // Release: pairs with the acquire loads in take_lock() (the owner's turn) or with its acquire
  // compare-and-swap (a turn through the lock).
  void give(Taken taken) noexcept {
    if (taken == Taken::kAsOwner) {
      pushing_.store(kFree, std::memory_order_release);
    } else {
      lock_.store(kFree, std::memory_order_release);
    }
  }

 private:
  static constexpr std::uint32_t kFree = 0;
  // Values of biased_ besides a thread's identity, which is neither (an address, aligned).
  static constexpr std::uintptr_t kUnbiased = 0;
  static constexpr std::uintptr_t kRevoked = 1;

  // The owner's push mark, raised in this process image's generation: never kFree.
  static std::uint32_t raised() noexcept {
    return detail::fork_generation.load(std::memory_order_relaxed) << 1 | 1;
  }

  // Written by the owner on every turn, by the others never: the owner keeps the line.
  std::atomic<std::uint32_t> pushing_{kFree};
  // kUnbiased, then the owner's identity, then kRevoked for good: each written once, with the lock
  // held. The lock is held around a push only once the bias is revoked.
  std::atomic<std::uintptr_t> biased_{kUnbiased};
  // The identity biased_ was given, kept once it is revoked: the owner's push may be under way.
  std::atomic<std::uintptr_t> owner_{kUnbiased};
  // kFree, or the holder's identity with the generation it was raised in (lock_word()).
  std::atomic<std::uint64_t> lock_{kFree};
};
static_assert(sizeof(ProducerTurn) == 64, "a turn fills a cache line of its own");

// Holds a producers' turn for its scope, if it gets it: a push runs only when held() (refusal()
// is the push's result otherwise). A producer that has to wait makes its Wait from `wait_args`
// then, and only then. A producer thread the interpreter ends by unwinding it (one that asks for the
// interpreter lock while the interpreter finalises: the Wait taking it back, or a refused message
// reported) gives the turn back on its way out, so that no frame between the producer and the push
// may be noexcept.
template <class Wait = PlainWait>
class [[nodiscard]] TurnHeld {
 public:
  template <class... WaitArgs>
  explicit TurnHeld(ProducerTurn& turn, WaitArgs&&... wait_args) noexcept
      : turn_(turn), taken_(turn.take_as_owner()) {
    if (taken_ == ProducerTurn::Taken::kNotYet) [[unlikely]] {
      wait_.emplace(std::forward<WaitArgs>(wait_args)...);
      taken_ = turn.take_lock(WaitView::of(*wait_));
    }
  }
  ~TurnHeld() noexcept(false) {
    if (held()) turn_.give(taken_);
    if (wait_) wait_->take_back();  // after the turn is given back: it may wait for the interpreter lock
  }
  TurnHeld(const TurnHeld&) = delete;
  TurnHeld& operator=(const TurnHeld&) = delete;

  bool held() const noexcept {
    return taken_ == ProducerTurn::Taken::kAsOwner || taken_ == ProducerTurn::Taken::kThroughLock;
  }
  // When not held: -1 (tandem::kClosed) for a wait that the queue's closing ended, else kReentered.
  int refusal() const noexcept { return taken_ == ProducerTurn::Taken::kRefusedClosed ? -1 : kReentered; }

 private:
  ProducerTurn& turn_;
  ProducerTurn::Taken taken_;
  std::optional<Wait> wait_;
};

}  // namespace orvel::portage
