// The barriers that pair a sleeper with a publisher (WaitableIndex). The test names end in the
// pair this process uses, so the output tells which ran: membarrier(2), or the full fences of a
// kernel or emulator without it (and of ring_full_fences_test, built to take that path).
#include <atomic>
#include <cstdint>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "orvel/tandem/waitable_index.hpp"
#include "ring_test_support.hpp"

namespace orvel::tandem {
namespace {

using test::kWakeDeadline;

class Barriers : public ::testing::TestWithParam<bool> {};

// Were the system call refused after registration, every sleep would become a 1 ms poll.
TEST_P(Barriers, HeavyBarrierSucceeds) { EXPECT_TRUE(detail::heavy_barrier()); }

// Two threads hand a count back and forth, each waiting for the other's step: any round may put
// one of them to sleep, and a single lost wake-up stalls both for good.
TEST_P(Barriers, NoWakeUpIsLostInAPingPong) {
  constexpr std::uint64_t kRounds = 20'000;
  WaitableIndex ping;
  WaitableIndex pong;
  std::atomic<std::uint64_t> running{1};
  auto serve = std::async(std::launch::async, [&] {
    for (std::uint64_t k = 1; k <= kRounds && running.load(std::memory_order_acquire); ++k) {
      ping.publish(k);
      pong.wait_while_equal(k - 1, running);
    }
  });
  auto echo = std::async(std::launch::async, [&] {
    for (std::uint64_t k = 1; k <= kRounds && running.load(std::memory_order_acquire); ++k) {
      ping.wait_while_equal(k - 1, running);
      pong.publish(k);
    }
  });

  // Stalled means no step for a whole deadline; then release both threads and fail.
  for (std::uint64_t seen = 0; echo.wait_for(kWakeDeadline) != std::future_status::ready;) {
    const std::uint64_t now = pong.load(std::memory_order_acquire);
    if (now == seen) {
      running.store(0, std::memory_order_release);
      ping.notify();
      pong.notify();
      break;
    }
    seen = now;
  }
  serve.get();
  echo.get();
  EXPECT_EQ(ping.load(std::memory_order_acquire), kRounds);
  EXPECT_EQ(pong.load(std::memory_order_acquire), kRounds) << "a wake-up was lost";
}

INSTANTIATE_TEST_SUITE_P(InThisProcess, Barriers, ::testing::Values(detail::asymmetric_fences),
                         [](const auto& param_info) {
                           return std::string(param_info.param ? "Membarrier" : "FullFences");
                         });

}  // namespace
}  // namespace orvel::tandem
