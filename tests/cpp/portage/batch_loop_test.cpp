#include "orvel/utils/portage/batch_loop.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ring_test_support.hpp"

namespace orvel::portage {
namespace {

using tandem::TandemCore;
using tandem::test::check_record;
using tandem::test::make_record;

std::vector<std::string> records_of(const BatchBuffer& batch) {
  std::vector<std::string> records;
  for (std::size_t i = 0; i < batch.records(); ++i) {
    EXPECT_EQ(batch.offsets()[i], i == 0 ? 0 : batch.offsets()[i - 1] + batch.lengths()[i - 1]);
    records.emplace_back(reinterpret_cast<const char*>(batch.data()) + batch.offsets()[i], batch.lengths()[i]);
  }
  return records;
}

// Checks every batch against the bounds and every record against the sequence: in order, intact,
// none twice; with `gaps` (an overwriting queue) records may be missing, never reordered. Stops
// the loop once record `last` has arrived; swaps the storage as the module's sessions do.
struct BatchCheckingSession {
  BatchCheckingSession(BatchBounds bounds_, std::uint64_t last_, std::atomic<bool>& running_, bool gaps_ = false,
                       std::uint64_t fail_at_batch_ = ~0ull)
      : bounds(bounds_), last(last_), running(running_), gaps(gaps_), fail_at_batch(fail_at_batch_) {}

  BatchBounds bounds;
  std::uint64_t last;
  std::atomic<bool>& running;
  bool gaps;
  std::uint64_t fail_at_batch;
  std::uint64_t next = 0;
  std::uint64_t records = 0;
  std::uint64_t batches = 0;
  std::uint64_t entries = 0;
  bool inside = false;
  bool out_of_memory_seen = false;
  BatchBuffer swapped;

  bool enter() {
    EXPECT_FALSE(inside);
    inside = true;
    ++entries;
    return true;
  }
  void leave() { inside = false; }
  void out_of_memory() { out_of_memory_seen = true; }
  bool deliver(BatchBuffer& batch) {
    EXPECT_TRUE(inside);
    if (batches == fail_at_batch) return false;
    ++batches;
    EXPECT_GE(batch.records(), 1u);
    EXPECT_LE(batch.records(), bounds.max_records);
    if (batch.records() > 1) {
      EXPECT_LE(batch.bytes(), bounds.max_bytes);
    }
    for (const std::string& record : records_of(batch)) {
      if (!running.load(std::memory_order_relaxed)) break;  // an overwriting test's repeated last record
      const std::uint64_t seq = check_record(record.data(), record.size());
      if (gaps) {
        EXPECT_GE(seq, next);
      } else {
        EXPECT_EQ(seq, next);
      }
      next = seq + 1;
      ++records;
      if (seq == last) running.store(false, std::memory_order_release);
    }
    batch.swap(swapped);  // the next batch is filled into storage that held an older one
    return true;
  }
};

struct Case {
  WorkerBody body;
  std::uint64_t records;
  std::size_t slot_size;
  std::size_t record_size;  // the largest; variable-size records vary from 8 bytes up to it
  BatchBounds bounds;
  bool overwrite;
};

class BatchLoopTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = wake_address("127.0.0.1", 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_TRUE(wake_.arm(fd_, address));
  }
  void TearDown() override { close(fd_); }

  const Case& param() const { return GetParam(); }
  bool polling() const { return param().body == WorkerBody::kTryPop || param().body == WorkerBody::kTryPopVar; }
  bool messages() const { return param().body == WorkerBody::kTryPopVar || param().body == WorkerBody::kPopVar; }
  std::size_t length_of(std::uint64_t seq) const {
    return messages() ? 8 + (seq * 7919) % (param().record_size - 7) : param().record_size;
  }

  // Pushes every record, pausing now and then long enough for the consumer to fall asleep, and
  // in bursts otherwise, so that batches run into their bounds.
  std::thread produce(TandemCore& queue) {
    return std::thread([this, &queue] {
      std::mt19937 random(11);
      for (std::uint64_t seq = 0; seq < param().records; ++seq) {
        const std::string record = make_record(seq, length_of(seq));
        int result;
        if (polling()) {
          while ((result = messages() ? queue.try_push_var(record.data(), record.size())
                                      : queue.try_push(record.data(), record.size())) == tandem::kFull) {
            std::this_thread::yield();
          }
          if (result == tandem::kSuccess) wake_.notify();
        } else {
          result = messages() ? queue.push_var(record.data(), record.size()) : queue.push(record.data(), record.size());
        }
        if (result != tandem::kSuccess) return;
        if (random() % 256 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
      }
    });
  }

  int fd_ = -1;
  WakeChannel wake_;
};

TEST_P(BatchLoopTest, EveryRecordOnceInOrderWithinTheBounds) {
  TandemCore queue;
  const std::uint8_t modes = param().overwrite ? tandem::kOverwrite : (polling() ? 0 : tandem::kBlockOnFull);
  queue.configure(param().slot_size, 64, modes);
  std::atomic<bool> running{true};
  BatchCheckingSession session(param().bounds, param().records - 1, running, param().overwrite);
  BatchFiller filler(param().bounds);
  auto drained = std::async(std::launch::async, [&] { drain_batches(queue, param().body, running, wake_, session, filler); });
  std::thread producer = produce(queue);
  producer.join();
  // An overwriting queue may drop the last record itself: end with one that cannot be dropped.
  if (param().overwrite) {
    while (drained.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready && running.load()) {
      const std::string last = make_record(param().records - 1, length_of(param().records - 1));
      if (queue.try_push(last.data(), last.size()) == tandem::kSuccess) wake_.notify();
    }
  }
  const bool finished = drained.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!finished) {  // a record stranded: release the loop before failing
    running.store(false);
    queue.close();
    wake_.ring();
  }
  drained.wait();
  EXPECT_TRUE(finished);
  EXPECT_FALSE(session.inside);
  EXPECT_EQ(session.next, param().records);
  if (!param().overwrite) {
    EXPECT_EQ(session.records, param().records);
  }
  EXPECT_LT(session.batches, session.records);  // records arrive in batches, not one by one
}

// Printed whole, a Case would show its padding bytes too.
void PrintTo(const Case& c, std::ostream* out) {
  *out << "body " << static_cast<int>(c.body) << ", " << c.records << " records of up to " << c.record_size
       << " bytes in " << c.slot_size << "-byte slots, batches of " << c.bounds.max_records << " records and "
       << c.bounds.max_bytes << " bytes" << (c.overwrite ? ", overwriting" : "");
}

// Names the cases after their bodies and what they stress.
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  constexpr const char* kNames[] = {"TryPop", "TryPopVar", "Pop", "PopVar"};
  std::string name = kNames[static_cast<int>(info.param.body)];
  if (info.param.overwrite) name += "Overwriting";
  if (info.param.bounds.max_records < 64) name += "FewRecords";
  return name;
}

constexpr BatchBounds kWide{1024, 1 << 20};
constexpr BatchBounds kNarrowBytes{1024, 700};  // a few 64-byte records, or one message or two

INSTANTIATE_TEST_SUITE_P(Bodies, BatchLoopTest, ::testing::Values(
    Case{WorkerBody::kTryPop, 200'000, 64, 64, kWide, false},
    Case{WorkerBody::kTryPop, 100'000, 64, 64, {5, 1 << 20}, false},
    Case{WorkerBody::kTryPop, 200'000, 64, 64, kWide, true},
    // Messages of up to five fragments, whose last ones are often still on their way when the
    // batch looks: the batch ends before them and the next one takes the message whole.
    Case{WorkerBody::kTryPopVar, 30'000, 64, 300, kNarrowBytes, false},
    Case{WorkerBody::kTryPopVar, 30'000, 64, 300, kWide, true},
    Case{WorkerBody::kPop, 200'000, 64, 64, kWide, false},
    Case{WorkerBody::kPop, 100'000, 64, 64, {5, 1 << 20}, false},
    Case{WorkerBody::kPopVar, 30'000, 64, 300, kNarrowBytes, false}), case_name);

// ---- one thread: the bounds, the record held back, the ends of the loop -------------------

struct Filled {
  TandemCore queue;
  Filled(const std::vector<std::size_t>& lengths, std::size_t slot_size = 512) {
    queue.configure(slot_size, 64, 0);
    for (std::size_t seq = 0; seq < lengths.size(); ++seq) {
      const std::string record = make_record(seq, lengths[seq]);
      EXPECT_EQ(queue.try_push_var(record.data(), record.size()), tandem::kSuccess);
    }
  }
  int fill(BatchFiller& filler) {
    return filler.fill([this](void** data, std::size_t* length) { return queue.try_pop_var(data, length); });
  }
};

std::vector<std::size_t> lengths_of(const BatchBuffer& batch) {
  return std::vector<std::size_t>(batch.lengths(), batch.lengths() + batch.records());
}

TEST(BatchFillerTest, ARecordOverTheByteBoundStartsTheNextBatchAndALargeOneGoesAlone) {
  Filled filled({100, 100, 100, 900, 100, 8});
  BatchFiller filler({/*max_records=*/10, /*max_bytes=*/250});
  std::vector<std::vector<std::size_t>> batches;
  std::vector<std::uint64_t> seqs;
  for (int round = 0; round < 5 && filler.begin(); ++round) {
    const int result = filled.fill(filler);
    if (filler.batch().empty()) {
      EXPECT_EQ(result, tandem::kNothing);
      break;
    }
    batches.push_back(lengths_of(filler.batch()));
    for (const std::string& record : records_of(filler.batch())) seqs.push_back(check_record(record.data(), record.size()));
  }
  EXPECT_EQ(batches, (std::vector<std::vector<std::size_t>>{{100, 100}, {100}, {900}, {100, 8}}));
  EXPECT_EQ(seqs, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_FALSE(filler.holding());
}

TEST(BatchFillerTest, TheRecordBoundAndTheCommonRecordSize) {
  Filled filled({64, 64, 64, 64, 64, 32});
  BatchFiller filler({/*max_records=*/4, /*max_bytes=*/1 << 20});
  ASSERT_TRUE(filler.begin());
  EXPECT_EQ(filled.fill(filler), tandem::kSuccess);
  EXPECT_EQ(filler.batch().records(), 4u);
  EXPECT_EQ(filler.batch().record_size(), 64);
  ASSERT_TRUE(filler.begin());
  EXPECT_EQ(filled.fill(filler), tandem::kNothing);
  EXPECT_EQ(lengths_of(filler.batch()), (std::vector<std::size_t>{64, 32}));
  EXPECT_EQ(filler.batch().record_size(), -1);
}

TEST(BatchFillerTest, AHeldBackRecordIsDeliveredAfterTheQueueCloses) {
  Filled filled({200, 200});
  BatchFiller filler({10, 300});
  ASSERT_TRUE(filler.begin());
  EXPECT_EQ(filled.fill(filler), tandem::kSuccess);
  EXPECT_TRUE(filler.holding());
  filled.queue.close();
  ASSERT_TRUE(filler.begin());
  EXPECT_EQ(filled.fill(filler), tandem::kClosed);
  ASSERT_EQ(filler.batch().records(), 1u);
  EXPECT_EQ(check_record(filler.batch().data(), filler.batch().lengths()[0]), 1u);
}

TEST(BatchLoopEndsTest, AtARefusedBatchOrAClosedQueue) {
  TandemCore queue;
  queue.configure(64, 64, 0);
  for (std::uint64_t seq = 0; seq < 3; ++seq) {
    const std::string record = make_record(seq, 64);
    ASSERT_EQ(queue.try_push(record.data(), record.size()), tandem::kSuccess);
  }
  std::atomic<bool> running{true};
  WakeChannel unarmed;
  BatchFiller filler({2, 1 << 20});
  BatchCheckingSession session({2, 1 << 20}, ~0ull, running, false, /*fail_at_batch_=*/1);
  drain_batches(queue, WorkerBody::kPop, running, unarmed, session, filler);
  EXPECT_EQ(session.batches, 1u);  // the second batch was refused, and the loop ended there
  EXPECT_EQ(session.records, 2u);
  queue.close();
  BatchCheckingSession after_close({2, 1 << 20}, ~0ull, running);
  drain_batches(queue, WorkerBody::kTryPop, running, unarmed, after_close, filler);  // returns: closed
  EXPECT_EQ(after_close.batches, 0u);
}

}  // namespace
}  // namespace orvel::portage
