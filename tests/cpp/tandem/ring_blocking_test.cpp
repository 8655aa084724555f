// Blocking operations: what wakes them, and that close() and notify() release them even when
// they already sleep in the kernel.
#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ring_test_support.hpp"

namespace orvel::tandem {
namespace {

using test::kAsleep;
using test::kWakeDeadline;
using test::make_record;
using test::put;
using test::take;

bool still_blocked(std::future<int>& f) { return f.wait_for(kAsleep) == std::future_status::timeout; }
bool released(std::future<int>& f) { return f.wait_for(kWakeDeadline) == std::future_status::ready; }

enum class Release { kClose, kNotify };

void release(TandemCore& core, Release how) { how == Release::kClose ? core.close() : core.notify(); }

class BlockedOperation : public ::testing::TestWithParam<Release> {
 protected:
  // A full ring with block_on_full, so that pushes wait too.
  void SetUp() override {
    core.configure(16, 2, kBlockOnFull);
  }
  void fill() {
    ASSERT_EQ(put(core, &TandemCore::push, make_record(1, 16)), kSuccess);
    ASSERT_EQ(put(core, &TandemCore::push, make_record(2, 16)), kSuccess);
  }
  void expect_released(std::future<int> blocked) {
    ASSERT_TRUE(still_blocked(blocked));
    release(core, GetParam());
    ASSERT_TRUE(released(blocked));
    EXPECT_EQ(blocked.get(), kClosed);
  }
  TandemCore core;
};

TEST_P(BlockedOperation, PushOnAFullRingReturnsClosed) {
  fill();
  expect_released(std::async(std::launch::async, [&] { return put(core, &TandemCore::push, "x"); }));
}

TEST_P(BlockedOperation, MessagePushOnAFullRingReturnsClosed) {
  fill();
  expect_released(std::async(std::launch::async, [&] { return put(core, &TandemCore::push_var, "x"); }));
}

TEST_P(BlockedOperation, PopOnAnEmptyRingReturnsClosed) {
  expect_released(std::async(std::launch::async, [&] { return take(core, &TandemCore::pop).result; }));
}

TEST_P(BlockedOperation, PeekOnAnEmptyRingReturnsClosed) {
  expect_released(std::async(std::launch::async, [&] { return take(core, &TandemCore::peek).result; }));
}

TEST_P(BlockedOperation, MessagePopOnAnEmptyRingReturnsClosed) {
  expect_released(std::async(std::launch::async, [&] { return take(core, &TandemCore::pop_var).result; }));
}

INSTANTIATE_TEST_SUITE_P(CloseAndNotify, BlockedOperation,
                         ::testing::Values(Release::kClose, Release::kNotify));

TEST(RingWaking, BlockedPushSucceedsAsSoonAsOneRecordIsPopped) {
  TandemCore core;
  core.configure(16, 2, kBlockOnFull);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(1, 16)), kSuccess);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(2, 16)), kSuccess);
  auto blocked = std::async(std::launch::async, [&] { return put(core, &TandemCore::push, make_record(3, 16)); });
  ASSERT_TRUE(still_blocked(blocked));
  EXPECT_EQ(take(core, &TandemCore::pop).bytes, make_record(1, 16));
  ASSERT_TRUE(released(blocked));
  EXPECT_EQ(blocked.get(), kSuccess);
  EXPECT_EQ(take(core, &TandemCore::pop).bytes, make_record(2, 16));
  EXPECT_EQ(take(core, &TandemCore::pop).bytes, make_record(3, 16));
}

// Both threads on one CPU, where the consumer can run only when the producer stops: a producer
// waiting for room offers the CPU before it sleeps, and the consumer takes it. Sleeping at once,
// the producer slept about once per ring filled (1,250 times here).
TEST(RingWaking, AProducerWaitingForRoomHandsTheCpuToTheConsumer) {
  constexpr std::uint64_t kRecords = 20'000, kCapacity = 16;
  cpu_set_t all, one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  // The threads started below inherit the CPU of the test's thread.
  if (pthread_getaffinity_np(pthread_self(), sizeof all, &all) != 0 ||
      pthread_setaffinity_np(pthread_self(), sizeof one, &one) != 0) {
    GTEST_SKIP() << "this process may not choose its threads' CPUs";
  }
  TandemCore core;
  core.configure(16, kCapacity, kBlockOnFull);
  // A failing side closes the queue, which releases the other.
  const auto fail = [&](const char* what, std::uint64_t seq) {
    core.close();
    ADD_FAILURE() << what << " " << seq;
  };
  std::thread consumer([&] {
    for (std::uint64_t seq = 0; seq < kRecords; ++seq) {
      if (take(core, &TandemCore::pop).bytes != make_record(seq, 16)) return fail("record", seq);
    }
  });
  std::thread producer([&] {
    for (std::uint64_t seq = 0; seq < kRecords; ++seq) {
      if (put(core, &TandemCore::push, make_record(seq, 16)) != kSuccess) return fail("push", seq);
    }
  });
  producer.join();
  consumer.join();
  pthread_setaffinity_np(pthread_self(), sizeof all, &all);
  EXPECT_LT(TandemCoreTestAccess::producer_wakeups(core), kRecords / kCapacity / 10);
}

// Each look takes the read index's line from the consumer: while it spins, a producer waiting for
// room looks once per interval, not after every pause (some 600 times).
TEST(RingWaking, AProducerWaitingForRoomLooksAtTheIndexOncePerInterval) {
  unsigned looks = 0;
  EXPECT_FALSE(spin_looking_every(kRoomLookInterval, [&] { return ++looks == 0; }));
  EXPECT_LE(looks, kSpinBudget / kRoomLookInterval);
}

// A producer retrying a full queue lets time pass between its tries, as a push waiting for room
// does: a look a microsecond at first, then offers of the CPU, then sleeps.
TEST(RingWaking, RetriesOfAFullQueueArePacedLikeAWaitForRoom) {
  using Clock = std::chrono::steady_clock;
  FullQueueRetry retry;
  const auto before_first = Clock::now();
  retry.pause();
  const auto after_first = Clock::now();  // the retries started in between
  EXPECT_GE(after_first - before_first, kRoomLookInterval);
  while (Clock::now() - after_first < kYieldBudget) retry.pause();
  const auto sleep_starts = Clock::now();
  retry.pause();
  EXPECT_GE(Clock::now() - sleep_starts, FullQueueRetry::kRetrySleep);
}

TEST(RingWaking, BlockedPopReturnsThePushedRecord) {
  TandemCore core;
  core.configure(16, 2, 0);
  auto blocked = std::async(std::launch::async, [&] { return take(core, &TandemCore::pop); });
  ASSERT_EQ(blocked.wait_for(kAsleep), std::future_status::timeout);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(4, 16)), kSuccess);
  ASSERT_EQ(blocked.wait_for(kWakeDeadline), std::future_status::ready);
  const auto popped = blocked.get();
  EXPECT_EQ(popped.result, kSuccess);
  EXPECT_EQ(popped.bytes, make_record(4, 16));
}

TEST(RingWaking, BlockedMessagePopReassemblesFragmentsPublishedOneByOne) {
  TandemCore core;
  core.configure(4, 1, kBlockOnFull);  // one slot: producer and consumer alternate per fragment
  const std::string message = make_record(8, 4 * 50 + 3);
  auto consumer = std::async(std::launch::async, [&] { return take(core, &TandemCore::pop_var); });
  ASSERT_EQ(put(core, &TandemCore::push_var, message), kSuccess);
  ASSERT_EQ(consumer.wait_for(kWakeDeadline), std::future_status::ready);
  EXPECT_EQ(consumer.get().bytes, message);
}

}  // namespace
}  // namespace orvel::tandem

namespace orvel::tandem {
namespace {

TEST(RingMisuse, ASecondThreadOnOneSideStopsDebugBuilds) {
#ifdef NDEBUG
  GTEST_SKIP() << "release builds do not check which threads use a queue";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        TandemCore core;
        core.configure(8, 1, kBlockOnFull);
        put(core, &TandemCore::push, "a");
        std::thread blocked([&] { put(core, &TandemCore::push, "b"); });  // waits for room
        std::this_thread::sleep_for(kAsleep);
        put(core, &TandemCore::try_push, "c");
      },
      "two threads at once on the producer side of one queue");
#endif
}

}  // namespace
}  // namespace orvel::tandem
