// Two real threads move a million records through the ring in every mode; every record is
// checked for order and content.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ring_test_support.hpp"

namespace orvel::tandem {
namespace {

using test::check_record;
using test::fill_record;

constexpr std::uint64_t kSlotSize = 64;
constexpr std::uint64_t kCapacity = 256;

// Lengths vary so that truncation, partial slots and fragment counts are all exercised.
std::size_t record_length(std::uint64_t seq) { return 8 + (seq * 2654435761u >> 7) % (kSlotSize - 7); }
// Messages of 1 to 5 fragments; every 97th is empty and, by design, never delivered.
std::size_t message_length(std::uint64_t seq) {
  return seq % 97 == 0 ? 0 : 8 + (seq * 2654435761u >> 5) % (5 * kSlotSize - 8);
}

// Records per case: a million, or ORVEL_STRESS_RECORDS for a slow runner (an emulated processor,
// say); 0 when that is not a number. Fewer than kMinRecords would prove little.
constexpr std::uint64_t kMinRecords = 100'000;
std::uint64_t records_per_case() {
  const char* text = std::getenv("ORVEL_STRESS_RECORDS");
  if (text == nullptr) return 1'000'000;
  char* end = nullptr;
  errno = 0;
  const unsigned long long records = std::strtoull(text, &end, 10);
  return end == text || *end != '\0' || errno != 0 ? 0 : records;
}

class Stress : public ::testing::Test {
 protected:
  void SetUp() override {
    record_count = records_per_case();
    ASSERT_GE(record_count, kMinRecords) << "ORVEL_STRESS_RECORDS must be a number of at least " << kMinRecords;
  }
  std::uint64_t record_count = 0;
};

template <class Producer, class Consumer>
void run_pair(Producer producer, Consumer consumer) {
  std::thread consuming(consumer);
  producer();
  consuming.join();
}

// ---- exact delivery: every record, in order -----------------------------------------------

struct ExactCase {
  const char* name;
  std::uint8_t modes;
  bool messages;       // push_var/pop_var instead of single-slot records
  bool non_blocking;   // try_ operations, retried
  bool peek;           // consume single-slot records with peek + advance
};

class RingStress : public Stress, public ::testing::WithParamInterface<ExactCase> {};

TEST_P(RingStress, DeliversEveryRecordInOrderAndIntact) {
  const ExactCase& c = GetParam();
  TandemCore core;
  core.configure(kSlotSize, kCapacity, c.modes);
  auto length_of = c.messages ? message_length : record_length;

  std::uint64_t delivered = 0;
  std::uint64_t mismatches = 0;
  run_pair(
      [&] {
        std::vector<char> buffer(5 * kSlotSize);
        for (std::uint64_t seq = 0; seq < record_count; ++seq) {
          const std::size_t length = length_of(seq);
          fill_record(seq, buffer.data(), length);
          for (;;) {
            int result;
            if (c.messages) {
              result = c.non_blocking ? core.try_push_var(buffer.data(), length)
                                      : core.push_var(buffer.data(), length);
            } else {
              result = c.non_blocking ? core.try_push(buffer.data(), length) : core.push(buffer.data(), length);
            }
            if (result == kSuccess) break;
            ASSERT_EQ(result, kFull);
            std::this_thread::yield();
          }
        }
      },
      [&] {
        std::uint64_t expected = 0;
        auto next_expected = [&] {
          while (expected < record_count && length_of(expected) == 0) ++expected;
        };
        next_expected();
        while (expected < record_count) {
          void* data = nullptr;
          std::size_t length = 0;
          int result;
          if (c.messages) {
            result = c.non_blocking ? core.try_pop_var(&data, &length) : core.pop_var(&data, &length);
          } else if (c.peek) {
            result = core.peek(&data, &length);
          } else {
            result = c.non_blocking ? core.try_pop(&data, &length) : core.pop(&data, &length);
          }
          if (result == kNothing) {
            std::this_thread::yield();
            continue;
          }
          ASSERT_EQ(result, kSuccess);
          if (check_record(data, length) != expected || length != length_of(expected)) ++mismatches;
          if (c.peek) core.advance();
          ++delivered;
          ++expected;
          next_expected();
        }
      });

  EXPECT_EQ(mismatches, 0u);
  std::uint64_t sent = 0;
  for (std::uint64_t seq = 0; seq < record_count; ++seq) sent += length_of(seq) != 0;
  EXPECT_EQ(delivered, sent);
  EXPECT_EQ(core.write_index(), core.read_index());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RingStress,
    ::testing::Values(ExactCase{"PlainRetryingOnFull", 0, false, true, false},
                      ExactCase{"BlockOnFull", kBlockOnFull, false, false, false},
                      ExactCase{"BlockOnFullPeekAdvance", kBlockOnFull, false, false, true},
                      ExactCase{"MessagesBlockOnFull", kBlockOnFull, true, false, false},
                      ExactCase{"MessagesRetryingOnFull", 0, true, true, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// ---- zerocopy: the consumer receives the producer's own pointers ------------------------------

class RingStressZerocopy : public Stress {};

TEST_F(RingStressZerocopy, HandsOverEveryPointerInOrder) {
  constexpr std::size_t kRecordBytes = 16;
  std::vector<char> records(record_count * kRecordBytes);
  for (std::uint64_t seq = 0; seq < record_count; ++seq) fill_record(seq, &records[seq * kRecordBytes], kRecordBytes);
  TandemCore core;
  core.configure(0, kCapacity, kZerocopy | kBlockOnFull);

  std::uint64_t wrong = 0;
  run_pair(
      [&] {
        for (std::uint64_t seq = 0; seq < record_count; ++seq) {
          ASSERT_EQ(core.push(&records[seq * kRecordBytes], kRecordBytes), kSuccess);
        }
      },
      [&] {
        for (std::uint64_t seq = 0; seq < record_count; ++seq) {
          void* data = nullptr;
          std::size_t length = 0;
          ASSERT_EQ(core.pop(&data, &length), kSuccess);
          wrong += data != &records[seq * kRecordBytes] || length != kRecordBytes;
        }
      });
  EXPECT_EQ(wrong, 0u);
}

// ---- overwrite: what arrives is in order, intact, never duplicated ------------------------------

struct OverwriteCase {
  const char* name;
  bool messages;
  bool peek;
};

class RingStressOverwrite : public Stress, public ::testing::WithParamInterface<OverwriteCase> {};

TEST_P(RingStressOverwrite, DeliversIntactIncreasingRecordsAndTheNewest) {
  const OverwriteCase& c = GetParam();
  TandemCore core;
  core.configure(kSlotSize, c.messages ? 8 : 4, kOverwrite);  // small rings: drops all the time
  auto length_of = c.messages ? message_length : record_length;
  // The newest record is never dropped (nothing is pushed after it), so the consumer can wait
  // for it with blocking pops.
  std::uint64_t newest = record_count - 1;
  while (length_of(newest) == 0) --newest;

  std::uint64_t delivered = 0;
  std::uint64_t corrupt = 0;
  std::uint64_t out_of_order = 0;
  std::uint64_t last = 0;
  run_pair(
      [&] {
        std::vector<char> buffer(5 * kSlotSize);
        for (std::uint64_t seq = 0; seq < record_count; ++seq) {
          const std::size_t length = length_of(seq);
          fill_record(seq, buffer.data(), length);
          const int result = c.messages ? core.push_var(buffer.data(), length) : core.push(buffer.data(), length);
          ASSERT_EQ(result, kSuccess);
        }
      },
      [&] {
        bool first = true;
        while (first || last != newest) {
          void* data = nullptr;
          std::size_t length = 0;
          const bool peeking = c.peek && (delivered & 1);
          int result;
          if (c.messages) {
            result = core.pop_var(&data, &length);
          } else {
            result = peeking ? core.peek(&data, &length) : core.pop(&data, &length);
          }
          ASSERT_EQ(result, kSuccess);
          const std::uint64_t seq = check_record(data, length);
          if (seq == ~0ull || length != length_of(seq)) {
            ++corrupt;
          } else {
            out_of_order += !first && seq <= last;
            last = seq;
            first = false;
          }
          if (peeking) core.advance();
          ++delivered;
        }
      });

  EXPECT_EQ(corrupt, 0u);
  EXPECT_EQ(out_of_order, 0u);
  EXPECT_GT(delivered, 0u);
  EXPECT_EQ(core.write_index(), core.read_index());  // nothing left: the newest came last
}

INSTANTIATE_TEST_SUITE_P(Modes, RingStressOverwrite,
                         ::testing::Values(OverwriteCase{"Records", false, false},
                                           OverwriteCase{"RecordsWithPeek", false, true},
                                           OverwriteCase{"Messages", true, false}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace orvel::tandem
