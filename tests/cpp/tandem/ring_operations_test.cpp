// Single-threaded behaviour of every ring operation.
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ring_test_support.hpp"

namespace orvel::tandem {
namespace {

using test::make_record;
using test::put;
using test::take;

class Ring : public ::testing::Test {
 protected:
  void make(std::uint64_t slot_size, std::uint64_t capacity, std::uint8_t modes = 0) {
    core.configure(slot_size, capacity, modes);
  }
  TandemCore core;
};

// ---- construction ----------------------------------------------------------------------

class RingCapacity : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RingCapacity, RefusesWhatIsNotAPowerOfTwo) {
  TandemCore core;
  EXPECT_THROW(core.configure(64, GetParam(), 0), std::invalid_argument);
  EXPECT_FALSE(core.is_open());
  EXPECT_EQ(core.capacity(), 0u);
}
INSTANTIATE_TEST_SUITE_P(Bad, RingCapacity, ::testing::Values(0u, 3u, 6u, 1000u, (1ull << 63) + 1));

TEST(RingConstruction, RefusesStorageSizesThatOverflow) {
  TandemCore core;
  EXPECT_THROW(core.configure(1ull << 40, 1ull << 30, 0), std::overflow_error);
  EXPECT_THROW(core.configure(1, 1ull << 63, 0), std::overflow_error);  // the slot array
  EXPECT_FALSE(core.is_open());
}

TEST(RingConstruction, ReportsStorageThatCannotBeAllocated) {
  TandemCore core;
  EXPECT_THROW(core.configure(1ull << 30, 1ull << 30, 0), std::bad_alloc);
  EXPECT_FALSE(core.is_open());
}

TEST(RingConstruction, ConfiguresOnce) {
  TandemCore core;
  core.configure(8, 4, kOverwrite);
  EXPECT_THROW(core.configure(16, 8, 0), std::logic_error);
  EXPECT_EQ(core.slot_size(), 8u);
  EXPECT_EQ(core.capacity(), 4u);
  EXPECT_EQ(core.modes(), kOverwrite);
}

TEST(RingConstruction, UnconfiguredQueueIsClosedForEveryOperation) {
  TandemCore core;
  void* data = nullptr;
  std::size_t length = 0;
  EXPECT_EQ(core.try_push("x", 1), kClosed);
  EXPECT_EQ(core.push("x", 1), kClosed);
  EXPECT_EQ(core.push_var("x", 1), kNothing);  // slot_size 0 refuses before anything else
  EXPECT_EQ(core.try_push_var("x", 1), kClosed);
  EXPECT_EQ(core.pop(&data, &length), kClosed);
  EXPECT_EQ(core.try_pop(&data, &length), kClosed);
  EXPECT_EQ(core.peek(&data, &length), kClosed);
  EXPECT_EQ(core.pop_var(&data, &length), kClosed);
  EXPECT_EQ(core.try_pop_var(&data, &length), kClosed);
}

// ---- single-slot records ----------------------------------------------------------------

TEST_F(Ring, TruncatesRecordsLongerThanASlot) {
  make(64, 8);
  const std::string record = make_record(1, 100);
  EXPECT_EQ(put(core, &TandemCore::push, record), kSuccess);
  const auto popped = take(core, &TandemCore::pop);
  EXPECT_EQ(popped.result, kSuccess);
  EXPECT_EQ(popped.bytes, record.substr(0, 64));
}

TEST_F(Ring, RefusesTheFifthRecordOfAFullRingUntilOneIsPopped) {
  make(16, 4);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(put(core, &TandemCore::try_push, make_record(i, 16)), kSuccess);
  EXPECT_EQ(put(core, &TandemCore::try_push, make_record(4, 16)), kFull);
  EXPECT_EQ(put(core, &TandemCore::push, make_record(4, 16)), kFull);  // push waits only with block_on_full
  EXPECT_EQ(take(core, &TandemCore::pop).bytes, make_record(0, 16));
  EXPECT_EQ(put(core, &TandemCore::try_push, make_record(4, 16)), kSuccess);
}

class RingOverwrite : public ::testing::TestWithParam<int (TandemCore::*)(const void*, std::size_t)> {};

TEST_P(RingOverwrite, KeepsTheNewestRecords) {
  TandemCore core;
  core.configure(16, 4, kOverwrite);
  for (int i = 1; i <= 6; ++i) ASSERT_EQ(put(core, GetParam(), make_record(i, 16)), kSuccess);
  for (int i = 3; i <= 6; ++i) EXPECT_EQ(take(core, &TandemCore::pop).bytes, make_record(i, 16));
  EXPECT_EQ(take(core, &TandemCore::try_pop).result, kNothing);
}
INSTANTIATE_TEST_SUITE_P(PushAndTryPush, RingOverwrite,
                         ::testing::Values(&TandemCore::push, &TandemCore::try_push));

TEST_F(Ring, ZerocopyHandsOverThePointer) {
  make(8, 4, kZerocopy);
  const std::string record = make_record(7, 1000);  // longer than a slot: nothing is truncated
  ASSERT_EQ(put(core, &TandemCore::push, record), kSuccess);
  void* data = nullptr;
  std::size_t length = 0;
  ASSERT_EQ(core.pop(&data, &length), kSuccess);
  EXPECT_EQ(data, record.data());
  EXPECT_EQ(length, record.size());
}

TEST_F(Ring, PoppedBytesSurviveTheProducerRefillingTheSlot) {
  make(16, 2);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(1, 16)), kSuccess);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(2, 16)), kSuccess);
  void* data = nullptr;
  std::size_t length = 0;
  ASSERT_EQ(core.pop(&data, &length), kSuccess);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(3, 16)), kSuccess);  // same slot as record 1
  EXPECT_EQ(std::string(static_cast<char*>(data), length), make_record(1, 16));
}

TEST_F(Ring, PeekLeavesTheRecordUntilAdvance) {
  make(16, 4);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(1, 16)), kSuccess);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(2, 16)), kSuccess);
  EXPECT_EQ(take(core, &TandemCore::peek).bytes, make_record(1, 16));
  EXPECT_EQ(take(core, &TandemCore::peek).bytes, make_record(1, 16));
  core.advance();
  EXPECT_EQ(take(core, &TandemCore::peek).bytes, make_record(2, 16));
  core.advance();
  EXPECT_EQ(take(core, &TandemCore::try_pop).result, kNothing);
}

TEST_F(Ring, AdvanceAfterTheProducerDroppedThePeekedRecordConsumesNothingElse) {
  make(16, 2, kOverwrite);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(1, 16)), kSuccess);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(2, 16)), kSuccess);
  EXPECT_EQ(take(core, &TandemCore::peek).bytes, make_record(1, 16));
  ASSERT_EQ(put(core, &TandemCore::push, make_record(3, 16)), kSuccess);  // drops record 1
  core.advance();
  EXPECT_EQ(take(core, &TandemCore::pop).bytes, make_record(2, 16));
  EXPECT_EQ(take(core, &TandemCore::pop).bytes, make_record(3, 16));
}

TEST(RingZeroSlotSize, CarriesEmptyRecordsButNoMessages) {
  TandemCore core;
  core.configure(0, 4, 0);
  EXPECT_EQ(put(core, &TandemCore::push, "abc"), kSuccess);
  const auto popped = take(core, &TandemCore::pop);
  EXPECT_EQ(popped.result, kSuccess);
  EXPECT_EQ(popped.bytes, "");
  EXPECT_EQ(put(core, &TandemCore::push_var, "abc"), kNothing);
  EXPECT_EQ(put(core, &TandemCore::try_push_var, "abc"), kNothing);
  EXPECT_EQ(core.check_message(3, true), MessageFault::kZeroSlotSize);
  EXPECT_EQ(core.next_message_id(), 0u);  // a refused message uses no id
}

// ---- variable-size messages -------------------------------------------------------------

TEST_F(Ring, EmptyMessageSendsNothingButUsesAnId) {
  make(64, 8);
  EXPECT_EQ(put(core, &TandemCore::push_var, ""), kSuccess);
  EXPECT_EQ(core.next_message_id(), 1u);
  EXPECT_EQ(core.write_index(), 0u);
  EXPECT_EQ(take(core, &TandemCore::try_pop_var).result, kNothing);
}

TEST_F(Ring, CutsAMessageIntoSlotSizedFragmentsAndReassemblesIt) {
  make(64, 8);
  const std::string message = make_record(9, 150);
  EXPECT_EQ(put(core, &TandemCore::push_var, message), kSuccess);
  EXPECT_EQ(core.write_index(), 3u);
  const auto popped = take(core, &TandemCore::pop_var);
  EXPECT_EQ(popped.result, kSuccess);
  EXPECT_EQ(popped.bytes, message);
}

TEST_F(Ring, KeepsAPartialMessageUntilItsLastFragmentArrives) {
  make(64, 8);
  const std::string message = make_record(5, 150);
  TandemCoreTestAccess::publish_fragment(core, std::string_view(message).substr(0, 64), 0, 0, 3);
  TandemCoreTestAccess::publish_fragment(core, std::string_view(message).substr(64, 64), 0, 1, 3);
  EXPECT_EQ(take(core, &TandemCore::try_pop_var).result, kNothing);
  EXPECT_EQ(core.read_index(), 2u);  // both fragments are consumed into the assembly
  TandemCoreTestAccess::publish_fragment(core, std::string_view(message).substr(128), 0, 2, 3);
  EXPECT_EQ(take(core, &TandemCore::try_pop_var).bytes, message);
}

TEST_F(Ring, FragmentZeroRestartsAndStrayFragmentsAreDiscarded) {
  make(8, 16);
  TandemCoreTestAccess::publish_fragment(core, "stray-1.", 7, 1, 2);   // not expected: discarded
  TandemCoreTestAccess::publish_fragment(core, "abandon.", 3, 0, 2);   // starts message 3 ...
  TandemCoreTestAccess::publish_fragment(core, "new-msg-", 4, 0, 2);   // ... abandoned for message 4
  TandemCoreTestAccess::publish_fragment(core, "stray-2.", 9, 1, 2);   // wrong id: discarded
  TandemCoreTestAccess::publish_fragment(core, "complete", 4, 1, 2);
  EXPECT_EQ(take(core, &TandemCore::try_pop_var).bytes, "new-msg-complete");
  EXPECT_EQ(core.read_index(), 5u);
}

TEST_F(Ring, NonBlockingMessagePushLeavesPartialMessagesThatTheConsumerAbandons) {
  make(4, 4);
  ASSERT_EQ(put(core, &TandemCore::try_push_var, "aaaa"), kSuccess);
  ASSERT_EQ(put(core, &TandemCore::try_push_var, "bbbb"), kSuccess);
  EXPECT_EQ(put(core, &TandemCore::try_push_var, "0123456789"), kFull);  // 2 of 3 fragments sent
  EXPECT_EQ(core.write_index(), 4u);
  EXPECT_EQ(take(core, &TandemCore::try_pop_var).bytes, "aaaa");
  EXPECT_EQ(take(core, &TandemCore::try_pop_var).bytes, "bbbb");
  EXPECT_EQ(take(core, &TandemCore::try_pop_var).result, kNothing);
  EXPECT_EQ(put(core, &TandemCore::try_push_var, "abcdef"), kSuccess);
  EXPECT_EQ(take(core, &TandemCore::try_pop_var).bytes, "abcdef");
}

TEST_F(Ring, OverwriteDropsTheRestOfTheOldestMessage) {
  make(4, 4, kOverwrite);
  ASSERT_EQ(put(core, &TandemCore::push_var, "aaaabbbbcc"), kSuccess);  // 3 fragments
  ASSERT_EQ(put(core, &TandemCore::push_var, "ddddee"), kSuccess);      // drops all of the first
  EXPECT_EQ(core.read_index(), 3u);
  ASSERT_EQ(put(core, &TandemCore::try_push_var, "ffff"), kSuccess);
  EXPECT_EQ(take(core, &TandemCore::pop_var).bytes, "ddddee");
  EXPECT_EQ(take(core, &TandemCore::pop_var).bytes, "ffff");
}

struct RefusedMessage {
  std::uint64_t slot_size;
  std::uint64_t capacity;
  std::uint8_t modes;
  std::size_t length;
  MessageFault fault;
};

class RingRefusesMessage : public ::testing::TestWithParam<RefusedMessage> {};

TEST_P(RingRefusesMessage, WithoutSendingAnything) {
  const RefusedMessage& p = GetParam();
  TandemCore core;
  core.configure(p.slot_size, p.capacity, p.modes);
  const std::string message(p.length, 'x');
  EXPECT_EQ(core.check_message(message.size(), true), p.fault);
  EXPECT_EQ(core.check_message(message.size(), false), p.fault);
  EXPECT_EQ(put(core, &TandemCore::push_var, message), kNothing);
  EXPECT_EQ(put(core, &TandemCore::try_push_var, message), kNothing);
  EXPECT_EQ(core.write_index(), 0u);
  EXPECT_EQ(core.next_message_id(), 0u);
}
INSTANTIATE_TEST_SUITE_P(
    Faults, RingRefusesMessage,
    ::testing::Values(RefusedMessage{1, 4, 0, 65536, MessageFault::kTooManyFragments},
                      RefusedMessage{2, 4, kBlockOnFull, 2 * 65535 + 1, MessageFault::kTooManyFragments},
                      RefusedMessage{4, 4, kOverwrite, 17, MessageFault::kMoreFragmentsThanCapacity},
                      RefusedMessage{4, 4, kOverwrite | kBlockOnFull, 17, MessageFault::kMoreFragmentsThanCapacity},
                      // Without waiting, the ring would stay full of the message's own head.
                      RefusedMessage{4, 2, 0, 9, MessageFault::kMoreFragmentsThanCapacity}));

// A push that waits for room streams a message longer than the ring while the consumer drains it.
TEST(RingMessageLimits, OnlyAWaitingPushTakesAMessageLongerThanTheRing) {
  TandemCore core;
  core.configure(4, 2, kBlockOnFull);
  const std::string message = make_record(8, 4 * 5);
  EXPECT_EQ(core.check_message(message.size(), false), MessageFault::kMoreFragmentsThanCapacity);
  EXPECT_EQ(put(core, &TandemCore::try_push_var, message), kNothing);
  EXPECT_EQ(core.check_message(message.size(), true), MessageFault::kNone);
  std::thread consumer([&] { EXPECT_EQ(take(core, &TandemCore::pop_var).bytes, message); });
  EXPECT_EQ(put(core, &TandemCore::push_var, message), kSuccess);
  consumer.join();
}

TEST(RingMessageLimits, AcceptsTheLargestMessages) {
  TandemCore core;
  core.configure(1, 1 << 16, kOverwrite);
  EXPECT_EQ(core.check_message(65535, false), MessageFault::kNone);
  EXPECT_EQ(core.check_message(65536, false), MessageFault::kTooManyFragments);
  const std::string message = make_record(3, 65535);
  ASSERT_EQ(put(core, &TandemCore::push_var, message), kSuccess);
  EXPECT_EQ(take(core, &TandemCore::pop_var).bytes, message);
}

// ---- closing ------------------------------------------------------------------------------

class RingClosed : public ::testing::TestWithParam<bool> {  // true: notify(), false: close()
 protected:
  void shut(TandemCore& core) { GetParam() ? core.notify() : core.close(); }
};

TEST_P(RingClosed, RefusesEveryOperationAndNeverInventsARecord) {
  TandemCore core;
  core.configure(16, 4, 0);
  ASSERT_EQ(put(core, &TandemCore::push, make_record(1, 16)), kSuccess);
  shut(core);
  EXPECT_FALSE(core.is_open());
  EXPECT_EQ(put(core, &TandemCore::push, "x"), kClosed);
  EXPECT_EQ(put(core, &TandemCore::try_push, "x"), kClosed);
  EXPECT_EQ(put(core, &TandemCore::push_var, "x"), kClosed);
  EXPECT_EQ(put(core, &TandemCore::try_push_var, "x"), kClosed);
  EXPECT_EQ(put(core, &TandemCore::push_var, ""), kSuccess);  // an empty message sends nothing
  for (auto operation : {&TandemCore::pop, &TandemCore::try_pop, &TandemCore::peek,
                         &TandemCore::pop_var, &TandemCore::try_pop_var}) {
    EXPECT_EQ(take(core, operation).result, kClosed);  // although a record is pending
  }
}
INSTANTIATE_TEST_SUITE_P(CloseAndNotify, RingClosed, ::testing::Bool());

TEST(RingNotify, MovesBothIndicesAndTryPopStillSaysClosed) {
  TandemCore core;
  core.configure(16, 4, 0);
  core.notify();
  EXPECT_EQ(core.write_index(), 1u);
  EXPECT_EQ(core.read_index(), 1u);
  EXPECT_EQ(take(core, &TandemCore::try_pop).result, kClosed);
}

TEST(RingNotify, AdvanceStillMovesTheReadIndexOnceClosed) {
  TandemCore core;
  core.configure(16, 4, 0);
  core.close();
  core.advance();
  EXPECT_EQ(core.read_index(), 1u);
}

}  // namespace
}  // namespace orvel::tandem
