// The barriers that pair a sleeper with a publisher (WaitableIndex). The test names end in the
// pair this process uses, so the output tells which ran: membarrier(2), or the full fences of a
// kernel or emulator without it (and of ring_full_fences_test, built to take that path).
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <random>
#include <string>
#include <thread>

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

// A follower waits for each value it has not seen; the publisher runs ahead in bursts, so that
// publications land while the follower is waking, or has been woken and not looked yet.
TEST_P(Barriers, NoWakeUpIsLostWhenPublicationsOutrunTheSleeper) {
  constexpr std::uint64_t kLast = 200'000;
  WaitableIndex index;
  std::atomic<std::uint64_t> running{1};
  auto follow = std::async(std::launch::async, [&] {
    for (std::uint64_t seen = 0; seen < kLast && running.load(std::memory_order_acquire);) {
      index.wait_while_equal(seen, running);
      seen = index.load(std::memory_order_acquire);
    }
  });
  std::minstd_rand random(7);
  for (std::uint64_t v = 1; v <= kLast; ++v) {
    index.publish(v);
    if (random() % 32 == 0) {  // now and then long enough for the follower to fall asleep
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 40);
      while (std::chrono::steady_clock::now() < until) cpu_relax();
    }
  }
  if (follow.wait_for(kWakeDeadline) != std::future_status::ready) {
    running.store(0, std::memory_order_release);
    index.notify();
    ADD_FAILURE() << "a wake-up was lost";
  }
  follow.get();
}

// The signal handler that holds a sleeper up between its wake and its next look at the index,
// as a busy machine does by giving it no CPU.
std::atomic<bool> held_up{false};
std::atomic<bool> let_go{false};

extern "C" void hold_up(int) {
  held_up.store(true);
  const timespec tenth_of_a_millisecond{0, 100'000};
  while (!let_go.load()) nanosleep(&tenth_of_a_millisecond, nullptr);
}

TEST_P(Barriers, ASleeperIsWokenOnceHoweverOftenTheIndexMovesMeanwhile) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer runs the handler only when the thread leaves its raw system call";
#endif
  struct sigaction action {};
  action.sa_handler = hold_up;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  held_up = false;
  let_go = false;

  WaitableIndex index;
  std::atomic<std::uint64_t> running{1};
  std::thread sleeper([&] { index.wait_while_equal(0, running); });
  while (!WaitableIndexTestAccess::has_sleeper(index)) std::this_thread::yield();
  ASSERT_EQ(pthread_kill(sleeper.native_handle(), SIGUSR1), 0);
  while (!held_up.load()) std::this_thread::yield();

  const std::uint32_t before = WaitableIndexTestAccess::wakes_sent(index);
  for (std::uint64_t v = 1; v <= 100; ++v) index.publish(v);
  EXPECT_EQ(WaitableIndexTestAccess::wakes_sent(index) - before, 1u);

  let_go = true;
  sleeper.join();  // it looks again, finds the index moved and returns
  EXPECT_FALSE(WaitableIndexTestAccess::has_sleeper(index));
  sigaction(SIGUSR1, &previous, nullptr);
}

INSTANTIATE_TEST_SUITE_P(InThisProcess, Barriers, ::testing::Values(detail::asymmetric_fences),
                         [](const auto& param_info) {
                           return std::string(param_info.param ? "Membarrier" : "FullFences");
                         });

}  // namespace
}  // namespace orvel::tandem
