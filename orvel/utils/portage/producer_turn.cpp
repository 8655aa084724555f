#include "orvel/utils/portage/producer_turn.hpp"

#include <pthread.h>

#include "orvel/tandem/waitable_index.hpp"

namespace orvel::portage {
namespace detail {

std::atomic<std::uint32_t> fork_generation{0};

namespace {
// Registered while the module loads, before any turn can be taken.
const int fork_generation_counted = pthread_atfork(nullptr, nullptr, [] {
  fork_generation.fetch_add(1, std::memory_order_relaxed);
});
}  // namespace

}  // namespace detail

void ProducerTurn::wait_for_turn() noexcept {
  const std::uint32_t contended = held(kContended);
  // A push holds the turn for a few hundred nanoseconds, unless it waits for room.
  tandem::spin_until([this] { return state_.load(std::memory_order_relaxed) == kFree; });
  for (;;) {
    std::uint32_t seen = state_.load(std::memory_order_relaxed);
    // Free, or held in an earlier generation by a thread this process does not have.
    const bool free = seen == kFree || (seen >> 2) != (contended >> 2);
    if (free || (seen & kFlags) == kTaken) {
      // Taken as contended: the holder, this thread included, wakes a waiter when it gives the
      // turn. Acquire: pairs with the release exchange in give().
      if (!state_.compare_exchange_weak(seen, contended, std::memory_order_acquire, std::memory_order_relaxed)) {
        continue;
      }
      if (free) return;
    }
    state_.wait(contended, std::memory_order_relaxed);
  }
}

}  // namespace orvel::portage
