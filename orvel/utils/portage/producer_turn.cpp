#include "orvel/utils/portage/producer_turn.hpp"

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

bool ProducerTurn::take_lock(std::uintptr_t me, std::uint32_t mark) noexcept {
  std::uint32_t seen = kFree;
  tandem::FullQueueRetry retry;
  // Free, or taken in an earlier generation by a thread this process does not have. Acquire: pairs
  // with the release store in give(); the ring's producer fields come as the previous producer left
  // them.
  while (!lock_.compare_exchange_strong(seen, mark, std::memory_order_acquire, std::memory_order_relaxed)) {
    do {
      retry.pause();
      seen = lock_.load(std::memory_order_relaxed);
    } while (seen == mark);
  }
  const std::uintptr_t owner = biased_.load(std::memory_order_relaxed);
  if (owner == kUnbiased) {
    // The first turn of all: this thread owns it and the following ones. Whoever takes the lock
    // next sees both stores (release, pairs with its acquire compare-and-swap), and revokes.
    biased_.store(me, std::memory_order_relaxed);
    pushing_.store(mark, std::memory_order_relaxed);
    lock_.store(kFree, std::memory_order_release);
    return true;
  }
  if (owner != kRevoked) revoke_bias(mark);
  return false;
}

void ProducerTurn::revoke_bias(std::uint32_t mark) noexcept {
  biased_.store(kRevoked, std::memory_order_relaxed);
  // Pairs with light_barrier() in take(). Once registered, membarrier(2) fails only for want of
  // memory, and without the barrier the owner's mark cannot be trusted: try again.
  tandem::FullQueueRetry retry;
  while (!tandem::detail::heavy_barrier()) retry.pause();
  // Acquire: pairs with the release stores of pushing_ in take() and give(); the ring's producer
  // fields come as the owner left them.
  while (pushing_.load(std::memory_order_acquire) == mark) retry.pause();
}

}  // namespace orvel::portage
