#pragma once

// A 64-bit sequence index that other threads can sleep on until it changes.
//
// The publishing side pays nothing for the ability to sleep unless somebody actually sleeps:
// `notify()` after a publication is a compiler barrier and one load of a word on the line the
// publisher has just written. The price is moved to the sleeper, which announces itself in
// `sleepers_` and then issues a process-wide barrier (membarrier(2)) before it looks at the index
// a last time. That asymmetric pair forms the store-load fence both sides need:
//
//   sleeper                                publisher
//     sleepers_ += 1                         value_ = v            (release)
//     heavy_barrier()                        light_barrier()
//     if value_ == old && running: sleep     if sleepers_ != 0: wake
//
// Each side stores, then loads the other's word: that needs store-load order, which acquire and
// release do not give (AArch64 lets a store-release pass a later plain load; x86-64 lets any store
// pass a later load); light_barrier() only keeps the compiler from swapping them. membarrier(2) interrupts every other running thread of the process and runs
// a full barrier there, between two of its instructions; a thread not running has passed the
// scheduler's. If the publisher's barrier point falls after its index store, the sleeper's last
// look sees the new value; otherwise the publisher's load of `sleepers_` comes after the barrier
// and sees the announcement, and it wakes the sleeper. Where membarrier(2) is unavailable both
// barriers are full fences (DMB ISH on AArch64): in the single order of seq_cst fences, the side
// whose fence comes second sees the other's store.
//
// The sleep itself is a futex on `epoch_`, not on the index: a wake bumps the epoch first, so a
// sleeper that read the epoch before the bump cannot fall asleep after it, whatever moved (the
// index, or only the queue's running flag, which close() changes without moving an index).
//
// One wake per sleep. A woken sleeper may wait a long time for a CPU when the machine is busy,
// and meanwhile the publisher keeps publishing; a futex wake for each of those publications made
// the queue about 3 times slower (a SyncDispatcher waiting in the queue, 500,000 records, one
// CPU-bound process beside it: 122,000 to 481,000 futex calls, against 2,200 to 5,600 now). So
// the first waker sets kWakeSent in `sleepers_` and the others skip their wake; the sleeper
// clears the bit before it looks at the index again:
//
//   sleeper                                publisher
//     sleepers_ &= ~kWakeSent  (acq_rel)     sleepers_ |= kWakeSent  (acq_rel)
//     read the epoch, look at the index      the bit was clear: bump the epoch, wake
//
// A publisher that finds the bit set comes before that clearing in the word's order of changes,
// so the sleeper's clearing reads from it (every change of the word is a read-modify-write), and
// the sleeper's next look sees the publication. A publisher that comes after the clearing finds
// the bit clear and wakes.

#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace orvel::tandem {

// The spin-wait hint. AArch64's YIELD (Linux's cpu_relax() there too) does nothing on cores
// without hardware threads, which is why the spin in wait_while_equal() is bounded by time.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

namespace detail {

// True once membarrier(2) private expedited is registered for this process. Decided while the
// library loads, before any queue exists, and never changed afterwards.
extern const bool asymmetric_fences;

// Full barrier on every running thread of the process; false if the system call failed.
bool heavy_barrier() noexcept;

inline void light_barrier() noexcept {
  if (asymmetric_fences) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
  } else {
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
}

// Sleeps while `word` holds `expected` (or until woken, or interrupted). With `bounded` the sleep
// ends after a millisecond: used when the sleeper's barrier failed and a wake may be missed.
void futex_wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected, bool bounded) noexcept;
void futex_wake_all(const std::atomic<std::uint32_t>& word) noexcept;

}  // namespace detail

// How long a waiter polls before it sleeps. A sleeping receiver took ~30 us (median) to wake in
// bench/ring on the 2-core VMs this was tuned on; a third of that spent spinning catches the
// records that follow closely without burning a core for long. Time, not a poll count: one pause
// instruction takes from ~1 ns to ~25 ns depending on the processor.
inline constexpr std::chrono::microseconds kSpinBudget{10};

// Polls `ready` until it returns true (then true) or `budget` has passed (then false). Pauses
// only: offering the CPU instead (sched_yield after 2 us) saved the sleeps of a producer and a
// consumer sharing a CPU, but on a machine busy with other processes it handed the CPU to them for
// a whole time slice: bench/bridge beside compiler runs, waiting in the queue, 0.32x to 0.92x the
// floor against 0.66x to 1.48x pausing only.
template <class Ready>
bool spin_until(Ready ready, std::chrono::nanoseconds budget = kSpinBudget) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  for (unsigned polls = 1;; ++polls) {
    cpu_relax();
    if (ready()) return true;
    if (polls % 16 == 0 && std::chrono::steady_clock::now() >= deadline) return false;
  }
}

// As spin_until(), but looks at `ready` only once per `interval`.
template <class Ready>
bool spin_looking_every(std::chrono::nanoseconds interval, Ready ready) noexcept {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (auto now = start, next_look = start + interval; now - start < kSpinBudget; now = Clock::now()) {
    cpu_relax();
    if (now < next_look) continue;
    if (ready()) return true;
    next_look = now + interval;
  }
  return false;
}

// How often a producer waiting for room looks at the read index while it spins. Each look takes
// the index's line from the consumer, which needs it back for its next record: looking after every
// pause, the consumer ran at half its speed. bench/bridge, a SyncDispatcher waiting in the queue,
// machine otherwise quiet, 7 interleaved rounds: 0.47x the floor looking continuously, 0.89x
// looking every 64 pauses (about 1 us on that machine), 0.94x every 256.
inline constexpr std::chrono::nanoseconds kRoomLookInterval{1000};

// A producer waiting for room offers its CPU (yield_until()) once its spin is over, for up to
// kYieldBudget; it stops at the first offer that comes back sooner than kYieldFoundNobody: then no
// other thread wanted the CPU, and offering it again only burns it.
inline constexpr std::chrono::microseconds kYieldBudget{100};
inline constexpr std::chrono::microseconds kYieldFoundNobody{3};

// Offers the CPU (sched_yield) until `ready` returns true (then true), or until kYieldBudget has
// passed or an offer found nobody to take the CPU (then false).
template <class Ready>
bool yield_until(Ready ready) noexcept {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (auto offered = start; offered - start < kYieldBudget;) {
    sched_yield();
    if (ready()) return true;
    const auto back = Clock::now();
    if (back - offered < kYieldFoundNobody) return false;
    offered = back;
  }
  return false;
}

// What a waiter does between its looks while it spins: by default nothing but the pause.
struct NothingBetweenLooks {
  void operator()() const noexcept {}
};

// Who waits on an index, which decides how the wait passes the time before it sleeps.
enum class Waiter : std::uint8_t {
  // A consumer waiting for a record, whose latency is what it waits for: it looks continuously.
  kConsumer,
  // A producer waiting for room. Its consumer has a full ring of work, so a late return costs
  // nothing, while the wait must not slow the consumer down: it looks only every
  // kRoomLookInterval, then offers its CPU, then sleeps. A sleep costs the consumer the wake, and
  // then a woken producer competing for the CPU. bench/bridge, a SyncDispatcher waiting in the
  // queue beside a CPU-bound process, two runs of 9 interleaved rounds: 0.54x and 0.62x the floor
  // sleeping at once, 0.81x and 0.82x offering the CPU first; 1,886 and 1,843 wake-ups for 500,000
  // records against 350 and 339.
  kProducer,
};

// Paces a producer that tries a push again after the queue refused it as full (-2), as a push
// waiting for room in the queue paces its looks (Waiter::kProducer): each try looks at the
// consumer's index and takes its cache line, which the consumer needs back for its next record.
// Between tries it pauses for kRoomLookInterval during the first kSpinBudget, then offers the CPU
// until kYieldBudget, then sleeps kRetrySleep at a time: nothing wakes a producer retrying this way.
// One per message:
//
//   FullQueueRetry retry;
//   while ((result = producer.push(data, length)) == -2) retry.pause();
class FullQueueRetry {
 public:
  static constexpr std::chrono::microseconds kRetrySleep{50};

  void pause() noexcept {
    using Clock = std::chrono::steady_clock;
    const auto now = Clock::now();
    if (first_ == Clock::time_point{}) first_ = now;
    if (now - first_ < kSpinBudget) {
      for (const auto next_try = now + kRoomLookInterval; Clock::now() < next_try;) cpu_relax();
    } else if (now - first_ < kYieldBudget) {
      sched_yield();
    } else {
      std::this_thread::sleep_for(kRetrySleep);
    }
  }

 private:
  std::chrono::steady_clock::time_point first_{};
};

class WaitableIndex {
 public:
  // Callers name the order and what it pairs with.
  std::uint64_t load(std::memory_order order) const noexcept { return value_.load(order); }

  // Publishes `v` and wakes whoever sleeps on the index; true when this call sent the wake.
  // Release: pairs with the acquire loads of the other side, which then see everything written
  // before (the slot contents).
  bool publish(std::uint64_t v) noexcept {
    value_.store(v, std::memory_order_release);
    return notify();
  }

  // Compare-and-swap publication, for an index two threads may move. On failure `expected`
  // holds the current value. Release as in publish(); acquire, also on failure, as the other
  // side's loads: the swap reads what the other thread published with its own move.
  bool publish_if(std::uint64_t& expected, std::uint64_t v) noexcept {
    if (!value_.compare_exchange_strong(expected, v, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
      return false;
    }
    notify();
    return true;
  }

  // Moves the index one step from any thread. Release: pairs with the acquire loads of the index,
  // so whoever reads the bumped value also sees what the caller stored before (a cleared running
  // flag). Does not wake; call notify().
  void bump() noexcept { value_.fetch_add(1, std::memory_order_release); }

  // Wakes every sleeper, if there is one; true when this call sent the wake (false when nobody
  // sleeps or another caller's wake is on its way). Call after every change a sleeper may wait for.
  bool notify() const noexcept {
    detail::light_barrier();  // pairs with heavy_barrier() in sleep_while()
    // Relaxed: the barrier pair orders it after the change (see the top of this file).
    if ((sleepers_.load(std::memory_order_relaxed) & ~kWakeSent) != 0) return wake_sleepers();
    return false;
  }

  // Returns once the index differs from `old` or `running` is 0; spins briefly, then sleeps.
  // A wake-up that finds neither has changed goes back to sleep; so does a delivered signal.
  // True when the wait went to sleep (announced itself to the publishers), false when the spin
  // or the offers of the CPU saw the change. A consumer calls `between_looks` before each look of
  // its spin.
  template <class BetweenLooks = NothingBetweenLooks>
  bool wait_while_equal(std::uint64_t old, const std::atomic<std::uint64_t>& running,
                        Waiter waiter = Waiter::kConsumer, BetweenLooks between_looks = {}) const noexcept {
    // Acquire: pairs with publish(), publish_if() and bump(), and with the release stores of
    // `running`, so a waiter that sees the change also sees what came before it.
    auto unchanged = [&] {
      return value_.load(std::memory_order_acquire) == old &&
             running.load(std::memory_order_acquire) != 0;
    };
    const auto changed = [&] { return !unchanged(); };
    if (changed()) return false;
    const auto spin_changed = [&] {
      between_looks();
      return changed();
    };
    if (waiter == Waiter::kConsumer ? spin_until(spin_changed)
                                    : spin_looking_every(kRoomLookInterval, changed) || yield_until(changed)) {
      return false;
    }
    sleep_while(unchanged);
    return true;
  }

 private:
  friend class WaitableIndexTestAccess;  // counts the wakes sent, in the unit tests

  template <class Predicate>
  void sleep_while(Predicate unchanged) const noexcept {
    // Relaxed: heavy_barrier() orders it before the last look at the index.
    sleepers_.fetch_add(1, std::memory_order_relaxed);
    const bool fenced = detail::heavy_barrier();  // pairs with light_barrier() in notify()
    for (;;) {
      // Acquire: pairs with the release of a waker's read-modify-write of kWakeSent; release,
      // for the wakers whose read-modify-write comes after this one (see the top of this file).
      sleepers_.fetch_and(~kWakeSent, std::memory_order_acq_rel);
      // Acquire: pairs with the release increment in wake_sleepers(), so a sleeper that sees
      // the new epoch also sees the change that came before it.
      const std::uint32_t epoch = epoch_.load(std::memory_order_acquire);
      if (!unchanged()) break;
      detail::futex_wait(epoch_, epoch, /*bounded=*/!fenced);
    }
    // Relaxed: a publisher that still sees this sleeper only wakes nobody.
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
  }

  [[gnu::noinline]] bool wake_sleepers() const noexcept {  // rare: keeps publish() short
    // Acq_rel: pairs with the sleeper's clearing of the bit (see the top of this file). A wake
    // is on its way already when the bit is set.
    if ((sleepers_.fetch_or(kWakeSent, std::memory_order_acq_rel) & kWakeSent) != 0) return false;
    // Release: pairs with the acquire load of the epoch in sleep_while(). The futex call checks
    // the epoch in the kernel, so a sleeper that read the old one cannot miss this wake.
    epoch_.fetch_add(1, std::memory_order_release);
    detail::futex_wake_all(epoch_);
    return true;
  }

  // In sleepers_, beside the count of sleepers: a wake has been sent since they last looked.
  static constexpr std::uint32_t kWakeSent = 1u << 31;

  std::atomic<std::uint64_t> value_{0};
  mutable std::atomic<std::uint32_t> sleepers_{0};
  mutable std::atomic<std::uint32_t> epoch_{0};
};

// The same interface with waits that only spin: the baseline that shows what the ability to
// sleep costs (see bench/). Never used by the extension modules. Orders as in WaitableIndex; with
// no sleepers there is nothing for barriers to order.
class SpinningIndex {
 public:
  std::uint64_t load(std::memory_order order) const noexcept { return value_.load(order); }
  bool publish(std::uint64_t v) noexcept {
    value_.store(v, std::memory_order_release);
    return false;
  }
  bool publish_if(std::uint64_t& expected, std::uint64_t v) noexcept {
    return value_.compare_exchange_strong(expected, v, std::memory_order_acq_rel,
                                          std::memory_order_acquire);
  }
  void bump() noexcept { value_.fetch_add(1, std::memory_order_release); }
  bool notify() const noexcept { return false; }
  template <class BetweenLooks = NothingBetweenLooks>
  bool wait_while_equal(std::uint64_t old, const std::atomic<std::uint64_t>& running,
                        Waiter waiter = Waiter::kConsumer, BetweenLooks between_looks = {}) const noexcept {
    while (value_.load(std::memory_order_acquire) == old &&
           running.load(std::memory_order_acquire) != 0) {
      cpu_relax();
      if (waiter == Waiter::kConsumer) between_looks();
    }
    return false;
  }

 private:
  std::atomic<std::uint64_t> value_{0};
};

}  // namespace orvel::tandem
