// The ring's counters (stats()): what each operation adds, and that they add up once both sides
// are still.
#include <cstdint>
#include <thread>

#include <gtest/gtest.h>

#include "ring_test_support.hpp"

namespace orvel::tandem {
namespace {

using test::make_record;
using test::put;
using test::take;

// Pushes that cannot wait, single records and messages alike; nothing counted once closed, nor by
// an unconfigured core, which has no counters to count in.
TEST(RingCounters, AFullRingCountsEachRefusal) {
  for (auto push : {&TandemCore::try_push, &TandemCore::push, &TandemCore::try_push_var}) {
    TandemCore core;
    core.configure(16, 4, 0);
    for (int i = 0; i < 6; ++i) put(core, push, "record");
    core.close();
    put(core, push, "late");
    EXPECT_EQ(core.stats().pushed, 4u);
    EXPECT_EQ(core.stats().refused_full, 2u);
  }
  TandemCore unconfigured;
  unconfigured.advance();
  EXPECT_EQ(unconfigured.stats().popped, 0u);
}

TEST(RingCounters, OverwriteCountsTheRecordsAndMessagesItDrops) {
  // 16-byte slots: one record or message per slot; 4-byte slots: two fragments per message.
  for (auto [slot_size, pushes, dropped] : {std::tuple{16u, 10u, 6u}, std::tuple{4u, 5u, 3u}}) {
    TandemCore core;
    core.configure(slot_size, 4, kOverwrite);
    const bool messages = slot_size == 4;
    for (unsigned i = 0; i < pushes; ++i) put(core, messages ? &TandemCore::try_push_var : &TandemCore::try_push, "8 bytes!");
    while (take(core, messages ? &TandemCore::try_pop_var : &TandemCore::try_pop).result == kSuccess) {}
    const RingStats stats = core.stats();
    EXPECT_EQ(stats.pushed, pushes);
    EXPECT_EQ(stats.dropped, dropped);
    EXPECT_EQ(stats.popped, pushes - dropped);
    EXPECT_EQ(stats.refused_full, 0u);
  }
}

// One sleep and one wake: the consumer on an empty ring; then the producer waiting for room
// (block_on_full), which the consumer wakes and which is no sleep of the consumer.
TEST(RingCounters, ASleepAndItsWakeCountOneEach) {
  TandemCore core;
  core.configure(16, 1, kBlockOnFull);
  std::thread consumer([&] { EXPECT_EQ(take(core, &TandemCore::pop).result, kSuccess); });
  while (!TandemCoreTestAccess::consumer_asleep(core)) std::this_thread::yield();
  ASSERT_EQ(put(core, &TandemCore::push, "wakes"), kSuccess);
  consumer.join();
  EXPECT_EQ(core.stats().consumer_sleeps, 1u);
  EXPECT_EQ(core.stats().wakeups_sent, 1u);

  ASSERT_EQ(put(core, &TandemCore::push, "fills"), kSuccess);
  std::thread producer([&] { EXPECT_EQ(put(core, &TandemCore::push, "waits"), kSuccess); });
  while (!TandemCoreTestAccess::producer_asleep(core)) std::this_thread::yield();
  ASSERT_EQ(take(core, &TandemCore::pop).result, kSuccess);
  producer.join();
  EXPECT_EQ(core.stats().consumer_sleeps, 1u);
  EXPECT_EQ(core.stats().wakeups_sent, 2u);
}

// The producer retries refused pushes and now and then lets the consumer run dry and sleep.
TEST(RingCounters, AddUpAfterATwoThreadRun) {
  constexpr std::uint64_t kRecords = 200'000;
  TandemCore core;
  core.configure(16, 64, 0);
  std::uint64_t refusals = 0;
  std::thread producer([&] {
    for (std::uint64_t seq = 0; seq < kRecords;) {
      if (put(core, &TandemCore::try_push, make_record(seq, 16)) == kSuccess) {
        ++seq;
      } else if (++refusals % 1024 == 0) {
        std::this_thread::yield();
      }
    }
  });
  std::uint64_t popped = 0;
  while (popped < kRecords && take(core, &TandemCore::pop).result == kSuccess) ++popped;
  producer.join();
  const RingStats stats = core.stats();
  EXPECT_EQ(stats.pushed, kRecords);
  EXPECT_EQ(stats.popped, kRecords);
  EXPECT_EQ(stats.refused_full, refusals);
}

}  // namespace
}  // namespace orvel::tandem
