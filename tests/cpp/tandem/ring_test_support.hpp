#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "orvel/tandem/tandem_core.hpp"

namespace orvel::tandem {

class WaitableIndexTestAccess {
 public:
  // Every wake moves the epoch once.
  static std::uint32_t wakes_sent(const WaitableIndex& index) { return index.epoch_.load(std::memory_order_acquire); }
  static bool has_sleeper(const WaitableIndex& index) {
    return (index.sleepers_.load(std::memory_order_acquire) & ~WaitableIndex::kWakeSent) != 0;
  }
};

// Crafts fragments the public operations never produce (strays, messages cut in the middle).
class TandemCoreTestAccess {
 public:
  static void publish_fragment(TandemCore& core, std::string_view bytes, std::uint32_t id,
                               std::uint16_t index, std::uint16_t count) {
    const std::uint64_t w = core.write_index();
    core.write_fragment(w, reinterpret_cast<const std::byte*>(bytes.data()), bytes.size(), id, index, count);
  }
  // Whether a thread sleeps on the write index (the consumer) or on the read index (the producer).
  static bool consumer_asleep(const TandemCore& core) {
    return WaitableIndexTestAccess::has_sleeper(core.producer_.state.write);
  }
  static bool producer_asleep(const TandemCore& core) {
    return WaitableIndexTestAccess::has_sleeper(core.consumer_.state.read);
  }
  // The wake-ups the consumer sent: each one ended a sleep of the producer waiting for room.
  static std::uint64_t producer_wakeups(const TandemCore& core) {
    return core.counters().consumer.wakeups_sent;
  }
};

namespace test {

struct Popped {
  int result = 0;
  std::string bytes;
};

template <class Core>
Popped take(Core& core, int (Core::*operation)(void**, std::size_t*)) {
  void* data = nullptr;
  std::size_t length = 0;
  Popped out;
  out.result = (core.*operation)(&data, &length);
  if (out.result == kSuccess) out.bytes.assign(static_cast<const char*>(data), length);
  return out;
}

inline int put(TandemCore& core, int (TandemCore::*operation)(const void*, std::size_t), std::string_view bytes) {
  return (core.*operation)(bytes.data(), bytes.size());
}

// Deterministic record contents: the sequence number, then bytes derived from it.
inline void fill_record(std::uint64_t seq, char* out, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<char>((seq * 131 + i * 7) >> 3);
  std::memcpy(out, &seq, std::min(length, sizeof seq));
}

inline std::string make_record(std::uint64_t seq, std::size_t length) {
  std::string record(length, '\0');
  fill_record(seq, record.data(), length);
  return record;
}

// The sequence number a record of at least 8 bytes carries, or ~0 if its bytes are not intact.
inline std::uint64_t check_record(const void* data, std::size_t length) {
  std::uint64_t seq = 0;
  if (length < sizeof seq) return ~0ull;
  std::memcpy(&seq, data, sizeof seq);
  std::string expected(length, '\0');
  fill_record(seq, expected.data(), length);
  return std::memcmp(expected.data(), data, length) == 0 ? seq : ~0ull;
}

// Long enough for a waiter to have left its spin phase and be asleep in the kernel.
inline constexpr auto kAsleep = std::chrono::milliseconds(50);
inline constexpr auto kWakeDeadline = std::chrono::seconds(10);

}  // namespace test
}  // namespace orvel::tandem
