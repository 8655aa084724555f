#include "orvel/utils/portage/drain_loop.hpp"

#include <future>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "loop_test_support.hpp"
#include "ring_test_support.hpp"

namespace orvel::portage {
namespace {

using tandem::TandemCore;
using tandem::test::check_record;
using tandem::test::make_record;

// Checks that records arrive in order and intact; stops the loop after the last one, or fails
// the delivery of record `fail_at`.
struct CheckingSession {
  std::uint64_t count;
  std::atomic<bool>& running;
  std::uint64_t fail_at = ~0ull;
  std::uint64_t delivered = 0;
  std::uint64_t entries = 0;
  bool inside = false;

  bool enter() {
    EXPECT_FALSE(inside);
    inside = true;
    ++entries;
    return true;
  }
  void leave() { inside = false; }
  bool deliver(const void* data, std::size_t length) {
    EXPECT_TRUE(inside);
    if (delivered == fail_at) return false;
    EXPECT_EQ(check_record(data, length), delivered);
    if (++delivered == count) running.store(false, std::memory_order_release);
    return true;
  }
};

struct Case {
  WorkerBody body;
  std::uint64_t records;
  std::size_t slot_size;
  std::size_t record_size;
};

class DrainLoopTest : public test::LoopTest<Case> {
 protected:
  // Pushes every record from its own thread, pausing now and then long enough for the consumer
  // to fall asleep: a wake-up lost on the way leaves the consumer asleep and the test times out.
  std::thread produce(TandemCore& queue, std::uint64_t records) {
    return std::thread([this, &queue, records] {
      // Counted as the worker's producers count them, for kPop's runs of records.
      auto counted = [this] { pushed_.store(pushed_.load(std::memory_order_relaxed) + 1, std::memory_order_release); };
      std::mt19937 random(7);
      for (std::uint64_t seq = 0; seq < records; ++seq) {
        if (push(queue, make_record(seq, GetParam().record_size)) != tandem::kSuccess) return;
        if (!polling()) counted();
        if (random() % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
      }
    });
  }

  std::atomic<std::uint64_t> pushed_{0};
};

TEST_P(DrainLoopTest, DeliversEveryRecordInOrderThroughSleepsAndWakeUps) {
  TandemCore queue;
  queue.configure(GetParam().slot_size, 64, tandem::kBlockOnFull);
  std::atomic<bool> running{true};
  CheckingSession session{GetParam().records, running};
  auto drained = std::async(std::launch::async, [&] { drain(queue, GetParam().body, running, wake_, session, &pushed_); });
  std::thread producer = produce(queue, GetParam().records);
  const bool finished = drained.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!finished) {  // a record stranded: release both threads before failing
    running.store(false);
    queue.close();
    wake_.ring();
  }
  producer.join();
  drained.wait();
  EXPECT_TRUE(finished);
  EXPECT_EQ(session.delivered, GetParam().records);
  EXPECT_FALSE(session.inside);
  EXPECT_LT(session.entries, session.delivered);  // runs of records per entry
}

TEST_P(DrainLoopTest, EndsAtAFailedDeliveryOrAClosedQueue) {
  TandemCore queue;
  queue.configure(GetParam().slot_size, 64, 0);
  std::atomic<bool> running{true};
  CheckingSession session{~0ull, running, /*fail_at=*/2};
  for (std::uint64_t seq = 0; seq < 4; ++seq) {
    const std::string record = make_record(seq, GetParam().record_size);
    ASSERT_EQ(messages() ? queue.try_push_var(record.data(), record.size()) : queue.try_push(record.data(), record.size()),
              tandem::kSuccess);
  }
  pushed_ = 4;
  drain(queue, GetParam().body, running, wake_, session, &pushed_);
  EXPECT_EQ(session.delivered, 2u);
  void* data;
  std::size_t length;
  if (GetParam().body == WorkerBody::kPop) {  // the failed record is not consumed
    ASSERT_EQ(queue.peek(&data, &length), tandem::kSuccess);
    EXPECT_EQ(check_record(data, length), 2u);
  }
  queue.close();
  CheckingSession after_close{~0ull, running};
  drain(queue, GetParam().body, running, wake_, after_close);  // returns although `running` is true
  EXPECT_EQ(after_close.delivered, 0u);
}

// Names the cases after their bodies: printed whole, a Case shows its padding bytes too.
std::string body_name(const ::testing::TestParamInfo<Case>& info) {
  constexpr const char* kNames[] = {"TryPop", "TryPopVar", "Pop", "PopVar"};
  return kNames[static_cast<int>(info.param.body)];
}

INSTANTIATE_TEST_SUITE_P(Bodies, DrainLoopTest, ::testing::Values(
    Case{WorkerBody::kTryPop, 100'000, 64, 64},
    Case{WorkerBody::kTryPopVar, 20'000, 64, 300},
    Case{WorkerBody::kPop, 100'000, 64, 64},
    Case{WorkerBody::kPopVar, 20'000, 64, 300}), body_name);

// What a queue that the run has just emptied says on its next looks: nothing `empty_looks` times,
// then `then` (the next record, or the queue closed), then nothing. A record that comes while the
// run waits is delivered in the same entry; otherwise the run ends and leaves the session. Three
// looks fall inside the wait however slow the machine: its clock is read every 16 looks only.
struct GapCase {
  int empty_looks;
  int then;
  std::uint64_t delivered;
};

constexpr const char* kGapNames[] = {"RecordComes", "QueueCloses", "NothingComes"};

class RunGapTest : public ::testing::TestWithParam<GapCase> {};

TEST_P(RunGapTest, ARunWaitsBrieflyForItsNextRecord) {
  std::atomic<bool> running{true};
  CheckingSession session{~0ull, running};
  std::string first = make_record(0, 64), second = make_record(1, 64);
  int looks = 0;
  auto try_pop = [&](void** data, std::size_t* length) {
    if (++looks != GetParam().empty_looks + 1) return tandem::kNothing;
    *data = second.data();
    *length = second.size();
    return GetParam().then;
  };
  EXPECT_TRUE(detail::deliver_run(session, running, first.data(), first.size(), try_pop));
  EXPECT_EQ(session.delivered, GetParam().delivered);
  EXPECT_EQ(session.entries, 1u);
  EXPECT_FALSE(session.inside);
}

INSTANTIATE_TEST_SUITE_P(Gaps, RunGapTest, ::testing::Values(
    GapCase{3, tandem::kSuccess, 2},
    GapCase{3, tandem::kClosed, 1},
    GapCase{0, tandem::kNothing, 1}),
    [](const auto& gap) { return std::string(kGapNames[gap.index]); });

}  // namespace
}  // namespace orvel::portage
