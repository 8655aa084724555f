// The ring's counters (stats()): what each operation adds, and that they add up once both sides
// are still.
#include <cstdint>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ring_test_support.hpp"

namespace orvel::tandem {
namespace {

using test::make_record;
using test::put;
using test::take;

TEST(RingCounters, AreZeroOnAnUnconfiguredCoreAndANewOne) {
  TandemCore unconfigured;
  unconfigured.advance();  // nothing to consume, nothing counted
  EXPECT_EQ(unconfigured.stats().popped, 0u);
  TandemCore core;
  core.configure(16, 4, 0);
  const RingStats stats = core.stats();
  EXPECT_EQ(stats.pushed + stats.popped + stats.refused_full + stats.dropped + stats.wakeups_sent +
                stats.consumer_sleeps,
            0u);
}

// A full ring refuses the pushes that cannot wait, single records and messages alike; a closed
// one refuses nothing it counts as full.
TEST(RingCounters, AFullRingCountsEachRefusal) {
  for (auto push : {&TandemCore::try_push, &TandemCore::push, &TandemCore::try_push_var}) {
    TandemCore core;
    core.configure(16, 4, 0);
    for (int i = 0; i < 6; ++i) put(core, push, "record");
    core.close();
    put(core, push, "late");
    const RingStats stats = core.stats();
    EXPECT_EQ(stats.pushed, 4u);
    EXPECT_EQ(stats.refused_full, 2u);
  }
}

TEST(RingCounters, OverwriteCountsTheRecordsAndMessagesItDrops) {
  TandemCore records;
  records.configure(16, 4, kOverwrite);
  for (int i = 0; i < 10; ++i) put(records, &TandemCore::try_push, make_record(i, 16));
  while (take(records, &TandemCore::try_pop).result == kSuccess) {}
  RingStats stats = records.stats();
  EXPECT_EQ(stats.pushed, 10u);
  EXPECT_EQ(stats.dropped, 6u);
  EXPECT_EQ(stats.popped, 4u);
  EXPECT_EQ(stats.refused_full, 0u);

  TandemCore messages;  // two fragments each: every push beyond the first two drops one message
  messages.configure(4, 4, kOverwrite);
  for (int i = 0; i < 5; ++i) put(messages, &TandemCore::try_push_var, "8 bytes!");
  while (take(messages, &TandemCore::try_pop_var).result == kSuccess) {}
  stats = messages.stats();
  EXPECT_EQ(stats.pushed, 5u);
  EXPECT_EQ(stats.dropped, 3u);
  EXPECT_EQ(stats.popped, 2u);
}

// One sleep, one wake, whichever side waits: the consumer on an empty ring, or the producer on a
// full one (block_on_full), which the consumer wakes.
TEST(RingCounters, ASleepAndItsWakeCountOneEach) {
  TandemCore core;
  core.configure(16, 1, kBlockOnFull);
  std::thread consumer([&] { EXPECT_EQ(take(core, &TandemCore::pop).result, kSuccess); });
  while (!TandemCoreTestAccess::consumer_asleep(core)) std::this_thread::yield();
  ASSERT_EQ(put(core, &TandemCore::push, "wakes"), kSuccess);
  consumer.join();
  RingStats stats = core.stats();
  EXPECT_EQ(stats.consumer_sleeps, 1u);
  EXPECT_EQ(stats.wakeups_sent, 1u);

  ASSERT_EQ(put(core, &TandemCore::push, "fills"), kSuccess);
  std::thread producer([&] { EXPECT_EQ(put(core, &TandemCore::push, "waits"), kSuccess); });
  while (!TandemCoreTestAccess::producer_asleep(core)) std::this_thread::yield();
  ASSERT_EQ(take(core, &TandemCore::pop).result, kSuccess);
  producer.join();
  stats = core.stats();
  EXPECT_EQ(stats.consumer_sleeps, 1u);  // the producer's sleep is not the consumer's
  EXPECT_EQ(stats.wakeups_sent, 2u);
  EXPECT_EQ(stats.pushed, 3u);
  EXPECT_EQ(stats.popped, 2u);
}

// Two threads through a small ring, the producer retrying refused pushes and the consumer
// sleeping when it runs dry: once both are done every record is counted once on each side.
TEST(RingCounters, AddUpAfterATwoThreadRun) {
  constexpr std::uint64_t kRecords = 200'000;
  TandemCore core;
  core.configure(16, 64, 0);
  std::uint64_t refusals = 0;
  std::thread producer([&] {
    for (std::uint64_t seq = 0; seq < kRecords;) {
      const int result = put(core, &TandemCore::try_push, make_record(seq, 16));
      if (result == kSuccess) {
        ++seq;
      } else {
        ++refusals;
        if (seq % 1024 == 0) std::this_thread::yield();  // now and then the consumer runs dry
      }
    }
  });
  std::uint64_t popped = 0;
  while (popped < kRecords && take(core, &TandemCore::pop).result == kSuccess) ++popped;
  producer.join();
  const RingStats stats = core.stats();
  EXPECT_EQ(popped, kRecords);
  EXPECT_EQ(stats.pushed, kRecords);
  EXPECT_EQ(stats.popped, kRecords);
  EXPECT_EQ(stats.refused_full, refusals);
  EXPECT_EQ(stats.dropped, 0u);
}

}  // namespace
}  // namespace orvel::tandem
