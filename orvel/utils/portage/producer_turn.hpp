#pragma once

// One producer at a time on a dispatcher's queue.
//
// The ring is single-producer and, built for speed, does not check (tandem_core.hpp): two threads
// pushing into it at once publish into the same slot or interleave the fragments of their
// messages, and records reported pushed are never delivered. A dispatcher's push routine is
// called by native code of other modules, which may not keep to one thread; producers that
// overlap there take turns instead, the later one waiting until the earlier one's push returns.
//
// Uncontended, a turn costs one compare-and-swap and one plain store, on a cache line of its own
// that only producers touch. A producer kept waiting is a program that breaks the one-producer
// rule, so waiting is cheap for the one that keeps to it rather than fast: nothing wakes the
// waiter, which looks again at the pace of a push retried on a full queue.
//
// A fork may copy a turn that a thread the child does not have was holding. A turn remembers the
// fork generation it was taken in; one taken in an earlier generation is free.

#include <atomic>
#include <cstdint>

namespace orvel::portage {

namespace detail {
// Incremented in the child of every fork (producer_turn.cpp): the generation of this process image.
extern std::atomic<std::uint32_t> fork_generation;
}  // namespace detail

// Taken and given back through TurnHeld.
class alignas(64) ProducerTurn {
 public:
  void take() noexcept {
    std::uint32_t free = kFree;
    // Acquire: pairs with the release store in give(); the ring's producer fields come as the
    // previous producer left them.
    if (!state_.compare_exchange_strong(free, taken(), std::memory_order_acquire, std::memory_order_relaxed))
        [[unlikely]] {
      wait_for_turn();
    }
  }

  // Release: pairs with the acquire compare-and-swaps of take() and wait_for_turn().
  void give() noexcept { state_.store(kFree, std::memory_order_release); }

 private:
  static constexpr std::uint32_t kFree = 0;

  // Taken in this process image's generation: never kFree.
  static std::uint32_t taken() noexcept {
    return detail::fork_generation.load(std::memory_order_relaxed) << 1 | 1;
  }

  void wait_for_turn() noexcept;

  std::atomic<std::uint32_t> state_{kFree};
};

// Holds a producers' turn for its scope. A producer thread the interpreter ends by unwinding it
// (a refused message reported while the interpreter finalises, which ends a thread that asks for
// the interpreter lock) gives the turn back on its way out, so that no frame between the
// producer and the push may be noexcept.
class [[nodiscard]] TurnHeld {
 public:
  explicit TurnHeld(ProducerTurn& turn) noexcept : turn_(turn) { turn_.take(); }
  ~TurnHeld() { turn_.give(); }
  TurnHeld(const TurnHeld&) = delete;
  TurnHeld& operator=(const TurnHeld&) = delete;

 private:
  ProducerTurn& turn_;
};

}  // namespace orvel::portage
