#pragma once

// A dispatcher's counters, for its stats(): the ring's (tandem_core.hpp), the wake-up channel's,
// and the deliveries of its worker or reader task. Each is counted by the one thread that does
// what it counts and read here as it is, without stopping anything: a snapshot taken while
// records flow is approximate, and exact once the producer and the consumer are still.

#include <cstdint>

#include "orvel/tandem/tandem_core.hpp"
#include "orvel/utils/portage/wake_channel.hpp"

namespace orvel::portage {

// What a worker or a reader task has handed to the callback.
struct Deliveries {
  std::uint64_t delivered = 0;        // records whose callback returned
  std::uint64_t callback_errors = 0;  // callbacks that raised
  std::uint64_t batches = 0;          // of a batch dispatcher: callbacks that returned
};

// Records are single-slot records or whole messages; a wake-up is a futex wake in the ring or a
// datagram on the socket, a sleep a wait in the ring or on the socket.
struct BridgeStats {
  std::uint64_t pushed;
  std::uint64_t popped;
  std::uint64_t refused_full;
  std::uint64_t dropped;
  std::uint64_t wakeups_sent;
  std::uint64_t consumer_sleeps;
  std::uint64_t delivered;
  std::uint64_t callback_errors;
};

// `ring` is null before the dispatcher's queue exists: it has counted nothing then.
inline BridgeStats bridge_stats(const tandem::TandemCore* ring, const WakeChannel& wake,
                                const Deliveries& deliveries) noexcept {
  const tandem::RingStats queue = ring != nullptr ? ring->stats() : tandem::RingStats{};
  return {queue.pushed,
          queue.popped,
          queue.refused_full,
          queue.dropped,
          queue.wakeups_sent + wake.wakeups_sent(),
          queue.consumer_sleeps + wake.sleeps(),
          deliveries.delivered,
          deliveries.callback_errors};
}

}  // namespace orvel::portage
