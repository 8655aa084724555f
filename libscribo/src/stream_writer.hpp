#pragma once

// Writing to streams that may stall (a pipe nobody reads, a terminal paused with Ctrl-S), and
// waiting for sinks that another thread is writing to: blocking for as long as the stream does,
// until scribo::stop_waiting() bounds every wait.

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>

namespace scribo::detail {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// Whether scribo::stop_waiting() has been called.
bool waits_bounded() noexcept;

// The deadline of a wait that starts now: none, or kStalledSinkPatience from now once waits are
// bounded.
Deadline wait_deadline() noexcept;

// Locks `mutex`, waiting for it as long as it takes, or until `deadline` once one applies; false
// when it stayed held that long.
bool acquire(std::timed_mutex& mutex, Deadline deadline = std::nullopt);

struct Stream {
  int fd;
  bool may_stall;  // not a regular file: a pipe, socket or terminal, which a reader may leave full
};

// Writes all of `data` to `stream`, retrying after signals and partial writes. A stream that may
// stall is waited for until `deadline`, or kStalledSinkPatience once waits are bounded; what is
// left then is dropped. Returns 0, ETIMEDOUT when something was dropped, or the errno of a failed
// write.
int write_all(const Stream& stream, const char* data, std::size_t size, Deadline deadline = std::nullopt) noexcept;

}  // namespace scribo::detail
