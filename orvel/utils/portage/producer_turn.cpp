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

namespace {

// The lock word of `me` raised as `mark`: the generation in its top 16 bits (never all zero: the
// mark is odd), the identity in the other 48, bits 4 to 51 of the address (no two live threads'
// control blocks are within 16 bytes of each other, and no user-space address on either port has
// bits above 51). A generation passes for the one 32768 forks later: a lock some thread held at a
// fork, which no push took in the 32768 generations since, would then look held.
constexpr int kGenerationShift = 48;
std::uint64_t lock_word(std::uintptr_t me, std::uint32_t mark) noexcept {
  return std::uint64_t{mark & 0xFFFFu} << kGenerationShift | (std::uint64_t{me} >> 4 & ((std::uint64_t{1} << kGenerationShift) - 1));
}
// Whether `word` is the lock held in the generation of `mark`.
bool held_in(std::uint64_t word, std::uint32_t mark) noexcept { return word >> kGenerationShift == (mark & 0xFFFFu); }

// A producer's wait for another one: it lets go of what it holds at the first pause.
class Waiting {
 public:
  explicit Waiting(WaitView wait) noexcept : wait_(wait) {}
  void pause() noexcept {
    if (!lent_) {
      wait_.let_go(wait_.wait);
      lent_ = true;
    }
    retry_.pause();
  }
  bool closed() const noexcept { return wait_.closed(wait_.wait); }

 private:
  WaitView wait_;
  bool lent_ = false;
  tandem::FullQueueRetry retry_;
};

}  // namespace

ProducerTurn::Taken ProducerTurn::take_lock(WaitView wait) noexcept {
  const std::uintptr_t me = detail::this_thread_id();
  const std::uint32_t mark = raised();
  // The owner's push under way on this thread, with the bias revoked meanwhile: only the owner's
  // thread raises pushing_, and it lowers it before it comes here.
  if (owner_.load(std::memory_order_relaxed) == me && pushing_.load(std::memory_order_relaxed) == mark) {
    return Taken::kRefusedReentered;
  }
  const std::uint64_t mine = lock_word(me, mark);
  Waiting waiting(wait);
  std::uint64_t seen = kFree;
  // Free, or taken in an earlier generation by a thread this process does not have. Acquire: pairs
  // with the release store in give(); the ring's producer fields come as the previous producer left
  // them.
  while (!lock_.compare_exchange_strong(seen, mine, std::memory_order_acquire, std::memory_order_relaxed)) {
    if (seen == mine) return Taken::kRefusedReentered;  // only this thread raises its own word
    while (held_in(seen, mark)) {
      if (waiting.closed()) return Taken::kRefusedClosed;
      waiting.pause();
      seen = lock_.load(std::memory_order_relaxed);
    }
  }
  const std::uintptr_t owner = biased_.load(std::memory_order_relaxed);
  if (owner == kUnbiased) {
    // The first turn of all: this thread owns it and the following ones. Whoever takes the lock
    // next sees these stores (release, pairs with its acquire compare-and-swap), and revokes. A
    // signal handler of this thread finds one of them made, whichever comes first: a turn of its
    // own taken as the owner's, or this thread's push under way.
    pushing_.store(mark, std::memory_order_relaxed);
    owner_.store(me, std::memory_order_relaxed);
    biased_.store(me, std::memory_order_relaxed);
    lock_.store(kFree, std::memory_order_release);
    return Taken::kAsOwner;
  }
  if (owner != kRevoked) {
    biased_.store(kRevoked, std::memory_order_relaxed);
    // Pairs with light_barrier() in take(). Once registered, membarrier(2) fails only for want of
    // memory, and without the barrier the owner's mark cannot be trusted: try again. Done even
    // once the queue is closed: the next producers revoke no more.
    while (!tandem::detail::heavy_barrier()) waiting.pause();
  }
  // An owner's push under way: the one the revocation found, or, when the queue closed while a
  // revoker waited for it, still that one. Acquire: pairs with the release stores of pushing_ in
  // take() and give(); the ring's producer fields come as the owner left them.
  while (pushing_.load(std::memory_order_acquire) == mark) {
    if (waiting.closed()) {
      lock_.store(kFree, std::memory_order_release);
      return Taken::kRefusedClosed;
    }
    waiting.pause();
  }
  return Taken::kThroughLock;
}

}  // namespace orvel::portage
