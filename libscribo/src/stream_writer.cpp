#include "stream_writer.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include <poll.h>
#include <unistd.h>

#include "scribo/sink_control.hpp"

namespace scribo {
namespace detail {
namespace {

std::atomic<bool> bounded{false};
static_assert(std::atomic<bool>::is_always_lock_free, "stop_waiting is called from signal handlers");

// How soon a thread waiting without a deadline notices that waits have become bounded.
constexpr std::chrono::milliseconds kRecheck{100};

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

// Waits until `fd` takes a write: until `deadline`, or without one for at most kRecheck. False
// once the deadline has passed.
bool wait_writable(int fd, Deadline deadline) {
  pollfd polled{fd, POLLOUT, 0};
  const int timeout = deadline ? milliseconds_until(*deadline) : static_cast<int>(kRecheck.count());
  const int ready = ::poll(&polled, 1, timeout);
  return ready != 0 || !deadline;  // an error shows in the write that follows
}

}  // namespace

bool waits_bounded() noexcept { return bounded.load(std::memory_order_acquire); }

Deadline wait_deadline() noexcept {
  if (!waits_bounded()) return std::nullopt;
  return Clock::now() + kStalledSinkPatience;
}

// Waits on the system clock: on it a timed mutex waits in pthread_mutex_timedlock, which
// ThreadSanitizer knows (on the steady clock, in pthread_mutex_clocklock, which it does not).
bool lock_within(std::timed_mutex& mutex, Clock::duration patience) {
  return mutex.try_lock_until(std::chrono::system_clock::now() + patience);
}

bool acquire(std::timed_mutex& mutex, Deadline deadline) {
  if (mutex.try_lock()) return true;
  while (!deadline) {
    if (lock_within(mutex, kRecheck)) return true;
    deadline = wait_deadline();
  }
  return lock_within(mutex, *deadline - Clock::now());
}

int write_all(const Stream& stream, const char* data, std::size_t size, Deadline deadline) noexcept {
  while (size > 0) {
    std::size_t chunk = size;
    if (stream.may_stall && (deadline || (deadline = wait_deadline()))) {
      if (!wait_writable(stream.fd, deadline)) return ETIMEDOUT;
      // A pipe that polls writable has a page free: this much goes in without blocking.
      chunk = std::min<std::size_t>(size, PIPE_BUF);
    }
    const ssize_t written = ::write(stream.fd, data, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;  // the signal may have been the one that bounds the wait
      if (errno != EAGAIN) return errno;
      if (!wait_writable(stream.fd, deadline)) return ETIMEDOUT;  // a descriptor set non-blocking
      continue;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace detail

void stop_waiting() noexcept { detail::bounded.store(true, std::memory_order_release); }

}  // namespace scribo
