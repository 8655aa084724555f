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
  const std::uint32_t mine = taken();
  tandem::FullQueueRetry retry;
  for (;;) {
    std::uint32_t seen = state_.load(std::memory_order_relaxed);
    // Free, or taken in an earlier generation by a thread this process does not have. Acquire:
    // pairs with the release store in give().
    if ((seen == kFree || seen != mine) &&
        state_.compare_exchange_strong(seen, mine, std::memory_order_acquire, std::memory_order_relaxed)) {
      return;
    }
    retry.pause();
  }
}

}  // namespace orvel::portage
