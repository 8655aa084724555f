#pragma once

// Counters that one thread writes and any thread reads, for the stats() of the queue and of the
// message bridge. The writer adds with a relaxed load and a relaxed store, never a
// read-modify-write (a locked instruction on x86-64): there is no other writer to lose an
// increment to. Readers load relaxed: the counters order nothing, and a set of them read while
// the writers run is a snapshot of approximate values. Plain integers accessed through
// atomic_ref, so that memory that starts zeroed holds valid counters without being written.

#include <atomic>
#include <cstdint>

namespace orvel::tandem::detail {

inline void count(std::uint64_t& counter, std::uint64_t n = 1) noexcept {
  std::atomic_ref<std::uint64_t> shared(counter);
  shared.store(shared.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// The counters are never const objects; atomic_ref of a const type comes only after C++20.
inline std::uint64_t counted(const std::uint64_t& counter) noexcept {
  return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(counter)).load(std::memory_order_relaxed);
}

}  // namespace orvel::tandem::detail
