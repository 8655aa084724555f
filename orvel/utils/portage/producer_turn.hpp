#pragma once

// One producer at a time on a dispatcher's queue.
//
// The ring is single-producer and, built for speed, does not check (tandem_core.hpp): two threads
// pushing into it at once publish into the same slot or interleave the fragments of their
// messages, and records reported pushed are never delivered. A dispatcher's push routine is
// called by native code of other modules, which may not keep to one thread; producers that
// overlap there take turns instead, the later one waiting until the earlier one's push returns.
// Uncontended, a turn costs a compare-and-swap and an exchange on a cache line of its own, which
// only producers touch.
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

class alignas(64) ProducerTurn {
 public:
  void take() noexcept {
    std::uint32_t free = kFree;
    // Acquire: pairs with the release exchange in give(); the ring's producer fields come as the
    // previous producer left them.
    if (!state_.compare_exchange_strong(free, held(kTaken), std::memory_order_acquire, std::memory_order_relaxed))
        [[unlikely]] {
      wait_for_turn();
    }
  }

  void give() noexcept {
    // Release: pairs with the acquire operations of take() and wait_for_turn().
    if ((state_.exchange(kFree, std::memory_order_release) & kFlags) == kContended) [[unlikely]] {
      state_.notify_one();
    }
  }

 private:
  static constexpr std::uint32_t kFree = 0, kTaken = 1, kContended = 2, kFlags = 3;

  // Taken (or contended) in this process image's generation.
  static std::uint32_t held(std::uint32_t flags) noexcept {
    return detail::fork_generation.load(std::memory_order_relaxed) << 2 | flags;
  }

  void wait_for_turn() noexcept;

  std::atomic<std::uint32_t> state_{kFree};
};

}  // namespace orvel::portage
